#pragma once
// Reader of "QLXFMW22" firmware containers: a 248-byte fixed area, `va_nums` 12-byte marks,
// tagged texts and up to eight images, every part guarded by a CRC-32. A handle is handed out
// only for a container whose every checksum matches. Progress and failures are narrated as plain
// lines, to standard output unless a front end sets another sink; nothing here writes the log.
//
// Layout: every multi-byte field is 32-bit little-endian, every offset counts from the start of
// the file and is 32-bit, so containers of 2 GiB or more are outside the format.
#include <cstddef>
#include <cstdint>

// Takes each progress line without its newline. Null (the default) prints to standard output.
using FmwNarrationSink = void (*)(const char* line);
void SetFmwNarrationSink(FmwNarrationSink sink);

constexpr int FMW_VA_TAG_FS_VER = 4;  // the firmware's version text

constexpr uint32_t kFmwFixedAreaSize = 248;
constexpr uint32_t kFmwMarkSize = 12;
constexpr int kFmwImageSlots = 8;

// Byte offsets inside the fixed area.
constexpr uint32_t kFmwOffMagic = 0;
constexpr uint32_t kFmwOffFileCrc = 8;
constexpr uint32_t kFmwOffHeaderCrc = 12;
constexpr uint32_t kFmwOffHeaderFaCrc = 16;
constexpr uint32_t kFmwOffHeaderVaMarkCrc = 20;
constexpr uint32_t kFmwOffHeaderSize = 24;
constexpr uint32_t kFmwOffPkgType = 32;
constexpr uint32_t kFmwOffVaNums = 48;
constexpr uint32_t kFmwOffImages = 64;  // slot i: start, size, crc at 64 + 24 * i
constexpr uint32_t kFmwImageStride = 24;
constexpr uint32_t kFmwFaCrcFrom = 24;  // header_fa_crc covers bytes 24..247

// One mark exactly as stored (12 bytes, no padding).
struct fmw_va_mark {
    uint32_t tag;
    uint32_t start;  // absolute file offset of the text
    uint32_t size;   // 0: the mark has no text
};
static_assert(sizeof(fmw_va_mark) == kFmwMarkSize, "a mark is 12 bytes on disk");

struct fmw_header {
    unsigned char fixed_area[kFmwFixedAreaSize];  // as read from the file
    fmw_va_mark* pastVaMark;                      // va_nums marks, as read
    // va_nums entries: `size` text bytes plus one NUL of ours (so a text without a NUL ends at its
    // last byte), or null for a mark of size 0.
    char** pastVaText;
};

// Result codes of create_fmw_header.
enum FmwResult {
    FMW_OK = 0,
    FMW_ERR_ALLOC_HANDLE = 1,
    FMW_ERR_TOO_SHORT = 2,
    FMW_ERR_OPEN = 3,
    FMW_ERR_READ_FIXED = 8,
    FMW_ERR_MAGIC = 9,
    FMW_ERR_FA_CRC = 10,
    FMW_ERR_ALLOC_MARKS = 11,
    FMW_ERR_MARKS = 12,
    FMW_ERR_MARK_CRC = 13,
    FMW_ERR_HEADER_CRC = 14,
    FMW_ERR_FILE_CRC = 15,
    FMW_ERR_IMG_CRC = 16,
    FMW_ERR_NO_PATH = 18,
    FMW_ERR_EMPTY_PATH = 19,
};

// `path` is in the system code page (GBK) and may use `\` as separator. `error`, when given,
// receives the result code (0 with a handle).
fmw_header* create_fmw_header(const char* path, int* error);
// The text of the first mark carrying `tag`, NUL-terminated, owned by the handle; null when no
// mark carries it or that mark has no text.
const char* get_fmw_va_inform(fmw_header* handle, int tag);
// 0, or -1 without a handle.
int free_fmw_header(fmw_header* handle);

// Standard CRC-32 (ISO-HDLC): of no bytes at all it is 0.
uint32_t crc32_compute(const void* data, size_t length);
