#include "negotiation/address_alloc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "negotiation/ping.h"
#include "support/netns.h"
#include "support/temp_dir.h"
#include "veth_link.h"

namespace {

// A stand-in for the probe: the addresses in g_taken answer, every other one is free. It also
// checks from another thread that the allocation lock is free while it runs.
std::mutex g_fakeLock;
std::set<std::string> g_taken;
std::vector<std::string> g_probed;
std::mutex* g_allocLock = nullptr;
std::atomic<int> g_probesUnderLock{0};

int FakePing(uint32_t addr) {
    char text[INET_ADDRSTRLEN];
    in_addr a{addr};
    inet_ntop(AF_INET, &a, text, sizeof text);
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

    std::vector<std::string> Three() {
        char slots[kAllocBatch][kAllocIpSize];
        EXPECT_EQ(m_alloc.DistributeThree(slots), 0);
        return {slots[0], slots[1], slots[2]};
    }

    void SetCursor(const char* text) { std::snprintf(m_cursor, sizeof m_cursor, "%s", text); }

    char m_cursor[kAllocIpSize] = {};
    std::mutex m_lock;
    AddressAllocator m_alloc{m_cursor, m_lock, FakePing};
};

TEST_F(AllocTest, BatchesWrapAfter250) {
    SetCursor("192.168.1.100");
    EXPECT_EQ(Three(), (std::vector<std::string>{"192.168.1.100", "192.168.1.101", "192.168.1.102"}));
    EXPECT_STREQ(m_cursor, "192.168.1.103");
    SetCursor("192.168.1.248");
    EXPECT_EQ(Three(), (std::vector<std::string>{"192.168.1.248", "192.168.1.249", "192.168.1.250"}));
    EXPECT_STREQ(m_cursor, "192.168.1.10");
    SetCursor("192.168.1.249");
    EXPECT_EQ(Three(), (std::vector<std::string>{"192.168.1.249", "192.168.1.250", "192.168.1.10"}));
    EXPECT_STREQ(m_cursor, "192.168.1.11");
    SetCursor("192.168.1.250");
    EXPECT_EQ(Three(), (std::vector<std::string>{"192.168.1.250", "192.168.1.10", "192.168.1.11"}));
    EXPECT_STREQ(m_cursor, "192.168.1.12");
    EXPECT_EQ(m_alloc.DistributeThree(nullptr), -1);
}

TEST_F(AllocTest, WithoutProbeSkipsOwnOctetAnd250) {
    ASSERT_TRUE(m_alloc.ResetCursor("192.168.1.10"));
    EXPECT_STREQ(m_cursor, "192.168.1.10");
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.11");
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.12");

    SetCursor("192.168.1.249");
    EXPECT_EQ(Lend("192.168.1.77", false), "192.168.1.249");
    EXPECT_EQ(Lend("192.168.1.77", false), "192.168.1.10");
    SetCursor("192.168.1.249");
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.249");
    EXPECT_EQ(Lend("192.168.1.10", false), "192.168.1.11");

    // Two full turns: every octet from 10 to 249 but the server's own, in order.
    ASSERT_TRUE(m_alloc.ResetCursor("10.0.0.100"));
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

TEST_F(AllocTest, ProbeLendsFirstFreeAndPassesTheBatch) {
    testsupport::TempDir dir;
    LogInit(LOG_INFO, dir.File("Upgrade.log").c_str());
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
    EXPECT_EQ(g_probesUnderLock.load(), 0);

    std::string log = dir.Read("Upgrade.log");
    EXPECT_NE(log.find("*7* Distribute Three IP:  \nIP1:10.9.8.10 \nIP2:10.9.8.11 \nIP3:10.9.8.12\n"),
              std::string::npos);
    EXPECT_NE(log.find("*7* PingApi IP=10.9.8.10 Error, Rc=3"), std::string::npos);
    EXPECT_NE(log.find("*7* PingApi IP=10.9.8.13 Error, Rc=3"), std::string::npos);
    EXPECT_EQ(log.find("IP=10.9.8.14 Error"), std::string::npos);
    LogInit(LOG_MAJOR, "");
}

TEST_F(AllocTest, ProbeGivesUpAfterThreeBatches) {
    SetCursor("10.9.8.247");
    for (int octet : {247, 248, 249, 250, 10, 11, 12, 13, 14}) g_taken.insert("10.9.8." + std::to_string(octet));
    int rc = 0;
    EXPECT_EQ(Lend("10.9.8.1", true, &rc), "");
    EXPECT_EQ(rc, kAllocNoFreeAddress);
    EXPECT_EQ(g_probed.size(), 9u);
    EXPECT_STREQ(m_cursor, "10.9.8.15");
    EXPECT_EQ(g_probesUnderLock.load(), 0);
}

TEST_F(AllocTest, RefusesWithoutArgumentsOrCursor) {
    char out[kAllocIpSize] = {};
    EXPECT_EQ(m_alloc.GetNotUseIp(nullptr, "10.0.0.1", 1, false), kAllocBadArgument);
    EXPECT_EQ(m_alloc.GetNotUseIp(out, nullptr, 1, true), kAllocBadArgument);
    EXPECT_EQ(m_alloc.GetNotUseIp(out, "10.0.0.1", 1, false), kAllocNoCursor);
    EXPECT_EQ(m_alloc.GetNotUseIp(out, "10.0.0.1", 1, true), kAllocNoCursor);
    EXPECT_STREQ(out, "");
    EXPECT_FALSE(m_alloc.ResetCursor("not an address"));
    EXPECT_TRUE(g_probed.empty());
}

TEST_F(AllocTest, ConcurrentCallersGetDistinctAddresses) {
    for (bool probe : {false, true}) {
        ASSERT_TRUE(m_alloc.ResetCursor("10.9.8.1"));
        std::mutex resultLock;
        std::vector<std::string> lent;
        std::vector<std::thread> callers;
        for (int t = 0; t < 8; ++t) {
            callers.emplace_back([&, t] {
                for (int i = 0; i < 25; ++i) {
                    char out[kAllocIpSize] = {};
                    if (m_alloc.GetNotUseIp(out, "10.9.8.1", t, probe) != 0) continue;
                    std::lock_guard<std::mutex> hold(resultLock);
                    lent.emplace_back(out);
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        EXPECT_EQ(lent.size(), 200u);
        EXPECT_EQ(std::set<std::string>(lent.begin(), lent.end()).size(), lent.size()) << "probe " << probe;
    }
}

// The same with the real probe inside the test's namespace: addresses on our own link answer.
TEST(AllocProbe, RealProbesSkipAnsweringAddresses) {
    negtest::VethLink link("kvalloc0");
    ASSERT_TRUE(link.Ok());
    ASSERT_TRUE(link.AddAddress("10.77.0.1/24"));
    for (int octet = 10; octet <= 18; ++octet) ASSERT_TRUE(link.AddAddress("10.77.0." + std::to_string(octet) + "/24"));
    SetPingSocketMode(PingSocketMode::Automatic);
    char cursor[kAllocIpSize] = {};
    std::mutex lock;
    AddressAllocator alloc(cursor, lock, PingApi);
    ASSERT_TRUE(alloc.ResetCursor("10.77.0.1"));

    char out[kAllocIpSize] = {};
    EXPECT_EQ(alloc.GetNotUseIp(out, "10.77.0.1", 1, true), kAllocNoFreeAddress);
    EXPECT_STREQ(out, "");
    EXPECT_STREQ(cursor, "10.77.0.19");
    EXPECT_EQ(alloc.GetNotUseIp(out, "10.77.0.1", 2, true), 0);
    EXPECT_STREQ(out, "10.77.0.19");
    EXPECT_STREQ(cursor, "10.77.0.22");
}

// The window's operations over its own cursor, with check box 1014 read at every call.
TEST(AllocProbe, WindowReadsTheCheckBoxLive) {
    negtest::VethLink link("kvalloc0");
    ASSERT_TRUE(link.Ok());
    ASSERT_TRUE(link.AddAddress("10.77.0.10/24"));
    ASSERT_TRUE(link.AddAddress("10.77.0.13/24"));
    CKelvaneDlg dlg;
    std::snprintf(dlg.m_szNextAllocIp, sizeof dlg.m_szNextAllocIp, "10.77.0.10");

    char out[kAllocIpSize] = {};
    EXPECT_EQ(dlg.GetNotUseIp(out, "10.77.0.10", 1), 0);
    EXPECT_STREQ(out, "10.77.0.11");
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(dlg.GetNotUseIp(out, "10.77.0.10", 2), 0);
    EXPECT_STREQ(out, "10.77.0.12");

    dlg.m_bIpCheck = 1;
    std::memset(out, 0, sizeof out);
    EXPECT_EQ(dlg.GetNotUseIp(out, "10.77.0.10", 3), 0);
    EXPECT_STREQ(out, "10.77.0.14");  // .13 answered
    EXPECT_STREQ(dlg.m_szNextAllocIp, "10.77.0.16");

    char slots[kAllocBatch][kAllocIpSize];
    EXPECT_EQ(dlg.DistributeThreeNotUseIPArr(slots), 0);
    EXPECT_STREQ(slots[0], "10.77.0.16");
    EXPECT_STREQ(slots[2], "10.77.0.18");
    EXPECT_EQ(dlg.DistributeThreeNotUseIPArr(nullptr), -1);
}

}  // namespace
