#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "platform/single_instance.h"
#include "support/temp_dir.h"

namespace {

// A child process holds the lock; this process is refused until the child has ended.
TEST(SingleInstance, SecondProcessIsRefusedUntilTheFirstEnds) {
    testsupport::TempDir dir;
    std::string lock = dir.File("KelvaneDlg");
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(release[1]);
        char byte = platform::AcquireSingleInstance(lock) ? '1' : '0';
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        if (read(release[0], &byte, 1) < 0) _exit(3);
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    EXPECT_EQ(held, '1');
    EXPECT_FALSE(platform::AcquireSingleInstance(lock));
    close(release[1]);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(platform::AcquireSingleInstance(lock));
    for (int fd : {ready[0], ready[1], release[0]}) close(fd);
}

}  // namespace
