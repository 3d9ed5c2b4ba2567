// One request on its worker: the transfer socket, the decoding of the request and the opening of
// its file, then the engine that serves it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/text_codec.h"

namespace {

void SleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

int Refuse(TftpTransfer* transfer, int code) {
    SendTftpError(transfer, code);
    return REQ_REFUSED;
}

// Why a file could not be opened, beyond "not found": each answered with its own ERROR.
constexpr int kOpenTooBig = -2;
constexpr int kOpenAccess = -3;
constexpr int kOpenNoDescriptors = -4;

int OpenFailure(int err) {
    SetLastErrorFromErrno(err, false);
    if (err == EMFILE || err == ENFILE) return kOpenNoDescriptors;
    if (EscapesRoot(err) || err == EACCES || err == EPERM) return kOpenAccess;
    return -1;
}

int OpenForRead(TftpTransfer* transfer) {
    int root = OpenRootDir(transfer->szRoot, O_PATH);
    if (root < 0) return OpenFailure(errno);
    // Non-blocking, so a FIFO or a device named in a request cannot hold the worker in open().
    int fd = OpenBeneath(root, transfer->szRelPath, O_RDONLY | O_NONBLOCK, 0);
    int err = errno;
    close(root);
    if (fd < 0) return OpenFailure(err);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        // Only a regular file is served: not a folder, a FIFO or a device.
        SetLastErrorFromErrno(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, false);
        close(fd);
        return -1;
    }
    if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFull) {
        // Sizes and block counts are 32-bit: a larger file would go out cut short.
        SetLastErrorFromErrno(EFBIG, false);
        close(fd);
        return kOpenTooBig;
    }
    transfer->nFileSize = static_cast<uint32_t>(st.st_size);
    transfer->opened = FileIdentityOf(st);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// A write goes into a temporary file beside its target, in the target's folder opened beneath the
// root; FinishWrittenFile renames it over the target when the last block has arrived. A target the
// service could not write in place is not replaced: read-only, a link (it could lead anywhere), or
// one with other hard links (replacing it would split them, writing it would change a file that may
// live outside the root).
int OpenForWrite(TftpTransfer* transfer) {
    std::string relative = transfer->szRelPath;
    size_t slash = relative.find_last_of('/');
    std::string folder = slash == std::string::npos ? "" : relative.substr(0, slash);
    std::string base = slash == std::string::npos ? relative : relative.substr(slash + 1);
    if (base.empty() || base == "." || base == "..") return OpenFailure(EISDIR);
    int root = OpenRootDir(transfer->szRoot, O_PATH);
    if (root < 0) return OpenFailure(errno);
    int dir = OpenBeneath(root, folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
    int err = errno;
    close(root);
    if (dir < 0) return OpenFailure(err);
    mode_t mode = 0644;
    struct stat st {};
    if (fstatat(dir, base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        err = 0;
        if (S_ISDIR(st.st_mode)) {
            err = EISDIR;
        } else if (!S_ISREG(st.st_mode) || st.st_nlink > 1 || (st.st_mode & 0222) == 0 ||
                   faccessat(dir, base.c_str(), W_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
            err = EACCES;
        }
        if (err != 0) {
            close(dir);
            return OpenFailure(err);
        }
        mode = st.st_mode & 0777;
    } else if (errno != ENOENT) {
        err = errno;
        close(dir);
        return OpenFailure(err);
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        if (!MakeUploadTempName(base, &temp)) break;
        fd = openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        err = errno;
        close(dir);
        return OpenFailure(err);
    }
    fchmod(fd, mode);
    if (st.st_nlink > 0 && geteuid() == 0) {
        int ignored = fchown(fd, st.st_uid, st.st_gid);  // best effort: the target keeps its owner
        (void)ignored;
    }
    transfer->hDir = dir;
    std::snprintf(transfer->szTempName, sizeof transfer->szTempName, "%s", temp.c_str());
    std::snprintf(transfer->szTargetBase, sizeof transfer->szTargetBase, "%s", base.c_str());
    transfer->nFileSize = 0;
    return fd;
}

// Binds the transfer socket to the first free port of the settings' range, or to any port.
int BindInPortRange(int socket, TftpTransfer* transfer, uint32_t firstPort, uint32_t lastPort) {
    uint32_t port = firstPort;
    if (port != 69 && (port < 1024 || port > lastPort)) port = 0;
    for (;;) {
        sockaddr_storage local{};
        socklen_t length;
        if (transfer->peer.ss_family == AF_INET6) {
            auto* a6 = reinterpret_cast<sockaddr_in6*>(&local);
            a6->sin6_family = AF_INET6;
            a6->sin6_addr = in6addr_any;
            a6->sin6_port = htons(static_cast<uint16_t>(port));
            length = sizeof(sockaddr_in6);
        } else {
            auto* a4 = reinterpret_cast<sockaddr_in*>(&local);
            a4->sin_family = AF_INET;
            a4->sin_addr.s_addr = htonl(INADDR_ANY);
            a4->sin_port = htons(static_cast<uint16_t>(port));
            length = sizeof(sockaddr_in);
        }
        int rc = bind(socket, reinterpret_cast<sockaddr*>(&local), length);
        if (rc != 0) SetLastErrorFromErrno(errno, true);
        if (port == 0 || port >= lastPort || rc == 0 || LastErrorCode() != kErrAddrInUse) return rc;
        ++port;
    }
}

int SetupTransferSocket(TftpTransfer* transfer) {
    if (transfer->peer.ss_family == AF_INET6) {
        auto* a6 = reinterpret_cast<sockaddr_in6*>(&transfer->peer);
        static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::memcmp(a6->sin6_addr.s6_addr, kPrefix, sizeof kPrefix) == 0) {
            sockaddr_in a4{};
            a4.sin_family = AF_INET;
            a4.sin_port = a6->sin6_port;
            std::memcpy(&a4.sin_addr, a6->sin6_addr.s6_addr + 12, 4);
            std::memset(&transfer->peer, 0, sizeof transfer->peer);
            std::memcpy(&transfer->peer, &a4, sizeof a4);
        }
    }
    int skt = socket(transfer->peer.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (skt < 0) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "Error : socket returns %d: <%s>", LastErrorCode(), LastErrorText());
        return 0;
    }
    // Published only once bound and connected: a stop sends its ERROR 99 through it, and must
    // never do so while the socket is still being set up.
    if (BindInPortRange(skt, transfer, transfer->cfg->nPortLow, transfer->cfg->nPortHigh) != 0) {
        LogMessage(LOG_MAJOR, "Error : bind returns %d: <%s>", LastErrorCode(), LastErrorText());
        close(skt);
        return 0;
    }
    if (connect(skt, reinterpret_cast<sockaddr*>(&transfer->peer), AddressLength(transfer->peer)) != 0) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "Error : connect returns %d: <%s>", LastErrorCode(), LastErrorText());
        close(skt);
        SleepMs(1000);
        return 0;
    }
    std::atomic_ref<int>(transfer->skt).store(skt);
    return 1;
}

}  // namespace

