#include "firmware/fmw_header.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/temp_dir.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using namespace devsim;  // the container writer

struct Opened {
    int code = -100;
    std::string version;  // the FS version text, "(none)" without one
    std::string out;      // what the reader narrated
};

// Opens, reads the version text and closes again; a handle comes with code 0 and only with it.
Opened Open(const char* path) {
    Opened r;
    testing::internal::CaptureStdout();
    fmw_header* handle = create_fmw_header(path, &r.code);
    EXPECT_EQ(handle != nullptr, r.code == 0);
    const char* text = get_fmw_va_inform(handle, FMW_VA_TAG_FS_VER);
    r.version = text != nullptr ? text : "(none)";
    free_fmw_header(handle);
    std::fflush(stdout);
    r.out = testing::internal::GetCapturedStdout();
    return r;
}

// zlib's checksum of what `bytes` hold of a region; independent of the reader under test.
uint32_t ZlibCrc(const std::string& bytes, uint64_t from, uint64_t length) {
    if (from >= bytes.size()) return 0;
    length = std::min<uint64_t>(length, bytes.size() - from);
    return static_cast<uint32_t>(
        crc32_z(crc32(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(bytes.data() + from), length));
}

FmwContainer Typical() {
    FmwContainer c;
    c.marks = {{1, std::string("build 77\0", 9)}, {FMW_VA_TAG_FS_VER, std::string("QL_IPC2F_V2.1.0.7\0", 18)}};
    c.images = {std::string(3000, 'a'), "kernel", std::string(1025, '\x5c')};
    return c;
}

class FmwHeaderTest : public testing::Test {
protected:
    Opened OpenBytes(const std::string& bytes) {
        m_path = m_dir.Write("fw.bin", bytes);
        return Open(m_path.c_str());
    }
    int Code(const std::string& bytes) { return OpenBytes(bytes).code; }
    std::string Version(const FmwContainer& c) { return OpenBytes(c.Build()).version; }
    testsupport::TempDir m_dir;
    std::string m_path;
};

// The reader's narration, checked line by line here only.
TEST_F(FmwHeaderTest, TypicalContainerOpensAndHandsOutTheVersionText) {
    std::string bytes = Typical().Build();
    Opened r = OpenBytes(bytes);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.version, "QL_IPC2F_V2.1.0.7");
    const std::string open = "open file (" + m_path + "), offset[";
    const std::string imgCrc = std::to_string(FmwGet32(bytes, 72));
    const std::string expected =
        "compute header_fa crc for bytes[224]\n"
        "_deserialized_packet va_nums[2]...\n"
        "compute compute_header_vamark_crc for bytes[24]\n"
        "content[0]  :build 77, size[9], start[272], read[9]\n"
        "content[1]  :QL_IPC2F_V2.1.0.7, size[18], start[281], read[18]\n"
        "compute header crc for bytes[275],  all header size[299]\n"
        "compute header crc for bytes[275], size[275]\n" +
        open + "12]\nfmw file[" + m_path + "] crc[" + std::to_string(FmwGet32(bytes, 8)) +
        "] checked ok, then check each img file crc...\n" + open + "299]\nimg[0] crc[" + imgCrc + "], compute crc[" +
        imgCrc + "], size[3000]\n";
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    EXPECT_NE(r.out.find("All of [3] imgs crc checked OK...\nOK, fmw file[" + m_path +
                         "] is a right fmw, return a handle now...\n_deserialized_packet error[0]...\n"),
              std::string::npos);

    testing::internal::CaptureStdout();
    fmw_header* handle = create_fmw_header(m_path.c_str(), nullptr);
    EXPECT_STREQ(get_fmw_va_inform(handle, 1), "build 77");
    EXPECT_EQ(get_fmw_va_inform(handle, 99), nullptr);
    free_fmw_header(handle);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Sorry, can not found tag[99], va nums is 2...\n"),
              std::string::npos);
}

