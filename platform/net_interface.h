#pragma once
// What the host knows about one of its IPv4 addresses: the interface that carries it and that
// interface's subnet broadcast, and which program holds a UDP port.
#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace platform {

struct LocalInterface {
    std::string name;     // "eth0"; an address label's ":n" is dropped
    unsigned index = 0;   // interface index
    in_addr address{};    // the address asked about
    in_addr broadcast{};  // the subnet broadcast, INADDR_ANY when the interface has none
    bool loopback = false;
};

// Finds the interface that carries `ipv4` (dotted decimal). False when the text is not an IPv4
// address or no interface of this host (in its network namespace) carries it.
bool FindLocalInterface(const char* ipv4, LocalInterface* out);

// "pid 1234 (in.tftpd)" for a process with a UDP socket bound to `port` (IPv4 or IPv6), as far as
// /proc lets us see; empty when no holder can be found.
std::string DescribeUdpPortHolder(uint16_t port);

}  // namespace platform
