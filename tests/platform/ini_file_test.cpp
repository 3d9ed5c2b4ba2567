#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>

#include "support/temp_dir.h"

namespace {

TEST(IniFile, ReadsWithoutCaseAndWithDefaults) {
    testsupport::TempDir dir;
    std::string path = dir.Write("Config.ini",
                                 "; comment\r\n[Other]\r\nPath=wrong\r\n[ cnfinfo ]\r\n  PATH =  D:\\fw dir  \r\n"
                                 "LogSwitch=1x\r\nQuoted=\"a b\"\r\n");
    EXPECT_EQ(platform::IniReadString(path, "CNFINFO", "Path", "def"), "D:\\fw dir");
    EXPECT_EQ(platform::IniReadString(path, "CNFINFO", "Quoted", ""), "a b");
    EXPECT_EQ(platform::IniReadString(path, "CNFINFO", "Missing", "def"), "def");
    EXPECT_EQ(platform::IniReadString(path, "Nope", "Path", "def"), "def");
    EXPECT_EQ(platform::IniReadInt(path, "CNFINFO", "LogSwitch", 5), 1);
    EXPECT_EQ(platform::IniReadInt(path, "CNFINFO", "Path", 5), 0);
    EXPECT_EQ(platform::IniReadInt(path, "CNFINFO", "Absent", 5), 5);
    EXPECT_EQ(platform::IniReadInt(dir.File("none.ini"), "CNFINFO", "LogSwitch", 0), 0);
}

TEST(IniFile, WriteReplacesOrAppendsAndKeepsTheRest) {
    testsupport::TempDir dir;
    std::string path = dir.File("Config.ini");
    ASSERT_TRUE(platform::IniWriteString(path, "CNFINFO", "Path", "/srv/fw"));  // creates the file
    EXPECT_EQ(platform::IniReadString(path, "CNFINFO", "Path", ""), "/srv/fw");

    dir.Write("Config.ini", "[CNFINFO]\r\nLogSwitch=1\r\npath=old\r\n\r\n[Other]\r\nKey=v\r\n");
    ASSERT_TRUE(platform::IniWriteString(path, "cnfinfo", "Path", "new"));
    ASSERT_TRUE(platform::IniWriteString(path, "CNFINFO", "Added", "x"));
    ASSERT_TRUE(platform::IniWriteString(path, "Third", "K", "3"));
    EXPECT_EQ(dir.Read("Config.ini"),
              "[CNFINFO]\r\nLogSwitch=1\r\nPath=new\r\nAdded=x\r\n\r\n[Other]\r\nKey=v\r\n[Third]\r\nK=3\r\n");
}

TEST(IniFile, FailedWriteReportsAndLeavesNoTemporaryFile) {
    testsupport::TempDir dir;
    std::string path = dir.File("Config.ini");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);  // a directory where the file should be
    EXPECT_FALSE(platform::IniWriteString(path, "CNFINFO", "Path", "lost"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), std::filesystem::directory_iterator()), 1);
    EXPECT_FALSE(platform::IniWriteString(dir.File("missing/Config.ini"), "CNFINFO", "Path", "x"));
}

}  // namespace
