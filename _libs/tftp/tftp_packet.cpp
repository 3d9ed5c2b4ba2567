// TFTP packets: the request parser and ERROR packets.
#include "_libs/tftp/tftp_packet.h"

#include <strings.h>

#include <cstring>

#include "platform/byte_reader.h"

namespace {

struct ErrorText {
    int code;
    const char* text;
};

constexpr ErrorText kErrorTexts[] = {
    {0, "Undefined error code"},
    {1, "File not found"},
    {2, "Access violation"},
    {3, "Disk full or allocation exceeded"},
    {4, "Illegal TFTP operation"},
    {5, "Unknown transfer ID"},
    {6, "File already exists"},
    {7, "No such user"},
    {99, "Cancelled by administrator"},
};

struct ModeName {
    const char* name;
    int mode;
};

constexpr ModeName kModes[] = {
    {"netascii", TFTP_MODE_NETASCII}, {"ascii", TFTP_MODE_NETASCII}, {"mail", TFTP_MODE_MAIL},
    {"octet", TFTP_MODE_OCTET},       {"binary", TFTP_MODE_OCTET},
};

// The name ends at byte 509 at the latest; options are looked for up to 512 bytes past its start.
constexpr size_t kNameCut = 509;
constexpr size_t kOptionLimit = 512;

}  // namespace

TftpRequest ParseTftpRequest(const void* data, size_t length) {
    unsigned char packet[kTftpRequestSize] = {};
    std::memcpy(packet, data, length < sizeof packet ? length : sizeof packet);
    packet[kNameCut] = 0;
    TftpRequest request;
    platform::ByteReader reader(packet, sizeof packet);
    const char* text = nullptr;
    size_t textLength = 0;
    reader.Be16(&request.opcode);
    if (reader.CString(&text, &textLength)) request.name.assign(text, textLength);
    if (!reader.CString(&text, &textLength)) return request;  // no mode ends within the datagram
    request.hasMode = true;
    request.mode.assign(text, textLength);
    const size_t optionsEnd = 2 + kOptionLimit;
    if (reader.Offset() >= optionsEnd) return request;
    platform::ByteReader options(packet + reader.Offset(), optionsEnd - reader.Offset());
    while (options.Remaining() > 0) {
        const char* name = nullptr;
        const char* value = nullptr;
        size_t nameLength = 0;
        size_t valueLength = 0;
        if (!options.CString(&name, &nameLength)) break;
        if (nameLength == 0) continue;  // stray NULs between options are skipped
        if (!options.CString(&value, &valueLength)) break;
        request.options.push_back({std::string(name, nameLength), std::string(value, valueLength)});
    }
    return request;
}

int TftpModeOf(const std::string& mode) {
    for (const ModeName& m : kModes) {
        if (strcasecmp(mode.c_str(), m.name) == 0) return m.mode;
    }
    return -1;
}

const char* TftpErrorText(int code) {
    for (const ErrorText& e : kErrorTexts) {
        if (e.code == code) return e.text;
    }
    return kErrorTexts[0].text;
}

int BuildTftpError(unsigned char* out, int code) {
    const char* text = TftpErrorText(code);
    size_t length = std::strlen(text);
    PutTftpHeader(out, TFTP_ERROR, static_cast<uint32_t>(code));
    std::memcpy(out + 4, text, length + 1);
    return static_cast<int>(length + 5);
}

void PutTftpHeader(unsigned char* out, int opcode, uint32_t block) {
    out[0] = static_cast<unsigned char>((opcode >> 8) & 0xFF);
    out[1] = static_cast<unsigned char>(opcode & 0xFF);
    out[2] = static_cast<unsigned char>((block >> 8) & 0xFF);
    out[3] = static_cast<unsigned char>(block & 0xFF);
}

bool ReadTftpHeader(const unsigned char* packet, size_t length, uint16_t* opcode, uint16_t* block) {
    platform::ByteReader reader(packet, length);
    return reader.Be16(opcode) && reader.Be16(block);
}