TEST_F(FmwHeaderTest, SuccessVariants) {
    FmwContainer c = Typical();
    c.marks = {{FMW_VA_TAG_FS_VER, ""}, {FMW_VA_TAG_FS_VER, std::string("second\0", 7)}};
    EXPECT_EQ(Code(c.Build()), 0);
    EXPECT_EQ(Version(c), "(none)");  // found, but size 0: no text
    c.marks = {{FMW_VA_TAG_FS_VER, std::string("first\0", 6)}, {FMW_VA_TAG_FS_VER, std::string("second\0", 7)}};
    EXPECT_EQ(Version(c), "first");
    c.marks = {{FMW_VA_TAG_FS_VER, "NO_NUL_V1.2"}, {7, "xyz"}};  // ends at its last byte, next text touching
    EXPECT_EQ(Version(c), "NO_NUL_V1.2");
    c = Typical();
    c.textsAfterImages = true;
    EXPECT_EQ(Version(c), "QL_IPC2F_V2.1.0.7");
    c.images.clear();
    EXPECT_EQ(Version(c), "QL_IPC2F_V2.1.0.7");
    for (uint32_t headerSize : {0u, 24u, 250u, 0xFFFFFFF0u}) {  // sizes no buffer
        c = Typical();
        c.headerSize = headerSize;
        EXPECT_EQ(Version(c), "QL_IPC2F_V2.1.0.7") << headerSize;
    }
}

TEST_F(FmwHeaderTest, PackageTypeChoosesTheMagic) {
    // An algorithm package is accepted here and refused by the scan.
    const std::tuple<const char*, int32_t, int> cases[] = {{"QLXFMW22", -1, 0}, {"QLXFMW22", 0, 0},
                                                           {"QLXFMW22", 7, 0},  {"QLXFMW22", 8, FMW_ERR_MAGIC},
                                                           {"QLXALG22", 8, 0},  {"QLXALG22", 7, FMW_ERR_MAGIC}};
    for (auto [magic, pkgType, code] : cases) {
        FmwContainer f = Typical();
        f.magic = magic;
        f.pkgType = pkgType;
        EXPECT_EQ(Code(f.Build()), code) << magic << pkgType;
    }
}

TEST_F(FmwHeaderTest, EachBrokenPartHasItsCode) {
    const std::string good = Typical().Build();
    EXPECT_EQ(create_fmw_header(nullptr, nullptr), nullptr);
    EXPECT_EQ(Open(nullptr).code, FMW_ERR_NO_PATH);
    Opened r = Open("");
    EXPECT_EQ(r.code, FMW_ERR_EMPTY_PATH);
    EXPECT_EQ(r.out, "Sorry, it's a empty firmware file name\n");
    EXPECT_EQ(Open(m_dir.File("missing.bin").c_str()).code, FMW_ERR_OPEN);
    EXPECT_EQ(Open(m_dir.Path().c_str()).code, FMW_ERR_OPEN);  // a folder is no file to read
    EXPECT_EQ(Code(good.substr(0, 247)), FMW_ERR_TOO_SHORT);

    const struct {
        size_t at;  // the byte flipped
        unsigned reseal;
        int code;
    } flips[] = {
        {3, 0, FMW_ERR_MAGIC},
        {100, 0, FMW_ERR_FA_CRC},                // an uninterpreted fixed-area byte; the file checksum comes later
        {248, 0, FMW_ERR_MARK_CRC},              // a mark's tag
        {275, kSealFile, FMW_ERR_HEADER_CRC},    // inside a text
        {9, 0, FMW_ERR_FILE_CRC},                // the stored file checksum itself
        {good.size() - 1, 0, FMW_ERR_FILE_CRC},  // an image byte: the file check comes first
        {299 + 3006 + 10, kSealFile, FMW_ERR_IMG_CRC}  // third image
    };
    for (const auto& f : flips) {
        std::string b = good;
        b[f.at] ^= 1;
        FmwReseal(b, f.reseal);
        EXPECT_EQ(Code(b), f.code) << f.at;
    }

    // A mark count whose buffer size overflows cannot be allocated; one the file cannot hold is refused.
    // clang-format off
    const std::pair<uint32_t, int> vaNumCases[] = {{0x80000000u, FMW_ERR_ALLOC_MARKS}, {0xFFFFFFFFu, FMW_ERR_ALLOC_MARKS},
        {0x15555556u, FMW_ERR_ALLOC_MARKS}, {0u, FMW_ERR_MARKS}, {1000u, FMW_ERR_MARKS}, {0x15555555u, FMW_ERR_MARKS}};
    // clang-format on
    for (auto [vaNums, code] : vaNumCases) {
        std::string b = good;
        FmwSet32(b, 48, vaNums);
        FmwReseal(b, kSealFixedArea);
        EXPECT_EQ(Code(b), code) << vaNums;
    }
    for (size_t at = 12; at < good.size(); at += 97) {  // any changed byte from offset 12 on
        std::string b = good;
        b[at] ^= 0x40;
        EXPECT_NE(Code(b), 0) << at;
    }
}

