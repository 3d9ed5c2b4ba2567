#include "messaging/msg_format.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kTypeNames[kMsgTypeCount - 1] = {
    "Request_ipaddr",        "Report_Downloading",  "Report_Uboot",  "Report_Kernel",   "Report_Filesystem",
    "Report_Config",         "Report_Logoboot",     "Report_App",    "Report_User",     "Report_LogoUpgradeing",
    "Report_LogoUpgraded",   "Report_Param",        "Report_Update",
};
constexpr int kTypeTextSize = 64;

// Copies at most size-1 characters and always terminates.
void CopyField(char* out, int size, const char* field) {
    std::memset(out, 0, static_cast<size_t>(size));
    if (field != nullptr) std::memcpy(out, field, strnlen(field, static_cast<size_t>(size) - 1));
}

int FinishReply(int written, int outSize, char* out) {
    if (written < 0 || written >= outSize) {
        out[0] = '\0';
        return -1;
    }
    return written;
}

}  // namespace

const char* MsgTypeName(int type) {
    return type >= 0 && type < kMsgTypeCount - 1 ? kTypeNames[type] : nullptr;
}

int GetMsgType(const char* text) {
    if (text == nullptr) return MSG_TYPE_UNKNOWN;
    const char* key = std::strstr(text, kKeyMsg);
    if (key == nullptr) return MSG_TYPE_UNKNOWN;
    const char* value = key + sizeof kKeyMsg - 1;
    const char* end = std::strstr(value, "\r\n");
    if (end == nullptr) return MSG_TYPE_UNKNOWN;

    char typeText[kTypeTextSize] = {};
    size_t length = static_cast<size_t>(end - value);
    if (length > kTypeTextSize - 1) length = kTypeTextSize - 1;
    std::memcpy(typeText, value, length);
    for (int type = 0; type < kMsgTypeCount - 1; ++type) {
        if (std::strncmp(typeText, kTypeNames[type], std::strlen(kTypeNames[type])) == 0) return type;
    }
    return MSG_TYPE_UNKNOWN;
}

bool IsRequestIpaddr(const char* text) { return GetMsgType(text) == MSG_TYPE_REQUEST_IPADDR; }

int ReadFlagValue(const char* text, const char* key, int keyLen, char* out, int outSize) {
    // A key length that runs past the key itself would read beyond the text: a bad argument.
    if (text == nullptr || key == nullptr || out == nullptr || outSize <= 0 || keyLen <= 0 ||
        static_cast<size_t>(keyLen) > std::strlen(key)) {
        return -1;
    }
    const char* found = std::strstr(text, key);
    if (found == nullptr) return -4;
    const char* value = found + keyLen;
    const char* end = std::strstr(value, "\r\n");
    if (end == nullptr) return -3;
    long length = end - value;
    if (length >= outSize) return -2;
    std::memset(out, 0, static_cast<size_t>(outSize));
    std::memcpy(out, value, static_cast<size_t>(length));
    return 0;
}

void SplitDeviceVersion(char* version, char* model, char* verNum) {
    if (model != nullptr) std::memset(model, 0, kVersionFieldSize);
    if (verNum != nullptr) std::memset(verNum, 0, kVersionFieldSize);
    if (version == nullptr) return;
    char* save = nullptr;
    char* first = strtok_r(version, "-", &save);
    char* second = first != nullptr ? strtok_r(nullptr, "-", &save) : nullptr;
    if (model != nullptr && first != nullptr) {
        CopyField(model, kVersionFieldSize, first);
        for (char* p = model; *p != '\0'; ++p) {
            if (*p == '*') *p = '-';
        }
    }
    if (verNum != nullptr && second != nullptr) CopyField(verNum, kVersionFieldSize, second);
}

int BuildAddressReply(char* out, int outSize, int cseq, const char* serverMac, const char* serverIp,
                      const char* lentIp, const char* ipcMac, const char* version, const char* filePath) {
    if (out == nullptr || outSize <= 0) return -1;
    int written = std::snprintf(out, static_cast<size_t>(outSize),
                                "%s%s\r\n%s%d\r\n%s%s\r\n%s%s\r\n%s%s\r\n%s%s\r\n%s%s\r\n%s%s\r\n", kKeyMsg,
                                kTypeNames[MSG_TYPE_REQUEST_IPADDR], kKeyCseq, cseq, kKeyServerMac, serverMac,
                                kKeyServerIp, serverIp, kKeyIpaddr, lentIp, kKeyIpcMac, ipcMac, kKeyVersion, version,
                                kKeyFilePath, filePath);
    return FinishReply(written, outSize, out);
}

int BuildNoUpgradeReply(char* out, int outSize, int cseq, const char* ipcMac) {
    if (out == nullptr || outSize <= 0) return -1;
    int written = std::snprintf(out, static_cast<size_t>(outSize), "%s%s\r\n%s%d\r\n%s%s\r\n", kKeyMsg,
                                kTypeNames[MSG_TYPE_REQUEST_IPADDR], kKeyCseq, cseq, kKeyIpcMac, ipcMac);
    return FinishReply(written, outSize, out);
}
