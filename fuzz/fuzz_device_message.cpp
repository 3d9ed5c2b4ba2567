// Feeds arbitrary datagrams to the parsers every device message goes through.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "messaging/msg_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // As the listener does: at most 2047 characters, NUL-terminated.
    char text[2048] = {};
    std::memcpy(text, data, size < sizeof text - 1 ? size : sizeof text - 1);

    int type = GetMsgType(text);
    if (type < 0 || type > 13) __builtin_trap();
    if (IsRequestIpaddr(text) != (type == 0)) __builtin_trap();

    const struct {
        const char* key;
        int size;
    } keys[] = {{kKeyVersion, kVersionSize}, {kKeyCseq, kCseqSize},         {kKeyIpcMac, kIpcMacSize},
                {kKeyIpaddr, kIpaddrSize},   {kKeySchedule, kScheduleSize}, {kKeyState, kStateSize},
                {kKeyMsg, 2}};
    for (const auto& k : keys) {
        char out[256];
        std::memset(out, 0x55, sizeof out);
        int rc = ReadFlagValue(text, k.key, static_cast<int>(std::strlen(k.key)), out, k.size);
        if (rc == 0 && std::strlen(out) >= static_cast<size_t>(k.size)) __builtin_trap();
        if (rc != 0 && out[0] != 0x55) __builtin_trap();
        if (rc == 0 && k.key == kKeyVersion) {
            char model[kVersionFieldSize], verNum[kVersionFieldSize];
            SplitDeviceVersion(out, model, verNum);
            if (std::strlen(model) >= kVersionFieldSize || std::strlen(verNum) >= kVersionFieldSize) __builtin_trap();
            if (std::strchr(model, '*') != nullptr) __builtin_trap();
        }
    }
    char reply[kReplySize];
    char mac[kIpcMacSize] = {};
    ReadFlagValue(text, kKeyIpcMac, 7, mac, sizeof mac);
    int n = BuildNoUpgradeReply(reply, sizeof reply, 1, mac);
    if (n < 0 || static_cast<size_t>(n) != std::strlen(reply)) __builtin_trap();
    return 0;
}
