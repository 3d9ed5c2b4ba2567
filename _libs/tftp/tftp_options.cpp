// Option negotiation: each option the service knows, by name, with the rule that answers it in the
// OACK. Names keep the client's case in the reply; unknown or switched-off options are ignored.
#include <netdb.h>
#include <sys/socket.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "_libs/tftp/tftp.h"
#include "log/log.h"

namespace {

// Receive memory a client is assumed to give one window: three quarters of Linux's default socket
// receive buffer, which TFTP clients rarely raise. Blocks past a full buffer are dropped and the
// transfer stalls for a whole time-out, so a window never asks for more.
constexpr int kClientWindowBudget = 212992 / 4 * 3;

struct Negotiation {
    TftpTransfer* transfer;
    const TftpConfig& cfg;
    size_t length;          // of the OACK so far, opcode included
    bool acknowledged;      // an OACK is due
    int windowAsked;        // the last "windowsize" that went into the OACK
};

// Appends "name\0value\0" when it fits in the 516-byte control packet; an entry that does not fit is
// left out (a client repeating options cannot push the OACK past its packet).
bool AppendOption(Negotiation& n, const char* name, const char* value) {
    size_t nameLength = std::strlen(name);
    size_t valueLength = std::strlen(value);
    unsigned char* packet = n.transfer->ctrlPkt;
    if (n.length + nameLength + 1 + valueLength + 1 > sizeof n.transfer->ctrlPkt) {
        LogMessage(LOG_GENERAL, "Option <%s> left out of the OACK: no room left", name);
        return false;
    }
    std::memcpy(packet + n.length, name, nameLength + 1);
    n.length += nameLength + 1;
    std::memcpy(packet + n.length, value, valueLength + 1);
    n.length += valueLength + 1;
    return true;
}

void Blksize(Negotiation& n, const char* option, const char* value) {
    uint32_t size = static_cast<uint32_t>(std::atoi(value));
    if (size < 8) {
        LogMessage(LOG_INFO, "<%s> proposed by client %d, refused by Portwell", option, static_cast<int>(size));
        return;
    }
    if (size > kTftpMaxBlockSize) {
        LogMessage(LOG_INFO, "<%s> proposed by client %d, reply with %d", option, static_cast<int>(size),
                   kTftpMaxBlockSize);
        size = kTftpMaxBlockSize;
    } else {
        LogMessage(LOG_INFO, "<%s> changed to <%s>", option, value);
    }
    // Taken only when the OACK says so: a client that never hears of it sends 512.
    char text[32];
    std::snprintf(text, sizeof text, "%u", size);
    if (AppendOption(n, option, text)) {
        n.transfer->nBlkSize = static_cast<int32_t>(size);
        n.acknowledged = true;
    }
}

// A silent client holds its record for the whole retry ladder (a quarter, a half, then four whole
// time-outs): 12 s ends it within a minute, where 255 held a record for twenty.
constexpr int kMaxTimeoutOption = 12;

void Timeout(Negotiation& n, const char* option, const char* value) {
    int seconds = std::atoi(value);
    if (seconds < 1 || seconds > 255) return;
    if (seconds > kMaxTimeoutOption) {
        // The option must be echoed as asked or not at all: refused, both sides keep their default.
        LogMessage(LOG_INFO, "<%s> proposed by client %d, refused by Portwell (at most %d)", option, seconds,
                   kMaxTimeoutOption);
        return;
    }
    LogMessage(LOG_INFO, "<%s> changed to <%s>", option, value);
    if (AppendOption(n, option, value)) {
        n.transfer->nTimeout = seconds;
        n.acknowledged = true;
    }
}

// A "windowsize" value: decimal digits meaning 1 to 65535; anything else is 0 (not granted).
int ParseWindowSize(const char* value) {
    while (*value == '0') ++value;
    size_t length = std::strlen(value);
    if (length == 0 || length > 5) return 0;
    int window = 0;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        window = window * 10 + (*p - '0');
    }
    return window <= 65535 ? window : 0;
}

void Windowsize(Negotiation& n, const char* option, const char* value) {
    int asked = ParseWindowSize(value);
    if (asked == 0) {
        LogMessage(LOG_INFO, "<%s> proposed by client %s, refused by Portwell", option, value);
        return;
    }
    // The block size may still change behind this option; the value is settled at the end.
    char text[32];
    std::snprintf(text, sizeof text, "%d", asked < n.cfg.nMaxWindowSize ? asked : n.cfg.nMaxWindowSize);
    if (AppendOption(n, option, text)) {
        n.windowAsked = asked;
        n.acknowledged = true;
    }
}

void Tsize(Negotiation& n, const char* option, const char* value) {
    TftpTransfer* transfer = n.transfer;
    if (transfer->nOpcode == TFTP_RRQ) {
        char text[32];
        std::snprintf(text, sizeof text, "%u", transfer->nFileSize);
        n.acknowledged |= AppendOption(n, option, text);
    } else {
        // The size a client announces bounds what it may send: more is refused as disk full.
        char* end = nullptr;
        errno = 0;
        unsigned long long announced = std::strtoull(value, &end, 10);
        if (value[0] >= '0' && value[0] <= '9' && *end == '\0' && errno == 0) {
            transfer->bAnnounced = 1;
            transfer->nAnnounced = announced;
        }
        transfer->nFileSize = static_cast<uint32_t>(announced > 0xFFFFFFFFull ? 0xFFFFFFFFull : announced);
        n.acknowledged |= AppendOption(n, option, value);
    }
    LogMessage(LOG_INFO, "<%s> changed to <%u>", option, transfer->nFileSize);
}

