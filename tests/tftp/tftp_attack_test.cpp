// The TFTP service against a hostile LAN host: what it may read, write, hold and cost us.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tftp_fixture.h"

using namespace tftptest;
namespace fs = std::filesystem;

namespace {

class TftpAttackTest : public TftpServiceTest {
protected:
    testsupport::TempDir m_outside;
};

const std::string kRefused = "5/2:Access violation";

// Each request a LAN host might send, what it is answered, and what must still hold afterwards.
TEST_F(TftpAttackTest, NamesAndWritesThatWouldLeaveOrChangeTheRootAreRefused) {
    struct Case {
        const char* what;
        int level;
        std::function<void()> setup;
        std::string request;
        std::string answer;
        std::function<void()> after;
    };
    auto link = [](const std::string& target, const std::string& at) { fs::create_symlink(target, at); };
    const Case cases[] = {
        {"write under a run", kTftpReadOnlyLevel, [&] { m_root.Write("fw.bin", "good"); }, Wrq("fw.bin"), kRefused,
         [&] {
             EXPECT_EQ("good", m_root.Read("fw.bin"));
             EXPECT_EQ(1u, m_log.Count("write request for <fw.bin> from 127.0.0.1 refused"));
         }},
        {"file link out", 1, [&] { link(m_outside.Write("secret", "s"), m_root.File("l.bin")); }, Rrq("l.bin"),
         kRefused, nullptr},
        {"folder link out", 1, [&] { link(m_outside.Path(), m_root.File("d")); }, Rrq("d/secret"), kRefused, nullptr},
        {"proc link out", 1, [&] { link("/proc/self/environ", m_root.File("env")); }, Rrq("env"), kRefused, nullptr},
        {"link inside the root", 1,
         [&] {
             m_root.Write("real.bin", "r");
             link("real.bin", m_root.File("alias.bin"));
         },
         Rrq("alias.bin"), "3/1", nullptr},
        {"write through a folder link", 1, [&] { link(m_outside.Path(), m_root.File("o")); }, Wrq("o/new.bin"),
         kRefused, [&] { EXPECT_FALSE(fs::exists(m_outside.File("new.bin"))); }},
        {"write over a link", 1, [&] { link(m_outside.Write("victim", "v"), m_root.File("v.bin")); }, Wrq("v.bin"),
         kRefused, [&] { EXPECT_EQ("v", m_outside.Read("victim")); }},
        {"write over a read-only file", 1, [&] { chmod(m_root.Write("ro.bin", "keep").c_str(), 0444); }, Wrq("ro.bin"),
         kRefused,
         [&] {
             struct stat st {};
             stat(m_root.File("ro.bin").c_str(), &st);
             EXPECT_EQ(0444u, st.st_mode & 0777);
             EXPECT_EQ("keep", m_root.Read("ro.bin"));
         }},
        {"write over a hard link", 1,
         [&] { fs::create_hard_link(m_root.Write("one.bin", "1"), m_root.File("two.bin")); }, Wrq("two.bin"), kRefused,
         [&] { EXPECT_EQ("1", m_root.Read("one.bin")); }},
        {"timeout 255", 1, [&] { m_root.Write("t.bin", "t"); }, Request(TFTP_RRQ, {"t.bin", "octet", "timeout", "255"}),
         "3/1", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_settings.nSecurityLevel = c.level;
        c.setup();
        Restart();
        EXPECT_EQ(c.answer, Summary(RawClient().Ask(c.request)));
        if (c.after) c.after();
    }
}

// An upload keeps the mode of what it replaces, never stores more than it announced, and what an
// interrupted one left behind is gone when the service starts.
TEST_F(TftpAttackTest, UploadsAreBoundedKeepTheModeAndLeaveNothingBehind) {
    chmod(m_root.Write("mode.bin", "old").c_str(), 0600);
    m_root.Write("a.bin.tftp-Ab12Cd", "left");
    m_root.Write("sub/b.bin.tftp-x9Y8z7", "left");
    m_root.Write("c.bin.tftp-short", "mine");
    Start();
    EXPECT_FALSE(fs::exists(m_root.File("a.bin.tftp-Ab12Cd")));
    EXPECT_FALSE(fs::exists(m_root.File("sub/b.bin.tftp-x9Y8z7")));
    EXPECT_EQ("mine", m_root.Read("c.bin.tftp-short"));

    RawClient writer;
    EXPECT_EQ(Ack(0), writer.Ask(Wrq("mode.bin")));
    writer.Send(Data(1, "new"));
    EXPECT_EQ(Ack(1), writer.Receive());
    EXPECT_EQ("new", m_root.Read("mode.bin"));
    struct stat st {};
    stat(m_root.File("mode.bin").c_str(), &st);
    EXPECT_EQ(0600u, st.st_mode & 0777);

    RawClient liar;
    EXPECT_EQ(TFTP_OACK, Opcode(liar.Ask(Request(TFTP_WRQ, {"big.bin", "octet", "tsize", "10"}))));
    liar.Send(Data(1, std::string(512, 'x')));
    std::string answer = liar.Receive();
    EXPECT_EQ(3, Block(answer)) << answer;
    auto others = [&] {
        size_t count = 0;
        for (const auto& entry : fs::directory_iterator(m_root.Path())) count += entry.path().filename() != "mode.bin";
        return count;
    };
    EXPECT_TRUE(testsupport::WaitUntil([&] { return others() == 2; }, 3000)) << "only sub/ and c.bin.tftp-short stay";
}

// One address holding transfers it never acknowledges takes at most its share; others are served
// at once beside it, and a second server cannot take the port.
TEST_F(TftpAttackTest, SilentHoldersTakeTheirShareOnlyAndThePortIsOurs) {
    m_root.Write("f.bin", "f");
    Start();
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 20; ++i) {
        silent.push_back(std::make_unique<RawClient>("127.0.0.5"));
        silent.back()->SendToServer(Rrq("f.bin"));
    }
    int answered = 0;
    for (auto& s : silent) answered += !s->Receive(300).empty();
    EXPECT_EQ(kTftpMaxRecordsPerClient, answered);
    EXPECT_TRUE(WaitLog("connection from 127.0.0.5 dropped: it holds 8 transfers already"));
    RawClient honest;
    EXPECT_EQ(Data(1, "f"), honest.Ask(Rrq("f.bin")));
    honest.Send(Ack(1));

    int thief = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(thief, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(thief, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(69);
    EXPECT_NE(0, bind(thief, reinterpret_cast<sockaddr*>(&any), sizeof any));
    close(thief);
}

// A client that negotiates a window and acknowledges every block gets each block about once (one
// that loses a block gets it again at once: AcksDriveTheSenderAndTheReceiverAcknowledgesGapsAtOnce).
TEST_F(TftpAttackTest, AckingEveryBlockOfAWindowCostsAboutOneSendPerBlock) {
    const std::string file = Pattern(200 * 512 + 7);
    m_root.Write("w.bin", file);
    Start();
    RawClient client;
    EXPECT_EQ(TFTP_OACK, Opcode(client.Ask(Request(TFTP_RRQ, {"w.bin", "octet", "windowsize", "16"}))));
    client.Send(Ack(0));
    std::string data;
    int packets = 0;
    for (int expect = 1; expect <= 201;) {
        std::string packet = client.Receive();
        ASSERT_EQ(TFTP_DATA, Opcode(packet));
        ++packets;
        if (Block(packet) != expect) continue;
        data += packet.substr(4);
        client.Send(Ack(expect++));
    }
    EXPECT_TRUE(file == data);
    while (!client.Receive(300).empty()) ++packets;
    EXPECT_LE(packets, 2 * 201);
}

// Out of descriptors is the server's trouble, not a missing file.
TEST_F(TftpAttackTest, RunningOutOfDescriptorsIsNotFileNotFound) {
    m_root.Write("f.bin", "f");
    Start();
    RawClient client;
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    int lowest = dup(0);
    close(lowest);
    // The worker's transfer socket takes the last descriptor; the file finds none left.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest + 1);
    setrlimit(RLIMIT_NOFILE, &tight);
    std::string answer = client.Ask(Rrq("f.bin"));
    setrlimit(RLIMIT_NOFILE, &saved);
    // (Its Major log line is lost with the descriptors: the log file cannot be opened either.)
    EXPECT_EQ(Op(TFTP_ERROR, 0) + Bytes({"Server busy: out of file descriptors, try again"}), answer);
}

// A file that changes while it is sent never reaches the client whole: it would keep a mix of two
// files, or one cut short that it takes for complete. The rewrite check is a run's (an observer is
// set); a file that shrinks or grows is caught by every server.
TEST_F(TftpAttackTest, FileChangedDuringItsTransferIsNeverCompleted) {
    const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
    auto rewrite = [](const std::string& p) {
        std::fstream(p, std::ios::in | std::ios::out).seekp(-1, std::ios::end).put('~');
    };
    auto observer = [](void* changed, const TftpReadInfo& read) {
        *static_cast<int*>(changed) += read.nEvent == TFTP_READ_CHANGED;
        return 0;
    };
    const std::string changedError = Error(0, "File changed during transfer");
    struct Case {
        bool observed;
        std::function<void(const std::string&)> change;
        std::string last;  // the last packet the client gets
    } cases[] = {{true, rewrite, changedError},
                 {false, [](const std::string& p) { fs::resize_file(p, 600); }, changedError},
                 {false, rewrite, Data(5, std::string(99, '\0') + "~")}};  // the plain server is left as it was
    Start();
    for (const Case& c : cases) {
        const std::string path = m_root.Write("f.bin", std::string(4 * 512 + 100, '\0'));
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old, 0));
        int changed = 0;
        if (c.observed) SetTftpReadObserver(observer, &changed);
        RawClient client;
        std::string packet = client.Ask(Rrq("f.bin"));
        c.change(path);
        for (int block = 1; Opcode(packet) == TFTP_DATA && packet.size() == 516; ++block) {
            client.Send(Ack(block));
            packet = client.Receive();
        }
        SetTftpReadObserver(nullptr, nullptr);
        EXPECT_EQ(c.last, packet);
        EXPECT_EQ(c.observed ? 1 : 0, changed);
    }
}

}  // namespace
