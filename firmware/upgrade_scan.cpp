#include "firmware/upgrade_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "_libs/tftp/tftp_interface.h"
#include "firmware/fmw_header.h"
#include "log/log.h"
#include "platform/text_codec.h"

namespace {

constexpr size_t kMaxAnsiPath = 255;
constexpr size_t kMaxVersionText = 255;
constexpr size_t kIpcHeaderLength = 1556;
constexpr size_t kIpcVersionOffset = 296;
constexpr size_t kNvrHeaderLength = 692;
constexpr size_t kNvrVersionOffset = 8;

// Log lines are GBK; a text that has no GBK form is logged as it is rather than not at all.
std::string LogText(const std::string& utf8) {
    std::string gbk;
    return platform::Utf8ToGbk(utf8, &gbk) ? gbk : utf8;
}

std::string OsPath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::vector<std::string> ListFolder(const std::string& osFolder) {
    std::vector<std::string> names;
    DIR* dir = opendir(osFolder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) names.emplace_back(entry->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO named "x.bin" from hanging the scan.
// Nothing is ever written, so no write access is asked for: read-only firmware files are fine.
FILE* OpenForReading(const std::string& osPath) {
    int fd = open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

void CopyText(char* out, size_t outSize, const char* text, size_t textLimit) {
    size_t n = strnlen(text, std::min(outSize - 1, textLimit));
    std::memcpy(out, text, n);
    out[n] = '\0';
}

struct Candidate {
    std::string text;  // the version text, at most 255 characters
    int32_t kind = 0;
};

// Reads the version text of an open ".bin" file; false (with `skip` filled) when it has none.
bool ReadVersionText(FILE* file, const char* szFilePath, Candidate* found, ScanSkip* skip) {
    char magic[8];
    if (std::fread(magic, 1, sizeof magic, file) != sizeof magic) {
        skip->reason = ScanSkipReason::TooShort;
        return false;
    }
    std::fseek(file, 0, SEEK_SET);
    char text[kMaxVersionText + 1] = {};
    if (std::memcmp(magic, "QLXFMW22", 8) == 0) {
        int code = 0;
        fmw_header* handle = create_fmw_header(szFilePath, &code);
        if (handle == nullptr) {
            LogMessage(LOG_INFO, "#MRDebug ipc new firmware, create_fmw_header return NULL, continue");
            skip->reason = ScanSkipReason::ContainerRejected;
            skip->code = code;
            return false;
        }
        const char* version = get_fmw_va_inform(handle, FMW_VA_TAG_FS_VER);
        if (version == nullptr) {
            free_fmw_header(handle);
            LogMessage(LOG_INFO,
                       "#MRDebug ipc new firmware, get_fmw_va_inform(FMW_VA_TAG_FS_VER) return NULL, continue");
            skip->reason = ScanSkipReason::NoVersionText;
            return false;
        }
        CopyText(text, sizeof text, version, kMaxVersionText);
        free_fmw_header(handle);
        found->kind = kDevTypeIpc;
    } else if (std::memcmp(magic, "FIRMWARE", 8) == 0) {
        LogMessage(LOG_INFO, "#MRDebug comfirm header is IPC dev------");
        std::vector<char> header(kIpcHeaderLength);
        if (std::fread(header.data(), 1, header.size(), file) != header.size()) {
            LogMessage(LOG_INFO, "#MRDebug IPC dev, read FirmWareHeader failed, continue");
            skip->reason = ScanSkipReason::LegacyHeaderShort;
            skip->detail = "FIRMWARE";
            return false;
        }
        CopyText(text, sizeof text, header.data() + kIpcVersionOffset, kIpcHeaderLength - kIpcVersionOffset);
        found->kind = kDevTypeIpc;
    } else if (std::memcmp(magic, "FIRMWNVR", 8) == 0) {
        LogMessage(LOG_INFO, "#MRDebug comfirm header is NVR dev------");
        std::vector<char> header(kNvrHeaderLength);
        if (std::fread(header.data(), 1, header.size(), file) != header.size()) {
            LogMessage(LOG_INFO, "#MRDebug NVR dev, read FirmWareNVRHeader failed, continue");
            skip->reason = ScanSkipReason::LegacyHeaderShort;
            skip->detail = "FIRMWNVR";
            return false;
        }
        CopyText(text, sizeof text, header.data() + kNvrVersionOffset, kNvrHeaderLength - kNvrVersionOffset);
        found->kind = kDevTypeNvr;
    } else {
        LogMessage(LOG_INFO, "#MRDebug comfirm header is not IPC or NVR dev, continue");
        bool alg = std::memcmp(magic, "QLXALG22", 8) == 0;
        skip->reason = alg ? ScanSkipReason::AlgorithmPackage : ScanSkipReason::UnknownHeader;
        if (!alg) skip->detail.assign(magic, sizeof magic);
        return false;
    }
    found->text = text;
    return true;
}

void LogRecord(const char* what, const UpgradeFileInfo& info) {
    LogMessage(LOG_INFO,
               "#MRDebug %s,\r\n fileInfo.szVersion=%s\r\n fileInfo.iHighestVersion=%d\r\n fileInfo.szModel=%s\r\n "
               "fileInfo.szVerNum=%s\r\n fileInfo.szFileName=%s\r\n",
               what, info.szVersion, info.iHighestVersion, info.szModel, info.szVerNum, info.szFileName);
}

// One "%d" of scanf: optional blanks and sign, then digits. Out-of-range numbers saturate
// instead of overflowing.
bool ParsePart(const char*& s, int* part) {
    while (std::isspace(static_cast<unsigned char>(*s))) ++s;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') ++s;
    if (!std::isdigit(static_cast<unsigned char>(*s))) return false;
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*s)); ++s) {
        if (value <= INT_MAX) value = value * 10 + (*s - '0');
    }
    if (negative) value = -value;
    *part = static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
    return true;
}

void ParseVersion(const char* s, int parts[4]) {
    for (int k = 0; k < 4; ++k) {
        if (k > 0) {
            if (*s != '.') return;
            ++s;
        }
        if (!ParsePart(s, &parts[k])) return;
    }
}

}  // namespace

