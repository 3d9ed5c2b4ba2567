#include "messaging/dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "messaging/msg_format.h"
#include "platform/process_limits.h"
#include "support/log_capture.h"
#include "support/udp_peer.h"
#include "support/wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;

// Stands in for the address and report handlers: records what the dispatch hands over.
class RecordingDlg : public CKelvaneDlg {
public:
    // The request threads run this class's handler, so they must be waited for while it exists.
    ~RecordingDlg() override { ShutDown(); }

    void RequestIpaddrProc(const char* text, int seq) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.emplace_back(text, seq);
            m_maxConcurrent = std::max(m_maxConcurrent, ++m_concurrent);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_requestDelayMs));
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_concurrent;
        ++*m_finished;
    }

    int ReportMsgProc(int event, const char* text) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_gateCv.wait(lock, [this] { return m_gateOpen; });
        m_reports.emplace_back(event, text);
        if (std::strstr(text, "Junk:") == nullptr) return 0;
        // As the report handler does with a report it cannot read: one line at the default level.
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_ADDR error, return -2");
        return -2;
    }
    // While closed, the message thread waits in the report handler, as behind a slow window.
    void SetGate(bool open) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_gateOpen = open;
        }
        m_gateCv.notify_all();
    }

    // Starts the listener, message and clean-up threads on `ip` as a run does; true once the
    // listener has bound or given up.
    bool StartMessaging(const char* ip = "127.0.0.1") {
        std::snprintf(m_szLocalIP, sizeof m_szLocalIP, "%s", ip);
        m_bRunning = 1;
        return StartMessagingThreads() && WaitListenerSettled(testsupport::Scaled(2000));
    }
    void StopMessaging() {
        m_bRunning = 0;
        StopMessagingThreads();
    }

    // Waits until `pred` holds, read under the handlers' lock.
    template <class Pred>
    bool WaitUntil(Pred pred) {
        return testsupport::WaitUntil([&] {
            std::lock_guard<std::mutex> lock(m_mutex);
            return pred();
        });
    }

    std::mutex m_mutex;
    std::vector<std::pair<std::string, int>> m_requests;  // text, sequence number
    std::vector<std::pair<int, std::string>> m_reports;
    int m_concurrent = 0;
    int m_maxConcurrent = 0;
    int m_requestDelayMs = 0;
    bool m_gateOpen = true;
    std::condition_variable m_gateCv;
    // Outlives the object, so a test can see what happened before it was destroyed.
    std::shared_ptr<std::atomic<int>> m_finished = std::make_shared<std::atomic<int>>(0);
};

class DispatchTest : public testing::Test {
protected:
    void Send(const std::string& text) { ASSERT_TRUE(m_peer.SendTo(text, "127.0.0.1", kDeviceListenPort)); }
    // A report sent last; once it arrives, everything sent before it has been dispatched.
    void SendMarkerAndWait(const std::string& marker) {
        Send("Msg:Report_Update\r\n" + marker + "\r\n");
        ASSERT_TRUE(m_dlg->WaitUntil([&] {
            return !m_dlg->m_reports.empty() && m_dlg->m_reports.back().second.find(marker) != std::string::npos;
        }));
    }
    testsupport::LogCapture m_log{LOG_INFO};
    testsupport::UdpPeer m_peer;
    std::unique_ptr<RecordingDlg> m_dlg = std::make_unique<RecordingDlg>();
};

