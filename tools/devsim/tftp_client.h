#pragma once
// The download side of a device in upgrade mode: a TFTP reader that behaves like the boot loaders
// these devices carry (options "timeout", "tsize", "blksize" and optionally "windowsize"), with
// hooks for the faults a test or a lab wants to provoke.
#include <cstdint>
#include <functional>
#include <string>

namespace devsim {

struct TftpClientOptions {
    std::string localIp;  // the socket is bound here (port chosen by the system)
    std::string serverIp;
    uint16_t serverPort = 69;
    std::string fileName;
    int blockSize = 1468;
    int timeoutSec = 5;       // sent as "timeout"; also how long this side waits for a packet
    int windowSize = 0;       // 0: the option is not sent (one block per ACK)
    int timeUnitMs = 1000;    // length of one of those seconds
    int retries = 5;          // ACK repeats after time-outs before the download starts over
    int attempts = 5;         // read requests in all
    bool noLastAck = false;   // never acknowledge the last block
    uint32_t stallBlock = 0;  // after this block arrives, stop for stallMs before going on
    int stallMs = 0;
    bool abandonHalfway = false;       // vanish without a word once half the file has arrived
    std::function<bool()> drop;        // true: lose this packet (asked once per datagram, both ways)
    std::function<bool()> stopped;     // true: give up at once
    std::function<void()> onProgress;  // called after every accepted block
    std::function<void()> onStall;     // called as the stall after stallBlock begins
};

struct TftpClientResult {
    bool ok = false;
    bool abandoned = false;  // ended by abandonHalfway
    std::string error;       // why it failed
    int serverError = -1;    // code of an ERROR packet from the server
    uint64_t bytes = 0;
    int64_t tsize = -1;   // from the OACK, -1 when none came
    uint32_t crc32 = 0;   // of the bytes received
    int blockSize = 512;  // in force
    int windowSize = 1;   // in force
    int requests = 0;     // read requests sent
};

// Downloads into `fd` (written from offset 0, truncated when the download starts over).
TftpClientResult TftpDownload(const TftpClientOptions& options, int fd);

}  // namespace devsim
