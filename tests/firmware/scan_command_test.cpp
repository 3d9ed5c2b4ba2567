// kelvane-cli scan as a technician runs it: real folder, real binary, exit status and wording.
#include <gtest/gtest.h>

#include <string>

#include "support/netns.h"
#include "support/temp_dir.h"
#include "tools/devsim/fmw_writer.h"

namespace {

testsupport::CommandResult RunCli(const std::string& args) {
    return testsupport::RunCapture(std::string(KELVANE_CLI) + " " + args);
}

TEST(ScanCommandTest, ListsCatalogueSaysWhyFilesAreLeftOutAndExitsByOutcome) {
    testsupport::TempDir dir;
    const std::string fresh = devsim::ContainerWithVersion("QL_CAM-A_V1.2.3.10", {std::string(4096, 'k')});
    dir.Write("cam_new.bin", fresh);
    dir.Write("cam_old.bin", devsim::LegacyFirmware("FIRMWARE", "QL_CAM-A_V1.2.3.9"));
    dir.Write("cam_same.bin", devsim::LegacyFirmware("FIRMWARE", "QL_CAM-A_V1.2.3.10"));
    dir.Write("nvr.bin", devsim::LegacyFirmware("FIRMWNVR", "NVR8_B3.0.1"));
    std::string broken = fresh;
    broken.back() ^= 1;
    dir.Write("broken.bin", broken);
    dir.Write("notes.txt", "hello");
    dir.Write("empty/readme.txt", "no firmware here");

    testsupport::CommandResult r = RunCli("scan '" + dir.Path() + "'");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("open file ("), std::string::npos) << "reader lines hidden by default";
    for (const char* line : {
             "Catalogue: 3 files",
             "CAM-A  1.2.3.10  IPC   cam_new.bin\n",
             "IPC   cam_same.bin  (same version as cam_new.bin, which is offered first)",
             "NVR8   3.0.1     NVR   nvr.bin",
             "cam_old.bin: version 1.2.3.9 is older than 1.2.3.10 of model CAM-A in cam_new.bin",
             "broken.bin: firmware container failed its checks: the checksum of the whole file does not match: "
             "damaged or incompletely copied (code 15)",
             "notes.txt: the name does not end in .bin",
         }) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    r = RunCli("scan --verbose '" + dir.Path() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("is not equal to file_crc["), std::string::npos) << r.out;

    r = RunCli("scan '" + dir.File("empty") + "'");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("Catalogue: empty"), std::string::npos) << r.out;
    r = RunCli("scan '" + dir.File("nope") + "'");
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("is not a folder that can be read"), std::string::npos) << r.out;
    EXPECT_NE(RunCli("scan").status, 0);
}

}  // namespace
