// One request: the transfer socket, decoding, the access rules, option negotiation and ERROR packets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <strings.h>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/text_codec.h"

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
    {-1, nullptr},
};

struct ModeName {
    const char* name;
    int mode;
};

constexpr ModeName kModes[] = {
    {"netascii", TFTP_MODE_NETASCII}, {"ascii", TFTP_MODE_NETASCII}, {"mail", TFTP_MODE_MAIL},
    {"octet", TFTP_MODE_OCTET},       {"binary", TFTP_MODE_OCTET},
};

// Position, counted from the start of the file name, at which option scanning stops.
constexpr size_t kOptionLimit = 512;

void SleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Appends "name\0value\0" when it fits in the 516-byte control packet; an entry that does not fit is
// left out (a client repeating options cannot push the OACK past its packet).
bool AppendOption(TftpTransfer* transfer, size_t* length, const char* name, const char* value) {
    size_t nameLength = std::strlen(name);
    size_t valueLength = std::strlen(value);
    if (*length + nameLength + 1 + valueLength + 1 > sizeof transfer->ctrlPkt) {
        LogMessage(LOG_GENERAL, "Option <%s> left out of the OACK: no room left", name);
        return false;
    }
    std::memcpy(transfer->ctrlPkt + *length, name, nameLength + 1);
    *length += nameLength + 1;
    std::memcpy(transfer->ctrlPkt + *length, value, valueLength + 1);
    *length += valueLength + 1;
    return true;
}

// Receive memory a client is assumed to give one window: three quarters of Linux's default socket
// receive buffer, which TFTP clients rarely raise. Blocks past a full buffer are dropped and the
// transfer stalls for a whole time-out, so a window never asks for more.
constexpr int kClientWindowBudget = 212992 / 4 * 3;

// A "windowsize" value: decimal digits meaning 1 to 65535; anything else is 0 (not granted).
int ParseWindowSize(const char* value) {
    while (*value == '0') ++value;
    size_t length = std::strlen(value);
    if (length == 0 || length > 5) return 0;
    int window = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        window = window * 10 + (*p - '0');
    }
    return window <= 65535 ? window : 0;
}

// The window to grant at the final block size: no more than asked, than the settings allow, and
// than the receiving side's buffer holds. For a write we receive, so our own socket is sized for
// it and the window shrinks to what the kernel gave.
int GrantWindow(TftpTransfer* transfer, int asked) {
    const int cost = TftpBlockBufferCost(transfer->nBlkSize);
    int window = asked < g_TftpConfig.nMaxWindowSize ? asked : g_TftpConfig.nMaxWindowSize;
    if (transfer->nOpcode == TFTP_RRQ && window > kClientWindowBudget / cost) window = kClientWindowBudget / cost;
    if (window < 1) window = 1;
    // The sender blocks rather than drops when its buffer is full, but a window that fits goes out
    // without waits; the receiver must hold the whole window.
    const int option = transfer->nOpcode == TFTP_RRQ ? SO_SNDBUF : SO_RCVBUF;
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(transfer->skt, SOL_SOCKET, option, &size, &length) == 0 && size < window * cost) {
        int request = window * cost;
        setsockopt(transfer->skt, SOL_SOCKET, option, &request, sizeof request);
        length = sizeof size;
        getsockopt(transfer->skt, SOL_SOCKET, option, &size, &length);
    }
    if (transfer->nOpcode == TFTP_WRQ && window > size / cost) window = size / cost > 1 ? size / cost : 1;
    return window;
}

