#include "firmware/upgrade_scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "firmware/fmw_header.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using devsim::FmwContainer;
using devsim::LegacyFirmware;

std::string Container(const std::string& versionText) {
    return devsim::ContainerWithVersion(versionText, {"kernel"});
}

UpgradeFileInfo Split(const std::string& text, int kind) {
    UpgradeFileInfo info;
    std::memset(&info, 0x55, sizeof info);
    info.szModel[0] = info.szVerNum[0] = '\0';
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    SplitVersionText(buffer.data(), kind, &info);
    return info;
}

TEST(CompareVerNumTest, ComparesNumericallyPartByPart) {
    // clang-format off
    const std::tuple<const char*, const char*, int> cases[] = {
        {"1.2.3.10", "1.2.3.9", 1}, {"1.2.3.9", "1.2.3.10", -1}, {"1.2.3.4", "1.2.3.4", 0}, {"2", "1.9.9.9", 1},
        {"1.2", "1.2.0.0", 0}, {"V1.2", "0.0.0.0", 0}, {"1.2.x.4", "1.2.0.0", 0}, {"1.2.3.4.5", "1.2.3.4", 0},
        {"", "0", 0}, {"1.2.3", "", -2}, {"", "", -2}, {"-1", "0", -1}, {" 1. 2", "1.2", 0}, {"+3", "3", 0},
        {"99999999999", "2147483646", 1}, {"-99999999999", "-2147483647", -1}, {nullptr, "1", -1}, {"1", nullptr, -2}};
    // clang-format on
    for (auto [a, b, expected] : cases)
        EXPECT_EQ(CompareVerNum(a, b), expected) << (a ? a : "null") << " vs " << (b ? b : "null");
}

TEST(SplitVersionTextTest, FieldsByKind) {
    const std::string m(100, 'M'), v(100, '9');
    // clang-format off
    const std::tuple<std::string, int, std::string, std::string> cases[] = {
        {"QL_IPC2F_V2.1.0.7", kDevTypeIpc, "IPC2F", "2.1.0.7"}, {"IPC2F", kDevTypeIpc, "", ""},
        {"__QL___IPC2F__V2.1.0.7_build_42_", kDevTypeIpc, "IPC2F", "2.1.0.7"},  // runs of "_", extra fields
        {"QL_IPC2F_V", kDevTypeIpc, "IPC2F", ""}, {"NVR8_B3.0.1_QL", kDevTypeNvr, "NVR8", "3.0.1"},
        {"NVR8", kDevTypeNvr, "NVR8", ""}, {"QL_" + m + "_V" + v, kDevTypeIpc, m.substr(0, 63), v.substr(0, 63)},
        {"QL_IPC2F_V2.1.0.7", 2, "", ""}};  // no such kind: the version is left untouched
    // clang-format on
    for (const auto& [text, kind, model, verNum] : cases) {
        UpgradeFileInfo info = Split(text, kind);
        EXPECT_EQ(std::string(info.szModel) + "|" + info.szVerNum, model + "|" + verNum) << text;
        EXPECT_TRUE(kind != 2 || info.szVersion[0] == 0x55);
    }
}

class ScanTest : public testing::Test {
protected:
    void Scan(const std::string& folder) {
        testing::internal::CaptureStdout();  // the container reader's chatter
        ScanUpgradeFolder(folder, &m_catalogue, &m_skipped);
        testing::internal::GetCapturedStdout();
    }
    // The log with each line's fixed-width head " [Info][dd/mm hh:mm:ss.mmm]" cut out and the folder as "D".
    std::string Log() const {
        std::string text = m_log.Text(), folder = m_dir.Path();
        for (size_t at = 0; (at = text.find(" [Info][", at)) != std::string::npos;) text.erase(at, 27);
        for (size_t at = 0; (at = text.find(folder, at)) != std::string::npos;) text.replace(at, folder.size(), "D");
        return text;
    }
    std::vector<std::string> CatalogueNames() const {
        std::vector<std::string> names;
        for (const UpgradeFileInfo& info : m_catalogue) names.push_back(info.szFileName);
        return names;
    }

