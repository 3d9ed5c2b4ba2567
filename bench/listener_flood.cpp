// Floods the device listener with reports and address requests and measures what reaches the
// handlers. Run by bench/listener_flood.sh inside a private network namespace only.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "messaging/dispatch.h"
#include "platform/udp_socket.h"

namespace {

using Clock = std::chrono::steady_clock;

class CountingDlg : public CKelvaneDlg {
public:
    ~CountingDlg() override { ShutDown(); }
    int ReportMsgProc(int /*event*/, const char* text) override {
        const char* n = std::strstr(text, "N:");
        long seq = n != nullptr ? std::strtol(n + 2, nullptr, 10) : -1;
        if (seq <= m_lastSeq) ++m_reordered;
        m_lastSeq = seq;
        m_reports.fetch_add(1, std::memory_order_release);
        return 0;
    }
    void RequestIpaddrProc(const char* /*text*/, int /*seq*/) override {
        m_requests.fetch_add(1, std::memory_order_release);
    }
    std::atomic<long> m_reports{0};
    std::atomic<long> m_requests{0};
    long m_lastSeq = -1;
    long m_reordered = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Sends `total` reports, keeping at most `window` unhandled ones in flight so the kernel
// buffer never overflows; the figure is the sustained rate at which the handler sees them.
void FloodReports(CountingDlg& dlg, platform::UdpSocket& sender, const sockaddr_in& to, long total, long window,
                  const char* label) {
    dlg.m_reports = 0;
    dlg.m_lastSeq = -1;
    dlg.m_reordered = 0;
    char text[128];
    auto start = Clock::now();
    for (long i = 0; i < total; ++i) {
        while (i - dlg.m_reports.load(std::memory_order_acquire) >= window) std::this_thread::yield();
        int n = std::snprintf(text, sizeof text,
                              "Msg:Report_Downloading\r\nIPCMac:00-11-22-33-44-55\r\nSchedule:50\r\nState:1\r\nN:%ld\r\n",
                              i);
        sender.SendTo(text, static_cast<size_t>(n) + 1, to);
    }
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (dlg.m_reports.load() < total && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::microseconds(200));
    double secs = Seconds(Clock::now() - start);
    long got = dlg.m_reports.load();
    std::printf("%-28s %8ld sent %8ld handled %6ld reordered %8.3f s %10.0f reports/s\n", label, total, got,
                dlg.m_reordered, secs, got / secs);
}

// One sender's burst: what finds no request thread waits for one, up to that sender's share of
// the waiting room; the rest is dropped (devices ask again). Ends once nothing more is dispatched.
void BurstRequests(CountingDlg& dlg, platform::UdpSocket& sender, const sockaddr_in& to, long total) {
    dlg.m_requests = 0;
    const char* text = "Msg:Request_ipaddr\r\nVersion:IPC-1.0.0\r\nCseq:1\r\nIPCMac:00-11-22-33-44-55\r\n";
    auto start = Clock::now();
    for (long i = 0; i < total; ++i) sender.SendTo(text, std::strlen(text) + 1, to);
    auto sent = Clock::now();
    auto last = Clock::now();
    long seen = 0;
    while (dlg.m_requests.load() < total && Clock::now() - last < std::chrono::milliseconds(500)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (dlg.m_requests.load() != seen) {
            seen = dlg.m_requests.load();
            last = Clock::now();
        }
    }
    long dispatched = dlg.m_requests.load();
    std::printf("%-28s %8ld sent %8ld dispatched %6ld dropped   send %.3f s, last dispatched after %.3f s\n",
                "address request burst", total, dispatched, total - dispatched, Seconds(sent - start),
                Seconds(last - start));
}

}  // namespace

int main(int argc, char** argv) {
    long total = argc > 1 ? std::atol(argv[1]) : 200000;
    const char* logPath = argc > 2 ? argv[2] : "/tmp/kelvane-bench-Upgrade.log";
    CountingDlg dlg;
    std::snprintf(dlg.m_szLocalIP, sizeof dlg.m_szLocalIP, "127.0.0.1");
    dlg.m_bRunning = 1;
    dlg.StartMessagingThreads();
    if (!dlg.WaitListenerSettled(3000) || dlg.GetListenerStatus().state != ListenerStatus::Listening) {
        std::fprintf(stderr, "listener not up: %s\n", dlg.GetListenerStatus().error.c_str());
        return 1;
    }
    platform::UdpSocket sender = platform::UdpSocket::OpenIPv4();
    sender.Bind("127.0.0.1", 0);
    in_addr lo{};
    platform::ParseIPv4("127.0.0.1", &lo);
    sockaddr_in to = platform::MakeSockaddrIn(lo, kDeviceListenPort);

    LogInit(LOG_MAJOR, logPath);  // "LogSwitch" 0
    FloodReports(dlg, sender, to, total, 1000, "reports, log off");
    LogInit(LOG_INFO, logPath);  // what "LogSwitch" 1 turns on
    FloodReports(dlg, sender, to, total / 20, 1000, "reports, LogSwitch 1");
    LogInit(LOG_MAJOR, logPath);
    BurstRequests(dlg, sender, to, 1000);

    dlg.m_bRunning = 0;
    dlg.StopMessagingThreads();
    return 0;
}
