// The transfer engines: the sender of a read request, the receiver of a write request, the OACK.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/byte_reader.h"

namespace {

constexpr uint32_t kMaxUnackedSends = 50;

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// True once the service has told every active client it is stopping: the transfer ends at once
// rather than waiting out its time-outs.
bool Aborted() {
    pollfd fd{TftpStopFd(), POLLIN, 0};
    return poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0;
}

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

void ReportTransferStats(TftpTransfer* transfer);
int WaitPacket(TftpTransfer* transfer);

constexpr ssize_t kNothingYet = -2;

// Consecutive looks for an already waiting packet that found none, on this worker's transfer.
thread_local unsigned t_readyMisses = 0;

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

}  // namespace

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

int SendFileLoop(TftpTransfer* transfer) {
    const uint32_t B = static_cast<uint32_t>(transfer->nBlkSize);
    const uint32_t W = static_cast<uint32_t>(transfer->nWindow);
    const uint32_t T = transfer->nBlockCount;
    uint32_t& A = transfer->nCount;
    uint32_t& N = transfer->nNextBlock;
    uint32_t& R = transfer->nTimeouts;
    uint32_t& S = transfer->nSent;
    uint32_t& L = transfer->nLastLen;
    const uint32_t maxRetries = static_cast<uint32_t>(transfer->cfg->nMaxRetries);
    // A negotiated "windowsize" keeps that many blocks in flight and restarts from the block after
    // whatever an acknowledgement names; windowsize 1 and no windowsize keep the lock-step rules.
    const uint32_t windowSize = transfer->nWindowSize > 0 ? static_cast<uint32_t>(transfer->nWindowSize) : 0;
    const bool windowed = windowSize > 1;
    const uint32_t ahead = windowSize > 0 ? windowSize - 1 : W;
    const uint32_t maxUnacked =
        windowed && windowSize * (maxRetries + 2) > kMaxUnackedSends ? windowSize * (maxRetries + 2) : kMaxUnackedSends;
    uint32_t highestSent = 0;
    // One restart per acknowledged progress on a repeated ACK: a duplicated ACK then costs one
    // window at most, and a second loss of the same block is left to the time-out.
    bool restarted = false;
    // No restart on an ACK below this block: the last one already sent those blocks again.
    uint32_t rewindFloor = 0;
    auto blockLength = [&](uint32_t block) {
        uint64_t start = static_cast<uint64_t>(block - 1) * B;
        return start >= transfer->nFileSize ? 0u : static_cast<uint32_t>(std::min<uint64_t>(B, transfer->nFileSize - start));
    };
    uint32_t nextDigestBlock = 1;
    bool allSent = false;
    bool heard = false;  // any packet from the client on this transfer
    if (transfer->bMd5) Md5Start(transfer);
    N = 1;
    S = 0;
    R = 0;
    transfer->nBytes = static_cast<int32_t>(B * W);
    transfer->nAheadBlock = 0;
    // Reads block `block` into `packet` (after its 4-byte header); false once reported. Blocks go
    // into the digest once each, in order, however often they are read.
    auto readBlock = [&](uint32_t block, unsigned char* packet, uint32_t* length) {
        off_t offset = static_cast<off_t>(block - 1) * static_cast<off_t>(B);
        ssize_t n;
        do {
            n = pread(transfer->hFile, packet + 4, B, offset);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            SetLastErrorFromErrno(errno, false);
            ReportSyscallError(transfer, 0, "ReadFile");
            return false;
        }
        *length = static_cast<uint32_t>(n);
        if (transfer->bMd5 && block == nextDigestBlock) {
            Md5Add(transfer, packet + 4, *length);
            ++nextDigestBlock;
        }
        return true;
    };
    for (;;) {
        if (R > 0 && !windowed) N = A < 1 ? 1 : A;
        if (A > 0) {
            uint32_t limit = A + ahead < T ? A + ahead : T;
            while (N <= limit) {
                unsigned char* packet = transfer->dataPkt;
                if (N == transfer->nAheadBlock) {
                    packet = transfer->aheadPkt;
                    L = transfer->nAheadLen;
                } else if (!readBlock(N, packet, &L)) {
                    return 0;
                }
                PutTftpHeader(packet, TFTP_DATA, N);
                ssize_t sent = send(transfer->skt, packet, L + 4, MSG_NOSIGNAL);
                if (sent != static_cast<ssize_t>(L + 4)) {
                    SetLastErrorFromErrno(sent < 0 ? errno : EMSGSIZE, true);
                    ReportSyscallError(transfer, 0, "send");
                    return 0;
                }
                ++S;
                if (windowed) {
                    if (N <= highestSent) ++transfer->nResent;
                    if (N > highestSent) highestSent = N;
                }
                ++N;
            }
            // The client is now busy with what was sent: read the block that follows meanwhile.
            if (N <= T && N != transfer->nAheadBlock) {
                if (!readBlock(N, transfer->aheadPkt, &transfer->nAheadLen)) return 0;
                transfer->nAheadBlock = N;
            }
        }
        ssize_t n = ReceiveReady(transfer, transfer->ctrlPkt, sizeof transfer->ctrlPkt);
        if (n == kNothingYet) {
            if (CancelledByStop(transfer)) return 0;
            LogMessage(LOG_SUGGESTIVE, "timeout while waiting for ack blk #%d", static_cast<int>(A));
            ++R;
            if (windowed) N = A < 1 ? 1 : A;
        } else {
            if (ReceiveFailed(transfer, n)) return 0;
            heard = true;
            uint16_t opcode = 0;
            uint16_t block = 0;
            if (!ReadTftpHeader(transfer->ctrlPkt, static_cast<size_t>(n), &opcode, &block)) {
                LogMessage(LOG_GENERAL, "rcvd packet too short");
            } else {
                if (opcode == TFTP_ERROR) {
                    char text[kTftpRequestSize] = {};
                    platform::ByteReader message(transfer->ctrlPkt, static_cast<size_t>(n));
                    message.Skip(4);
                    message.Bytes(text, message.Remaining() < sizeof text ? message.Remaining() : sizeof text - 1);
                    LogMessage(LOG_GENERAL, "Peer returns ERROR <%s> -> aborting transfer", text);
                    return 0;
                }
                if (opcode == TFTP_ACK && windowed) {
                    // Blocks A .. N-1 are in flight; the ACK names the last one the client has in order.
                    uint32_t delta = static_cast<uint32_t>((block - A) & 0xFFFF);
                    if (delta < N - A) {
                        for (uint32_t b = A; b <= A + delta; ++b) {
                            if (b > 0) AddBytes(transfer, blockLength(b));
                        }
                        A += delta + 1;
                        // An ACK short of the last block sent is a gap, or a client acknowledging
                        // every block (RFC 7440 allows both, and they look alike): send again from
                        // it at most once per window of progress, so a gap is mended at once and
                        // such a client costs at most twice the blocks, not a window per block.
                        if (A < N && A >= rewindFloor) {
                            N = A;
                            rewindFloor = A + windowSize;
                        }
                        if (N < A) N = A;
                        R = 0;
                        S = 0;
                        restarted = false;
                    } else if (A > 0 && block == ((A - 1) & 0xFFFF) && A >= rewindFloor) {
                        if (!restarted) {
                            LogMessage(LOG_INFO, "Ack block %d repeated: sending again from block #%d",
                                       static_cast<int>(block), static_cast<int>(A));
                            N = A;
                            rewindFloor = A + windowSize;
                            restarted = true;
                        }
                    } else {
                        LogMessage(LOG_GENERAL, "Ack of block #%d received (last block sent #%d !)", block,
                                   static_cast<int>(N - 1));
                    }
                } else if (opcode == TFTP_ACK) {
                    if (block == (A & 0xFFFF)) {
                        transfer->nResent += static_cast<int32_t>(R);
                        R = 0;
                        S = 0;
                        if (A > 0) AddBytes(transfer, L);
                        ++A;
                    } else if (block == ((A - 1) & 0xFFFF) && S < 3 && A != 1) {
                        LogMessage(LOG_GENERAL, "Ack block %d ignored (received twice)",
                                   static_cast<int>((A - 1) & 0xFFFF));
                    } else if (block > (A & 0xFFFF)) {
                        LogMessage(LOG_GENERAL, "Ack of block #%d received (last block sent #%d !)", block,
                                   static_cast<int>(A));
                    }
                } else {
                    LogMessage(LOG_SUGGESTIVE, "ignore unknown opcode %d received", opcode);
                }
            }
        }
        if (N > T && (transfer->cfg->bNoLastAckWait || (windowed ? A > T : S == 0))) {
            allSent = true;
            break;
        }
        if (S >= maxUnacked) break;
        if (R >= maxRetries) break;
    }
    if (!allSent && S >= maxUnacked) {
        LogMessage(LOG_MAJOR, "MAX RETRIES while waiting for Ack block %d. file <%s>", static_cast<int>(A),
                   RequestFileName(transfer));
        SendTftpError(transfer, 0);
        return 0;
    }
    if (!allSent && R >= maxRetries) {
        if (N > T) {
            LogMessage(LOG_GENERAL, "WARNING : Last block #%d not acked for file <%s>", static_cast<int>(A),
                       RequestFileName(transfer));
            if (!windowed) transfer->nResent += static_cast<int32_t>(R);
        } else {
            LogMessage(LOG_GENERAL, "TIMEOUT waiting for Ack block #%d ", static_cast<int>(A));
            // A client that never answered this transfer lost our first packet and asked again:
            // it follows the transfer of its repeated request now, and an ERROR from here would
            // end that one too (curl takes an ERROR from any port). Give up silently.
            if (heard) {
                SendTftpError(transfer, 0);
            } else {
                LogMessage(LOG_GENERAL, "no ERROR sent: the client never answered transfer of <%s>",
                           RequestFileName(transfer));
            }
            return 0;
        }
    }
    LogMessage(LOG_DEBUG0, "Count %d, Last pkt %d ", static_cast<int>(A), static_cast<int>(N));
    if (transfer->bMd5) WriteMd5SideFile(transfer);
    ReportTransferStats(transfer);
    return 1;
}

