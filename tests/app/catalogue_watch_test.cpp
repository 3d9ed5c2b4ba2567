// A firmware file that changes under a run: the run stops offering it, the TFTP service refuses
// it, and the operator is told once per file, whichever of the two notices first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>

#include "support/run_fixture.h"
#include "support/udp_peer.h"
#include "tools/devsim/fmw_writer.h"

namespace {

constexpr const char* kServerIp = "10.77.0.1";

class CatalogueWatchTest : public testsupport::RunFixture {
protected:
    // The reply to an address request for `model` from `mac`.
    std::string Offer(const std::string& model, const std::string& mac) {
        const size_t before = m_replies->Received().size();
        EXPECT_TRUE(
            m_device->SendTo("Msg:Request_ipaddr\r\nVersion:" + model + "-2.0.0.1\r\nCseq:1\r\nIPCMac:" + mac + "\r\n",
                             kServerIp, 10011));
        EXPECT_TRUE(m_replies->WaitFor(before + 1, testsupport::Scaled(5000)));
        std::vector<std::string> replies = m_replies->Received();
        return replies.size() > before ? replies.back() : "";
    }
    // The answer to a read request for `name`: "DATA 1" or "ERROR <code>".
    std::string Read(const std::string& name) {
        testsupport::UdpPeer client(kServerIp);
        client.SendTo(std::string("\0\1", 2) + name + std::string("\0octet\0", 7), kServerIp, 69);
        std::string packet = client.Next(testsupport::Scaled(3000));
        if (packet.size() < 4) return "nothing";
        int word = (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]);
        return (packet[1] == 3 ? "DATA " : packet[1] == 5 ? "ERROR " : "opcode ") + std::to_string(word);
    }
    int MessagesAbout(const std::string& file) {
        const std::vector<std::string> calls = m_view.Calls();
        return static_cast<int>(std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.rfind("message Error: The firmware file " + file + " ", 0) == 0;
        }));
    }

    // Bound once the fixture has given the link its address.
    void SetUp() override {
        RunFixture::SetUp();
        m_device = std::make_unique<testsupport::UdpPeer>(kServerIp);
        m_replies = std::make_unique<testsupport::UdpPeer>("0.0.0.0", 10010);
    }
    std::unique_ptr<testsupport::UdpPeer> m_device, m_replies;
};

TEST_F(CatalogueWatchTest, ChangedFileIsWithdrawnRefusedAndToldOnce) {
    testsupport::TempDir outside;
    const std::string secret = outside.Write("secret.bin", "not firmware");
    const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
    auto rewriteLastByte = [](const std::string& path) {
        int fd = open(path.c_str(), O_WRONLY);
        const bool done = fd >= 0 && pwrite(fd, "~", 1, lseek(fd, 0, SEEK_END) - 1) == 1;
        if (fd >= 0) close(fd);
        return done;
    };
    struct Case {
        std::string model;
        std::function<bool(const std::string& path)> change;
        std::string told;      // what the operator is told changed
        std::string readName;  // how the device spells the file in its read request
        std::string refused;   // the service's answer to it
        bool readFirst;        // the service notices before an offer does
    } cases[] = {
        {"IPC1F", [](const std::string& p) { return unlink(p.c_str()) == 0; }, "deleted", "", "ERROR 1", false},
        // The same bytes under a new inode: not the file the run started with.
        {"IPC2F",
         [&](const std::string& p) {
             m_folder.Write("next.tmp", devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7"));
             return std::rename(m_folder.File("next.tmp").c_str(), p.c_str()) == 0;
         },
         "replaced by another file", "./", "ERROR 2", true},
        {"IPC3F", [](const std::string& p) { return bool(std::ofstream(p, std::ios::app) << "tail"); },
         "rewritten, size", "", "ERROR 2", true},
        {"IPC4F", rewriteLastByte, "modification time changed", "", "ERROR 2", false},
        {"IPC5F",
         [&](const std::string& p) { return unlink(p.c_str()) == 0 && symlink(secret.c_str(), p.c_str()) == 0; },
         "a link that leads out of the folder", "", "ERROR 2", false},
        // Touched only: the content may well be the same, but nothing says so without reading it all.
        {"IPC6F", [](const std::string& p) { return utimensat(AT_FDCWD, p.c_str(), nullptr, 0) == 0; },
         "modification time changed", "/", "ERROR 2", true},
    };
    m_folder.Write("IPC7F.bin", devsim::LegacyFirmware("FIRMWARE", "QL_IPC7F_V2.1.0.7"));  // left alone
    for (const Case& c : cases) {
        const std::string path =
            m_folder.Write(c.model + ".bin", devsim::LegacyFirmware("FIRMWARE", "QL_" + c.model + "_V2.1.0.7"));
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old, 0));
    }
    Start();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        const std::string file = c.model + ".bin";
        ASSERT_NE(Offer(c.model, "AA:" + c.model).find("FilePath:" + file), std::string::npos);
        ASSERT_TRUE(c.change(m_folder.File(file)));
        if (c.readFirst) {
            EXPECT_EQ(Read(c.readName + file), c.refused);
        }
        // The device hears what it would if the folder had nothing newer for its model.
        for (int round = 0; round < 2; ++round) {
            const std::string reply = Offer(c.model, "BB:" + c.model);
            EXPECT_TRUE(reply.find("IPCMac:BB:" + c.model) != std::string::npos &&
                        reply.find("FilePath:") == std::string::npos)
                << reply;
            EXPECT_EQ(Read(c.readName + file), c.refused);
        }
        EXPECT_EQ(MessagesAbout(file), 1);
        EXPECT_NE(m_view.Last("message Error: The firmware file " + file).find(c.told), std::string::npos);
        EXPECT_EQ(m_log.Count("firmware file " + file + " withdrawn from this run"), 1u);
    }
    // A file left alone is still offered and served.
    EXPECT_NE(Offer("IPC7F", "AA:IPC7F").find("FilePath:IPC7F.bin"), std::string::npos);
    EXPECT_EQ(Read("IPC7F.bin"), "DATA 1");
    EXPECT_EQ(MessagesAbout("IPC7F.bin"), 0);
}

}  // namespace