// Rewrites the value of every "windowsize" entry of the OACK (appended with the value asked for,
// before the block size was final) to the window granted. Values only get shorter, so the OACK
// stays within its packet.
void SetOackWindow(TftpTransfer* transfer, size_t* length, int window) {
    unsigned char rebuilt[sizeof transfer->ctrlPkt];
    size_t out = 2;
    char text[16];
    std::snprintf(text, sizeof text, "%d", window);
    for (size_t at = 2; at < *length;) {
        const char* name = reinterpret_cast<const char*>(transfer->ctrlPkt + at);
        size_t nameLength = std::strlen(name) + 1;
        const char* value = name + nameLength;
        size_t valueLength = std::strlen(value) + 1;
        if (strcasecmp(name, "windowsize") == 0) value = text;
        std::memcpy(rebuilt + out, name, nameLength);
        out += nameLength;
        std::memcpy(rebuilt + out, value, std::strlen(value) + 1);
        out += std::strlen(value) + 1;
        at += nameLength + valueLength;
    }
    std::memcpy(transfer->ctrlPkt + 2, rebuilt + 2, out - 2);
    std::memset(transfer->ctrlPkt + out, 0, sizeof transfer->ctrlPkt - out);
    *length = out;
}

bool SystemPathOf(const char* root, const char* name, std::string* out) {
    std::string converted;
    if (!platform::GbkToUtf8(name, &converted)) converted = name;  // not GBK: take the bytes as they are
    for (char& c : converted) {
        if (c == '\\') c = '/';
    }
    *out = root;
    if (!out->empty() && out->back() != '/' && out->back() != '\\') *out += '/';
    *out += converted;
    return true;
}

}  // namespace

const char* TftpErrorText(int code) {
    for (const ErrorText* e = kErrorTexts; e->code != -1; ++e) {
        if (e->code == code) return e->text;
    }
    return kErrorTexts[0].text;
}

int BuildTftpError(unsigned char* out, int code) {
    const char* text = TftpErrorText(code);
    size_t length = std::strlen(text);
    out[0] = 0;
    out[1] = TFTP_ERROR;
    out[2] = static_cast<unsigned char>((code >> 8) & 0xFF);
    out[3] = static_cast<unsigned char>(code & 0xFF);
    std::memcpy(out + 4, text, length + 1);
    return static_cast<int>(length + 5);
}

const char* RequestFileName(const TftpTransfer* transfer) {
    return reinterpret_cast<const char*>(transfer->reqPkt + 2);
}

bool ToSystemPath(const char* name, char* out, size_t outSize) {
    std::string path;
    if (!SystemPathOf("", name, &path) || path.size() >= outSize) return false;
    std::memcpy(out, path.c_str(), path.size() + 1);
    return true;
}

int SendTftpError(TftpTransfer* transfer, int code) {
    int skt = std::atomic_ref<int>(transfer->skt).load();
    if (skt < 0) return 0;
    int length = BuildTftpError(transfer->dataPkt, code);
    ssize_t sent = send(skt, transfer->dataPkt, static_cast<size_t>(length), MSG_NOSIGNAL);
    return sent == length ? 0 : -1;
}

int ReportSyscallError(TftpTransfer* transfer, int code, const char* call) {
    LogMessage(LOG_MAJOR, "File <%s> : error %d in system call %s %s", RequestFileName(transfer), LastErrorCode(),
               call, LastErrorText());
    SendTftpError(transfer, code);
    return 0;
}

void NormalizeFileName(char* name) {
    if (g_TftpConfig.bSlashToBackslash) {
        for (char* p = name; *p != '\0'; ++p) {
            if (*p == '/') *p = '\\';
        }
    }
    if (name[0] != '\0' && name[1] == ':' && name[0] >= 'a' && name[0] <= 'z') {
        name[0] = static_cast<char>(name[0] - 'a' + 'A');
    }
    if (g_TftpConfig.bStripLeadingBackslash && name[0] == '\\') {
        std::memmove(name, name + 1, std::strlen(name));
    }
}