// Reports keep their arrival order and event number; a datagram that fills the buffer is cut to
// it, a longer one is dropped, and a NUL ends the text. A pause drops what comes meanwhile.
TEST_F(DispatchTest, ReportsReachTheHandlerInArrivalOrderUnlessPausedOrUnknown) {
    ASSERT_TRUE(m_dlg->StartMessaging());
    const int count = 300;
    for (int i = 0; i < count; ++i)
        Send(std::string("Msg:") + MsgTypeName(1 + i % 12) + "\r\nN:" + std::to_string(i) + "\r\n");
    std::string head = "Msg:Report_App\r\nState:1\r\n";
    std::string full = head + std::string(2048 - head.size(), 'x');
    Send(full);
    Send(head + std::string(3000, 'y'));
    Send(std::string("Msg:Report_Kernel\r\n\0hidden", 26));
    SendMarkerAndWait("Marker:1");
    ASSERT_EQ(m_dlg->m_reports.size(), static_cast<size_t>(count + 3));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(m_dlg->m_reports[i].first, i % 12) << i;
        EXPECT_NE(m_dlg->m_reports[i].second.find("N:" + std::to_string(i) + "\r\n"), std::string::npos) << i;
    }
    EXPECT_EQ(m_dlg->m_reports[count].second, full.substr(0, 2047));
    EXPECT_EQ(m_dlg->m_reports[count + 1].second, "Msg:Report_Kernel\r\n");

    // Pause drops requests and reports alike; unknown types are dropped.
    m_dlg->m_bPauseTest = 1;
    Send("Msg:Request_ipaddr\r\nCseq:1\r\n");
    Send("Msg:Report_App\r\nPaused:1\r\n");
    // A paused listener still drains the socket; wait until it has logged both drops.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return m_log.Count("#MRDebug m_bPauseTest = true, continue") == 2; }));
    m_dlg->m_bPauseTest = 0;
    Send("Msg:Bogus\r\n");
    Send("Msg:Request_ipaddr");  // no CR LF: not a request, and type 13 for the message thread
    Send("Msg:Report_\r\n");
    SendMarkerAndWait("Marker:2");
    EXPECT_EQ(m_dlg->m_reports.size(), static_cast<size_t>(count + 4));
    EXPECT_TRUE(m_dlg->m_requests.empty());
    m_dlg->StopMessaging();
}

// Requests run at once, each with its own sequence number, and the clean-up thread reclaims their
// records afterwards. They outlive the stop, and the object waits for them.
TEST_F(DispatchTest, AddressRequestsRunConcurrentlyAndOutliveTheStop) {
    m_dlg->m_requestDelayMs = 400;
    ASSERT_TRUE(m_dlg->StartMessaging());
    for (const char* cseq : {"1", "2", "3"}) Send(std::string("Msg:Request_ipaddr\r\nCseq:") + cseq + "\r\n");
    ASSERT_TRUE(m_dlg->WaitUntil([&] { return *m_dlg->m_finished == 3; }));
    EXPECT_EQ(m_dlg->m_maxConcurrent, 3);
    int seqs = 0;  // numbered in arrival order: request n carries Cseq n
    for (const auto& r : m_dlg->m_requests) {
        seqs |= 1 << r.second;
        EXPECT_EQ(r.first, "Msg:Request_ipaddr\r\nCseq:" + std::to_string(r.second) + "\r\n");
    }
    EXPECT_EQ(seqs, 0b1110);
    // The first sweep comes about 1.8 s after the start.
    EXPECT_TRUE(testsupport::WaitUntil([&] {
        std::lock_guard<std::mutex> lock(m_dlg->m_csRequestThread);
        return m_dlg->m_pRequestThreadList == nullptr;
    }));

    // The stop ends the threads promptly with no traffic to wake them; request threads outlive it.
    m_dlg->m_requestDelayMs = 3000;  // longer than the listener takes to stop
    Send("Msg:Request_ipaddr\r\n");
    ASSERT_TRUE(m_dlg->WaitUntil([&] { return m_dlg->m_requests.size() == 4; }));
    EXPECT_EQ(m_dlg->GetListenerStatus().state, ListenerStatus::Listening);
    auto start = Clock::now();
    m_dlg->StopMessaging();
    // The listener and the message thread are woken; the clean-up thread ends within a pass.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_FALSE(m_dlg->m_hMsgThread || m_dlg->m_hListenThread || m_dlg->m_hCleanThread);
    EXPECT_EQ(m_dlg->GetListenerStatus().state, ListenerStatus::Ended);
    std::shared_ptr<std::atomic<int>> finished = m_dlg->m_finished;
    EXPECT_EQ(*finished, 3);  // the stop did not wait for the fourth
    m_dlg.reset();            // the object's end waits for the request thread
    EXPECT_EQ(*finished, 4);
}

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