    testsupport::LogCapture m_log{LOG_INFO};
    testsupport::TempDir m_dir;
    std::vector<UpgradeFileInfo> m_catalogue;
    std::vector<ScanSkip> m_skipped;
};

TEST_F(ScanTest, MixedFolderGivesTheNewestOfEachModel) {
    m_dir.Write("a1_new.bin", Container("QL_CAM-A_V1.2.3.10"));
    m_dir.Write("a2_old.bin", LegacyFirmware("FIRMWARE", "QL_CAM-A_V1.2.3.9"));
    m_dir.Write("a3_nover.bin", LegacyFirmware("FIRMWARE", "QL_CAM-A_V"));
    m_dir.Write("a4_lower_case.bin", LegacyFirmware("FIRMWARE", "QL_cam-a_V0.0.0.1"));
    m_dir.Write("e1.bin", LegacyFirmware("FIRMWARE", "QL_CAM-E_V5.0_a"));
    m_dir.Write("e2.BIN", Container("QL_CAM-E_V5.0.0.0"));
    m_dir.Write("n1.bin", LegacyFirmware("FIRMWNVR", "NVR8_B3.0.1"));
    m_dir.Write("e3_junk.bin", LegacyFirmware("FIRMWARE", "QL_CAM-E_Vjunk"));  // unparsable: 0.0.0.0, dropped
    m_dir.Write("n2.bin", LegacyFirmware("FIRMWNVR", "NVR8_B9.0", 691));
    m_dir.Write("o.bin", LegacyFirmware("FIRMWARE", "QL_OTHER_Vjunk"));  // alone in its model: stays
    m_dir.Write("short.bin", "FIRMWAR");
    m_dir.Write("empty.bin", "");
    m_dir.Write("legacy_short.bin", LegacyFirmware("FIRMWARE", "QL_CAM-A_V9", 1555));
    m_dir.Write("readme.txt", LegacyFirmware("FIRMWARE", "QL_CAM-A_V9"));
    m_dir.Write("x.bin/inner.bin", LegacyFirmware("FIRMWARE", "QL_CAM-A_V9"));
    m_dir.Write("unknown.bin", "MZ\x90\x01 this is no firmware at all");
    std::string alg = Container("QL_CAM-A_V9");
    alg.replace(0, 8, "QLXALG22");
    m_dir.Write("alg.bin", alg);
    std::string broken = Container("QL_CAM-A_V9");
    broken[broken.size() - 1] ^= 1;
    m_dir.Write("broken.bin", broken);
    FmwContainer notag;
    notag.marks = {{1, "only build info"}};
    m_dir.Write("notag.bin", notag.Build());

    Scan(m_dir.Path());

    ASSERT_EQ(CatalogueNames(), (std::vector<std::string>{"a1_new.bin", "a3_nover.bin", "a4_lower_case.bin", "e1.bin",
                                                          "e2.BIN", "n1.bin", "o.bin"}));
    std::string entries;
    for (const UpgradeFileInfo& e : m_catalogue) {
        entries += std::string(e.szVersion) + "|" + e.szModel + "|" + e.szVerNum + "|" + std::to_string(e.iDevType) +
                   std::to_string(e.iHighestVersion) + " ";
    }
    EXPECT_EQ(
        entries,
        "CAM-A-1.2.3.10|CAM-A|1.2.3.10|01 CAM-A-|CAM-A||01 cam-a-0.0.0.1|cam-a|0.0.0.1|01 "
        "CAM-E-5.0|CAM-E|5.0|01 CAM-E-5.0.0.0|CAM-E|5.0.0.0|01 NVR8-3.0.1|NVR8|3.0.1|11 OTHER-junk|OTHER|junk|01 ");

    // Skips in enumeration order, then the selection's drops.
    using R = ScanSkipReason;
    std::vector<std::pair<std::string, R>> got;
    for (const ScanSkip& skip : m_skipped) got.emplace_back(skip.name, skip.reason);
    // clang-format off
    EXPECT_EQ(got, (std::vector<std::pair<std::string, R>>{{"alg.bin", R::AlgorithmPackage},
        {"broken.bin", R::ContainerRejected}, {"empty.bin", R::TooShort}, {"legacy_short.bin", R::LegacyHeaderShort},
        {"n2.bin", R::LegacyHeaderShort}, {"notag.bin", R::NoVersionText}, {"readme.txt", R::NotBin},
        {"short.bin", R::TooShort}, {"unknown.bin", R::UnknownHeader}, {"x.bin", R::Directory},
        {"a2_old.bin", R::OlderVersion}, {"e3_junk.bin", R::OlderVersion}}));
    // clang-format on
    ASSERT_EQ(m_skipped.size(), 12u);
    EXPECT_EQ(m_skipped[1].code, FMW_ERR_FILE_CRC);
    EXPECT_EQ(m_skipped[8].detail, "MZ\x90\x01 thi");
    EXPECT_EQ(m_skipped[10].detail + " " + m_skipped[10].verNum, "a1_new.bin 1.2.3.9");
    EXPECT_EQ(m_skipped[11].detail, "e1.bin");  // the first of the equal highest is the one offered
}