int ReceiveFileLoop(TftpTransfer* transfer, int oackSent) {
    const uint32_t B = static_cast<uint32_t>(transfer->nBlkSize);
    uint32_t& A = transfer->nCount;
    uint32_t& R = transfer->nTimeouts;
    uint32_t& L = transfer->nLastLen;
    const uint32_t maxRetries = static_cast<uint32_t>(transfer->cfg->nMaxRetries);
    if (!oackSent && SendAck(transfer, 0) != 4) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "File <%s> : error %d in system call %s %s", RequestFileName(transfer),
                   LastErrorCode(), "send", LastErrorText());
        SendTftpError(transfer, 0);
        return 0;
    }
    R = 0;
    if (transfer->bMd5) Md5Start(transfer);
    bool taken = false;
    bool written = false;
    // With a negotiated window the client waits for one ACK per window: it comes after every
    // `windowSize` blocks taken, after the last block, and at once with the last block in order
    // when one is missing or out of order, so the sender resends only from the gap on.
    const uint32_t windowSize = transfer->nWindowSize > 1 ? static_cast<uint32_t>(transfer->nWindowSize) : 0;
    uint32_t takenSinceAck = 0;
    bool gapAcked = false;
    int lastStray = 0;  // position of the last out-of-order block relative to the expected one
    for (;;) {
        ssize_t n = ReceiveReady(transfer, transfer->dataPkt, sizeof transfer->dataPkt);
        if (n == kNothingYet) {
            if (CancelledByStop(transfer)) return 0;
            LogMessage(LOG_INFO, "timeout while waiting for data blk #%d", static_cast<int>(A + 1));
            ++R;
            // Until the first block arrives the client may not have our OACK: an ACK 0 in its
            // place reads as "options refused", and the client's 512-byte blocks would then end
            // the file here after the first one.
            if (oackSent && A == 0 && !taken) {
                SendOack(transfer);
            } else {
                SendAck(transfer, A);
            }
            takenSinceAck = 0;
            gapAcked = false;
        } else {
            if (ReceiveFailed(transfer, n)) return 0;
            uint16_t opcode = 0;
            uint16_t block = 0;
            if (!ReadTftpHeader(transfer->dataPkt, static_cast<size_t>(n), &opcode, &block)) {
                LogMessage(LOG_GENERAL, "rcvd packet too short");
                SendTftpError(transfer, 4);
                return 0;
            }
            if (opcode != TFTP_DATA) {
                LogMessage(LOG_GENERAL, "Peer sent unexpected message %d", opcode);
                SendTftpError(transfer, 4);
                return 0;
            }
            uint32_t length = static_cast<uint32_t>(n) - 4;
            bool acknowledge = true;
            bool inOrder = false;
            if (block == 0 && A == 0) {
                taken = true;
                L = length;
                if (written) {
                    acknowledge = false;
                } else {
                    LogMessage(LOG_GENERAL, "WARNING: First block sent by client is #0, should be #1, fixed by Portwell");
                    A = 0xFFFFFFFFu;
                }
            }
            if (acknowledge && block == ((A + 1) & 0xFFFF)) {
                transfer->nResent += static_cast<int32_t>(R);
                ++A;
                R = 0;
                L = length;
                taken = true;
                written = true;
                inOrder = true;
                transfer->nReceived += length;
                if (transfer->bAnnounced && transfer->nReceived > transfer->nAnnounced) {
                    LogMessage(LOG_MAJOR, "File <%s> : the client sent more than the %llu bytes it announced",
                               RequestFileName(transfer), static_cast<unsigned long long>(transfer->nAnnounced));
                    SendTftpError(transfer, 3);
                    return 0;
                }
                size_t done = 0;
                while (done < length) {
                    ssize_t w = write(transfer->hFile, transfer->dataPkt + 4 + done, length - done);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        SetLastErrorFromErrno(w < 0 ? errno : ENOSPC, false);
                        ReportSyscallError(transfer, 3, "write");
                        return 0;
                    }
                    done += static_cast<size_t>(w);
                }
                if (transfer->bMd5) Md5Add(transfer, transfer->dataPkt + 4, length);
                AddBytes(transfer, length);
                // The file takes its place before the last ACK: a client that reads it back at once
                // finds it complete, and one whose upload could not be stored hears so.
                if (length < B && !FinishWrittenFile(transfer, true)) {
                    ReportSyscallError(transfer, 3, "rename");
                    return 0;
                }
            }
            if (acknowledge && windowSize == 0) {
                SendAck(transfer, A);
            } else if (acknowledge && inOrder) {
                gapAcked = false;
                if (++takenSinceAck >= windowSize || L < B) {
                    SendAck(transfer, A);
                    takenSinceAck = 0;
                }
            } else if (acknowledge) {
                // One ACK per gap; another only when the blocks start over (the sender restarted
                // and lost the same block again), not for each further block of the same window.
                int stray = static_cast<int16_t>(static_cast<uint16_t>(block - ((A + 1) & 0xFFFF)));
                if (!gapAcked || stray < lastStray) {
                    SendAck(transfer, A);
                    takenSinceAck = 0;
                    gapAcked = true;
                }
                lastStray = stray;
            }
        }
        if (taken && L < B) break;
        if (R >= maxRetries) {
            LogMessage(LOG_MAJOR, "TIMEOUT while waiting for Data block %d, file <%s>", static_cast<int>(A + 1),
                       RequestFileName(transfer));
            SendTftpError(transfer, 0);
            return 0;
        }
    }
    if (transfer->bMd5) WriteMd5SideFile(transfer);
    ReportTransferStats(transfer);
    return 1;
}

namespace {

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

}  // namespace