// The whole file is read once and every image checksum is taken from that read. Slots overlap,
// nest, repeat, straddle the 128 KiB read blocks, start in the fixed area, run past the end or
// hold nothing; each must get exactly zlib's checksum of its bytes.
TEST_F(FmwHeaderTest, OneReadChecksEveryShapeOfImageRegion) {
    FmwContainer c = Typical();
    std::string big(300 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    c.images = {big};
    const std::string base = c.Build();
    const uint32_t image = FmwGet32(base, 64), end = static_cast<uint32_t>(base.size()), kBlock = 128 * 1024;
    using Layout = std::pair<uint32_t, uint32_t>[8];  // start, size of each slot
    const Layout layouts[] = {{{0, 8},
                               {image, 300 * 1024},
                               {image + 1000, 130 * 1024},
                               {kBlock - 20, 40},
                               {image + 1000, 130 * 1024},
                               {end - 100, 5000},
                               {0xFFFFFF00u, 16},
                               {5000, 0}},
                              {{kBlock + 12 - 1, 2},
                               {image, 0xFFFFFFFFu},
                               {end - 1, 1},
                               {2 * kBlock, kBlock},
                               {0, 0},
                               {image + 7, 2 * kBlock + 3},
                               {end, 10},
                               {24, 4}}};
    const unsigned seal = kSealFixedArea | kSealHeader | kSealFile;
    for (const Layout& layout : layouts) {
        std::string b = base;
        uint32_t expected[8];
        for (size_t i = 0; i < 8; ++i) {
            auto [start, size] = layout[i];
            expected[i] = size == 0 ? 12345u : ZlibCrc(b, start, size);  // empty: never looked at
            FmwSet32(b, 64 + 24 * i, start);
            FmwSet32(b, 68 + 24 * i, size);
            FmwSet32(b, 72 + 24 * i, expected[i]);
        }
        FmwReseal(b, seal);
        ASSERT_EQ(Code(b), 0) << layout[0].first;
        for (size_t i = 0; i < 8; ++i) {  // a wrong stored crc in any used slot is caught
            if (layout[i].second == 0) continue;
            std::string wrong = b;
            FmwSet32(wrong, 72 + 24 * i, expected[i] + 1);
            FmwReseal(wrong, seal);
            EXPECT_EQ(Code(wrong), FMW_ERR_IMG_CRC) << i;
        }
    }
}

TEST_F(FmwHeaderTest, HostileMarksNeverReachOutsideTheFile) {
    // Every checksum right, but the text is not in the file: refused even when header_crc is 0.
    for (uint32_t start : {0xFFFFFFF0u, 0x80000000u, 0x7FFFFFFFu, 290u}) {
        for (uint32_t size : {8u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
            if (start == 290u && size == 8u) continue;  // inside the file
            FmwContainer c = Typical();
            c.marks[1].start = start;
            c.marks[1].storedSize = size;
            std::string b = c.Build();
            EXPECT_EQ(Code(b), FMW_ERR_HEADER_CRC);
            FmwSet32(b, 12, 0);
            FmwReseal(b, kSealFile);
            EXPECT_EQ(Code(b), FMW_ERR_HEADER_CRC);
        }
    }
    FmwContainer c = Typical();  // marks each pointing at the whole file: together more than it
    c.images = {std::string(4000, 'i')};
    c.marks.assign(8, {FMW_VA_TAG_FS_VER, "", 0u, 3000u});
    EXPECT_EQ(Code(c.Build()), FMW_ERR_HEADER_CRC);
}

}  // namespace
