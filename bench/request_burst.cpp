// Many devices ask for an address at once: time until the last reply, latency per request,
// and whether any address was lent twice. Run by bench/request_burst.sh, which makes a private
// network namespace with a veth pair (replies are broadcasts and need an interface).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "messaging/dispatch.h"
#include "platform/udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string Field(const std::string& text, const char* key) {
    size_t at = text.find(key);
    if (at == std::string::npos) return {};
    at += std::strlen(key);
    return text.substr(at, text.find("\r\n", at) - at);
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

int Run(const char* serverIp, int devices, bool probe) {
    CKelvaneDlg dlg;
    std::snprintf(dlg.m_szLocalIP, sizeof dlg.m_szLocalIP, "%s", serverIp);
    std::snprintf(dlg.m_szLocalMac, sizeof dlg.m_szLocalMac, "00:11:22:33:44:55");
    std::string prefix(serverIp, std::strrchr(serverIp, '.') + 1);
    std::snprintf(dlg.m_szNextAllocIp, sizeof dlg.m_szNextAllocIp, "%s10", prefix.c_str());
    UpgradeFileInfo entry{};
    std::snprintf(entry.szModel, sizeof entry.szModel, "IPC-A1");
    std::snprintf(entry.szVerNum, sizeof entry.szVerNum, "2.0.0.0");
    std::snprintf(entry.szVersion, sizeof entry.szVersion, "IPC-A1-2.0.0.0");
    std::snprintf(entry.szFileName, sizeof entry.szFileName, "ipc_a1.bin");
    entry.iHighestVersion = 1;
    dlg.m_vecUpgradeFileInfo = {entry};
    dlg.m_bIpCheck = probe ? 1 : 0;
    dlg.m_bRunning = 1;
    dlg.StartMessagingThreads();
    if (!dlg.WaitListenerSettled(3000) || dlg.GetListenerStatus().state != ListenerStatus::Listening) {
        std::fprintf(stderr, "listener not up: %s\n", dlg.GetListenerStatus().error.c_str());
        return 1;
    }

    platform::UdpSocket replies = platform::UdpSocket::OpenIPv4();
    replies.SetReuseAddress(true);
    replies.SetReceiveBuffer(4 << 20);
    if (replies.Bind("0.0.0.0", 10010) != 0) return 1;
    platform::UdpSocket device = platform::UdpSocket::OpenIPv4();
    device.Bind(serverIp, 0);
    in_addr server{};
    platform::ParseIPv4(serverIp, &server);
    sockaddr_in to = platform::MakeSockaddrIn(server, kDeviceListenPort);

    std::vector<Clock::time_point> sent(static_cast<size_t>(devices));
    std::map<int, Clock::time_point> answered;
    std::map<int, std::string> lent;
    auto start = Clock::now();
    char text[256];
    for (int i = 0; i < devices; ++i) {
        int n = std::snprintf(text, sizeof text,
                              "Msg:Request_ipaddr\r\nVersion:IPC*A1-1.0.0.0\r\nCseq:%d\r\nIPCMac:DEV-%04d\r\n", i, i);
        sent[static_cast<size_t>(i)] = Clock::now();
        device.SendTo(text, static_cast<size_t>(n) + 1, to);
    }
    char buf[2048];
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (static_cast<int>(answered.size()) < devices && Clock::now() < deadline) {
        if (replies.WaitReadable(100) != 1) continue;
        long n = replies.ReceiveFrom(buf, sizeof buf - 1, nullptr);
        if (n <= 0) continue;
        buf[n] = '\0';
        std::string reply(buf);
        std::string mac = Field(reply, "IPCMac:");
        if (mac.rfind("DEV-", 0) != 0) continue;
        int id = std::atoi(mac.c_str() + 4);
        if (answered.count(id) != 0) continue;
        answered[id] = Clock::now();
        lent[id] = Field(reply, "Ipaddr:");
    }
    auto last = Clock::now();
    dlg.m_bRunning = 0;
    dlg.StopMessagingThreads();

    std::vector<double> latency;
    for (const auto& [id, when] : answered) latency.push_back(Ms(when - sent[static_cast<size_t>(id)]));
    std::sort(latency.begin(), latency.end());
    std::set<std::string> distinct;
    int empty = 0;
    for (const auto& [id, ip] : lent) {
        if (ip.empty()) ++empty;
        distinct.insert(ip);
    }
    auto pct = [&](double p) { return latency.empty() ? 0.0 : latency[static_cast<size_t>(p * (latency.size() - 1))]; };
    std::printf("%-12s devices %d answered %zu  last reply %.1f ms  latency p50 %.1f ms p99 %.1f ms max %.1f ms  "
                "addresses distinct %zu (duplicates %zu, empty %d)\n",
                probe ? "probing on" : "probing off", devices, answered.size(), Ms(last - start), pct(0.5), pct(0.99),
                latency.empty() ? 0.0 : latency.back(), distinct.size(), answered.size() - distinct.size(), empty);
    return static_cast<int>(answered.size()) == devices && distinct.size() == answered.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* serverIp = argc > 1 ? argv[1] : "10.78.0.1";
    int devices = argc > 2 ? std::atoi(argv[2]) : 200;
    int rc = Run(serverIp, devices, false);
    rc |= Run(serverIp, devices, true);
    return rc;
}