bool HasBinSuffix(const std::string& name) {
    if (name.size() < 4) return false;
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".bin";
}

void SplitVersionText(char* text, int kind, UpgradeFileInfo* info) {
    if (text == nullptr || info == nullptr || kind < kDevTypeIpc || kind > kDevTypeNvr) return;
    char fields[3][256] = {};
    int count = 0;
    size_t length = strnlen(text, kMaxVersionText);
    size_t i = 0;
    while (i < length && count < 3) {
        while (i < length && text[i] == '_') ++i;
        size_t begin = i;
        while (i < length && text[i] != '_') ++i;
        if (i > begin) {
            std::memcpy(fields[count], text + begin, i - begin);
            ++count;
        }
    }
    std::memset(text, 0, length);  // the split consumes the text
    const char* model = kind == kDevTypeIpc ? fields[1] : fields[0];
    const char* version = kind == kDevTypeIpc ? fields[2] : fields[1];
    if (version[0] != '\0') ++version;  // the prefix ("V") is dropped unseen
    CopyText(info->szModel, sizeof info->szModel, model, sizeof info->szModel - 1);
    CopyText(info->szVerNum, sizeof info->szVerNum, version, sizeof info->szVerNum - 1);
}

int CompareVerNum(const char* a, const char* b) {
    if (b == nullptr || b[0] == '\0') return -2;
    int pa[4] = {0, 0, 0, 0};
    int pb[4] = {0, 0, 0, 0};
    ParseVersion(a != nullptr ? a : "", pa);
    ParseVersion(b, pb);
    for (int k = 0; k < 4; ++k) {
        if (pa[k] > pb[k]) return 1;
        if (pa[k] < pb[k]) return -1;
    }
    return 0;
}

