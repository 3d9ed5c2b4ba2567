// Real TFTP clients (curl, atftp, tftp-hpa) against the service, every file compared byte for
// byte; and the engines' real 5 s time-outs with six retries.
#include <sys/stat.h>

#include <cstdlib>

#include "support/netns.h"
#include "tftp_fixture.h"

using namespace tftptest;

namespace {

const size_t kSizes[] = {0, 1, 511, 512, 513, 1024 * 1024};
const int kBlockSizes[] = {512, 1428, 16384};

int Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

class TftpPeerTest : public TftpServiceTest {
protected:
    void SetUp() override {
        TftpServiceTest::SetUp();
        for (size_t size : kSizes) m_root.Write(Name(size), Pattern(size, static_cast<unsigned>(size)));
        Start();
    }
    static std::string Name(size_t size) { return "f" + std::to_string(size) + ".bin"; }
    void ExpectSame(const std::string& expected, const std::string& path, const std::string& what) {
        std::string got = m_out.Read(path);
        EXPECT_EQ(expected.size(), got.size()) << what;
        EXPECT_TRUE(expected == got) << what << ": content differs";
    }
    testsupport::TempDir m_out;
};

TEST_F(TftpPeerTest, CurlDownloadsEverySizeAtEveryBlockSize) {
    for (int blockSize : kBlockSizes) {
        for (size_t size : kSizes) {
            std::string out = m_out.File("c" + std::to_string(blockSize) + "_" + Name(size));
            std::string what = "curl blksize " + std::to_string(blockSize) + " size " + std::to_string(size);
            // curl refuses an OACK whose "tsize" is 0 (from any server), so an empty file goes without options.
            std::string options = size == 0 ? "--tftp-no-options" : "--tftp-blksize " + std::to_string(blockSize);
            EXPECT_EQ(0, Shell("curl -sS " + options + " -o " + out + " tftp://127.0.0.1/" + Name(size)))
                << what;
            ExpectSame(Pattern(size, static_cast<unsigned>(size)), out.substr(m_out.Path().size() + 1), what);
        }
    }
}

TEST_F(TftpPeerTest, AtftpDownloadsEverySizeAtEveryBlockSize) {
    for (int blockSize : kBlockSizes) {
        for (size_t size : kSizes) {
            std::string out = m_out.File("a" + std::to_string(blockSize) + "_" + Name(size));
            std::string what = "atftp blksize " + std::to_string(blockSize) + " size " + std::to_string(size);
            EXPECT_EQ(0, Shell("atftp --option \"blksize " + std::to_string(blockSize) + "\" -g -r " + Name(size) +
                             " -l " + out + " 127.0.0.1"))
                << what;
            ExpectSame(Pattern(size, static_cast<unsigned>(size)), out.substr(m_out.Path().size() + 1), what);
        }
    }
}

TEST_F(TftpPeerTest, TftpHpaDownloadsEverySizeOverIpv4AndIpv6) {
    // The client resolves addresses with AI_ADDRCONFIG: give the namespace a non-loopback address of each family.
    ASSERT_EQ(0, testsupport::RunCommand("ip link add tv0 type veth peer name tv1 && ip link set tv0 up && "
                                         "ip link set tv1 up && ip addr add 10.77.0.1/24 dev tv0 && ip -6 addr add fd77::1/64 dev tv0 nodad"));
    for (const char* host : {"127.0.0.1", "-6 ::1"}) {
        for (size_t size : kSizes) {
            std::string local = std::string(host[0] == '-' ? "h6_" : "h4_") + Name(size);
            std::string what = std::string("tftp-hpa ") + host + " size " + std::to_string(size);
            Shell(std::string("cd ") + m_out.Path() + " && tftp -m binary " + host + " -c get " + Name(size) + " " +
                local);
            ExpectSame(Pattern(size, static_cast<unsigned>(size)), local, what);
        }
    }
}

TEST_F(TftpPeerTest, UploadsThroughCurlAndAtftp) {
    for (size_t size : kSizes) {
        std::string content = Pattern(size, static_cast<unsigned>(size) + 99);
        std::string local = m_out.Write("up" + std::to_string(size), content);
        std::string curlName = "curl_up_" + std::to_string(size) + ".bin";
        EXPECT_EQ(0, Shell("curl -sS -T " + local + " tftp://127.0.0.1/" + curlName)) << size;
        EXPECT_TRUE(content == m_root.Read(curlName)) << "curl upload of " << size;
        for (int blockSize : kBlockSizes) {
            std::string atftpName = "atftp_up_" + std::to_string(blockSize) + "_" + std::to_string(size) + ".bin";
            EXPECT_EQ(0, Shell("atftp --option \"blksize " + std::to_string(blockSize) + "\" -p -l " + local + " -r " +
                             atftpName + " 127.0.0.1"))
                << atftpName;
            EXPECT_TRUE(content == m_root.Read(atftpName)) << "atftp upload " << atftpName;
        }
    }
}

// More than 65535 blocks: block numbers wrap to 0 on the wire and the client still gets every byte.
TEST_F(TftpPeerTest, SlowBlockNumbersWrapOnAFileOver32MiB) {
    const size_t size = 33 * 1024 * 1024 + 777;
    std::string content = Pattern(size, 5);
    m_root.Write("big.bin", content);
    EXPECT_EQ(0, Shell("curl -sS --tftp-blksize 512 -o " + m_out.File("big.bin") + " tftp://127.0.0.1/big.bin"));
    ExpectSame(content, "big.bin", "curl 33 MiB");
    EXPECT_TRUE(WaitLog("<big.bin>: sent " + std::to_string(size / 512 + 1) + " blks, " + std::to_string(size) +
                        " bytes in "));
}

// The real ladder: 2, 3, 5, 5, 5 s between copies and the end after the sixth wait, 25 s in all.
class TftpRealTimeoutTest : public TftpServiceTest {
protected:
    void SetUp() override {
        TftpServiceTest::SetUp();
        g_TftpConfig.nTimeUnitMs = 1000;
    }
    // Seconds from `start` to each packet until `stop` says the sequence is over.
    static std::vector<double> Arrivals(RawClient& client, std::chrono::steady_clock::time_point start,
                                        std::vector<std::string>* packets) {
        std::vector<double> at;
        for (;;) {
            std::string p = client.Receive(8000);
            if (p.empty()) return at;
            at.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            packets->push_back(p);
            if (Opcode(p) == TFTP_ERROR) return at;
        }
    }
};

TEST_F(TftpRealTimeoutTest, SlowSenderRetriesOnTheRealLadder) {
    m_root.Write("s.bin", Pattern(1000));
    Start();
    RawClient client;
    auto start = std::chrono::steady_clock::now();
    client.SendToServer(Request(TFTP_RRQ, {"s.bin", "octet"}));
    std::vector<std::string> packets;
    std::vector<double> at = Arrivals(client, start, &packets);
    ASSERT_EQ(7u, at.size());  // DATA 1 and five copies, then ERROR 0
    const double expected[] = {0, 2, 5, 10, 15, 20, 25};
    for (size_t i = 0; i < at.size(); ++i) EXPECT_NEAR(expected[i], at[i], 0.4) << "packet " << i;
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(1, Block(packets[i]));
    EXPECT_EQ(Error(0, "Undefined error code"), packets.back());
    EXPECT_TRUE(LogHas("TIMEOUT waiting for Ack block #1 "));
}

TEST_F(TftpRealTimeoutTest, SlowReceiverRetriesOnTheRealLadder) {
    Start();
    RawClient client;
    auto start = std::chrono::steady_clock::now();
    client.SendToServer(Request(TFTP_WRQ, {"never.bin", "octet"}));
    std::vector<std::string> packets;
    std::vector<double> at = Arrivals(client, start, &packets);
    ASSERT_EQ(8u, at.size());  // ACK 0, six repeats after the waits, then ERROR 0
    const double expected[] = {0, 2, 5, 10, 15, 20, 25, 25};
    for (size_t i = 0; i < at.size(); ++i) EXPECT_NEAR(expected[i], at[i], 0.4) << "packet " << i;
    for (size_t i = 0; i < 7; ++i) EXPECT_EQ(Ack(0), packets[i]);
    EXPECT_EQ(Error(0, "Undefined error code"), packets.back());
    EXPECT_TRUE(WaitLog("TIMEOUT while waiting for Data block 1, file <never.bin>"));
    struct stat st {};
    EXPECT_NE(0, stat(m_root.File("never.bin").c_str(), &st)) << "a failed upload left a file";
}

}  // namespace
