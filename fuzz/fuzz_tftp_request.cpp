// DecodeRequest on arbitrary request datagrams, as the listener would hand them to a worker.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "_libs/tftp/tftp.h"

namespace {

const char* Root() {
    static char root[] = "/tmp/fuzz_tftp_request.XXXXXX";
    static const char* made = [] {
        const char* dir = mkdtemp(root);
        if (dir != nullptr) {
            // Something to read, so read requests reach option negotiation.
            std::string path = std::string(dir) + "/fw.bin";
            FILE* f = fopen(path.c_str(), "wb");
            if (f != nullptr) {
                fwrite("0123456789", 1, 10, f);
                fclose(f);
            }
        }
        return dir;
    }();
    return made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kTftpRequestSize) return 0;
    const char* root = Root();
    if (root == nullptr) return 0;
    g_TftpConfig = TftpDefaultConfig();
    std::strncpy(g_TftpConfig.szRootDir, root, sizeof g_TftpConfig.szRootDir - 1);
    if (size > 0) {
        // The first byte picks the settings so the other rules get their share of inputs.
        g_TftpConfig.nSecurityLevel = data[0] & 3;
        g_TftpConfig.bTsizeOnly = (data[0] >> 2) & 1;
        g_TftpConfig.bStripLeadingBackslash = (data[0] >> 3) & 1;
    }
    static TftpTransfer transfer;
    EVP_MD_CTX* md5 = transfer.md5;
    std::memset(static_cast<void*>(&transfer), 0, sizeof transfer);
    transfer.md5 = md5;
    transfer.skt = -1;  // refusals build their ERROR packet but send nothing
    transfer.hFile = -1;
    transfer.nBlkSize = kTftpSegSize;
    transfer.nTimeout = 5;
    transfer.peer.ss_family = AF_INET;
    if (size > 1) std::memcpy(transfer.reqPkt, data + 1, size - 1);
    int result = DecodeRequest(&transfer);
    if (result < REQ_READ_OACK || result > REQ_REFUSED) abort();
    if (result != REQ_REFUSED) {
        if (transfer.nLastLen + 2 > sizeof transfer.ctrlPkt) abort();
        if (transfer.nBlkSize < 8 || transfer.nBlkSize > kTftpMaxBlockSize) abort();
    }
    if (transfer.hFile >= 0) close(transfer.hFile);
    FinishWrittenFile(&transfer, false);
    return 0;
}
