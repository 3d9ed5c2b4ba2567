#include "negotiation/address_alloc.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "negotiation/lease_book.h"
#include "negotiation/ping.h"
#include "platform/local_time.h"
#include "platform/udp_socket.h"
#include "support/veth_link.h"

namespace {

// A stand-in for the probe: the addresses in g_taken answer, every other one is free. It also
// checks from another thread that the allocation lock is free while it runs.
std::mutex g_fakeLock;
std::set<std::string> g_taken;
std::vector<std::string> g_probed;
std::mutex* g_allocLock = nullptr;
std::atomic<int> g_probesUnderLock{0};

int FakePing(uint32_t addr) {
    const std::string text = platform::FormatIPv4(in_addr{addr});
    bool lockFree = false;
    std::thread([&] {
        lockFree = g_allocLock->try_lock();
        if (lockFree) g_allocLock->unlock();
    }).join();
    if (!lockFree) ++g_probesUnderLock;
    std::lock_guard<std::mutex> hold(g_fakeLock);
    g_probed.emplace_back(text);
    return g_taken.count(text) != 0 ? 3 : kPingTimedOut;
}

class AllocTest : public testing::Test {
protected:
    void SetUp() override {
        g_taken.clear();
        g_probed.clear();
        g_probesUnderLock = 0;
        g_allocLock = &m_lock;
    }

    std::string Lend(const char* localIp, bool probe, int* result = nullptr) {
        char out[kAllocIpSize] = {};
        int rc = m_alloc.GetNotUseIp(out, localIp, 7, probe);
        if (result != nullptr) *result = rc;
        return out;
    }

    void SetCursor(const char* text) { std::snprintf(m_cursor, sizeof m_cursor, "%s", text); }

    // Runs `body` lending blind and probed, each from an empty lease book and the range's start.
    void EachMode(const std::function<void(bool probe)>& body) {
        for (bool probe : {false, true}) {
            SCOPED_TRACE(probe ? "probed" : "blind");
            m_leases.Clear();
            ASSERT_TRUE(m_leased.ResetCursor("10.9.8.1"));
            body(probe);
        }
    }