// Sends `count` datagrams made by `make` at about 10,000 a second, calling `between` every 100.
void SendPaced(const testsupport::UdpPeer& peer, int count, const std::function<std::string(int)>& make,
               const std::function<void(int)>& between) {
    for (int i = 0; i < count; ++i) {
        peer.SendTo(make(i), "127.0.0.1", kDeviceListenPort);
        if (i % 100 == 99) {
            between(i / 100);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// One host floods the listener at 10,000 datagrams a second while an honest device (another
// address) reports and asks: the honest device loses nothing, and what the flood costs in
// threads, descriptors and log lines (at the default level) stays bounded.
TEST(DispatchAttack, FloodsFromOneHostCostBoundedResourcesAndLoseNoHonestReport) {
    struct Attack {
        const char* name;
        std::function<std::string(int)> datagram;
        const char* logText;  // lines the attack makes the log write; at most a burst of them
    };
    const std::string oversized = "Msg:Report_App\r\nJunk:1\r\n" + std::string(3000, 'x');
    const Attack attacks[] = {
        {"requests with invented MACs",
         [](int i) { return "Msg:Request_ipaddr\r\nCseq:1\r\nIPCMac:EE:00:" + std::to_string(i) + "\r\n"; },
         "Request_ipaddr from 127.0.0.3 dropped"},
        {"reports the handler rejects", [](int i) { return "Msg:Report_App\r\nJunk:" + std::to_string(i) + "\r\n"; },
         "read IPC_ADDR error"},
        {"unknown types with control characters",
         [](int i) { return "Msg:Bogus\x1b[2J\r\n" + std::to_string(i) + "\r\n"; }, "Bogus"},
        {"oversized datagrams", [&](int) { return oversized; }, "Junk"},
        {"empty datagrams", [](int) { return std::string(); }, "recvfrom"},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        testsupport::LogCapture log{LOG_MAJOR};
        testsupport::UdpPeer honest{"127.0.0.2"};
        testsupport::UdpPeer attacker{"127.0.0.3"};
        auto dlg = std::make_unique<RecordingDlg>();
        dlg->m_requestDelayMs = 200;  // as long as probing an address takes
        const int threadsBefore = ThreadCount();
        const int fdsBefore = platform::CountOpenDescriptors();
        ASSERT_TRUE(dlg->StartMessaging());

        int maxThreads = 0, maxFds = 0, maxWaiting = 0;
        SendPaced(attacker, 10000, attack.datagram, [&](int round) {
            honest.SendTo("Msg:Report_Downloading\r\nHonest:" + std::to_string(round) + "\r\n", "127.0.0.1",
                          kDeviceListenPort);
            if (round == 50) honest.SendTo("Msg:Request_ipaddr\r\nCseq:777\r\n", "127.0.0.1", kDeviceListenPort);
            maxThreads = std::max(maxThreads, ThreadCount());
            maxFds = std::max(maxFds, platform::CountOpenDescriptors());
            maxWaiting = std::max(maxWaiting, dlg->m_dispatcher.RequestsWaiting());
        });
        ASSERT_TRUE(dlg->WaitUntil([&] {
            return std::count_if(dlg->m_reports.begin(), dlg->m_reports.end(),
                                 [](const auto& r) { return r.second.find("Honest:") != std::string::npos; }) == 100;
        }));
        EXPECT_TRUE(dlg->WaitUntil([&] {
            return std::any_of(dlg->m_requests.begin(), dlg->m_requests.end(),
                               [](const auto& r) { return r.first.find("Cseq:777") != std::string::npos; });
        })) << "the honest request was starved";
        {
            std::lock_guard<std::mutex> lock(dlg->m_mutex);
            int next = 0;
            for (const auto& r : dlg->m_reports) {
                if (r.second.find("Honest:") == std::string::npos) continue;
                EXPECT_NE(r.second.find("Honest:" + std::to_string(next++) + "\r\n"), std::string::npos)
                    << "out of order";
            }
            // The flood holds at most half the request threads; the honest request gets one of the rest.
            EXPECT_LE(dlg->m_maxConcurrent, kMaxRequestThreads / 2 + 1);
        }
        // Four run threads besides the request threads; this handler opens no descriptors, so only the run's count.
        EXPECT_LE(maxThreads - threadsBefore, kMaxRequestThreads / 2 + 1 + 4);
        EXPECT_LE(maxFds - fdsBefore, 16);
        EXPECT_LE(maxWaiting, kMaxWaitingPerSender + 1);
        dlg->StopMessaging();
        dlg.reset();
        EXPECT_LE(log.Count(attack.logText), static_cast<size_t>(5)) << log.Text().substr(0, 2000);
    }
}

// Devices behind one address (a factory default) asking at once are all answered: those that find
// no free request thread wait for one, in order, and the threads stay bounded.
TEST_F(DispatchTest, BurstFromOneAddressWaitsForThreadsAndIsServedInFull) {
    m_dlg->m_requestDelayMs = 50;
    ASSERT_TRUE(m_dlg->StartMessaging());
    const int burst = 200;
    for (int i = 1; i <= burst; ++i) Send("Msg:Request_ipaddr\r\nCseq:" + std::to_string(i) + "\r\n");
    ASSERT_TRUE(m_dlg->WaitUntil([&] { return *m_dlg->m_finished == burst; }));
    std::lock_guard<std::mutex> lock(m_dlg->m_mutex);
    EXPECT_LE(m_dlg->m_maxConcurrent, kMaxRequestThreads / 2);
    std::vector<int> seqs;
    for (const auto& r : m_dlg->m_requests) {
        EXPECT_EQ(r.first, "Msg:Request_ipaddr\r\nCseq:" + std::to_string(r.second) + "\r\n");
        seqs.push_back(r.second);
    }
    std::sort(seqs.begin(), seqs.end());
    EXPECT_EQ(std::unique(seqs.begin(), seqs.end()) - seqs.begin(), burst);
    EXPECT_EQ(seqs.back(), burst);
}

// A request that waited while its device was answered is not answered again: the device has its
// reply, and a second one would start it over after it had finished.
TEST_F(DispatchTest, WaitingRequestOfADeviceAnsweredMeanwhileIsDropped) {
    m_dlg->m_requestDelayMs = 300;
    ASSERT_TRUE(m_dlg->StartMessaging());
    auto request = [](const std::string& mac) { return "Msg:Request_ipaddr\r\nCseq:1\r\nIPCMac:" + mac + "\r\n"; };
    Send(request("X"));
    for (int i = 1; i < kMaxRequestThreads / 2; ++i) Send(request("Y" + std::to_string(i)));
    Send(request("X"));  // finds every thread this sender may have busy: it waits
    ASSERT_TRUE(m_dlg->WaitUntil([&] { return *m_dlg->m_finished == kMaxRequestThreads / 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));  // a second X would have ended by now
    std::lock_guard<std::mutex> lock(m_dlg->m_mutex);
    EXPECT_EQ(std::count_if(m_dlg->m_requests.begin(), m_dlg->m_requests.end(),
                            [](const auto& r) { return r.first.find("IPCMac:X\r\n") != std::string::npos; }),
              1);
    EXPECT_EQ(m_dlg->m_requests.size(), static_cast<size_t>(kMaxRequestThreads / 2));
}

// Behind a stalled message thread, reports wait up to a bound and the rest are dropped, with a
// few notes and a count; every report is either handled or counted as dropped.
TEST(DispatchAttack, ReportsWaitingForTheMessageThreadAreBounded) {
    testsupport::LogCapture log{LOG_MAJOR};
    testsupport::UdpPeer attacker{"127.0.0.3"};
    auto dlg = std::make_unique<RecordingDlg>();
    dlg->SetGate(false);
    ASSERT_TRUE(dlg->StartMessaging());
    const int sent = kMaxQueuedReports + 1000;
    int maxQueued = 0;
    SendPaced(
        attacker, sent, [](int i) { return "Msg:Report_App\r\nN:" + std::to_string(i) + "\r\n"; },
        [&](int) { maxQueued = std::max(maxQueued, dlg->m_dispatcher.m_nQueuedReports.load()); });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return log.Count("dropped: ") > 0; }));
    EXPECT_LE(maxQueued, kMaxQueuedReports);
    dlg->SetGate(true);
    ASSERT_TRUE(dlg->WaitUntil([&] {
        return dlg->m_reports.size() >= static_cast<size_t>(kMaxQueuedReports) &&
               dlg->m_dispatcher.m_nQueuedReports.load() == 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the socket's rest, if any
    dlg->StopMessaging();
    const size_t handled = dlg->m_reports.size();
    dlg.reset();  // the listener's summary is written as it ends
    const size_t noted = log.Count("dropped: ");
    EXPECT_LE(noted, 5u);
    std::smatch summary;
    const std::string text = log.Text();
    ASSERT_TRUE(std::regex_search(text, summary, std::regex(R"((\d+) more reports dropped from 127\.0\.0\.3)")));
    EXPECT_EQ(handled + noted + std::stoul(summary[1]), static_cast<size_t>(sent));
}

TEST_F(DispatchTest, ListenerThatCannotBindSaysSo) {
    ASSERT_TRUE(m_dlg->StartMessaging("10.123.45.67"));  // no interface in this namespace has it
    ListenerStatus status = m_dlg->GetListenerStatus();
    EXPECT_EQ(status.state, ListenerStatus::Failed);
    EXPECT_EQ(status.result, -3);
    EXPECT_NE(status.error.find("10.123.45.67:10011"), std::string::npos) << status.error;
    m_dlg->StopMessaging();
}

}  // namespace
