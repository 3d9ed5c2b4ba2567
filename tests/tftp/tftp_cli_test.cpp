// kelvane-cli tftp as a technician runs it: says where it listens or why it cannot, serves until
// SIGTERM or SIGINT, then stops cleanly.
#include <string>
#include <utility>

#include "support/netns.h"
#include "tftp_fixture.h"

namespace {

// Runs a shell script with the command line tool as $CLI; gives its exit status.
int Script(const std::string& script) {
    return testsupport::RunCommand("CLI=" KELVANE_CLI_PATH "; " + script);
}
// Shell lines waiting up to 5 s until file `out` holds `text`.
std::string AwaitText(const std::string& out, const std::string& text) {
    return "for i in $(seq 100); do grep -qF '" + text + "' " + out + " && break; sleep 0.05; done; ";
}

TEST(TftpCliTest, ServesUntilSigtermOrSaysWhyItCannot) {
    testsupport::TempDir root;
    testsupport::TempDir work;
    root.Write("fw.bin", std::string(3000, 'f'));
    std::string out = work.File("out.txt");
    EXPECT_EQ(0, Script("$CLI tftp --address 127.0.0.1 --root " + root.Path() + " --log-level 4 --log-file " +
                        work.File("cli.log") + " >" + out + " 2>&1 & pid=$!; " +
                        AwaitText(out, "TFTP service listening on 127.0.0.1 port 69") + "curl -sS -o " +
                        work.File("got.bin") + " tftp://127.0.0.1/fw.bin; " +
                        AwaitText(out, "<fw.bin>: sent 6 blks, 3000 bytes in") + "kill -TERM $pid; wait $pid"));
    EXPECT_EQ(std::string(3000, 'f'), work.Read("got.bin"));
    std::string text = work.Read("out.txt");
    for (const char* line : {"TFTP service listening on 127.0.0.1 port 69", "<fw.bin>: sent 6 blks, 3000 bytes in",
                             "TFTP service stopped."}) {
        EXPECT_NE(std::string::npos, text.find(line)) << line << " not in " << text;
    }
    EXPECT_NE(std::string::npos, work.Read("cli.log").find("threads have returned")) << "the log file got them too";

    // Where it listens, or why it cannot.
    struct Case {
        std::string command;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"$CLI tftp --address 127.0.0.1 --root " + root.Path() + " --log-file " + work.File("b.log"), 1,
         "not serving: port 69 on 127.0.0.1 is in use by another program (pid "},
        // Without the right to bind a port below 1024 (not root, no cap_net_bind_service).
        {"setpriv --bounding-set=-net_bind_service --inh-caps=-net_bind_service $CLI tftp --root " + root.Path() +
             " --log-file " + work.File("c.log"),
         1, "not permitted to listen on port 69"},
        {"$CLI tftp --address 10.99.99.99 --root " + root.Path() + " --log-file " + work.File("d.log"), 1,
         "not serving: the address 10.99.99.99 is not available on this host"},
        {"$CLI tftp --root " + work.File("nothing-here"), 2, "is not a folder"},
        // On every address by default; it stops on SIGINT as on SIGTERM.
        {"timeout --preserve-status -s INT 1 $CLI tftp --root " + root.Path() + " --log-file " + work.File("a.log"), 0,
         "listening on [::] port 69 (IPv4 and IPv6)"},
    };
    // The first case finds the port held, and names who holds it.
    int holder = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(69);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        EXPECT_EQ(c.status, Script(c.command + " >" + work.File("said.txt") + " 2>&1"));
        EXPECT_NE(std::string::npos, work.Read("said.txt").find(c.says)) << work.Read("said.txt");
        close(std::exchange(holder, -1));  // held for the first case only
    }
}

}  // namespace