void ScanUpgradeFolder(const std::string& folder, std::vector<UpgradeFileInfo>* catalogue,
                       std::vector<ScanSkip>* skipped) {
    LogMessage(LOG_INFO, "#MRDebug Enter SaveUpgradeFileInfo() strFolderName=%s", LogText(folder).c_str());
    catalogue->clear();
    if (skipped != nullptr) skipped->clear();
    std::vector<std::string> names;  // UTF-8 name of each catalogue entry, for the drop notes
    auto skip = [&](ScanSkip note) {
        if (skipped != nullptr) skipped->push_back(std::move(note));
    };

    // Either separator ends the folder already; otherwise the system's own is added.
    std::string strFolderName = folder;
    if (strFolderName.empty() || (strFolderName.back() != '\\' && strFolderName.back() != '/')) {
        strFolderName += '\\';
    }
    std::string osFolder = OsPath(strFolderName);
    // An empty name names no folder; it must not turn into the file system's root.
    std::vector<std::string> entries = folder.empty() ? std::vector<std::string>() : ListFolder(osFolder);
    bool bFound = !entries.empty();
    LogMessage(LOG_INFO, "#MRDebug SaveUpgradeFileInfo() strFolderName=%s, bFound=%d", LogText(strFolderName).c_str(),
               bFound ? 1 : 0);

    for (size_t next = 0; bFound;) {
        const std::string& name = entries[next++];
        bFound = next < entries.size();
        LogMessage(LOG_INFO, "#MRDebug tempFind.FindNextFile(), bFound=%d", bFound ? 1 : 0);
        if (name == "." || name == "..") {
            LogMessage(LOG_INFO, "#MRDebug tempFind.IsDots() continue");
            continue;
        }
        std::string osPath = osFolder + name;
        struct stat st {};
        if (stat(osPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            LogMessage(LOG_INFO, "#MRDebug tempFind.IsDirectory() continue");
            skip({name, ScanSkipReason::Directory, 0, {}, {}});
            continue;
        }
        std::string strPath = strFolderName + name;
        LogMessage(LOG_INFO, "#MRDebug find file strPath=%s, strTmp=%s", LogText(strPath).c_str(),
                   LogText(name).c_str());
        if (!HasBinSuffix(name)) {
            LogMessage(LOG_INFO, "#MRDebug find .bin failed");
            skip({name, ScanSkipReason::NotBin, 0, {}, {}});
            continue;
        }
        // Devices get the name in GBK; a path or name without a GBK form, or too long for the
        // 255-byte fields, is skipped the same way.
        std::string szFilePath;
        std::string gbkName;
        if (!platform::Utf8ToGbk(strPath, &szFilePath) || szFilePath.size() > kMaxAnsiPath ||
            !platform::Utf8ToGbk(name, &gbkName) || gbkName.size() > kMaxAnsiPath) {
            LogMessage(LOG_INFO, "#MRDebug open file failed, szFilePath=%s", LogText(strPath).c_str());
            skip({name, ScanSkipReason::NameNotUsable, 0, {}, {}});
            continue;
        }
        // A name the service refuses (or a link it will not follow) would be offered and then fail
        // every device that asks for it. The folder is measured as the service measures it.
        char why[160] = "";
        if (TftpCheckServable(folder.c_str(), gbkName.c_str(), TftpDefaultConfig(), why, sizeof why) != 0) {
            LogMessage(LOG_INFO, "#MRDebug not servable, szFilePath=%s: %s", szFilePath.c_str(), why);
            skip({name, ScanSkipReason::NotServable, 0, why, {}});
            continue;
        }
        FILE* file = OpenForReading(osPath);
        if (file == nullptr) {
            LogMessage(LOG_INFO, "#MRDebug open file failed, szFilePath=%s", szFilePath.c_str());
            skip({name, ScanSkipReason::OpenFailed, 0, {}, {}});
            continue;
        }
        Candidate found;
        ScanSkip note{name, ScanSkipReason::TooShort, 0, {}, {}};
        bool ok = ReadVersionText(file, szFilePath.c_str(), &found, &note);
        std::fclose(file);
        if (!ok) {
            skip(std::move(note));
            continue;
        }

        UpgradeFileInfo fileInfo;
        std::memset(&fileInfo, 0, sizeof fileInfo);
        fileInfo.iHighestVersion = 1;
        char text[kMaxVersionText + 1] = {};
        CopyText(text, sizeof text, found.text.c_str(), kMaxVersionText);
        SplitVersionText(text, found.kind, &fileInfo);
        std::snprintf(fileInfo.szVersion, sizeof fileInfo.szVersion, "%s-%s", fileInfo.szModel, fileInfo.szVerNum);
        CopyText(fileInfo.szFileName, sizeof fileInfo.szFileName, gbkName.c_str(), kMaxAnsiPath);
        fileInfo.iDevType = found.kind;
        catalogue->push_back(fileInfo);
        names.push_back(name);
        LogRecord("m_vecUpgradeFileInfo.push_back(fileInfo)", fileInfo);
    }
    LogMessage(LOG_INFO, "#MRDebug tempFind.Close(),m_vecUpgradeFileInfo.size()=%d",
               static_cast<int>(catalogue->size()));

    // Of each model only the highest version number stays. An empty number neither drops nor is dropped.
    std::vector<UpgradeFileInfo>& list = *catalogue;
    for (UpgradeFileInfo& a : list) {
        for (const UpgradeFileInfo& b : list) {
            if (std::strncmp(a.szModel, b.szModel, sizeof a.szModel) == 0 && a.szVerNum[0] != '\0' &&
                CompareVerNum(a.szVerNum, b.szVerNum) == -1) {
                a.iHighestVersion = 0;
            }
        }
    }
    std::vector<UpgradeFileInfo> kept;
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].iHighestVersion != 0) {
            kept.push_back(list[i]);
            continue;
        }
        LogRecord("m_vecUpgradeFileInfo.erase(itor)", list[i]);
        if (skipped == nullptr) continue;
        // Name the file that the device is offered instead: the first of the highest of the model.
        size_t best = i;
        for (size_t j = 0; j < list.size(); ++j) {
            if (std::strncmp(list[i].szModel, list[j].szModel, sizeof list[i].szModel) == 0 &&
                list[j].iHighestVersion != 0 && CompareVerNum(list[j].szVerNum, list[best].szVerNum) == 1) {
                best = j;
            }
        }
        skipped->push_back({names[i], ScanSkipReason::OlderVersion, 0, names[best], list[i].szVerNum});
    }
    list.swap(kept);
}
