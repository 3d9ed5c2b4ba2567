#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/single_instance.h"
#include "support/temp_dir.h"

namespace {

TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstEnds) {
    testsupport::TempDir dir;
    const std::string lock = dir.File("KelvaneDlg");
    // True when a child process got the lock (it ends at once).
    auto childGetsIt = [&] {
        pid_t child = fork();
        if (child == 0) _exit(platform::AcquireSingleInstance(lock) ? 1 : 0);
        int status = -1;
        return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 1;
    };
    EXPECT_TRUE(childGetsIt());
    ASSERT_TRUE(platform::AcquireSingleInstance(lock));  // the child's ended with it; held until this program ends
    EXPECT_FALSE(childGetsIt());
}

}  // namespace
