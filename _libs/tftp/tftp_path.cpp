// From a requested name to a file under the root: normalisation, the access rules of the
// security levels, the final name and its length limit, and the path the file system opens. All of
// them here, so a reader checks one place for what a client can reach.
#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
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

// Without openat2 every component is opened on its own with O_NOFOLLOW: stricter than openat2,
// since it refuses links that stay inside the root too, but it never leaves the root.
int OpenBeneathByComponents(int rootFd, const std::string& relative, int flags, mode_t mode) {
    int dir = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (dir < 0) return -1;
    size_t at = 0;
    for (;;) {
        size_t slash = relative.find('/', at);
        std::string part = relative.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (part == "..") {
            close(dir);
            errno = EXDEV;
            return -1;
        }
        if (slash == std::string::npos) {
            int fd = openat(dir, part.empty() ? "." : part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
            int saved = errno;
            close(dir);
            errno = saved;
            return fd;
        }
        at = slash + 1;
        if (part.empty() || part == ".") continue;
        int next = openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int saved = errno;
        close(dir);
        if (next < 0) {
            // O_PATH|O_NOFOLLOW opens a link itself, which O_DIRECTORY then refuses.
            errno = saved == ENOTDIR ? ELOOP : saved;
            return -1;
        }
        dir = next;
    }
}

// What a temporary file of an upload is called: the target's name, ".tftp-" and six characters.
constexpr char kTempMarker[] = ".tftp-";
constexpr size_t kTempSuffix = 6;

bool IsUploadTempName(const char* name) {
    size_t length = std::strlen(name);
    size_t marker = sizeof kTempMarker - 1;
    if (length <= marker + kTempSuffix) return false;
    if (std::memcmp(name + length - kTempSuffix - marker, kTempMarker, marker) != 0) return false;
    for (size_t i = length - kTempSuffix; i < length; ++i) {
        char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return false;
    }
    return true;
}

int RemoveTempFilesIn(int dirFd, int depth) {
    DIR* dir = fdopendir(dirFd);
    if (dir == nullptr) {
        close(dirFd);
        return 0;
    }
    int removed = 0;
    for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        struct stat st {};
        if (fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISREG(st.st_mode) && IsUploadTempName(entry->d_name)) {
            if (unlinkat(dirfd(dir), entry->d_name, 0) == 0) ++removed;
        } else if (S_ISDIR(st.st_mode) && depth > 0) {
            int sub = openat(dirfd(dir), entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub >= 0) removed += RemoveTempFilesIn(sub, depth - 1);
        }
    }
    closedir(dir);
    return removed;
}

}  // namespace

int OpenBeneath(int rootFd, const char* relative, int flags, mode_t mode) {
    // "as if the root were /": a leading separator names the root itself.
    while (*relative == '/') ++relative;
    std::string path = relative[0] != '\0' ? relative : ".";
    static std::atomic<bool> noOpenat2{false};
    if (!noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        noOpenat2 = true;
    }
    return OpenBeneathByComponents(rootFd, path, flags, mode);
}

bool EscapesRoot(int err) {
    return err == EXDEV || err == ELOOP;
}

int OpenRootDir(const char* root, int flags) {
    std::string path = root;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return open(path.c_str(), flags | O_DIRECTORY | O_CLOEXEC);
}

int RemoveUploadTempFiles(const char* root) {
    int fd = OpenRootDir(root, O_RDONLY);
    if (fd < 0) return 0;
    constexpr int kDepth = 16;
    return RemoveTempFilesIn(fd, kDepth);
}

bool MakeUploadTempName(const std::string& base, std::string* temp) {
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[kTempSuffix];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
    *temp = base + kTempMarker;
    for (unsigned char r : random) *temp += kAlphabet[r % (sizeof kAlphabet - 1)];
    return true;
}

std::string SystemNameOf(const char* name) {
    std::string converted;
    if (!platform::GbkToUtf8(name, &converted)) converted = name;  // not GBK: take the bytes as they are
    for (char& c : converted) {
        if (c == '\\') c = '/';
    }
    return converted;
}

std::string SystemPathUnder(const char* root, const char* name) {
    std::string path = root;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    return path + SystemNameOf(name);
}

