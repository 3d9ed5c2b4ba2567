// Request datagrams as a client may send them: the parser, the name rules (and that what they
// open stays beneath the root) and the option negotiation, with no socket behind them.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "_libs/tftp/tftp.h"

namespace {

std::string MakeRoot() {
    char path[] = "/tmp/kelvane-fuzz-root-XXXXXX";
    if (mkdtemp(path) == nullptr) abort();
    std::string root = path;
    mkdir((root + "/sub").c_str(), 0755);
    if (symlink("/etc", (root + "/out").c_str()) != 0 || symlink("../..", (root + "/sub/up").c_str()) != 0) abort();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kTftpRequestSize + 1) return 0;
    // The first byte picks the settings so the other rules get their share of inputs.
    static TftpConfig cfg;
    cfg = TftpDefaultConfig();
    cfg.nSecurityLevel = data[0] & 3;
    cfg.bTsizeOnly = (data[0] >> 2) & 1;
    cfg.bStripLeadingBackslash = (data[0] >> 3) & 1;
    cfg.bSlashToBackslash = (data[0] >> 4) & 1;
    cfg.nMaxWindowSize = (data[0] >> 5) & 1 ? 0 : kTftpDefaultMaxWindow;

    const TftpRequest request = ParseTftpRequest(data + 1, size - 1);
    if (request.name.size() > 507 || std::memchr(request.name.data(), 0, request.name.size()) != nullptr) abort();
    for (const TftpOption& option : request.options) {
        if (option.name.empty() || option.name.size() + option.value.size() > 510) abort();
    }

    static TftpTransfer transfer;
    std::memset(static_cast<void*>(&transfer), 0, sizeof transfer);
    transfer.cfg = &cfg;
    transfer.skt = -1;  // nothing is sent, no buffer is sized
    transfer.hFile = -1;
    transfer.nBlkSize = kTftpSegSize;
    transfer.nOpcode = request.opcode;
    std::strcpy(transfer.szRoot, (data[0] >> 6) & 1 ? "/nonexistent\\root" : "");
    if (request.name.size() < kTftpMaxPath && ResolveRequestPath(&transfer, request.name.c_str(), true) == 0) {
        if (std::strlen(transfer.szFinalName) >= kTftpMaxPath) abort();
        // Whatever the name, what opens lies beneath the root: a folder holding a link out of it.
        static const std::string root = MakeRoot();
        int rootFd = OpenRootDir(root.c_str(), O_PATH);
        int fd = OpenBeneath(rootFd, transfer.szRelPath, O_PATH, 0);
        if (fd >= 0) {
            char opened[4096];
            ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), opened, sizeof opened - 1);
            if (n < 0 || std::string(opened, static_cast<size_t>(n)).rfind(root, 0) != 0) abort();
            close(fd);
        }
        close(rootFd);
    }
    NegotiateOptions(&transfer, request);
    if (transfer.nLastLen + 2 > sizeof transfer.ctrlPkt) abort();
    if (transfer.nBlkSize < 8 || transfer.nBlkSize > kTftpMaxBlockSize) abort();
    if (transfer.nWindowSize < 0 || transfer.nWindowSize > cfg.nMaxWindowSize) abort();
    return 0;
}