int CheckFileAccess(const char* name, int opcode) {
    bool safe = std::strstr(name, "..") == nullptr && std::strstr(name, "\\\\") == nullptr;
    switch (g_TftpConfig.nSecurityLevel) {
        case 0:
            return 1;
        case 1:
            if (!safe) SetLastErrorCode(kErrDirectory);
            return safe ? 1 : 0;
        case 2: {
            if (!safe) {
                SetLastErrorCode(kErrDirectory);
                return 0;
            }
            if (opcode == TFTP_RRQ) return 1;
            // The file that would be replaced is the one under the root, so that is the one looked at.
            std::string path;
            SystemPathOf(g_TftpConfig.szRootDir, name, &path);
            struct stat st {};
            if (stat(path.c_str(), &st) != 0) return 0;
            if (st.st_size != 0) {
                SetLastErrorCode(kErrBadLength);
                return 0;
            }
            return 1;
        }
        case 3:
            if (!safe || opcode != TFTP_RRQ) {
                SetLastErrorCode(kErrDirectory);
                return 0;
            }
            return 1;
        default:
            return 0;
    }
}

void BuildFinalName(const char* name, char* out) {
    const char* root = g_TftpConfig.szRootDir;
    size_t rootLength = std::strlen(root);
    bool separator = rootLength > 0 && root[rootLength - 1] != '\\';
    std::snprintf(out, 2 * kTftpMaxPath, "%s%s%s", root, separator ? "\\" : "", name);
}

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
    if (BindInPortRange(skt, transfer, g_TftpConfig.nPortLow, g_TftpConfig.nPortHigh) != 0) {
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
    if (success && done && rename(transfer->szTempName, transfer->szFinalName) != 0) {
        SetLastErrorFromErrno(errno, false);
        done = false;
    }
    if (!success || !done) unlink(transfer->szTempName);
    transfer->szTempName[0] = '\0';
    return success && done;
}

namespace {

int Refuse(TftpTransfer* transfer, int code) {
    SendTftpError(transfer, code);
    return REQ_REFUSED;
}

int OpenForRead(TftpTransfer* transfer, const std::string& path) {
    // Non-blocking, so a FIFO or a device named in a request cannot hold the worker in open().
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, false);
        return -1;
    }
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
        return -2;
    }
    transfer->nFileSize = static_cast<uint32_t>(st.st_size);
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

// A write goes into a temporary file beside its target; FinishWrittenFile renames it over the
// target when the last block has arrived.
int OpenForWrite(TftpTransfer* transfer, const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastErrorFromErrno(EISDIR, false);
        return -1;
    }
    std::string temp = path + ".tftp-XXXXXX";
    if (temp.size() >= sizeof transfer->szTempName || path.size() >= sizeof transfer->szFinalName) {
        SetLastErrorFromErrno(ENAMETOOLONG, false);
        return -1;
    }
    std::memcpy(transfer->szTempName, temp.c_str(), temp.size() + 1);
    int fd = mkostemp(transfer->szTempName, O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno(errno, false);
        transfer->szTempName[0] = '\0';
        return -1;
    }
    fchmod(fd, 0644);
    std::memcpy(transfer->szFinalName, path.c_str(), path.size() + 1);
    transfer->nFileSize = 0;
    return fd;
}

}  // namespace

