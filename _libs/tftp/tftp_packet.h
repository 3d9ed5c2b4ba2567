#pragma once
// TFTP packets: opcodes, the request parser and ERROR packets. Nothing here touches a socket, a
// file or the settings, so every function can be tried on any bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kTftpSegSize = 512;
constexpr int kTftpMaxBlockSize = 16384;
constexpr int kTftpRequestSize = kTftpSegSize + 4;

constexpr int TFTP_RRQ = 1;
constexpr int TFTP_WRQ = 2;
constexpr int TFTP_DATA = 3;
constexpr int TFTP_ACK = 4;
constexpr int TFTP_ERROR = 5;
constexpr int TFTP_OACK = 6;

constexpr int TFTP_MODE_OCTET = 0;
constexpr int TFTP_MODE_NETASCII = 1;
constexpr int TFTP_MODE_MAIL = 2;

struct TftpOption {
    std::string name;
    std::string value;
};

struct TftpRequest {
    uint16_t opcode = 0;
    std::string name;       // cut at byte 509 of the datagram, as the service always has
    bool hasMode = false;   // false when no mode ends within the datagram
    std::string mode;
    // In the order sent. The scan looks at most 512 bytes past the start of the name and stops at
    // the first name or value that is not terminated within them.
    std::vector<TftpOption> options;
};

// Reads a request datagram; bytes past kTftpRequestSize are not looked at. What is missing is
// left empty: the caller decides what to refuse.
TftpRequest ParseTftpRequest(const void* data, size_t length);
// TFTP_MODE_* of a mode name in any case ("netascii", "ascii", "mail", "octet", "binary"), or -1.
int TftpModeOf(const std::string& mode);

const char* TftpErrorText(int code);
// Builds an ERROR packet into `out` (at least 5 + longest text bytes); its length.
int BuildTftpError(unsigned char* out, int code);
// The four bytes every DATA and ACK packet starts with.
void PutTftpHeader(unsigned char* out, int opcode, uint32_t block);
// Opcode and block number (or error code) of a received packet; false when shorter than 4 bytes.
bool ReadTftpHeader(const unsigned char* packet, size_t length, uint16_t* opcode, uint16_t* block);
