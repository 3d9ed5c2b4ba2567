// The transfer engines: what the sender of a read request and the receiver of a write request keep
// of blocks, windows and acknowledgements. Their packet I/O is in tftp_transfer_io.cpp.
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/byte_reader.h"

namespace {

constexpr uint32_t kMaxUnackedSends = 50;

// Ends a read whose file changed while it was being sent, before the client has all of it: it
// must never keep a mix of two files, or a file cut short that it takes for complete.
void EndChangedFile(TftpTransfer* transfer, const char* how) {
    LogMessage(LOG_MAJOR, "File <%s> %s during its transfer: ended before the last block", RequestFileName(transfer),
               how);
    TftpNotifyRead(transfer, TFTP_READ_CHANGED);
    SendTftpErrorText(transfer, 0, "File changed during transfer");
}

// Whether the open file is still as it was opened (size, mtime, ctime).
bool UnchangedSinceOpened(const TftpTransfer* transfer) {
    struct stat st {};
    return fstat(transfer->hFile, &st) == 0 && SameTftpFile(FileIdentityOf(st), transfer->opened);
}

bool Superseded(TftpTransfer* transfer) {
    return std::atomic_ref<int32_t>(transfer->bSuperseded).load() != 0;
}

}  // namespace

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
        if (static_cast<uint32_t>(n) != blockLength(block)) {
            EndChangedFile(transfer, "changed its size");
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
                // Every block the client has was read before this check: it gets all of one file.
                if (N == T && transfer->bWatchFile && !UnchangedSinceOpened(transfer)) {
                    EndChangedFile(transfer, "was rewritten");
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
        if (!Superseded(transfer)) SendTftpError(transfer, 0);
        return 0;
    }
    if (!allSent && R >= maxRetries) {
        if (N > T) {
            LogMessage(LOG_GENERAL, "WARNING : Last block #%d not acked for file <%s>", static_cast<int>(A),
                       RequestFileName(transfer));
            if (!windowed) transfer->nResent += static_cast<int32_t>(R);
        } else {
            LogMessage(LOG_GENERAL, "TIMEOUT waiting for Ack block #%d ", static_cast<int>(A));
            // A client that never answered this transfer lost our first packet and asked again
            // (perhaps from another port): it follows the transfer of its repeated request now,
            // and so does one that asked again from this transfer's port. Give up silently.
            if (heard && !Superseded(transfer)) {
                SendTftpError(transfer, 0);
            } else {
                LogMessage(LOG_GENERAL, "no ERROR sent: the client %s transfer of <%s>",
                           heard ? "asked again after its" : "never answered", RequestFileName(transfer));
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