int ResolveRequestPath(TftpTransfer* transfer, const char* requested, bool quiet) {
    if (std::strlen(requested) >= sizeof transfer->szName) return 4;
    char* name = transfer->szName;
    std::strcpy(name, requested);
    NormalizeFileName(*transfer->cfg, name);
    if (!MayAccess(transfer, name)) {
        if (quiet) return 2;
        LogMessage(LOG_GENERAL, "Error EACCESS on file %s. Ext error %s", name, LastErrorText());
        if (transfer->nOpcode == TFTP_WRQ && transfer->cfg->nSecurityLevel == 3) {
            char host[NI_MAXHOST];
            char port[NI_MAXSERV];
            NumericHostPort(&transfer->peer, sizeof transfer->peer, host, sizeof host, port, sizeof port);
            LogMessage(LOG_MAJOR, "write request for <%s> from %s refused: the files are served read-only",
                       platform::EscapeControlChars(name).c_str(), host);
        }
        return 2;
    }
    const char* root = transfer->szRoot;
    size_t rootLength = std::strlen(root);
    bool separator = rootLength > 0 && root[rootLength - 1] != '\\';
    std::snprintf(transfer->szFinalName, sizeof transfer->szFinalName, "%s%s%s", root, separator ? "\\" : "", name);
    if (!quiet) LogMessage(LOG_INFO, "final name : <%s>", transfer->szFinalName);
    std::string path = SystemPathUnder(root, name);
    std::string relative = SystemNameOf(name);
    if (std::strlen(transfer->szFinalName) >= kTftpMaxPath || path.size() >= sizeof transfer->szPath ||
        relative.size() >= sizeof transfer->szRelPath) {
        if (!quiet) LogMessage(LOG_MAJOR, "File name too long, return EBADOP to peer");
        return 4;
    }
    std::memcpy(transfer->szPath, path.c_str(), path.size() + 1);
    std::memcpy(transfer->szRelPath, relative.c_str(), relative.size() + 1);
    return 0;
}

TftpFileIdentity FileIdentityOf(const struct stat& st) {
    TftpFileIdentity identity{};
    identity.nDevice = st.st_dev;
    identity.nInode = st.st_ino;
    identity.nSize = static_cast<uint64_t>(st.st_size);
    identity.nMtimeSec = st.st_mtim.tv_sec;
    identity.nMtimeNsec = st.st_mtim.tv_nsec;
    identity.nCtimeSec = st.st_ctim.tv_sec;
    identity.nCtimeNsec = st.st_ctim.tv_nsec;
    return identity;
}

bool SameTftpFile(const TftpFileIdentity& a, const TftpFileIdentity& b) {
    return a.nDevice == b.nDevice && a.nInode == b.nInode && a.nSize == b.nSize && a.nMtimeSec == b.nMtimeSec &&
           a.nMtimeNsec == b.nMtimeNsec && a.nCtimeSec == b.nCtimeSec && a.nCtimeNsec == b.nCtimeNsec;
}

int TftpCheckServable(const char* root, const char* name, const TftpConfig& settings, char* why, size_t whySize,
                      TftpFileIdentity* identity) {
    if (identity != nullptr) *identity = TftpFileIdentity{};
    auto refuse = [&](int code, const char* reason) {
        if (why != nullptr && whySize > 0) std::snprintf(why, whySize, "%s", reason);
        return code;
    };
    if (std::strlen(root) >= kTftpMaxPath) return refuse(4, "the folder's path is too long for the TFTP service");
    if (std::strchr(name, '%') != nullptr) return refuse(2, "the TFTP service refuses names with '%'");
    // The service reads both separators as folders: such a name would be looked up elsewhere.
    if (std::strchr(name, '\\') != nullptr || std::strchr(name, '/') != nullptr) {
        return refuse(1, "the TFTP service reads '\\' in a name as a folder separator");
    }
    auto transfer = std::make_unique<TftpTransfer>();
    transfer->cfg = &settings;
    transfer->nOpcode = TFTP_RRQ;
    std::snprintf(transfer->szRoot, sizeof transfer->szRoot, "%s", root);
    int code = std::strlen(name) >= kTftpMaxPath ? 4 : ResolveRequestPath(transfer.get(), name, true);
    if (code == 2) return refuse(2, "the TFTP service refuses names with '..'");
    if (code != 0) return refuse(code, "too long once joined with the folder (the TFTP service takes 259 bytes)");
    int rootFd = OpenRootDir(root, O_PATH);
    if (rootFd < 0) {
        if (identity != nullptr) identity->nOpenError = errno;
        return refuse(1, "the folder cannot be opened");
    }
    int fd = OpenBeneath(rootFd, transfer->szRelPath, O_RDONLY | O_NONBLOCK, 0);
    int err = errno;
    close(rootFd);
    if (fd < 0) {
        if (identity != nullptr) identity->nOpenError = err;
        return refuse(EscapesRoot(err) ? 2 : 1,
                      EscapesRoot(err) ? "a link that leaves the folder" : "the TFTP service cannot open it");
    }
    struct stat st {};
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) return refuse(1, "not a regular file");
    if (identity != nullptr) *identity = FileIdentityOf(st);
    return 0;
}
