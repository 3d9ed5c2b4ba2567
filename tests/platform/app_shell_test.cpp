#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "platform/app_paths.h"
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

// Settings beside the executable only in a folder of the user's own, never in a system folder,
// even for root, for whom every folder is writable; an existing Config.ini keeps its place.
TEST(AppPaths, FilesGoBesideTheProgramOnlyInTheUsersOwnFolder) {
    testsupport::TempDir own, withIni, foreign;
    std::ofstream(withIni.File("Config.ini")) << "[CNFINFO]\r\n";
    const unsigned me = geteuid(), other = me + 4242;
    const struct {
        std::string dir;
        unsigned user;
        bool beside;
    } cases[] = {
        {own.Path(), me, true},
        {own.Path(), other, false},     // someone else's folder
        {withIni.Path(), other, true},  // an unpacked build already keeps its settings there
        {"/usr/bin", 0, false},         // installed, run as root
        {"/usr/local/bin", 0, false},
        {"/opt/kelvane/bin", 0, false},  // not there at all
        {foreign.Path() + "/missing", me, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::FilesBelongBeside(c.dir, c.user), c.beside) << c.dir << " " << c.user;
}
