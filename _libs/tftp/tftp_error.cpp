// The last error of each service thread (in the numbering its log texts use), ERROR packets to a
// transfer's client, and addresses as the log shows them.
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "_libs/tftp/tftp.h"
#include "log/log.h"

namespace {

thread_local int t_lastError = 0;
thread_local int t_lastErrno = 0;
thread_local char t_lastErrorText[512];

}  // namespace

void SetLastErrorCode(int code) {
    t_lastError = code;
    t_lastErrno = 0;
}

void SetLastErrorFromErrno(int err, bool socketCall) {
    t_lastErrno = err;
    t_lastError = err;
    if (!socketCall) return;
    switch (err) {
        case EACCES:
        case EPERM:
            t_lastError = kErrAccess;
            break;
        case EINVAL:
            t_lastError = kErrInvalid;
            break;
        case EADDRINUSE:
            t_lastError = kErrAddrInUse;
            break;
        case EADDRNOTAVAIL:
            t_lastError = kErrAddrNotAvail;
            break;
        default:
            break;
    }
}

int LastErrorCode() { return t_lastError; }

const char* LastErrorText() {
    const char* text;
    char scratch[256];
    if (t_lastErrno != 0) {
        text = strerror_r(t_lastErrno, scratch, sizeof scratch);
    } else {
        switch (t_lastError) {
            case 0:
                text = "Success";
                break;
            case kErrDirectory:
                text = "The directory name is invalid";
                break;
            case kErrBadLength:
                text = "The command length is incorrect";
                break;
            case kErrHostNotFound:
                text = "No such host is known";
                break;
            default:
                text = "Unknown error";
                break;
        }
    }
    std::snprintf(t_lastErrorText, sizeof t_lastErrorText, "%s", text);
    char* cr = std::strchr(t_lastErrorText, '\r');
    if (cr != nullptr) *cr = '\0';
    return t_lastErrorText;
}

int SendTftpError(TftpTransfer* transfer, int code) {
    int skt = std::atomic_ref<int>(transfer->skt).load();
    if (skt < 0) return 0;
    int length = BuildTftpError(transfer->dataPkt, code);
    ssize_t sent = send(skt, transfer->dataPkt, static_cast<size_t>(length), MSG_NOSIGNAL);
    return sent == length ? 0 : -1;
}

int SendTftpErrorText(TftpTransfer* transfer, int code, const char* text) {
    int skt = std::atomic_ref<int>(transfer->skt).load();
    if (skt < 0) return 0;
    size_t length = std::strlen(text);
    if (length > 255) length = 255;
    PutTftpHeader(transfer->dataPkt, TFTP_ERROR, static_cast<uint32_t>(code));
    std::memcpy(transfer->dataPkt + 4, text, length);
    transfer->dataPkt[4 + length] = 0;
    ssize_t sent = send(skt, transfer->dataPkt, length + 5, MSG_NOSIGNAL);
    return sent == static_cast<ssize_t>(length + 5) ? 0 : -1;
}

int ReportSyscallError(TftpTransfer* transfer, int code, const char* call) {
    LogMessage(LOG_MAJOR, "File <%s> : error %d in system call %s %s", RequestFileName(transfer), LastErrorCode(),
               call, LastErrorText());
    SendTftpError(transfer, code);
    return 0;
}

void NumericHostPort(const sockaddr_storage* address, socklen_t length, char* host, size_t hostSize, char* port,
                     size_t portSize) {
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address), length, host, static_cast<socklen_t>(hostSize), port,
                    static_cast<socklen_t>(portSize), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::snprintf(host, hostSize, "unknown");
        std::snprintf(port, portSize, "unknown");
        return;
    }
    if (std::strncmp(host, "::ffff:", 7) == 0 && std::strchr(host + 7, '.') != nullptr) {
        std::memmove(host, host + 7, std::strlen(host + 7) + 1);
    }
}
