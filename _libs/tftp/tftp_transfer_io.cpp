// The engines' packet I/O: waiting for and taking the client's packets, ACKs, the OACK (from another
// port when the client asked for one), and the closing statistics line.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "_libs/tftp/tftp.h"
#include "log/log.h"

namespace {

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// True once the service has told every active client it is stopping: the transfer ends at once
// rather than waiting out its time-outs.
bool Aborted() {
    pollfd fd{TftpStopFd(), POLLIN, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0;
}

int WaitPacket(TftpTransfer* transfer) {
    int seconds;
    if (transfer->nTimeouts == 0) {
        seconds = (transfer->nTimeout + 3) / 4;
    } else if (transfer->nTimeouts == 1) {
        seconds = (transfer->nTimeout + 1) / 2;
    } else {
        seconds = transfer->nTimeout;
    }
    pollfd fds[2] = {{transfer->skt, POLLIN, 0}, {TftpStopFd(), POLLIN, 0}};
    int rc;
    do {
        rc = poll(fds, 2, seconds * transfer->cfg->nTimeUnitMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        SetLastErrorFromErrno(errno, true);
        ReportSyscallError(transfer, 0, "select");
        return 0;
    }
    return (fds[0].revents & (POLLIN | POLLERR)) != 0 ? 1 : 0;
}

int UdpSend(int localPort, const sockaddr* to, int toLength, const void* data, int length) {
    // Any local address of the client's family: the OACK must reach the client from the server's
    // port over whatever interface leads to it.
    addrinfo hints{};
    hints.ai_family = to->sa_family;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    char service[16];
    std::snprintf(service, sizeof service, "%d", localPort);
    addrinfo* local = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &local) != 0) return -1;
    int skt = socket(local->ai_family, local->ai_socktype | SOCK_CLOEXEC, local->ai_protocol);
    if (skt < 0) {
        freeaddrinfo(local);
        return -1;
    }
    int one = 1;
    if (setsockopt(skt, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0) {
        LogMessage(LOG_MORELOG, "UdpSend: Port %d may be reused", localPort);
    } else {
        LogMessage(LOG_MORELOG, "setsockopt error");
    }
    int rc = bind(skt, local->ai_addr, local->ai_addrlen);
    if (rc != 0) SetLastErrorFromErrno(errno, true);
    LogMessage(LOG_MORELOG, "UdpSend bind returns %d (error %d)", rc, rc != 0 ? LastErrorCode() : 0);
    freeaddrinfo(local);
    if (rc != 0) {
        close(skt);
        return -8;
    }
    int sent = static_cast<int>(
        sendto(skt, data, static_cast<size_t>(length), MSG_NOSIGNAL, to, static_cast<socklen_t>(toLength)));
    LogMessage(LOG_MORELOG, "sendto returns %d", sent);
    close(skt);
    return sent;
}

// Consecutive looks for an already waiting packet that found none, on this worker's transfer.
thread_local unsigned t_readyMisses = 0;

}  // namespace

// After a time-out: true (and logged) when the time-out was the service stopping.
bool CancelledByStop(TftpTransfer* transfer) {
    if (!Aborted()) return false;
    LogMessage(LOG_GENERAL, "transfer of <%s> cancelled by the service stop", RequestFileName(transfer));
    return true;
}

// True (and reported) when a receive gave an error or an empty datagram.
bool ReceiveFailed(TftpTransfer* transfer, ssize_t n) {
    if (n > 0) return false;
    SetLastErrorFromErrno(n < 0 ? errno : 0, true);
    ReportSyscallError(transfer, 0, "recv");
    return true;
}

int SendAck(TftpTransfer* transfer, uint32_t block) {
    PutTftpHeader(transfer->ctrlPkt, TFTP_ACK, block);
    return static_cast<int>(send(transfer->skt, transfer->ctrlPkt, 4, MSG_NOSIGNAL));
}

// The byte statistic is 32 bits wide; it wraps rather than overflow on files of 2 GiB and more.
void AddBytes(TftpTransfer* transfer, uint32_t count) {
    transfer->nBytes = static_cast<int32_t>(static_cast<uint32_t>(transfer->nBytes) + count);
}

// The next datagram of the transfer, or kNothingYet after WaitPacket's time-out. A packet that is
// already there is taken without waiting: with client and server on one CPU the answer has often
// arrived by the time the block has gone out. When the client runs elsewhere it never has, so after
// a few misses the look is only taken now and then.
ssize_t ReceiveReady(TftpTransfer* transfer, unsigned char* buffer, size_t size) {
    if (t_readyMisses < 4 || t_readyMisses % 16 == 0) {
        ssize_t n = recv(transfer->skt, buffer, size, MSG_DONTWAIT);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            t_readyMisses = 0;
            return n;
        }
    }
    ++t_readyMisses;
    if (!WaitPacket(transfer)) return kNothingYet;
    return recv(transfer->skt, buffer, size, 0);
}

int SendOack(TftpTransfer* transfer) {
    int length = static_cast<int>(transfer->nLastLen) + 2;
    LogMessage(LOG_DEBUG0, "send OACK %d bytes", length);
    int sent;
    if (transfer->nReplyPort == 0) {
        sent = static_cast<int>(send(transfer->skt, transfer->ctrlPkt, static_cast<size_t>(length), MSG_NOSIGNAL));
    } else {
        sent = UdpSend(transfer->nReplyPort, reinterpret_cast<const sockaddr*>(&transfer->peer),
                       static_cast<int>(AddressLength(transfer->peer)), transfer->ctrlPkt, length);
    }
    if (sent < 0 || sent != length) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "send : Error %d", LastErrorCode());
        return 0;
    }
    return 1;
}

void ReportTransferStats(TftpTransfer* transfer) {
    int blocks = static_cast<int>(transfer->nCount) - (transfer->nOpcode == TFTP_RRQ ? 1 : 0);
    int seconds = static_cast<int>(static_cast<int64_t>(time(nullptr)) - transfer->tStart);
    LogMessage(LOG_DEBUG0, "<%s>: %s %d blk%s, %d bytes in %d s. %d blk%s resent", RequestFileName(transfer),
               transfer->nOpcode == TFTP_RRQ ? "sent" : "rcvd", blocks, blocks > 1 ? "s" : "", transfer->nBytes,
               seconds, transfer->nResent, transfer->nResent > 1 ? "s" : "");
    if (transfer->cfg->bBeep && seconds > 10 && isatty(STDERR_FILENO)) {
        ssize_t ignored = write(STDERR_FILENO, "\a", 1);
        (void)ignored;
    }
}
