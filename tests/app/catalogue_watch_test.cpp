// A firmware file that changes under a run: the run stops offering it, the TFTP service refuses
// it, and the operator is told once per file, whichever of the two notices first.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#include "support/run_fixture.h"
#include "support/udp_peer.h"
#include "tools/devsim/fmw_writer.h"

namespace {

class CatalogueWatchTest : public testsupport::RunFixture {};

TEST_F(CatalogueWatchTest, ChangedFileIsWithdrawnRefusedAndToldOnce) {
    testsupport::UdpPeer device("10.77.0.1"), replies("0.0.0.0", 10010);
    // The reply to an address request, and the first answer to a read request ("3/1", "5/2").
    auto offer = [&](const std::string& model, const std::string& mac) {
        const size_t before = replies.Received().size();
        device.SendTo("Msg:Request_ipaddr\r\nVersion:" + model + "-2.0.0.1\r\nCseq:1\r\nIPCMac:" + mac + "\r\n",
                      "10.77.0.1", 10011);
        return replies.WaitFor(before + 1, testsupport::Scaled(5000)) ? replies.Received().back() : "";
    };
    auto read = [](const std::string& name) {
        testsupport::UdpPeer client("10.77.0.1");
        client.SendTo(std::string("\0\1", 2) + name + std::string("\0octet\0", 7), "10.77.0.1", 69);
        const std::string p = client.Next(testsupport::Scaled(3000)) + "    ";
        return std::to_string(p[1]) + "/" + std::to_string(p[3]);
    };
    auto told = [&](const std::string& file) {
        const std::vector<std::string> calls = m_view.Calls();
        return std::count_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.rfind("message Error: The firmware file " + file + " changed", 0) == 0;
        });
    };
    testsupport::TempDir outside;
    const std::string secret = outside.Write("secret.bin", "not firmware");
    auto rename = [&](const std::string& p) {  // the same bytes, but not the same file
        m_folder.Write("next.tmp", devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7"));
        return std::rename(m_folder.File("next.tmp").c_str(), p.c_str()) == 0;
    };
    auto rewriteLastByte = [](const std::string& p) {
        std::fstream f(p, std::ios::in | std::ios::out | std::ios::binary);
        return bool(f.seekp(-1, std::ios::end).put('~'));
    };
    struct Case {
        std::string model, what;  // what the operator is told changed
        std::function<bool(const std::string& path)> change;
        std::string readName, refused;  // how the device spells the file, and the service's answer
        bool readFirst;                 // the service notices before an offer does
    } cases[] = {
        {"IPC1F", "deleted", [](const std::string& p) { return unlink(p.c_str()) == 0; }, "", "5/1", false},
        {"IPC2F", "replaced by another file", rename, "./", "5/2", true},
        {"IPC3F", "rewritten, size", [](const std::string& p) { return bool(std::ofstream(p, std::ios::app) << "x"); },
         "", "5/2", true},
        {"IPC4F", "modification time changed", rewriteLastByte, "", "5/2", false},
        {"IPC5F", "a link that leads out of the folder",
         [&](const std::string& p) { return unlink(p.c_str()) == 0 && symlink(secret.c_str(), p.c_str()) == 0; }, "",
         "5/2", false},
        // Touched only: the content may be the same, but nothing says so short of reading it all.
        {"IPC6F", "modification time changed",
         [](const std::string& p) { return utimensat(AT_FDCWD, p.c_str(), nullptr, 0) == 0; }, "/", "5/2", true},
    };
    const timespec old[2] = {{1577836800, 0}, {1577836800, 0}};
    for (const char* model : {"IPC1F", "IPC2F", "IPC3F", "IPC4F", "IPC5F", "IPC6F", "IPC7F"}) {
        const std::string path = m_folder.Write(
            std::string(model) + ".bin", devsim::LegacyFirmware("FIRMWARE", "QL_" + std::string(model) + "_V2.1.0.7"));
        ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), old, 0));
    }
    Start();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        const std::string file = c.model + ".bin";
        ASSERT_NE(offer(c.model, "AA:" + c.model).find("FilePath:" + file), std::string::npos);
        ASSERT_TRUE(c.change(m_folder.File(file)));
        EXPECT_EQ(c.readFirst ? read(c.readName + file) : c.refused, c.refused);
        for (int round = 0; round < 2; ++round) {  // the device hears what it would with nothing newer
            const std::string reply = offer(c.model, "BB:" + c.model);
            EXPECT_TRUE(reply.find("IPCMac:BB:") != std::string::npos && reply.find("FilePath:") == std::string::npos);
            EXPECT_EQ(read(c.readName + file), c.refused);
        }
        EXPECT_EQ(told(file), 1);
        EXPECT_NE(m_view.Last("message Error: The firmware file " + file).find(c.what), std::string::npos);
        EXPECT_EQ(m_log.Count("firmware file " + file + " withdrawn from this run"), 1u);
    }
    // A file left alone is still offered and served.
    EXPECT_NE(offer("IPC7F", "AA:IPC7F").find("FilePath:IPC7F.bin"), std::string::npos);
    EXPECT_EQ(read("IPC7F.bin"), "3/1");
    EXPECT_EQ(told("IPC7F.bin"), 0);
}

}  // namespace
