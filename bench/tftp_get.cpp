// One TFTP download with the simulator's device-side reader, for tftp_window_bench.sh: a second
// client beside atftp, so that a limit of one client can be told from a limit of the servers.
//   bench_tftp_get SERVER PORT FILE OUT BLKSIZE WINDOW   (WINDOW 0: not asked)
// Prints the bytes received; exits non-zero when the download fails.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/devsim/tftp_client.h"

int main(int argc, char** argv) {
    if (argc != 7) {
        std::fprintf(stderr, "usage: %s SERVER PORT FILE OUT BLKSIZE WINDOW\n", argv[0]);
        return 2;
    }
    devsim::TftpClientOptions o;
    o.localIp = "0.0.0.0";
    o.serverIp = argv[1];
    o.serverPort = static_cast<uint16_t>(std::atoi(argv[2]));
    o.fileName = argv[3];
    o.blockSize = std::atoi(argv[5]);
    o.windowSize = std::atoi(argv[6]);
    int fd = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::perror(argv[4]);
        return 2;
    }
    devsim::TftpClientResult r = devsim::TftpDownload(o, fd);
    close(fd);
    if (!r.ok) {
        std::fprintf(stderr, "download failed: %s\n", r.error.c_str());
        return 1;
    }
    std::printf("%llu bytes, blksize %d, windowsize %d\n", static_cast<unsigned long long>(r.bytes), r.blockSize,
                r.windowSize);
    return 0;
}
