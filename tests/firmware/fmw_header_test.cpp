#include "firmware/fmw_header.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "support/fmw_writer.h"
#include "support/temp_dir.h"

namespace {

using testsupport::FmwGet32;
using testsupport::FmwReseal;
using testsupport::FmwSet32;
using testsupport::FmwTestContainer;
using testsupport::FmwTestMark;

struct Opened {
    fmw_header* handle = nullptr;
    int code = -100;
    std::string out;  // what the reader printed
};

Opened Open(const char* path) {
    Opened r;
    testing::internal::CaptureStdout();
    r.handle = create_fmw_header(path, &r.code);
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

FmwTestContainer Typical() {
    FmwTestContainer c;
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
    // The narration of a refusal is checked once, in EachBrokenPartHasItsCode; elsewhere the code says it.
    void ExpectRejected(const std::string& bytes, int code) {
        Opened r = OpenBytes(bytes);
        EXPECT_EQ(r.handle, nullptr);
        EXPECT_EQ(r.code, code) << r.out;
        free_fmw_header(r.handle);
    }
    testsupport::TempDir m_dir;
    std::string m_path;
};

TEST_F(FmwHeaderTest, CrcMatchesTheStandardAndFileCrcClipsAtEndOfFile) {
    EXPECT_EQ(crc32_compute("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_compute(nullptr, 0), 0u);
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>(i * 7);
    std::string path = m_dir.Write("data", data);
    uint32_t crc = 1;
    testing::internal::CaptureStdout();
    ASSERT_EQ(compute_file_crc(path.c_str(), 0, 0xFFFFFFFF, &crc), 0);
    EXPECT_EQ(crc, crc32_compute(data.data(), data.size()));
    ASSERT_EQ(compute_file_crc(path.c_str(), 1000, 2049, &crc), 0);
    EXPECT_EQ(crc, crc32_compute(data.data() + 1000, 2049));
    ASSERT_EQ(compute_file_crc(path.c_str(), 4000, 100000, &crc), 0);  // past the end: what exists
    EXPECT_EQ(crc, crc32_compute(data.data() + 4000, 1000));
    ASSERT_EQ(compute_file_crc(path.c_str(), 0xFFFFFFF0, 16, &crc), 0);  // wholly past the end: nothing
    EXPECT_EQ(crc, 0u);
    EXPECT_EQ(compute_file_crc(nullptr, 0, 1, &crc), -1);
    EXPECT_EQ(compute_file_crc(path.c_str(), 0, 1, nullptr), -1);
    EXPECT_EQ(compute_file_crc(m_dir.File("missing").c_str(), 0, 1, &crc), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open file (" + path + "), offset[1000]\n"), std::string::npos);
    EXPECT_NE(out.find("failed open file (" + m_dir.File("missing") + ")\n"), std::string::npos);
}

TEST_F(FmwHeaderTest, TypicalContainerOpensAndHandsOutTheVersionText) {
    std::string bytes = Typical().Build();
    Opened r = OpenBytes(bytes);
    ASSERT_NE(r.handle, nullptr) << r.out;
    EXPECT_EQ(r.code, 0);
    EXPECT_STREQ(get_fmw_va_inform(r.handle, FMW_VA_TAG_FS_VER), "QL_IPC2F_V2.1.0.7");
    EXPECT_STREQ(get_fmw_va_inform(r.handle, 1), "build 77");
    // The progress lines come in the order of the checks.
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
    EXPECT_NE(r.out.find("All of [3] imgs crc checked OK...\n"), std::string::npos);
    EXPECT_NE(r.out.find("OK, fmw file[" + m_path +
                         "] is a right fmw, return a handle now...\n"
                         "_deserialized_packet error[0]...\n"),
              std::string::npos);

    testing::internal::CaptureStdout();
    EXPECT_EQ(get_fmw_va_inform(r.handle, 99), nullptr);
    EXPECT_EQ(get_fmw_va_inform(nullptr, FMW_VA_TAG_FS_VER), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Sorry, can not found tag[99], va nums is 2...\n");
    EXPECT_EQ(free_fmw_header(r.handle), 0);
    EXPECT_EQ(free_fmw_header(nullptr), -1);
}

TEST_F(FmwHeaderTest, SuccessVariants) {
    // A mark of size 0: found, but without text, and nothing printed for it.
    FmwTestContainer empty = Typical();
    empty.marks = {{FMW_VA_TAG_FS_VER, ""}, {FMW_VA_TAG_FS_VER, std::string("second\0", 7)}};
    Opened r = OpenBytes(empty.Build());
    ASSERT_NE(r.handle, nullptr) << r.out;
    testing::internal::CaptureStdout();
    EXPECT_EQ(get_fmw_va_inform(r.handle, FMW_VA_TAG_FS_VER), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    free_fmw_header(r.handle);

    // Two marks with the same tag: the first one's text.
    FmwTestContainer twice = Typical();
    twice.marks = {{FMW_VA_TAG_FS_VER, std::string("first\0", 6)}, {FMW_VA_TAG_FS_VER, std::string("second\0", 7)}};
    r = OpenBytes(twice.Build());
    ASSERT_NE(r.handle, nullptr) << r.out;
    EXPECT_STREQ(get_fmw_va_inform(r.handle, FMW_VA_TAG_FS_VER), "first");
    free_fmw_header(r.handle);

    // Texts away from the marks, behind the images; and no images at all.
    FmwTestContainer away = Typical();
    away.textsAfterImages = true;
    r = OpenBytes(away.Build());
    ASSERT_NE(r.handle, nullptr) << r.out;
    EXPECT_STREQ(get_fmw_va_inform(r.handle, FMW_VA_TAG_FS_VER), "QL_IPC2F_V2.1.0.7");
    free_fmw_header(r.handle);
    away.images.clear();
    r = OpenBytes(away.Build());
    ASSERT_NE(r.handle, nullptr) << r.out;
    EXPECT_NE(r.out.find("All of [0] imgs crc checked OK...\n"), std::string::npos);
    free_fmw_header(r.handle);

    // A text without a NUL ends at its last byte, even where the next text touches it.
    FmwTestContainer noNul = Typical();
    noNul.marks = {{FMW_VA_TAG_FS_VER, "NO_NUL_V1.2"}, {7, "xyz"}};
    r = OpenBytes(noNul.Build());
    ASSERT_NE(r.handle, nullptr) << r.out;
    EXPECT_STREQ(get_fmw_va_inform(r.handle, FMW_VA_TAG_FS_VER), "NO_NUL_V1.2");
    EXPECT_NE(r.out.find("content[0]  :NO_NUL_V1.2, size[11]"), std::string::npos);
    free_fmw_header(r.handle);
}

TEST_F(FmwHeaderTest, HeaderSizeDoesNotSizeAnyBuffer) {
    // header_size far too small or absurdly large: the checksum still covers exactly the stream.
    for (uint32_t headerSize : {0u, 24u, 250u, 0xFFFFFFF0u}) {
        FmwTestContainer c = Typical();
        c.headerSize = headerSize;
        Opened r = OpenBytes(c.Build());
        EXPECT_NE(r.handle, nullptr) << headerSize << r.out;
        EXPECT_NE(r.out.find("compute header crc for bytes[275], size[" + std::to_string(headerSize - 24) + "]"),
                  std::string::npos);
        free_fmw_header(r.handle);
    }
}

TEST_F(FmwHeaderTest, PackageTypeChoosesTheMagic) {
    for (int32_t pkgType : {-1, 0, 7}) {
        FmwTestContainer c = Typical();
        c.pkgType = pkgType;
        Opened r = OpenBytes(c.Build());
        EXPECT_EQ(r.code, 0) << pkgType;
        free_fmw_header(r.handle);
    }
    FmwTestContainer alg = Typical();
    alg.pkgType = 8;
    ExpectRejected(alg.Build(), FMW_ERR_MAGIC);
    alg.magic = "QLXALG22";
    Opened r = OpenBytes(alg.Build());
    EXPECT_EQ(r.code, 0) << r.out;  // the reader accepts the second kind; the scan refuses it
    free_fmw_header(r.handle);
    alg.pkgType = 7;
    ExpectRejected(alg.Build(), FMW_ERR_MAGIC);
}

TEST_F(FmwHeaderTest, EachBrokenPartHasItsCode) {
    const std::string good = Typical().Build();
    std::string b;

    EXPECT_EQ(create_fmw_header(nullptr, nullptr), nullptr);
    Opened r = Open(nullptr);
    EXPECT_EQ(r.code, FMW_ERR_NO_PATH);
    EXPECT_EQ(r.out, "");
    r = Open("");
    EXPECT_EQ(r.code, FMW_ERR_EMPTY_PATH);
    EXPECT_EQ(r.out, "Sorry, it's a empty firmware file name\n");
    r = Open(m_dir.File("missing.bin").c_str());
    EXPECT_EQ(r.code, FMW_ERR_OPEN);
    EXPECT_EQ(r.out, "_deserialized_packet error[3]...\n");
    r = Open(m_dir.Path().c_str());  // a folder is no file to read
    EXPECT_EQ(r.code, FMW_ERR_OPEN);

    ExpectRejected(good.substr(0, 247), FMW_ERR_TOO_SHORT);

    b = good;
    b[3] = 'Y';
    ExpectRejected(b, FMW_ERR_MAGIC);

    b = good;
    b[100] ^= 1;  // an uninterpreted fixed-area byte; the file checksum breaks too, but is checked later
    r = OpenBytes(b);
    EXPECT_EQ(r.code, FMW_ERR_FA_CRC);
    EXPECT_NE(r.out.find("Sorry, crc[" + std::to_string(crc32_compute(b.data() + 24, 224)) +
                         "] is not equal to header_fa_crc[" + std::to_string(FmwGet32(good, 16)) +
                         "], so quit...\n_deserialized_packet error[10]...\n"),
              std::string::npos)
        << r.out;

    const std::pair<uint32_t, int> vaNumCases[] = {{0x80000000u, FMW_ERR_ALLOC_MARKS},
                                                   {0xFFFFFFFFu, FMW_ERR_ALLOC_MARKS},
                                                   {0x15555556u, FMW_ERR_ALLOC_MARKS},
                                                   {0u, FMW_ERR_MARKS},
                                                   {1000u, FMW_ERR_MARKS},
                                                   {0x15555555u, FMW_ERR_MARKS}};  // 1000: more than the file holds
    for (auto [vaNums, code] : vaNumCases) {
        b = good;
        FmwSet32(b, 48, vaNums);
        FmwReseal(b, testsupport::kSealFixedArea);
        ExpectRejected(b, code);
    }

    b = good;
    b[248] ^= 1;  // a mark's tag
    ExpectRejected(b, FMW_ERR_MARK_CRC);

    b = good;
    b[275] ^= 1;  // inside a text
    FmwReseal(b, testsupport::kSealFile);
    ExpectRejected(b, FMW_ERR_HEADER_CRC);

    b = good;
    b[9] ^= 1;  // the stored file checksum itself
    ExpectRejected(b, FMW_ERR_FILE_CRC);
    b = good;
    b[b.size() - 1] ^= 1;  // an image byte, file checksum left alone: the file check comes first
    ExpectRejected(b, FMW_ERR_FILE_CRC);
    EXPECT_EQ(OpenBytes(b).out.find("img["), std::string::npos);  // and no image is looked at

    b = good;
    b[299 + 3000 + 6 + 10] ^= 1;  // third image, with the file checksum resealed
    FmwReseal(b, testsupport::kSealFile);
    r = OpenBytes(b);
    EXPECT_EQ(r.code, FMW_ERR_IMG_CRC);
    EXPECT_NE(r.out.find("compute header crc[" + std::to_string(crc32_compute(b.data() + 299 + 3006, 1025)) +
                         "] for img[2].crc[" + std::to_string(FmwGet32(good, 72 + 48)) +
                         "]\nSorry, img file crc check is failed, so quit...\n"),
              std::string::npos);
}

TEST_F(FmwHeaderTest, AnyChangedByteFromOffset12IsRefused) {
    const std::string good = Typical().Build();
    for (size_t at = 12; at < good.size(); at += 97) {
        std::string b = good;
        b[at] ^= 0x40;
        Opened r = OpenBytes(b);
        EXPECT_EQ(r.handle, nullptr) << at;
        EXPECT_NE(r.code, 0) << at;
    }
}

// The whole file is read once and every image checksum is taken from that read. Slots here
// overlap, nest, repeat, straddle the 128 KiB read blocks, start inside the fixed area, run past
// the end of the file or hold nothing; each must get exactly zlib's checksum of its bytes.
TEST_F(FmwHeaderTest, OneReadChecksEveryShapeOfImageRegion) {
    FmwTestContainer c = Typical();
    std::string big(300 * 1024, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    c.images = {big};
    const std::string base = c.Build();
    const uint32_t image = FmwGet32(base, 64);
    const uint32_t end = static_cast<uint32_t>(base.size());
    constexpr uint32_t kBlock = 128 * 1024;
    struct Slot {
        uint32_t start;
        uint32_t size;
    };
    const std::vector<std::vector<Slot>> layouts = {
        {{0, 8},                      // the magic: before the whole-file region starts at 12
         {image, 300 * 1024},         // the whole image
         {image + 1000, 130 * 1024},  // nested in it, across the first block edge
         {kBlock - 20, 40},           // a few bytes either side of 128 KiB
         {image + 1000, 130 * 1024},  // the same region again
         {end - 100, 5000},           // past the end: its last 100 bytes count
         {0xFFFFFF00u, 16},           // wholly past the end: a checksum of nothing
         {5000, 0}},                  // empty: skipped, its crc never looked at
        {{kBlock + 12 - 1, 2},        // across the block edge of a read that starts at 12
         {image, 0xFFFFFFFFu},        // up to the end of the file
         {end - 1, 1},                // the very last byte
         {2 * kBlock, kBlock},        // from one block edge to the next
         {0, 0},
         {image + 7, 2 * kBlock + 3},  // overlaps the two before without sharing an edge
         {end, 10},                    // starts exactly at the end
         {24, 4}}};                    // header_size: in the fixed area, no checksum of its own
    for (size_t l = 0; l < layouts.size(); ++l) {
        std::string b = base;
        std::vector<uint32_t> expected(8);
        for (size_t i = 0; i < 8; ++i) {
            const Slot& slot = layouts[l][i];
            expected[i] = slot.size == 0 ? 12345u : ZlibCrc(b, slot.start, slot.size);
            FmwSet32(b, 64 + 24 * i, slot.start);
            FmwSet32(b, 68 + 24 * i, slot.size);
            FmwSet32(b, 72 + 24 * i, expected[i]);
        }
        FmwReseal(b, testsupport::kSealFixedArea | testsupport::kSealHeader | testsupport::kSealFile);
        Opened r = OpenBytes(b);
        ASSERT_NE(r.handle, nullptr) << l << r.out;
        free_fmw_header(r.handle);
        // A wrong stored crc in any used slot is caught, with zlib's value as the computed one.
        for (size_t i = 0; i < 8; ++i) {
            if (layouts[l][i].size == 0) continue;
            std::string wrong = b;
            FmwSet32(wrong, 72 + 24 * i, expected[i] + 1);
            FmwReseal(wrong, testsupport::kSealFixedArea | testsupport::kSealHeader | testsupport::kSealFile);
            ExpectRejected(wrong, FMW_ERR_IMG_CRC);
        }
    }
}

TEST_F(FmwHeaderTest, HostileMarksNeverReachOutsideTheFile) {
    // Every checksum is right, but the text is not in the file: the header stream cannot be built,
    // so the open fails even when the stored header_crc is 0.
    for (uint32_t start : {0xFFFFFFF0u, 0x80000000u, 0x7FFFFFFFu, 290u}) {
        for (uint32_t size : {8u, 0xFFFFFFFFu, 0x7FFFFFFFu}) {
            if (start == 290u && size == 8u) continue;  // that one is inside the file
            FmwTestContainer c = Typical();
            c.marks[1].start = start;
            c.marks[1].storedSize = size;
            std::string b = c.Build();
            ExpectRejected(b, FMW_ERR_HEADER_CRC);
            FmwSet32(b, 12, 0);
            FmwReseal(b, testsupport::kSealFile);
            ExpectRejected(b, FMW_ERR_HEADER_CRC);
        }
    }
    // Many marks each pointing at the whole file: together more than the file, refused.
    FmwTestContainer c = Typical();
    c.images = {std::string(4000, 'i')};
    c.marks.clear();
    for (int i = 0; i < 8; ++i) c.marks.push_back({FMW_VA_TAG_FS_VER, "", 0u, 3000u});
    ExpectRejected(c.Build(), FMW_ERR_HEADER_CRC);
}

TEST_F(FmwHeaderTest, ShortReadOfTheFixedAreaIsAReadFailure) {
    // sysfs files claim 4096 bytes but deliver a few dozen: a real file whose fixed area cannot be read.
    const char* candidates[] = {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/profiling",
                                "/sys/power/state"};
    for (const char* path : candidates) {
        struct stat st {};
        if (stat(path, &st) != 0 || st.st_size < 248 || access(path, R_OK) != 0) continue;
        Opened r = Open(path);
        EXPECT_EQ(r.code, FMW_ERR_READ_FIXED) << path << r.out;
        EXPECT_NE(r.out.find("Sorry, read fixed area in header failed, so quit...\n"), std::string::npos);
        return;
    }
    GTEST_SKIP() << "no sysfs file with a short read here";
}

TEST_F(FmwHeaderTest, BackslashPathsAndGbkNames) {
    std::string bytes = Typical().Build();
    // "固件" in GBK is B9 CC BC FE; the file system sees UTF-8.
    m_dir.Write("\xE5\x9B\xBA\xE4\xBB\xB6.bin", bytes);
    std::string gbkPath = m_dir.Path() + "\\\xB9\xCC\xBC\xFE.bin";
    Opened r = Open(gbkPath.c_str());
    EXPECT_EQ(r.code, 0) << r.out;
    free_fmw_header(r.handle);
}

}  // namespace
