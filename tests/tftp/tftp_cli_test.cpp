// kelvane-cli tftp as a technician runs it: says where it listens or why it cannot, serves until
// SIGTERM, then stops cleanly.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "tftp_fixture.h"

namespace {

struct CliRun {
    pid_t pid = -1;
    int output = -1;  // the child's stdout and stderr
    std::string text;

    // Reads what the child printed until `needle` shows up or `timeoutMs` passes.
    bool WaitFor(const std::string& needle, int timeoutMs) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (text.find(needle) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{output, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buffer[4096];
                ssize_t n = read(output, buffer, sizeof buffer);
                if (n <= 0) break;
                text.append(buffer, static_cast<size_t>(n));
            }
        }
        return text.find(needle) != std::string::npos;
    }
    int Wait() {
        int status = 0;
        waitpid(pid, &status, 0);
        WaitFor("\x01", 200);  // collect the last lines
        close(output);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

CliRun StartCli(const std::vector<std::string>& args) {
    int pipeFds[2];
    CliRun run;
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    run.pid = fork();
    if (run.pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        std::vector<char*> argv;
        std::string program = KELVANE_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    run.output = pipeFds[0];
    return run;
}

TEST(TftpCliTest, ServesUntilSigtermAndEchoesTheLog) {
    testsupport::TempDir root;
    testsupport::TempDir work;
    root.Write("fw.bin", std::string(3000, 'f'));
    CliRun run = StartCli({"tftp", "--address", "127.0.0.1", "--root", root.Path(), "--log-level", "4",
                           "--log-file", work.File("cli.log")});
    ASSERT_TRUE(run.WaitFor("TFTP service listening on 127.0.0.1 port 69", 5000)) << run.text;
    EXPECT_EQ(0, std::system(("curl -sS -o " + work.File("got.bin") + " tftp://127.0.0.1/fw.bin").c_str()));
    EXPECT_EQ(std::string(3000, 'f'), work.Read("got.bin"));
    EXPECT_TRUE(run.WaitFor("<fw.bin>: sent 6 blks, 3000 bytes in", 3000)) << "log lines reach the terminal";
    kill(run.pid, SIGTERM);
    EXPECT_EQ(0, run.Wait());
    EXPECT_NE(std::string::npos, run.text.find("TFTP service stopped.")) << run.text;
    EXPECT_NE(std::string::npos, work.Read("cli.log").find("threads have returned")) << "the log file got them too";
}

TEST(TftpCliTest, SaysWhyItCannotServe) {
    testsupport::TempDir root;
    testsupport::TempDir work;
    CliRun first = StartCli({"tftp", "--root", root.Path(), "--log-file", work.File("a.log")});
    ASSERT_TRUE(first.WaitFor("listening on [::] port 69 (IPv4 and IPv6)", 5000)) << first.text;
    // Ours listens with address reuse, so take the port with a socket that does not allow it.
    kill(first.pid, SIGINT);
    EXPECT_EQ(0, first.Wait());
    int holder = socket(AF_INET6, SOCK_DGRAM, 0);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(69);
    ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a));
    CliRun second = StartCli({"tftp", "--address", "127.0.0.1", "--root", root.Path(), "--log-file",
                              work.File("b.log")});
    EXPECT_EQ(1, second.Wait());
    EXPECT_NE(std::string::npos, second.text.find("not serving: port 69 is already in use")) << second.text;
    close(holder);
    // Without the right to bind a port below 1024 (not root, no cap_net_bind_service).
    std::string denied = work.File("denied.txt");
    int status = std::system(("setpriv --bounding-set=-net_bind_service --inh-caps=-net_bind_service " +
                              std::string(KELVANE_CLI_PATH) + " tftp --root " + root.Path() + " --log-file " +
                              work.File("c.log") + " > " + denied + " 2>&1")
                                 .c_str());
    EXPECT_EQ(1, WEXITSTATUS(status));
    EXPECT_NE(std::string::npos, work.Read("denied.txt").find("not permitted to listen on port 69"))
        << work.Read("denied.txt");
    CliRun missing = StartCli({"tftp", "--root", work.File("nothing-here")});
    EXPECT_EQ(2, missing.Wait());
    EXPECT_NE(std::string::npos, missing.text.find("is not a folder")) << missing.text;
}

}  // namespace