TEST_F(ScanTest, LogFollowsTheEnumerationStepByStep) {
    m_dir.Write("fw.bin", LegacyFirmware("FIRMWNVR", "NVR8_B3.0.1"));
    m_dir.Write("tiny.bin", "abc");
    Scan(m_dir.Path());
    EXPECT_EQ(Log(),
              "#MRDebug Enter SaveUpgradeFileInfo() strFolderName=D\r\n"
              "#MRDebug SaveUpgradeFileInfo() strFolderName=D\\, bFound=1\r\n"
              "#MRDebug tempFind.FindNextFile(), bFound=1\r\n"
              "#MRDebug tempFind.IsDots() continue\r\n"
              "#MRDebug tempFind.FindNextFile(), bFound=1\r\n"
              "#MRDebug tempFind.IsDots() continue\r\n"
              "#MRDebug tempFind.FindNextFile(), bFound=1\r\n"
              "#MRDebug find file strPath=D\\fw.bin, strTmp=fw.bin\r\n"
              "#MRDebug comfirm header is NVR dev------\r\n"
              "#MRDebug m_vecUpgradeFileInfo.push_back(fileInfo),\r\n fileInfo.szVersion=NVR8-3.0.1\r\n "
              "fileInfo.iHighestVersion=1\r\n fileInfo.szModel=NVR8\r\n fileInfo.szVerNum=3.0.1\r\n "
              "fileInfo.szFileName=fw.bin\r\n\r\n"
              "#MRDebug tempFind.FindNextFile(), bFound=0\r\n"
              "#MRDebug find file strPath=D\\tiny.bin, strTmp=tiny.bin\r\n"
              "#MRDebug tempFind.Close(),m_vecUpgradeFileInfo.size()=1\r\n");
}

TEST_F(ScanTest, FolderSeparatorIsNeverDoubledAndMissingFolderGivesNothing) {
    m_dir.Write("fw.bin", LegacyFirmware("FIRMWNVR", "NVR8_B3.0.1"));
    for (const std::string& folder : {m_dir.Path() + "\\", m_dir.Path() + "/"}) {
        Scan(folder);
        EXPECT_EQ(m_catalogue.size(), 1u) << folder;
        EXPECT_EQ(m_log.Count("strPath=" + folder + "fw.bin,"), 1u) << folder;
    }
    Scan(m_dir.File("nothing-here"));  // and the catalogue of the scan before is gone
    EXPECT_TRUE(m_catalogue.empty());
    Scan("");  // not the root of the file system
    EXPECT_TRUE(m_catalogue.empty() && m_skipped.empty());
}