void ServeRequest(TftpTransfer* transfer) {
    if (!SetupTransferSocket(transfer)) return;
    int request = DecodeRequest(transfer);
    if (request == REQ_REFUSED) return;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    char host[NI_MAXHOST] = "";
    char port[NI_MAXSERV] = "";
    if (getsockname(transfer->skt, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
    }
    LogMessage(LOG_DEBUG0, "Using local port %s", port);
    switch (request) {
        case REQ_READ_OACK:
            if (SendOack(transfer)) SendFileLoop(transfer);
            break;
        case REQ_READ:
            SendFileLoop(transfer);
            break;
        case REQ_WRITE_OACK:
            if (SendOack(transfer)) ReceiveFileLoop(transfer, 1);
            break;
        case REQ_WRITE:
            ReceiveFileLoop(transfer, 0);
            break;
        default:
            break;
    }
    LogMessage(LOG_INFO, "return from thread\n");
}

bool FinishWrittenFile(TftpTransfer* transfer, bool success) {
    if (transfer->szTempName[0] == '\0') return true;
    bool done = true;
    if (transfer->hFile >= 0) {
        if (success && fsync(transfer->hFile) != 0) {
            SetLastErrorFromErrno(errno, false);
            done = false;
        }
        close(transfer->hFile);
        transfer->hFile = -1;
    }
    if (success && done &&
        renameat(transfer->hDir, transfer->szTempName, transfer->hDir, transfer->szTargetBase) != 0) {
        SetLastErrorFromErrno(errno, false);
        done = false;
    }
    if (!success || !done) unlinkat(transfer->hDir, transfer->szTempName, 0);
    transfer->szTempName[0] = '\0';
    close(transfer->hDir);
    transfer->hDir = -1;
    return success && done;
}

int DecodeRequest(TftpTransfer* transfer) {
    const TftpConfig& cfg = *transfer->cfg;
    const TftpRequest request = ParseTftpRequest(transfer->reqPkt, static_cast<size_t>(transfer->nReqLen));
    const int opcode = request.opcode;
    const char* name = request.name.c_str();
    transfer->nOpcode = opcode;
    if (opcode != TFTP_RRQ && opcode != TFTP_WRQ) {
        LogMessage(LOG_MAJOR, "Unexpected request %d from peer", opcode);
        LogMessage(LOG_MAJOR, "Returning EBADOP to Peer");
        return Refuse(transfer, 4);
    }
    if (request.name.size() >= kTftpMaxPath) {
        LogMessage(LOG_MAJOR, "File name too long, return EBADOP to peer");
        return Refuse(transfer, 4);
    }
    if (request.name.find('%') != std::string::npos) {
        LogMessage(LOG_GENERAL, "Error: Portwell does not handle filenames with a percent sign");
        return Refuse(transfer, 2);
    }
    LogMessage(LOG_INFO, "FileName is <%s>", name);
    if (opcode == TFTP_RRQ && cfg.bDirListing) WriteDirListing(transfer->szRoot);
    const int mode = request.hasMode ? TftpModeOf(request.mode) : -1;
    if (mode < 0) {
        LogMessage(LOG_MAJOR, "Uncorrect message");
        return Refuse(transfer, 4);
    }
    transfer->nMode = mode;
    const char* modeText = request.mode.c_str();
    LogMessage(LOG_INFO, "Mode is <%s>", modeText);
    LogMessage(LOG_INFO, "%s request for file <%s>. Mode %s", opcode == TFTP_RRQ ? "Read" : "Write", name, modeText);

    int refusal = ResolveRequestPath(transfer, name);
    if (refusal != 0) return Refuse(transfer, refusal);
    int fd = opcode == TFTP_RRQ ? OpenForRead(transfer) : OpenForWrite(transfer);
    if (fd == kOpenTooBig) {
        ReportSyscallError(transfer, 0, "GetFileSize");
        return REQ_REFUSED;
    }
    if (fd == kOpenAccess) {
        LogMessage(LOG_GENERAL, "File <%s> refused: %s (a link leading out of the folder, or not writable)",
                   platform::EscapeControlChars(transfer->szName).c_str(), LastErrorText());
        return Refuse(transfer, 2);
    }
    if (fd == kOpenNoDescriptors) {
        // Not the file's fault: the client must hear that it may try again, not that it is missing.
        LogMessage(LOG_MAJOR, "File <%s> not opened: the service is out of file descriptors (%s)",
                   platform::EscapeControlChars(transfer->szName).c_str(), LastErrorText());
        SendTftpErrorText(transfer, 0, "Server busy: out of file descriptors, try again");
        return REQ_REFUSED;
    }
    if (fd < 0) {
        ReportSyscallError(transfer, opcode == TFTP_RRQ ? 1 : 2, "CreateFile");
        return REQ_REFUSED;
    }
    transfer->hFile = fd;
    if (opcode == TFTP_RRQ) {
        // A run keeps the service to the files it catalogued: it may refuse this one.
        int verdict = TftpNotifyRead(transfer, TFTP_READ_OPENED);
        if (verdict > 0) {
            LogMessage(LOG_GENERAL, "File <%s> refused by the upgrade run: ERROR %d", transfer->szName, verdict);
            return Refuse(transfer, verdict);
        }
        transfer->bWatchFile = verdict == 0 ? 1 : 0;
    }

    const bool acknowledged = NegotiateOptions(transfer, request);
    if (opcode == TFTP_WRQ && transfer->bAnnounced) {
        struct statvfs fs {};
        if (fstatvfs(fd, &fs) == 0 && transfer->nAnnounced > static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize) {
            LogMessage(LOG_MAJOR, "File <%s> : %llu bytes announced, more than the free space",
                       RequestFileName(transfer), static_cast<unsigned long long>(transfer->nAnnounced));
            return Refuse(transfer, 3);
        }
    }
    transfer->nCount = (opcode == TFTP_RRQ && !acknowledged) ? 1 : 0;
    transfer->nBlockCount = transfer->nFileSize / static_cast<uint32_t>(transfer->nBlkSize) + 1;
    transfer->nWindow = cfg.nWindowBytes / transfer->nBlkSize;
    if (!acknowledged) return opcode == TFTP_RRQ ? REQ_READ : REQ_WRITE;
    // The OACK as the log shows it: "name=value," for each entry.
    char printable[kTftpRequestSize];
    size_t bodyLength = transfer->nLastLen;
    std::memcpy(printable, transfer->ctrlPkt + 2, bodyLength);
    bool equals = true;
    for (size_t i = 0; i < bodyLength; ++i) {
        if (printable[i] == '\0') {
            printable[i] = equals ? '=' : ',';
            equals = !equals;
        }
    }
    printable[bodyLength < sizeof printable ? bodyLength : sizeof printable - 1] = '\0';
    LogMessage(LOG_DEBUG0, "OACK: <%s>", printable);
    LogMessage(LOG_DEBUG0, "Size of OACK string : <%d>", static_cast<int>(bodyLength));
    return opcode == TFTP_RRQ ? REQ_READ_OACK : REQ_WRITE_OACK;
}

const char* RequestFileName(const TftpTransfer* transfer) { return transfer->szName; }
