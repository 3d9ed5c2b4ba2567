#include "firmware/fmw_header.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/byte_reader.h"
#include "platform/text_codec.h"

namespace {

std::atomic<FmwNarrationSink> g_narrationSink{nullptr};

// One progress line, to the front end's sink or, by default, to standard output.
__attribute__((format(printf, 1, 2))) void Narrate(const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (length < 0) return;
    FmwNarrationSink sink = g_narrationSink.load();
    if (sink == nullptr) {
        std::fputs(line, stdout);
        return;
    }
    size_t end = std::strlen(line);
    while (end > 0 && line[end - 1] == '\n') line[--end] = '\0';
    sink(line);
}

}  // namespace

void SetFmwNarrationSink(FmwNarrationSink sink) { g_narrationSink.store(sink); }

// The mark checksum runs over the decoded marks, which are then the bytes as stored.
static_assert(std::endian::native == std::endian::little, "marks in memory are the marks as stored");

namespace {

// A field of the fixed area, decoded.
uint32_t FmwFieldU32(const fmw_header* handle, uint32_t offset) {
    platform::ByteReader fixedArea(handle->fixed_area, kFmwFixedAreaSize);
    uint32_t value = 0;
    return fixedArea.Seek(offset) && fixedArea.Le32(&value) ? value : 0;
}

constexpr uint32_t kWholeFile = 0xFFFFFFFFu;
// Large blocks keep the checksum near zlib's in-memory rate; the result is the same as with
// 1 KiB blocks.
constexpr size_t kCrcBlock = 128 * 1024;
constexpr const char* kFmwMagic = "QLXFMW22";
constexpr const char* kAlgMagic = "QLXALG22";

int32_t VaNums(const fmw_header* handle) {
    return static_cast<int32_t>(FmwFieldU32(handle, kFmwOffVaNums));
}

// Callers give paths in the system code page with `\` separators; the file system wants UTF-8
// with `/`. GBK trail bytes can be 0x5C, so convert first and swap separators afterwards.
bool OsPath(const char* ansiPath, std::string* out) {
    if (!platform::GbkToUtf8(ansiPath, out)) return false;
    for (char& c : *out) {
        if (c == '\\') c = '/';
    }
    return true;
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// Opens a regular file for reading. O_NONBLOCK keeps a FIFO or device from hanging the open;
// anything but a regular file is refused since it has no size to check against.
int OpenRegular(const char* ansiPath, uint64_t* size) {
    std::string osPath;
    if (!OsPath(ansiPath, &osPath)) return -1;
    int fd = open(osPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *size = static_cast<uint64_t>(st.st_size);
    return fd;
}

// Reads up to `length` bytes at `offset`; the byte count, 0 at the end, -1 on an error.
int64_t ReadAt(int fd, void* buffer, size_t length, uint64_t offset) {
    size_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    while (done < length) {
        ssize_t n = pread(fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
}

// A region of the file: `length` bytes from `offset`, 0xFFFFFFFF meaning up to the end.
struct FileRegion {
    uint32_t offset;
    uint32_t length;
};

// The checksums of several regions from one sequential read of the file. Region boundaries cut
// the file into stretches; each stretch is checksummed once and every region's checksum is
// combined from its stretches, so overlapping regions cost no extra reading or checksumming.
// Regions are clipped at the end of the file (as it is when opened, or where reading ends);
// one past it checksums nothing and gets 0. Prints the "open file" line for the first region.
// 0 and `crcs` filled, or -1 without a path, when the file cannot be opened or a read fails.
int compute_file_crcs(const char* path, const FileRegion* regions, size_t count, uint32_t* crcs) {
    if (path == nullptr || count == 0) return -1;
    Narrate("open file (%s), offset[%u]\n", path, regions[0].offset);
    uint64_t fileSize = 0;
    FileDescriptor file(OpenRegular(path, &fileSize));
    if (file.Get() < 0) {
        Narrate("failed open file (%s)\n", path);
        return -1;
    }

    std::vector<uint64_t> begins(count), ends(count), cuts;
    for (size_t r = 0; r < count; ++r) {
        uint64_t available = fileSize > regions[r].offset ? fileSize - regions[r].offset : 0;
        uint64_t length =
            regions[r].length == kWholeFile ? available : std::min<uint64_t>(regions[r].length, available);
        begins[r] = regions[r].offset;
        ends[r] = begins[r] + length;
        if (length > 0) cuts.insert(cuts.end(), {begins[r], ends[r]});
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    // Stretch k runs from cuts[k] to cuts[k + 1]; its checksum and the bytes actually read.
    size_t stretches = cuts.empty() ? 0 : cuts.size() - 1;
    std::vector<uLong> stretchCrc(stretches, crc32(0L, Z_NULL, 0));
    std::vector<uint64_t> stretchLength(stretches, 0);
    if (stretches > 0) {
        uint64_t from = cuts.front();
        uint64_t to = cuts.back();
        posix_fadvise(file.Get(), static_cast<off_t>(from), static_cast<off_t>(to - from), POSIX_FADV_SEQUENTIAL);
        std::unique_ptr<unsigned char[]> block(new (std::nothrow) unsigned char[kCrcBlock]);
        if (!block) return -1;
        size_t k = 0;
        uint64_t at = from;
        while (at < to) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(to - at, kCrcBlock));
            int64_t got = ReadAt(file.Get(), block.get(), want, at);
            // A failed read is not the end of the file: a checksum over part of it must not pass.
            if (got < 0) return -1;
            if (got == 0) break;
            const unsigned char* p = block.get();
            uint64_t blockEnd = at + static_cast<uint64_t>(got);
            while (at < blockEnd) {
                while (cuts[k + 1] <= at) ++k;
                size_t n = static_cast<size_t>(std::min(blockEnd, cuts[k + 1]) - at);
                stretchCrc[k] = crc32_z(stretchCrc[k], p, n);
                stretchLength[k] += n;
                p += n;
                at += n;
            }
        }
    }

    for (size_t r = 0; r < count; ++r) {
        uLong sum = crc32(0L, Z_NULL, 0);
        for (size_t k = 0; k < stretches; ++k) {
            if (cuts[k] >= begins[r] && cuts[k + 1] <= ends[r]) {
                sum = crc32_combine(sum, stretchCrc[k], static_cast<z_off_t>(stretchLength[k]));
            }
        }
        crcs[r] = static_cast<uint32_t>(sum);
    }
    return 0;
}

uint32_t compute_header_fa_crc(const fmw_header* handle) {
    Narrate("compute header_fa crc for bytes[%lu]\n",
                static_cast<unsigned long>(kFmwFixedAreaSize - kFmwFaCrcFrom));
    return crc32_compute(handle->fixed_area + kFmwFaCrcFrom, kFmwFixedAreaSize - kFmwFaCrcFrom);
}

uint32_t compute_header_vamark_crc(const fmw_header* handle) {
    uint32_t bytes = static_cast<uint32_t>(VaNums(handle)) * kFmwMarkSize;
    Narrate("compute compute_header_vamark_crc for bytes[%u]\n", bytes);
    return crc32_compute(handle->pastVaMark, bytes);
}

// The header stream is fixed-area bytes 24..247, the marks, then every text in mark order. It is
// checksummed piece by piece, so `header_size` never sizes a buffer. `complete` turns false when a
// text of non-zero size has no buffer: such a stream cannot match whatever header_crc says.
uint32_t compute_header_crc(const fmw_header* handle, bool* complete) {
    uint32_t headerSize = FmwFieldU32(handle, kFmwOffHeaderSize);
    Narrate("compute header crc for bytes[%u],  all header size[%u]\n", headerSize - kFmwFaCrcFrom, headerSize);
    int32_t vaNums = VaNums(handle);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32_z(crc, handle->fixed_area + kFmwFaCrcFrom, kFmwFixedAreaSize - kFmwFaCrcFrom);
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(handle->pastVaMark), static_cast<size_t>(vaNums) * kFmwMarkSize);
    uint64_t covered = (kFmwFixedAreaSize - kFmwFaCrcFrom) + static_cast<uint64_t>(vaNums) * kFmwMarkSize;
    *complete = true;
    for (int32_t i = 0; i < vaNums; ++i) {
        uint32_t size = handle->pastVaMark[i].size;
        if (size == 0) continue;
        if (handle->pastVaText[i] == nullptr) {
            *complete = false;
            return 0;
        }
        crc = crc32_z(crc, reinterpret_cast<const Bytef*>(handle->pastVaText[i]), size);
        covered += size;
    }
    Narrate("compute header crc for bytes[%u], size[%u]\n", static_cast<uint32_t>(covered),
                headerSize - kFmwFaCrcFrom);
    return static_cast<uint32_t>(crc);
}

// Compares each used slot with the checksum its region got in the whole-file pass (`imageCrcs`,
// slot order), so no image is read a second time. The "open file" line is still printed per slot:
// the narration stays the same as when every image was read on its own.
int check_img_crc(const fmw_header* handle, const char* path, const uint32_t* imageCrcs) {
    unsigned used = 0;
    for (int i = 0; i < kFmwImageSlots; ++i) {
        uint32_t base = kFmwOffImages + kFmwImageStride * static_cast<uint32_t>(i);
        uint32_t start = FmwFieldU32(handle, base);
        uint32_t size = FmwFieldU32(handle, base + 4);
        uint32_t stored = FmwFieldU32(handle, base + 8);
        if (size == 0) continue;
        ++used;
        Narrate("open file (%s), offset[%u]\n", path, start);
        uint32_t computed = imageCrcs[i];
        Narrate("img[%u] crc[%u], compute crc[%u], size[%u]\n", static_cast<unsigned>(i), stored, computed, size);
        if (computed != stored) {
            Narrate("compute header crc[%u] for img[%d].crc[%u]\n", computed, i, stored);
            return -1;
        }
    }
    Narrate("All of [%u] imgs crc checked OK...\n", used);
    return 0;
}

// Reads the texts the marks point to. Each must lie wholly inside the file, and together they may not
// exceed the file's size: a hostile mark can then neither point anywhere nor ask for gigabytes.
void ReadTexts(int fd, uint64_t fileSize, fmw_header* handle) {
    int32_t vaNums = VaNums(handle);
    uint64_t budget = fileSize;
    for (int32_t i = 0; i < vaNums; ++i) {
        const fmw_va_mark& mark = handle->pastVaMark[i];
        if (mark.size == 0) continue;
        // The start is a signed 32-bit offset when seeking: one of 2 GiB or more cannot be reached.
        int64_t start = static_cast<int32_t>(mark.start);
        bool inside = start >= 0 && static_cast<uint64_t>(start) + mark.size <= fileSize;
        if (!inside) {
            Narrate("Sorry, read variable area[%d] in header failed\n", i);
            continue;
        }
        if (mark.size > budget) continue;  // like a buffer that could not be obtained
        char* text = static_cast<char*>(std::calloc(static_cast<size_t>(mark.size) + 1, 1));
        if (text == nullptr) continue;
        budget -= mark.size;
        handle->pastVaText[i] = text;
        int64_t got = ReadAt(fd, text, mark.size, static_cast<uint64_t>(start));
        if (got <= 0) {
            Narrate("Sorry, read variable area[%d] in header failed\n", i);
            continue;
        }
        Narrate("content[%d]  :%s, size[%u], start[%u], read[%lu]\n", i, text, mark.size, mark.start,
                    static_cast<unsigned long>(got));
    }
}

int _deserialized_packet(const char* path, fmw_header* handle) {
    uint64_t fileSize = 0;
    FileDescriptor file(OpenRegular(path, &fileSize));
    if (file.Get() < 0) return FMW_ERR_OPEN;
    if (fileSize < kFmwFixedAreaSize) {
        Narrate("Sorry, fmw[%s] size[%lu] is less than header fixed area size[%lu], so quit...\n", path,
                    static_cast<unsigned long>(fileSize), static_cast<unsigned long>(kFmwFixedAreaSize));
        return FMW_ERR_TOO_SHORT;
    }
    // A short read leaves part of the fixed area unknown; it is as unusable as no read at all.
    if (ReadAt(file.Get(), handle->fixed_area, kFmwFixedAreaSize, 0) != kFmwFixedAreaSize) {
        Narrate("Sorry, read fixed area in header failed, so quit...\n");
        return FMW_ERR_READ_FIXED;
    }

    int32_t pkgType = static_cast<int32_t>(FmwFieldU32(handle, kFmwOffPkgType));
    const char* expected = pkgType <= 7 ? kFmwMagic : kAlgMagic;
    char magic[8] = {};
    platform::ByteReader fixedArea(handle->fixed_area, kFmwFixedAreaSize);
    if (!fixedArea.Seek(kFmwOffMagic) || !fixedArea.Bytes(magic, sizeof magic) ||
        std::memcmp(magic, expected, sizeof magic) != 0) {
        Narrate("Warning, magic number is not right\n");
        return FMW_ERR_MAGIC;
    }

    uint32_t crc = compute_header_fa_crc(handle);
    uint32_t stored = FmwFieldU32(handle, kFmwOffHeaderFaCrc);
    if (crc != stored) {
        Narrate("Sorry, crc[%u] is not equal to header_fa_crc[%u], so quit...\n", crc, stored);
        return FMW_ERR_FA_CRC;
    }

    int32_t vaNums = VaNums(handle);
    Narrate("_deserialized_packet va_nums[%u]...\n", static_cast<uint32_t>(vaNums));
    // A negative count, or one whose byte count overflows 32 bits, is an allocation that cannot be made.
    uint64_t markBytes = static_cast<uint64_t>(static_cast<uint32_t>(vaNums)) * kFmwMarkSize;
    if (vaNums < 0 || markBytes > UINT32_MAX) {
        Narrate("Sorry, malloc pastVaMark faliled, so quit...\n");
        return FMW_ERR_ALLOC_MARKS;
    }
    // Marks that would run past the end of the file cannot all be read; refuse before allocating
    // room for them, so a forged count never costs more memory than the file's size.
    if (vaNums == 0 || kFmwFixedAreaSize + markBytes > fileSize) {
        Narrate("Sorry, read va mark area in header failed, so quit...\n");
        return FMW_ERR_MARKS;
    }
    handle->pastVaMark = static_cast<fmw_va_mark*>(std::calloc(static_cast<size_t>(vaNums), sizeof(fmw_va_mark)));
    if (handle->pastVaMark == nullptr) {
        Narrate("Sorry, malloc pastVaMark faliled, so quit...\n");
        return FMW_ERR_ALLOC_MARKS;
    }
    handle->pastVaText = static_cast<char**>(std::calloc(static_cast<size_t>(vaNums), sizeof(char*)));
    if (handle->pastVaText == nullptr) {
        Narrate("Sorry, malloc pastVaText faliled, so quit...\n");
        return FMW_ERR_MARKS;
    }
    std::vector<unsigned char> storedMarks(static_cast<size_t>(markBytes));
    platform::ByteReader marks(storedMarks.data(), storedMarks.size());
    if (ReadAt(file.Get(), storedMarks.data(), markBytes, kFmwFixedAreaSize) != static_cast<int64_t>(markBytes)) {
        Narrate("Sorry, read va mark area in header failed, so quit...\n");
        return FMW_ERR_MARKS;
    }
    for (int32_t i = 0; i < vaNums; ++i) {
        fmw_va_mark& mark = handle->pastVaMark[i];
        if (!marks.Le32(&mark.tag) || !marks.Le32(&mark.start) || !marks.Le32(&mark.size)) break;
    }

    crc = compute_header_vamark_crc(handle);
    stored = FmwFieldU32(handle, kFmwOffHeaderVaMarkCrc);
    if (crc != stored) {
        Narrate("Sorry, crc[%u] is not equal to header_vamark_crc[%u], so quit...\n", crc, stored);
        return FMW_ERR_MARK_CRC;
    }

    ReadTexts(file.Get(), fileSize, handle);

    bool complete = false;
    crc = compute_header_crc(handle, &complete);
    stored = FmwFieldU32(handle, kFmwOffHeaderCrc);
    // A stream with a missing text fails even when header_crc happens to hold 0.
    if (!complete || crc != stored) {
        Narrate("Sorry, crc[%u] is not equal to header_crc[%u], so quit...\n", crc, stored);
        return FMW_ERR_HEADER_CRC;
    }
    file.Close();

    // One read of the file gives the whole-file checksum (region 0) and every image's (regions
    // 1 to 8); the images are judged only once the whole file has passed.
    FileRegion regions[1 + kFmwImageSlots];
    regions[0] = {kFmwOffHeaderCrc, kWholeFile};
    for (int i = 0; i < kFmwImageSlots; ++i) {
        uint32_t base = kFmwOffImages + kFmwImageStride * static_cast<uint32_t>(i);
        regions[1 + i] = {FmwFieldU32(handle, base), FmwFieldU32(handle, base + 4)};
    }
    uint32_t crcs[1 + kFmwImageSlots] = {};
    stored = FmwFieldU32(handle, kFmwOffFileCrc);
    bool read = compute_file_crcs(path, regions, 1 + kFmwImageSlots, crcs) == 0;
    crc = read ? crcs[0] : 0;
    if (!read || crc != stored) {
        Narrate("Sorry, crc[%u] is not equal to file_crc[%u], so quit...\n", crc, stored);
        return FMW_ERR_FILE_CRC;
    }
    Narrate("fmw file[%s] crc[%u] checked ok, then check each img file crc...\n", path, crc);

    if (check_img_crc(handle, path, crcs + 1) != 0) {
        Narrate("Sorry, img file crc check is failed, so quit...\n");
        return FMW_ERR_IMG_CRC;
    }
    Narrate("OK, fmw file[%s] is a right fmw, return a handle now...\n", path);
    return FMW_OK;
}

}  // namespace

uint32_t crc32_compute(const void* data, size_t length) {
    if (length == 0) return 0;
    return static_cast<uint32_t>(crc32_z(crc32(0L, Z_NULL, 0), static_cast<const Bytef*>(data), length));
}

fmw_header* create_fmw_header(const char* path, int* error) {
    auto store = [error](int code) {
        if (error != nullptr) *error = code;
    };
    if (path == nullptr) {
        store(FMW_ERR_NO_PATH);
        return nullptr;
    }
    if (path[0] == '\0') {
        Narrate("Sorry, it's a empty firmware file name\n");
        store(FMW_ERR_EMPTY_PATH);
        return nullptr;
    }
    auto* handle = static_cast<fmw_header*>(std::calloc(1, sizeof(fmw_header)));
    if (handle == nullptr) {
        store(FMW_ERR_ALLOC_HANDLE);
        return nullptr;
    }
    int code = _deserialized_packet(path, handle);
    Narrate("_deserialized_packet error[%d]...\n", code);
    store(code);
    if (code != FMW_OK) {
        free_fmw_header(handle);
        return nullptr;
    }
    return handle;
}

const char* get_fmw_va_inform(fmw_header* handle, int tag) {
    if (handle == nullptr) return nullptr;
    int32_t vaNums = VaNums(handle);
    if (handle->pastVaMark != nullptr && handle->pastVaText != nullptr) {
        for (int32_t i = 0; i < vaNums; ++i) {
            if (handle->pastVaMark[i].tag == static_cast<uint32_t>(tag)) return handle->pastVaText[i];
        }
    }
    Narrate("Sorry, can not found tag[%d], va nums is %d...\n", tag, vaNums);
    return nullptr;
}

int free_fmw_header(fmw_header* handle) {
    if (handle == nullptr) return -1;
    // The text array exists only once va_nums was found sane, so its count can be trusted here.
    if (handle->pastVaText != nullptr) {
        int32_t vaNums = VaNums(handle);
        for (int32_t i = 0; i < vaNums; ++i) std::free(handle->pastVaText[i]);
        std::free(handle->pastVaText);
    }
    std::free(handle->pastVaMark);
    std::free(handle);
    return 0;
}
