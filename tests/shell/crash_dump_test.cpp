#include "app/crash_dump.h"

#include <gtest/gtest.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

struct ChildRun {
    int status = -1;  // the exit status, -1 when it did not exit
    std::string pid;
    time_t before = 0, after = 0;
};

ChildRun RunCrashChild(const std::string& crashDir, const char* mode) {
    const time_t before = time(nullptr);
    // The shell prints its pid, which the child keeps through exec.
    const auto [status, out] =
        testsupport::RunCapture(std::string("echo $$; exec " CRASH_CHILD " ") + crashDir + " " + mode);
    return {status, out.substr(0, out.find('\n')), before, time(nullptr)};
}

std::string DumpPathAt(const std::string& crashDir, time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    char day[32], file[32];
    strftime(day, sizeof day, "%Y-%m-%d", &local);
    strftime(file, sizeof file, "%Y%m%d_%H%M%S.dmp", &local);
    return crashDir + "/" + day + "/" + file;
}

std::vector<std::string> DumpFiles(const std::string& crashDir) {
    std::vector<std::string> files;
    std::error_code none;  // no folder, no files
    for (const auto& entry : std::filesystem::recursive_directory_iterator(crashDir, none)) {
        if (entry.is_regular_file()) files.push_back(entry.path().string());
    }
    return files;
}

TEST(CrashDump, FaultOnAWorkerThreadLeavesANamedDumpOrStillEnds) {
    testsupport::TempDir dir;
    std::string crashDir = dir.File("CrashDir");
    for (const char* mode : {"segv", "abort"}) {
        std::filesystem::remove_all(crashDir);
        ChildRun run = RunCrashChild(crashDir, mode);
        int signal = std::string(mode) == "segv" ? SIGSEGV : SIGABRT;
        EXPECT_EQ(run.status, CrashExitStatus(signal)) << mode;

        std::vector<std::string> files = DumpFiles(crashDir);
        ASSERT_EQ(files.size(), 1u) << mode;
        bool named = false;
        for (time_t t = run.before; t <= run.after; ++t) named = named || files[0] == DumpPathAt(crashDir, t);
        EXPECT_TRUE(named) << files[0];

        std::string dump = dir.Read(files[0].substr(dir.Path().size() + 1));
        for (const std::string& expected : std::vector<std::string>{
                 "signal: " + std::to_string(signal), "process: " + run.pid + "\n", " faulter\n",
                 "registers:\n  rip 0x", "threads:\n", " crash_child\n", "modules:\n", "/crash_child\n"}) {
            EXPECT_NE(dump.find(expected), std::string::npos) << mode << ": no \"" << expected << "\" in\n" << dump;
        }
        // Only code mappings, and the handler's bare addresses are named offline.
        EXPECT_EQ(dump.find(" rw-p ", dump.find("modules:\n")), std::string::npos) << dump;
        // The crashed binary's build ID, which the symbolizer compares with the binary at hand.
        EXPECT_TRUE(std::regex_search(dump, std::regex("build-ids:\n  [0-9a-f]{40} /.*/crash_child\n"))) << dump;
        const std::string symbolized = testsupport::RunCapture(SYMBOLIZE_DUMP " " + files[0]).out;
        EXPECT_NE(symbolized.find("#00 0x"), std::string::npos) << symbolized;
        EXPECT_NE(symbolized.find(" crash_child_fault"), std::string::npos) << mode << ":\n"
                                                                            << symbolized << "\n"
                                                                            << dump;
    }
    // A plain file where a folder should be: no folder can be made below it, even by root.
    const std::string blocked = dir.Write("blocked", "") + "/CrashDir";
    EXPECT_EQ(RunCrashChild(blocked, "segv").status, CrashExitStatus(SIGSEGV));
    EXPECT_EQ(DumpFiles(dir.Path()).size(), 2u);  // the last dump above and the blocking file itself
}

TEST(CrashDump, SecondFaultInTheSameSecondOverwrites) {
    testsupport::TempDir dir;
    std::string crashDir = dir.File("CrashDir");
    // Two crashes must fall into one second; on a loaded machine that can take a few tries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::filesystem::remove_all(crashDir);
        struct timespec now {};
        do clock_gettime(CLOCK_REALTIME, &now);
        while (now.tv_nsec > 200'000'000);
        ChildRun first = RunCrashChild(crashDir, "segv");
        ChildRun second = RunCrashChild(crashDir, "segv");
        if (first.before != second.after) continue;
        std::vector<std::string> files = DumpFiles(crashDir);
        ASSERT_EQ(files.size(), 1u);
        std::string dump = dir.Read(files[0].substr(dir.Path().size() + 1));
        EXPECT_NE(dump.find("process: " + second.pid + "\n"), std::string::npos);
        EXPECT_EQ(dump.find("process: " + first.pid + "\n"), std::string::npos);
        return;
    }
    GTEST_SKIP() << "two crashes never fell into the same second";
}

}  // namespace
