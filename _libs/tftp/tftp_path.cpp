// From a requested name to a file under the root: normalisation, the access rules of the
// security levels, the final name and its length limit, and the path the file system opens. All of
// them here, so a reader checks one place for what a client can reach.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/text_codec.h"

namespace {

void NormalizeFileName(const TftpConfig& cfg, char* name) {
    if (cfg.bSlashToBackslash) {
        for (char* p = name; *p != '\0'; ++p) {
            if (*p == '/') *p = '\\';
        }
    }
    if (name[0] != '\0' && name[1] == ':' && name[0] >= 'a' && name[0] <= 'z') {
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    }
    if (cfg.bStripLeadingBackslash && name[0] == '\\') {
        std::memmove(name, name + 1, std::strlen(name));
    }
}

// Level 0 allows everything; 1 refuses ".." and "\\" anywhere; 2 also lets a write replace only an
// existing empty file; 3 refuses every write.
bool MayAccess(const TftpTransfer* transfer, const char* name) {
    bool safe = std::strstr(name, "..") == nullptr && std::strstr(name, "\\\\") == nullptr;
    switch (transfer->cfg->nSecurityLevel) {
        case 0:
            return true;
        case 1:
            if (!safe) SetLastErrorCode(kErrDirectory);
            return safe;
        case 2: {
            if (!safe) {
                SetLastErrorCode(kErrDirectory);
                return false;
            }
            if (transfer->nOpcode == TFTP_RRQ) return true;
            struct stat st {};
            if (stat(SystemPathUnder(transfer->szRoot, name).c_str(), &st) != 0) return false;
            if (st.st_size != 0) {
                SetLastErrorCode(kErrBadLength);
                return false;
            }
            return true;
        }
        case 3:
            if (!safe || transfer->nOpcode != TFTP_RRQ) {
                SetLastErrorCode(kErrDirectory);
                return false;
            }
            return true;
        default:
            return false;
    }
}

}  // namespace

std::string SystemPathUnder(const char* root, const char* name) {
    std::string converted;
    if (!platform::GbkToUtf8(name, &converted)) converted = name;  // not GBK: take the bytes as they are
    for (char& c : converted) {
        if (c == '\\') c = '/';
    }
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    return path + converted;
}

int ResolveRequestPath(TftpTransfer* transfer, const char* requested) {
    if (std::strlen(requested) >= sizeof transfer->szName) return 4;
    char* name = transfer->szName;
    std::strcpy(name, requested);
    NormalizeFileName(*transfer->cfg, name);
    if (!MayAccess(transfer, name)) {
        LogMessage(LOG_GENERAL, "Error EACCESS on file %s. Ext error %s", name, LastErrorText());
        return 2;
    }
    const char* root = transfer->szRoot;
    size_t rootLength = std::strlen(root);
    bool separator = rootLength > 0 && root[rootLength - 1] != '\\';
    std::snprintf(transfer->szFinalName, sizeof transfer->szFinalName, "%s%s%s", root, separator ? "\\" : "", name);
    LogMessage(LOG_INFO, "final name : <%s>", transfer->szFinalName);
    std::string path = SystemPathUnder(root, name);
    if (std::strlen(transfer->szFinalName) >= kTftpMaxPath || path.size() >= sizeof transfer->szPath) {
        LogMessage(LOG_MAJOR, "File name too long, return EBADOP to peer");
        return 4;
    }
    std::memcpy(transfer->szPath, path.c_str(), path.size() + 1);
    return 0;
}