TEST_F(ScanTest, NamesGoToTheCatalogueInGbk) {
    // "固件.bin": UTF-8 on disk, GBK B9 CC BC FE in the catalogue. A leading "_" and a blank are fine.
    for (const char* name : {"\xE5\x9B\xBA\xE4\xBB\xB6.bin", "_x.bin", "a b.bin"})
        m_dir.Write(name, Container("QL_CAM_V1.0"));
    m_dir.Write("\xF0\x9F\x98\x80.bin", Container("QL_CAM_V1.0"));          // an emoji has no GBK form
    m_dir.Write(std::string(240, 'n') + ".bin", Container("QL_CAM_V1.0"));  // path beyond 255 bytes
    Scan(m_dir.Path());
    std::vector<std::string> names = CatalogueNames();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"_x.bin", "a b.bin", "\xB9\xCC\xBC\xFE.bin"}));
    ASSERT_EQ(m_skipped.size(), 2u);
    EXPECT_TRUE(m_skipped[0].reason == ScanSkipReason::NameNotUsable && m_skipped[1].reason == m_skipped[0].reason);
}

TEST_F(ScanTest, SpecialFilesNeitherHangNorCount) {
    ASSERT_EQ(mkfifo(m_dir.File("pipe.bin").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/nonexistent/target", m_dir.File("dangling.bin").c_str()), 0);
    m_dir.Write("real.bin", Container("QL_CAM_V1.0"));
    ASSERT_EQ(symlink(m_dir.File("real.bin").c_str(), m_dir.File("link.bin").c_str()), 0);
    Scan(m_dir.Path());
    // The TFTP service follows no link that leaves its folder, and an absolute one always does.
    EXPECT_EQ(CatalogueNames(), (std::vector<std::string>{"real.bin"}));
    ASSERT_EQ(m_skipped.size(), 3u);
    for (const ScanSkip& skip : m_skipped) EXPECT_TRUE(skip.reason == ScanSkipReason::NotServable) << skip.name;
}

// Firmware files are never opened for writing: the scan runs as nobody, for whom root's 0444 counts.
TEST_F(ScanTest, ReadOnlyFilesAreCatalogued) {
    m_dir.Write("ro.bin", LegacyFirmware("FIRMWARE", "QL_CAM_V1.0"));
    ASSERT_EQ(chmod(m_dir.File("ro.bin").c_str(), 0444), 0);
    ASSERT_EQ(chmod(m_dir.Path().c_str(), 0755), 0);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to nobody";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LogInit(LOG_MAJOR, "");
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
        std::vector<UpgradeFileInfo> catalogue;
        ScanUpgradeFolder(m_dir.Path(), &catalogue, nullptr);
        _exit(static_cast<int>(catalogue.size()));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

// Names the TFTP service would refuse are never offered: each is skipped with the service's reason.
// The service measures its folder in UTF-8 and the name in GBK: a Chinese folder is longer to it.
TEST_F(ScanTest, NamesTheServiceWouldRefuseAreSkipped) {
    std::string folder;
    for (int i = 0; i < 40; ++i) folder += "\xE5\x9B\xBA";  // "固": 3 bytes in UTF-8, 2 in GBK
    const std::string root = m_dir.Path() + "/" + folder;
    const std::string tooLong = std::string(259 - root.size() - 4, 'n') + ".bin";  // 260 joined, 259 allowed
    const std::pair<std::string, const char*> cases[] = {
        {"a..b.bin", "'..'"},
        {"50%.bin", "'%'"},
        {"back\\slash.bin", "separator"},
        {tooLong, "too long"},
    };
    for (const auto& [name, why] : cases) m_dir.Write(folder + "/" + name, Container("QL_CAM_V1.0"));
    m_dir.Write(folder + "/" + tooLong.substr(1), Container("QL_CAM_V1.0"));  // 259 joined: served
    Scan(root);
    EXPECT_EQ(CatalogueNames(), (std::vector<std::string>{tooLong.substr(1)}));
    for (const auto& [name, why] : cases) {
        auto skip = std::find_if(m_skipped.begin(), m_skipped.end(), [&](const ScanSkip& s) { return s.name == name; });
        ASSERT_NE(skip, m_skipped.end()) << name;
        EXPECT_TRUE(skip->reason == ScanSkipReason::NotServable) << name;
        EXPECT_NE(std::string::npos, skip->detail.find(why)) << name << ": " << skip->detail;
    }
}

}  // namespace