int DecodeRequest(TftpTransfer* transfer) {
    const TftpConfig& cfg = g_TftpConfig;
    unsigned char* packet = transfer->reqPkt;
    packet[509] = 0;
    int opcode = (packet[0] << 8) | packet[1];
    transfer->nOpcode = opcode;
    if (opcode != TFTP_RRQ && opcode != TFTP_WRQ) {
        LogMessage(LOG_MAJOR, "Unexpected request %d from peer", opcode);
        LogMessage(LOG_MAJOR, "Returning EBADOP to Peer");
        return Refuse(transfer, 4);
    }
    char* name = reinterpret_cast<char*>(packet + 2);
    size_t nameLength = std::strlen(name);
    if (nameLength >= kTftpMaxPath) {
        LogMessage(LOG_MAJOR, "File name too long, return EBADOP to peer");
        return Refuse(transfer, 4);
    }
    if (std::strchr(name, '%') != nullptr) {
        LogMessage(LOG_GENERAL, "Error: Portwell does not handle filenames with a percent sign");
        return Refuse(transfer, 2);
    }
    LogMessage(LOG_INFO, "FileName is <%s>", name);
    if (opcode == TFTP_RRQ && cfg.bDirListing) WriteDirListing();

    const char* modeText = name + nameLength + 1;
    const ModeName* mode = nullptr;
    for (const ModeName& m : kModes) {
        if (strcasecmp(modeText, m.name) == 0) mode = &m;
    }
    if (mode == nullptr) {
        LogMessage(LOG_MAJOR, "Uncorrect message");
        return Refuse(transfer, 4);
    }
    transfer->nMode = mode->mode;
    LogMessage(LOG_INFO, "Mode is <%s>", modeText);
    LogMessage(LOG_INFO, "%s request for file <%s>. Mode %s", opcode == TFTP_RRQ ? "Read" : "Write", name, modeText);

    NormalizeFileName(name);
    if (!CheckFileAccess(name, opcode)) {
        LogMessage(LOG_GENERAL, "Error EACCESS on file %s. Ext error %s", name, LastErrorText());
        return Refuse(transfer, 2);
    }
    char finalName[2 * kTftpMaxPath];
    BuildFinalName(name, finalName);
    LogMessage(LOG_INFO, "final name : <%s>", finalName);
    if (std::strlen(finalName) >= kTftpMaxPath) {
        LogMessage(LOG_MAJOR, "File name too long, return EBADOP to peer");
        return Refuse(transfer, 4);
    }
    std::string path;
    SystemPathOf(cfg.szRootDir, name, &path);
    int fd = opcode == TFTP_RRQ ? OpenForRead(transfer, path) : OpenForWrite(transfer, path);
    if (fd == -2) {
        ReportSyscallError(transfer, 0, "GetFileSize");
        return REQ_REFUSED;
    }
    if (fd < 0) {
        ReportSyscallError(transfer, opcode == TFTP_RRQ ? 1 : 2, "CreateFile");
        return REQ_REFUSED;
    }
    transfer->hFile = fd;

    std::memset(transfer->ctrlPkt, 0, sizeof transfer->ctrlPkt);
    transfer->ctrlPkt[0] = 0;
    transfer->ctrlPkt[1] = TFTP_OACK;
    size_t oackLength = 2;
    bool acknowledged = false;
    int windowAsked = 0;  // the last "windowsize" that went into the OACK
    transfer->nWindowSize = 0;
    if (cfg.bOptions || cfg.bTsizeOnly) {
        // Positions count from the start of the file name; the scan ends at kOptionLimit.
        size_t pos = static_cast<size_t>(modeText - name) + std::strlen(modeText) + 1;
        while (pos < kOptionLimit) {
            if (name[pos] == '\0') {
                ++pos;
                continue;
            }
            const char* option = name + pos;
            size_t optionLength = strnlen(option, kOptionLimit - pos);
            if (pos + optionLength >= kOptionLimit) break;
            LogMessage(LOG_DEBUG0, "Option is <%s>", option);
            size_t valuePos = pos + optionLength + 1;
            if (valuePos >= kOptionLimit) break;
            const char* value = name + valuePos;
            size_t valueLength = strnlen(value, kOptionLimit - valuePos);
            if (valuePos + valueLength >= kOptionLimit) break;
            LogMessage(LOG_DEBUG0, "Option <%s>: value <%s>", option, value);
            pos = valuePos + valueLength + 1;

            char text[32];
            if (strcasecmp(option, "blksize") == 0 && !cfg.bTsizeOnly) {
                uint32_t size = static_cast<uint32_t>(std::atoi(value));
                if (size < 8) {
                    LogMessage(LOG_INFO, "<%s> proposed by client %d, refused by Portwell", option,
                               static_cast<int>(size));
                    continue;
                }
                if (size > kTftpMaxBlockSize) {
                    LogMessage(LOG_INFO, "<%s> proposed by client %d, reply with %d", option, static_cast<int>(size),
                               kTftpMaxBlockSize);
                    size = kTftpMaxBlockSize;
                } else {
                    LogMessage(LOG_INFO, "<%s> changed to <%s>", option, value);
                }
                // Taken only when the OACK says so: a client that never hears of it sends 512.
                std::snprintf(text, sizeof text, "%u", size);
                if (AppendOption(transfer, &oackLength, option, text)) {
                    transfer->nBlkSize = static_cast<int32_t>(size);
                    acknowledged = true;
                }
            } else if (strcasecmp(option, "timeout") == 0 && !cfg.bTsizeOnly) {
                int seconds = std::atoi(value);
                if (seconds >= 1 && seconds <= 255) {
                    LogMessage(LOG_INFO, "<%s> changed to <%s>", option, value);
                    if (AppendOption(transfer, &oackLength, option, value)) {
                        transfer->nTimeout = seconds;
                        acknowledged = true;
                    }
                }
            } else if (strcasecmp(option, "windowsize") == 0 && !cfg.bTsizeOnly && cfg.nMaxWindowSize > 0) {
                int asked = ParseWindowSize(value);
                if (asked == 0) {
                    LogMessage(LOG_INFO, "<%s> proposed by client %s, refused by Portwell", option, value);
                    continue;
                }
                // The block size may still change behind this option; the value is settled at the end.
                std::snprintf(text, sizeof text, "%d", asked < cfg.nMaxWindowSize ? asked : cfg.nMaxWindowSize);
                if (AppendOption(transfer, &oackLength, option, text)) {
                    windowAsked = asked;
                    acknowledged = true;
                }
            } else if (strcasecmp(option, "tsize") == 0) {
                if (opcode == TFTP_RRQ) {
                    std::snprintf(text, sizeof text, "%u", transfer->nFileSize);
                    acknowledged |= AppendOption(transfer, &oackLength, option, text);
                } else {
                    transfer->nFileSize = static_cast<uint32_t>(std::atoi(value));
                    acknowledged |= AppendOption(transfer, &oackLength, option, value);
                }
                LogMessage(LOG_INFO, "<%s> changed to <%u>", option, transfer->nFileSize);
            } else if (strcasecmp(option, "udpport") == 0 && cfg.bUdpPortOption) {
                sockaddr_storage local{};
                socklen_t length = sizeof local;
                if (getsockname(transfer->skt, reinterpret_cast<sockaddr*>(&local), &length) != 0) continue;
                char host[NI_MAXHOST];
                char port[NI_MAXSERV];
                if (getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, port, sizeof port,
                                NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
                    continue;
                }
                LogMessage(LOG_INFO, "using udpport option --> %s", port);
                unsigned portNumber = static_cast<unsigned>(std::atoi(port)) & 0xFFFFu;
                std::snprintf(text, sizeof text, "%u", ((portNumber & 0xFFu) << 8) | (portNumber >> 8));
                acknowledged |= AppendOption(transfer, &oackLength, option, text);
                transfer->nReplyPort = cfg.nPort;
            }
        }
    }
    if (windowAsked > 0) {
        transfer->nWindowSize = GrantWindow(transfer, windowAsked);
        SetOackWindow(transfer, &oackLength, transfer->nWindowSize);
        LogMessage(LOG_INFO, "<windowsize> %d proposed by client, %d granted at %d-byte blocks", windowAsked,
                   transfer->nWindowSize, transfer->nBlkSize);
    }
    transfer->nLastLen = static_cast<uint32_t>(oackLength - 2);
    transfer->nCount = (opcode == TFTP_RRQ && !acknowledged) ? 1 : 0;
    transfer->nBlockCount = transfer->nFileSize / static_cast<uint32_t>(transfer->nBlkSize) + 1;
    transfer->nWindow = cfg.nWindowBytes / transfer->nBlkSize;
    if (acknowledged) {
        char printable[kTftpRequestSize];
        size_t bodyLength = oackLength - 2;
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
    return opcode == TFTP_RRQ ? REQ_READ : REQ_WRITE;
}
