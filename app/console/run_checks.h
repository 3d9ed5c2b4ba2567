#pragma once
// What `kelvane-cli run` checks before anything starts, so that a mistyped option costs nothing:
// each refusal names the cause and the option that mends it, in the run's language.
#include <string>

// Empty when `path` can be written by atomic replacement (its folder exists and is writable and
// it is not itself a folder); otherwise why not. `option` names the option in the text.
std::string CheckOutputPath(const std::string& option, const std::string& path, bool english);

// Empty when `folder` is a readable folder; otherwise why not.
std::string CheckFirmwareFolder(const std::string& folder, bool english);

// Empty when `address` is an IPv4 address of an interface of this host that is up and has a
// link; otherwise why not, with the host's IPv4 addresses, their interfaces and whether they are up.
std::string CheckServeAddress(const std::string& address, bool english);

// "eth0 192.168.1.10 (up), wlan0 10.0.0.5 (down)", or "none".
std::string DescribeHostAddresses(bool english);
