#include "tools/devsim/firmware_check.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "firmware/fmw_header.h"
#include "firmware/upgrade_scan.h"

namespace devsim {

namespace {

constexpr int kStateOk = 0;
constexpr int kStateCrc = 2;
constexpr int kStateMagic = 3;
constexpr int kStateSize = 4;
constexpr int kStateVersion = 5;

struct LegacyHeader {
    const char* magic;
    size_t length;
    size_t versionAt;
    int kind;
};
constexpr LegacyHeader kLegacy[] = {{"FIRMWARE", 1556, 296, kDevTypeIpc}, {"FIRMWNVR", 692, 8, kDevTypeNvr}};

// The state for a container the reader refused: too short or unreadable parts are a size fault,
// the wrong magic a magic fault, any checksum (or a mark count no memory can hold) a CRC fault.
int StateForReaderCode(int code) {
    switch (code) {
        case FMW_ERR_TOO_SHORT:
        case FMW_ERR_READ_FIXED:
        case FMW_ERR_MARKS:
            return kStateSize;
        case FMW_ERR_MAGIC:
            return kStateMagic;
        default:
            return kStateCrc;
    }
}

int CheckModel(std::string text, int kind, const std::string& model, std::string* detail) {
    if (text.empty()) {
        *detail = "no version text in the file";
        return kStateVersion;
    }
    std::vector<char> buffer(text.begin(), text.end());
    buffer.resize(256, '\0');
    buffer[255] = '\0';
    UpgradeFileInfo info{};
    SplitVersionText(buffer.data(), kind, &info);
    if (model != info.szModel) {
        *detail = "the file is for model \"" + std::string(info.szModel) + "\" (version text \"" + text + "\")";
        return kStateVersion;
    }
    *detail = "model " + model + " version " + info.szVerNum;
    return kStateOk;
}

}  // namespace

int CheckFirmware(const std::string& path, uint64_t bytes, int64_t tsize, const std::string& model,
                  std::string* detail) {
    if (tsize >= 0 && bytes != static_cast<uint64_t>(tsize)) {
        *detail = "received " + std::to_string(bytes) + " bytes, tsize said " + std::to_string(tsize);
        return kStateSize;
    }
    std::ifstream file(path, std::ios::binary);
    std::vector<char> head(1556, '\0');
    file.read(head.data(), static_cast<std::streamsize>(head.size()));
    const size_t got = static_cast<size_t>(file.gcount());
    if (got < 8) {
        *detail = "only " + std::to_string(got) + " bytes";
        return kStateSize;
    }
    if (std::memcmp(head.data(), "QLXFMW22", 8) == 0) {
        int code = 0;
        // The reader speaks on standard output; the caller decides where that goes.
        fmw_header* handle = create_fmw_header(path.c_str(), &code);
        if (handle == nullptr) {
            *detail = "container check failed with code " + std::to_string(code);
            return StateForReaderCode(code);
        }
        const char* version = get_fmw_va_inform(handle, FMW_VA_TAG_FS_VER);
        std::string text = version != nullptr ? std::string(version, strnlen(version, 255)) : std::string();
        free_fmw_header(handle);
        return CheckModel(text, kDevTypeIpc, model, detail);
    }
    for (const LegacyHeader& legacy : kLegacy) {
        if (std::memcmp(head.data(), legacy.magic, 8) != 0) continue;
        if (got < legacy.length) {
            *detail = std::string(legacy.magic) + " file of " + std::to_string(got) + " bytes, shorter than its header";
            return kStateSize;
        }
        const char* text = head.data() + legacy.versionAt;
        return CheckModel(std::string(text, strnlen(text, std::min<size_t>(255, legacy.length - legacy.versionAt))),
                          legacy.kind, model, detail);
    }
    *detail = "unknown magic \"" + std::string(head.data(), 8) + "\"";
    return kStateMagic;
}

}  // namespace devsim