    char m_cursor[kAllocIpSize] = {};
    std::mutex m_lock;
    AddressAllocator m_alloc{m_cursor, m_lock, FakePing};
    LeaseBook m_leases;
    AddressAllocator m_leased{m_cursor, m_lock, FakePing, &m_leases};
};

TEST_F(AllocTest, BatchesWrapAfter250) {
    const std::vector<std::vector<std::string>> cases = {
        // cursor before, the three lent, cursor after
        {"192.168.1.100", "192.168.1.100", "192.168.1.101", "192.168.1.102", "192.168.1.103"},
        {"192.168.1.248", "192.168.1.248", "192.168.1.249", "192.168.1.250", "192.168.1.10"},
        {"192.168.1.249", "192.168.1.249", "192.168.1.250", "192.168.1.10", "192.168.1.11"},
        {"192.168.1.250", "192.168.1.250", "192.168.1.10", "192.168.1.11", "192.168.1.12"}};
    for (const std::vector<std::string>& c : cases) {
        SCOPED_TRACE(c[0]);
        SetCursor(c[0].c_str());
        char slots[kAllocBatch][kAllocIpSize];
        EXPECT_EQ(m_alloc.DistributeThree(slots), 0);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(slots[k], c[k + 1]);
        EXPECT_EQ(m_cursor, c[4]);
    }
    EXPECT_EQ(m_alloc.DistributeThree(nullptr), -1);
}

TEST_F(AllocTest, WithoutProbeSkipsOwnOctetAnd250) {
    SetCursor("192.168.1.249");  // the server's own octet right after the wrap
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.249");
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.11");

    // Two full turns: every octet from 10 to 249 but the server's own, in order.
    ASSERT_TRUE(m_alloc.ResetCursor("10.0.0.100"));
    EXPECT_STREQ(m_cursor, "10.0.0.10");  // a new subnet starts at .10
    int expected = 10;
    for (int i = 0; i < 2 * 239; ++i) {
        if (expected == 100) ++expected;
        int rc = -9;
        EXPECT_EQ(Lend("10.0.0.100", false, &rc), "10.0.0." + std::to_string(expected));
        EXPECT_EQ(rc, 0);
        expected = expected == 249 ? 10 : expected + 1;
    }
    EXPECT_TRUE(g_probed.empty());
}

TEST_F(AllocTest, ProbeLendsFirstFreePassesTheBatchAndGivesUpAfterThree) {
    ASSERT_TRUE(m_alloc.ResetCursor("10.9.8.1"));
    g_taken = {"10.9.8.10", "10.9.8.11"};
    int rc = -9;
    EXPECT_EQ(Lend("10.9.8.1", true, &rc), "10.9.8.12");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(g_probed, (std::vector<std::string>{"10.9.8.10", "10.9.8.11", "10.9.8.12"}));
    g_taken = {"10.9.8.13"};
    g_probed.clear();
    EXPECT_EQ(Lend("10.9.8.1", true, &rc), "10.9.8.14");
    // .15 was never probed, yet the cursor moved past the whole batch.
    EXPECT_EQ(g_probed, (std::vector<std::string>{"10.9.8.13", "10.9.8.14"}));
    EXPECT_STREQ(m_cursor, "10.9.8.16");

    // Three batches that all answer, across the wrap: given up.
    SetCursor("10.9.8.247");
    g_probed.clear();
    for (int octet : {247, 248, 249, 250, 10, 11, 12, 13, 14}) g_taken.insert("10.9.8." + std::to_string(octet));
    EXPECT_EQ(Lend("10.9.8.1", true, &rc), "");
    EXPECT_EQ(rc, kAllocNoFreeAddress);
    EXPECT_EQ(g_probed.size(), 9u);
    EXPECT_STREQ(m_cursor, "10.9.8.15");
    EXPECT_EQ(g_probesUnderLock.load(), 0);
}

TEST_F(AllocTest, ConcurrentCallersGetDistinctAddresses) {
    for (bool probe : {false, true}) {
        ASSERT_TRUE(m_alloc.ResetCursor("10.9.8.1"));
        std::mutex resultLock;
        std::set<std::string> lent;  // a failed call adds "" and so shows as well
        std::vector<std::thread> callers;
        for (int t = 0; t < 8; ++t) {
            callers.emplace_back([&] {
                for (int i = 0; i < 25; ++i) {
                    std::string ip = Lend("10.9.8.1", probe);
                    std::lock_guard<std::mutex> hold(resultLock);
                    lent.insert(ip);
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        EXPECT_EQ(lent.size(), 200u) << "probe " << probe;
    }
}

// With a lease book, held addresses are passed over (unprobed), and a full range is said so.
TEST_F(AllocTest, HeldAddressesArePassedOverAndAFullRangeRefused) {
    LeaseBook& leases = m_leases;
    AddressAllocator& alloc = m_leased;
    EachMode([&](bool probe) {
        for (int octet : {10, 11, 13}) leases.TryHold("10.9.8." + std::to_string(octet), "H", 0);
        leases.MarkStarted("H", 0);  // only H's last lease (.13) stands
        leases.TryHold("10.9.8.10", "H2", platform::SteadyMs());
        leases.MarkStarted("H2", platform::SteadyMs());
        g_probed.clear();
        char out[kAllocIpSize] = {};
        EXPECT_EQ(alloc.GetNotUseIp(out, "10.9.8.1", 1, probe, "NEW"), 0);
        EXPECT_STREQ(out, "10.9.8.11");
        std::memset(out, 0, sizeof out);
        // Probing, the cursor passed .12 with the first batch; .13 is held and not probed.
        const char* second = probe ? "10.9.8.14" : "10.9.8.12";
        EXPECT_EQ(alloc.GetNotUseIp(out, "10.9.8.1", 1, probe, "NEW2"), 0);
        EXPECT_STREQ(out, second);
        EXPECT_EQ(alloc.GetNotUseIp(out, "10.9.8.1", 1, probe, "NEW2"), 0);  // asks again: keeps it
        EXPECT_STREQ(out, second);
        if (probe) {
            EXPECT_EQ(g_probed, (std::vector<std::string>{"10.9.8.11", "10.9.8.14"}));
        }
        for (int octet = 10; octet <= 250; ++octet) {
            std::string mac = "F" + std::to_string(octet);
            leases.TryHold("10.9.8." + std::to_string(octet), mac, platform::SteadyMs());
        }
        std::memset(out, 0, sizeof out);
        EXPECT_EQ(alloc.GetNotUseIp(out, "10.9.8.1", 1, probe, "LATE"), kAllocRangeFull);
        EXPECT_STREQ(out, "");
    });
}

// One request sender cannot hold the range for the devices beside it: its unstarted leases stop at
// its share, and the few addresses left free are still found, probed or not.
TEST_F(AllocTest, ASenderHoldsOnlyItsShareAndTheLastFreeAddressesAreFound) {
    LeaseBook& leases = m_leases;
    AddressAllocator& alloc = m_leased;
    EachMode([&](bool probe) {
        char out[kAllocIpSize] = {};
        auto lend = [&](const std::string& mac, const char* sender) {
            return alloc.GetNotUseIp(out, "10.9.8.1", 1, probe, mac.c_str(), sender);
        };
        for (int i = 0; i < LeaseBook::kSenderShare; ++i) ASSERT_EQ(lend("X" + std::to_string(i), "10.9.8.99"), 0);
        EXPECT_EQ(lend("X-more", "10.9.8.99"), kAllocSenderShareFull);
        EXPECT_EQ(lend("X0", "10.9.8.99"), 0);           // a holder asking again keeps its own
        leases.MarkStarted("X0", platform::SteadyMs());  // a started download no longer counts
        EXPECT_EQ(lend("X-more", "10.9.8.99"), 0);
        EXPECT_EQ(lend("X-last", "10.9.8.99"), kAllocSenderShareFull);
        // Others hold all but two addresses, away from the cursor: both are still lent.
        for (int octet = kAllocFirstOctet; octet <= kAllocLastOctet; ++octet) {
            const std::string address = "10.9.8." + std::to_string(octet);
            if (octet != 180 && octet != 240) leases.TryHold(address, "H" + address, platform::SteadyMs());
        }
        std::set<std::string> last;
        for (const char* mac : {"Y1", "Y2"}) {
            ASSERT_EQ(lend(mac, "10.9.8.98"), 0);
            last.insert(out);
        }
        EXPECT_EQ(last, (std::set<std::string>{"10.9.8.180", "10.9.8.240"}));
        EXPECT_EQ(lend("Y3", "10.9.8.98"), kAllocRangeFull);
        // Many request threads of one sender at once take no more than the share between them.
        leases.Clear();
        std::atomic<int> taken{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 6; ++t) {
            callers.emplace_back([&, t] {
                char mine[kAllocIpSize] = {};
                for (int i = 0; i < 40; ++i) {
                    std::string mac = "C" + std::to_string(t) + "-" + std::to_string(i);
                    taken += alloc.GetNotUseIp(mine, "10.9.8.1", 1, probe, mac.c_str(), "10.9.8.97") == 0;
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        EXPECT_EQ(taken, LeaseBook::kSenderShare);
    });
}

// When a lease ends: at the outcome, or at the start window's end unless the device was heard
// (its report or its download) in time; a lease that ran out stays ended.
TEST(LeaseBookTest, LeasesEndAtOutcomeOrUnstartedAfterTheWindow) {
    struct Case {
        const char* name;
        void (*act)(LeaseBook&);  // at 500 ms, within the 1000-ms window
        int64_t askAtMs;
        bool held;
    };
    const Case cases[] = {
        {"fresh", [](LeaseBook&) {}, 999, true},
        {"never started", [](LeaseBook&) {}, 1000, false},
        {"report heard", [](LeaseBook& b) { b.MarkStarted("D", 500); }, 100000, true},
        {"download came", [](LeaseBook& b) { b.MarkAddressStarted("10.0.0.10", 500); }, 100000, true},
        {"outcome", [](LeaseBook& b) { b.MarkStarted("D", 500), b.Release("D"); }, 600, false},
        {"heard too late", [](LeaseBook& b) { b.MarkStarted("D", 1200); }, 1300, false},
        {"another address", [](LeaseBook& b) { b.MarkAddressStarted("10.0.0.11", 500); }, 1000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LeaseBook book;
        book.SetStartWindowMs(1000);
        ASSERT_TRUE(book.TryHold("10.0.0.10", "D", 0));
        EXPECT_FALSE(book.TryHold("10.0.0.10", "E", 1));  // held by D
        c.act(book);
        EXPECT_EQ(book.IsHeld("10.0.0.10", c.askAtMs), c.held);
        EXPECT_EQ(book.AddressOf("D", c.askAtMs), c.held ? "10.0.0.10" : "");
        EXPECT_EQ(book.TryHold("10.0.0.10", "E", c.askAtMs), !c.held);
    }
}

// The window's lending with the real probe inside the test's namespace: an address on our own
// link answers, and check box 1014 is read at every call.
TEST(AllocProbe, WindowProbesOnlyWhenTheCheckBoxIsTicked) {
    testsupport::VethLink link("kvalloc0");
    ASSERT_TRUE(link.Ok() && link.AddAddress("10.77.0.1/24") && link.AddAddress("10.77.0.11/24"));
    SetPingSocketMode(PingSocketMode::Automatic);
    CKelvaneDlg dlg;
    for (int check : {0, 1}) {
        std::snprintf(dlg.m_szNextAllocIp, sizeof dlg.m_szNextAllocIp, "10.77.0.11");
        dlg.m_bIpCheck = check;
        char out[kAllocIpSize] = {};
        EXPECT_EQ(dlg.GetNotUseIp(out, "10.77.0.1", 1), 0);
        EXPECT_STREQ(out, check ? "10.77.0.12" : "10.77.0.11");  // unprobed, .11 is lent though it answers
    }
}

}  // namespace
