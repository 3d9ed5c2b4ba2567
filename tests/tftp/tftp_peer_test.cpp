// Real TFTP clients (curl, atftp, tftp-hpa) against the service, every file compared byte for
// byte, straight and through a lossy link.
#include <cstdlib>
#include <map>
#include <regex>

#include "support/netns.h"
#include "support/udp_relay.h"
#include "support/veth_link.h"
#include "tftp_fixture.h"

using namespace tftptest;

namespace {

const size_t kSizes[] = {0, 1, 511, 512, 513, 1024 * 1024};
const int kBlockSizes[] = {512, 1428, 16384};

int Shell(const std::string& command) {
    return testsupport::RunCommand(command + " >/dev/null");
}
std::string Name(size_t size) {
    return "f" + std::to_string(size) + ".bin";
}
std::string Content(size_t size) {
    return Pattern(size, static_cast<unsigned>(size));
}

class TftpPeerTest : public TftpServiceTest {
protected:
    void SetUp() override {
        TftpServiceTest::SetUp();
        for (size_t size : kSizes) m_root.Write(Name(size), Content(size));
        m_settings.nTimeUnitMs = 200;  // our retries outlast atftp's 1 s time-out
        Start();
    }

    // atftp asks for "windowsize": downloads and uploads at each window and block size arrive whole,
    // through `port` (69, or a lossy relay's). On a lossy link atftp may try three times: it gives
    // up after a few of its own 1-s time-outs in a row, which a loaded machine (a sanitizer build
    // beside other tests) can cause twice; the next try must then deliver every byte. There an upload is judged by the file stored, not by atftp's
    // exit status: a lost final ACK of an upload is not sent again (the receiver does not linger).
    void AtftpWithAWindow(uint16_t port, const std::string& down, const std::string& up, bool lossy) {
        const int tries = lossy ? 3 : 1;
        m_root.Write("down.bin", down);
        const std::string local = m_out.Write("up.bin", up);
        const std::string server = " 127.0.0.1 " + std::to_string(port);
        for (int window : {1, 8, 64}) {
            for (int blockSize : kBlockSizes) {
                const std::string options = "atftp --tftp-timeout 1 --option \"blksize " + std::to_string(blockSize) +
                                            "\" --option \"windowsize " + std::to_string(window) + "\" ";
                const std::string tag =
                    std::to_string(port) + "_" + std::to_string(window) + "_" + std::to_string(blockSize);
                SCOPED_TRACE(tag);
                bool got = false, stored = false;
                for (int attempt = 0; attempt < tries && !got; ++attempt) {
                    got = Shell(options + "-g -r down.bin -l " + m_out.File("got" + tag) + server) == 0;
                }
                EXPECT_TRUE(got && down == m_out.Read("got" + tag)) << "download differs";
                for (int attempt = 0; attempt < tries && !stored; ++attempt) {
                    const int status = Shell(options + "-p -l " + local + " -r up" + tag + ".bin" + server);
                    stored = (lossy || status == 0) && WaitLog("<up" + tag + ".bin>: rcvd ", 3000) &&
                             up == m_root.Read("up" + tag + ".bin");
                }
                EXPECT_TRUE(stored) << "upload differs";
            }
        }
    }
    testsupport::TempDir m_out;
};

// Every size downloaded, and uploaded, by every client at each block size; atftp also at each window.
TEST_F(TftpPeerTest, RealClientsMoveEverySize) {
    // The tftp-hpa client resolves addresses with AI_ADDRCONFIG: give the namespace a non-loopback
    // address of each family.
    testsupport::VethLink link("tv0");
    ASSERT_TRUE(link.Ok() && link.AddAddress("10.77.0.1/24") && link.AddAddress("fd77::1/64 nodad"));
    struct Peer {
        std::string get, put;  // commands moving the server's $R to and from the local $L; empty: not tried
    };
    std::vector<Peer> peers = {{"", "curl -sS -T $L tftp://127.0.0.1/$R"}};
    for (int blockSize : kBlockSizes) {
        const std::string b = std::to_string(blockSize);
        peers.push_back({"curl -sS --tftp-blksize " + b + " -o $L tftp://127.0.0.1/$R", ""});
        const std::string atftp = "atftp --option \"blksize " + b + "\" ";
        peers.push_back({atftp + "-g -r $R -l $L 127.0.0.1", atftp + "-p -r $R -l $L 127.0.0.1"});
    }
    for (std::string host : {"127.0.0.1", "-6 ::1"}) {
        peers.push_back({"tftp -m binary " + host + " -c get $R $L", "tftp -m binary " + host + " -c put $L $R"});
    }
    int run = 0;
    for (const Peer& peer : peers) {
        for (size_t size : kSizes) {
            SCOPED_TRACE(peer.get + peer.put + " size " + std::to_string(size));
            const std::string id = std::to_string(run++);
            const std::string files = "L=" + m_out.File(id) + " R=";
            if (!peer.get.empty()) {
                // curl refuses an OACK whose "tsize" is 0 (from any server), so an empty file goes without options.
                const std::string get =
                    size > 0 ? peer.get
                             : std::regex_replace(peer.get, std::regex("--tftp-blksize \\d+"), "--tftp-no-options");
                EXPECT_EQ(0, Shell(files + Name(size) + "; " + get));
                EXPECT_TRUE(Content(size) == m_out.Read(id)) << "download differs";
            }
            if (!peer.put.empty()) {
                m_out.Write(id, Content(size));
                EXPECT_EQ(0, Shell(files + "up" + id + "; " + peer.put));
                EXPECT_TRUE(Content(size) == m_root.Read("up" + id)) << "upload differs";
            }
        }
    }
    // The one socket serves both families; the log names a v4 client plainly, not v4-mapped.
    EXPECT_TRUE(WaitLog("Connection received from 127.0.0.1 on port"));
    EXPECT_TRUE(WaitLog("Connection received from ::1 on port"));
    AtftpWithAWindow(69, Content(1024 * 1024), Pattern(1024 * 1024 + 333, 77), false);
}

// curl over a link losing 10% each way. When its first answer is lost it asks again and follows
// the new transfer; the abandoned one must end without an ERROR, which curl would take from any
// port as the end of its download ("illegal TFTP operation", exit 71). The server's ladder (7.5 s)
// outlasts curl's 5-s resend, as the real one (25 s) does.
TEST_F(TftpPeerTest, SlowCurlOverALossyLinkNeverEndsIllegal) {
    m_settings.nTimeUnitMs = 300;
    m_settings.nMaxPerClient = 0;  // all 40 reach us from the relay's one address
    Restart();
    m_root.Write("lossy.bin", Pattern(16000, 7));
    testsupport::UdpRelay relay(6969, 69, {.loss = 0.1, .seed = 12});
    std::string script = "cd " + m_out.Path() +
                         " && for i in $(seq 40); do b=$((i % 2 ? 512 : 1468)); "
                         "(curl -s -m 25 --tftp-blksize $b -o got$i tftp://127.0.0.1:6969/lossy.bin; echo $? > rc$i) & "
                         "done; wait";
    ASSERT_EQ(0, testsupport::RunCommand(script));
    std::map<int, int> exits;
    for (int i = 1; i <= 40; ++i) {
        int rc = std::atoi(m_out.Read("rc" + std::to_string(i)).c_str());
        ++exits[rc];
        EXPECT_TRUE(rc != 0 || Pattern(16000, 7) == m_out.Read("got" + std::to_string(i))) << i;
    }
    EXPECT_EQ(0, exits[71]) << "curl ended with an illegal TFTP operation";
    EXPECT_GE(exits[0], 36) << "downloads failing otherwise";
    EXPECT_GT(relay.dropped, 0u);
}

// The same through a link that loses, duplicates and reorders 5% of the datagrams each way, with
// smaller files: once atftp's sender has timed out it sends one block per ACK, so a lossy upload
// crawls at our time-out's pace.
TEST_F(TftpPeerTest, SlowAtftpWithAWindowThroughALossyLink) {
    testsupport::UdpRelay relay(6970, 69, {0.05, 0.05, 0.05, 13});
    AtftpWithAWindow(6970, Content(1024 * 1024).substr(0, 300000), Pattern(60000, 77), true);
    EXPECT_GT(relay.dropped, 0u);
    EXPECT_GT(relay.duplicated, 0u);
    EXPECT_GT(relay.reordered, 0u);
}

// More than 65535 blocks: block numbers wrap to 0 on the wire and the client still gets every byte.
TEST_F(TftpPeerTest, SlowBlockNumbersWrapOnAFileOver32MiB) {
    const size_t size = 33 * 1024 * 1024 + 777;
    std::string content = Pattern(size, 5);
    m_root.Write("big.bin", content);
    EXPECT_EQ(0, Shell("curl -sS --tftp-blksize 512 -o " + m_out.File("big.bin") + " tftp://127.0.0.1/big.bin"));
    EXPECT_TRUE(content == m_out.Read("big.bin")) << "curl 33 MiB: content differs";
    EXPECT_TRUE(
        WaitLog("<big.bin>: sent " + std::to_string(size / 512 + 1) + " blks, " + std::to_string(size) + " bytes in "));
}

}  // namespace
