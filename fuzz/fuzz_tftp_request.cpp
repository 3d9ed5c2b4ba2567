// Request datagrams as a client may send them: the parser, the name rules and the option
// negotiation, with no socket and no file behind them.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "_libs/tftp/tftp.h"

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
    if (request.name.size() < kTftpMaxPath && ResolveRequestPath(&transfer, request.name.c_str()) == 0) {
        if (std::strlen(transfer.szFinalName) >= kTftpMaxPath) abort();
    }
    NegotiateOptions(&transfer, request);
    if (transfer.nLastLen + 2 > sizeof transfer.ctrlPkt) abort();
    if (transfer.nBlkSize < 8 || transfer.nBlkSize > kTftpMaxBlockSize) abort();
    if (transfer.nWindowSize < 0 || transfer.nWindowSize > cfg.nMaxWindowSize) abort();
    return 0;
}