void Udpport(Negotiation& n, const char* option, const char*) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(n.transfer->skt, reinterpret_cast<sockaddr*>(&local), &length) != 0) return;
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&local), length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return;
    }
    LogMessage(LOG_INFO, "using udpport option --> %s", port);
    unsigned portNumber = static_cast<unsigned>(std::atoi(port)) & 0xFFFFu;
    char text[32];
    std::snprintf(text, sizeof text, "%u", ((portNumber & 0xFFu) << 8) | (portNumber >> 8));
    n.acknowledged |= AppendOption(n, option, text);
    n.transfer->nReplyPort = n.cfg.nPort;
}

bool Always(const TftpConfig&) { return true; }
bool NotTsizeOnly(const TftpConfig& cfg) { return !cfg.bTsizeOnly; }
bool WindowsOn(const TftpConfig& cfg) { return !cfg.bTsizeOnly && cfg.nMaxWindowSize > 0; }
bool UdpportOn(const TftpConfig& cfg) { return cfg.bUdpPortOption != 0; }

struct OptionRule {
    const char* name;
    bool (*enabled)(const TftpConfig&);
    void (*answer)(Negotiation&, const char* option, const char* value);
};

constexpr OptionRule kOptionRules[] = {
    {"blksize", NotTsizeOnly, Blksize}, {"timeout", NotTsizeOnly, Timeout}, {"windowsize", WindowsOn, Windowsize},
    {"tsize", Always, Tsize},           {"udpport", UdpportOn, Udpport},
};

// The window to grant at the final block size: no more than asked, than the settings allow, and
// than the receiving side's buffer holds. For a write we receive, so our own socket is sized for
// it and the window shrinks to what the kernel gave.
int GrantWindow(const Negotiation& n) {
    TftpTransfer* transfer = n.transfer;
    const int cost = TftpBlockBufferCost(transfer->nBlkSize);
    int window = n.windowAsked < n.cfg.nMaxWindowSize ? n.windowAsked : n.cfg.nMaxWindowSize;
    if (transfer->nOpcode == TFTP_RRQ && window > kClientWindowBudget / cost) window = kClientWindowBudget / cost;
    if (window < 1) window = 1;
    // The sender blocks rather than drops when its buffer is full, but a window that fits goes out
    // without waits; the receiver must hold the whole window.
    const int option = transfer->nOpcode == TFTP_RRQ ? SO_SNDBUF : SO_RCVBUF;
    int size = 0;
    socklen_t length = sizeof size;
    if (getsockopt(transfer->skt, SOL_SOCKET, option, &size, &length) == 0 && size < window * cost) {
        int request = window * cost;
        setsockopt(transfer->skt, SOL_SOCKET, option, &request, sizeof request);
        length = sizeof size;
        getsockopt(transfer->skt, SOL_SOCKET, option, &size, &length);
    }
    if (transfer->nOpcode == TFTP_WRQ && window > size / cost) window = size / cost > 1 ? size / cost : 1;
    return window;
}

// Rewrites the value of every "windowsize" entry of the OACK (appended with the value asked for,
// before the block size was final) to the window granted. Values only get shorter, so the OACK
// stays within its packet.
void SetOackWindow(Negotiation& n, int window) {
    unsigned char* packet = n.transfer->ctrlPkt;
    unsigned char rebuilt[sizeof n.transfer->ctrlPkt];
    size_t out = 2;
    char text[16];
    std::snprintf(text, sizeof text, "%d", window);
    for (size_t at = 2; at < n.length;) {
        const char* name = reinterpret_cast<const char*>(packet + at);
        size_t nameLength = std::strlen(name) + 1;
        const char* value = name + nameLength;
        size_t valueLength = std::strlen(value) + 1;
        if (strcasecmp(name, "windowsize") == 0) value = text;
        std::memcpy(rebuilt + out, name, nameLength);
        out += nameLength;
        std::memcpy(rebuilt + out, value, std::strlen(value) + 1);
        out += std::strlen(value) + 1;
        at += nameLength + valueLength;
    }
    std::memcpy(packet + 2, rebuilt + 2, out - 2);
    std::memset(packet + out, 0, sizeof n.transfer->ctrlPkt - out);
    n.length = out;
}

}  // namespace

bool NegotiateOptions(TftpTransfer* transfer, const TftpRequest& request) {
    Negotiation n{transfer, *transfer->cfg, 2, false, 0};
    std::memset(transfer->ctrlPkt, 0, sizeof transfer->ctrlPkt);
    transfer->ctrlPkt[1] = TFTP_OACK;
    transfer->nWindowSize = 0;
    if (n.cfg.bOptions || n.cfg.bTsizeOnly) {
        for (const TftpOption& option : request.options) {
            LogMessage(LOG_DEBUG0, "Option is <%s>", option.name.c_str());
            LogMessage(LOG_DEBUG0, "Option <%s>: value <%s>", option.name.c_str(), option.value.c_str());
            for (const OptionRule& rule : kOptionRules) {
                if (strcasecmp(option.name.c_str(), rule.name) == 0) {
                    if (rule.enabled(n.cfg)) rule.answer(n, option.name.c_str(), option.value.c_str());
                    break;
                }
            }
        }
    }
    if (n.windowAsked > 0) {
        transfer->nWindowSize = GrantWindow(n);
        SetOackWindow(n, transfer->nWindowSize);
        LogMessage(LOG_INFO, "<windowsize> %d proposed by client, %d granted at %d-byte blocks", n.windowAsked,
                   transfer->nWindowSize, transfer->nBlkSize);
    }
    transfer->nLastLen = static_cast<uint32_t>(n.length - 2);
    return n.acknowledged;
}
