// The transfer engines fed arbitrary ACK/DATA/ERROR packets by a peer over a datagram socket pair.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "_libs/tftp/tftp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 8192) return 0;
    static TftpConfig cfg;
    cfg = TftpDefaultConfig();
    cfg.nTimeUnitMs = 0;  // every wait is a poll: the retry ladder runs in no time
    cfg.nWindowBytes = (data[0] & 0x30) ? 1024 * (data[0] >> 4 & 3) : 0;
    cfg.bNoLastAckWait = (data[0] >> 6) & 1;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) return 0;
    // The engine's own sends must never block on a peer that does not read.
    fcntl(pair[0], F_SETFL, O_NONBLOCK);

    static TftpTransfer transfer;
    std::memset(static_cast<void*>(&transfer), 0, sizeof transfer);
    transfer.cfg = &cfg;
    transfer.skt = pair[0];
    transfer.nTimeout = 5;
    transfer.nBlkSize = 8 << (data[1] & 7);  // 8 .. 1024
    bool read = (data[0] & 1) == 0;
    transfer.nOpcode = read ? TFTP_RRQ : TFTP_WRQ;
    std::strcpy(transfer.szName, "fuzz.bin");
    transfer.bMd5 = 0;

    // Packets follow as a length byte and that many bytes, queued before the engine starts.
    size_t at = 2;
    while (at < size) {
        size_t length = data[at++];
        if (length > size - at) length = size - at;
        send(pair[1], data + at, length, MSG_DONTWAIT);
        at += length;
    }
    int file;
    if (read) {
        file = memfd_create("fuzz", MFD_CLOEXEC);
        uint32_t fileSize = static_cast<uint32_t>(data[1]) * 37u;
        if (ftruncate(file, fileSize) != 0) abort();
        transfer.nFileSize = fileSize;
        transfer.nBlockCount = fileSize / static_cast<uint32_t>(transfer.nBlkSize) + 1;
        transfer.nCount = (data[0] & 2) ? 0 : 1;  // with or without an OACK before
    } else {
        file = open("/dev/null", O_WRONLY | O_CLOEXEC);
        transfer.nCount = 0;
    }
    transfer.hFile = file;
    transfer.nWindow = cfg.nWindowBytes / transfer.nBlkSize;
    // Bit 3 of data[0]: a negotiated "windowsize" of 1, 2, 4 or 64 blocks (bits 2 and 7), so the
    // windowed sender and receiver see the same arbitrary ACK/DATA streams as the lock-step ones.
    static const int32_t kWindows[] = {1, 2, 4, 64};
    transfer.nWindowSize = (data[0] & 8) ? kWindows[((data[0] >> 2) & 1) | ((data[0] >> 6) & 2)] : 0;
    if (read) {
        SendFileLoop(&transfer);
    } else {
        ReceiveFileLoop(&transfer, (data[0] & 2) ? 1 : 0);
    }
    close(file);
    close(pair[0]);
    close(pair[1]);
    return 0;
}
