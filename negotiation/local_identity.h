#pragma once
// The host's own identity as the devices are told it: its IPv4 addresses to choose the server
// address from, and the MAC address that goes with the chosen one.

constexpr int kLocalIpMaxCount = 16;
constexpr int kLocalIpSlotSize = 64;
constexpr int kLocalMacTextSize = 256;  // the caller's buffer; the text itself is 17 characters

// GetMacAddress results other than 0.
constexpr int kMacErrorNoInterfaces = 1;  // the interface list could not be read
constexpr int kMacErrorNoAdapter = 2;     // no interface has a non-zero hardware address
constexpr int kMacErrorBadArgument = 3;

// Fills the zero-filled list with the IPv4 addresses (dotted decimal) of the interfaces that are
// up: non-loopback ones first, each group in interface order, at most 16. Returns the count.
int GetLocalIpList(char szIpList[kLocalIpMaxCount][kLocalIpSlotSize]);

// Writes the MAC of the interface carrying `szLocalIp` (else of the first non-loopback interface
// with a non-zero hardware address) as "%02X-%02X-%02X-%02X-%02X-%02X". Returns 0, or a non-zero
// code when no MAC address can be read; the buffer then holds an empty text.
int GetMacAddress(char* szMac, const char* szLocalIp = nullptr);
