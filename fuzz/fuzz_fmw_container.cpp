// The container reader over a real file built from the fuzzer's bytes. With the first byte odd
// the checksums are sealed first, so the input gets past them to the marks, texts and images.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "firmware/fmw_header.h"

namespace {

std::string g_path;

uint32_t Get32(const std::string& b, size_t at) {
    if (at + 4 > b.size()) return 0;
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

void Set32(std::string& b, size_t at, uint32_t v) {
    if (at + 4 <= b.size()) std::memcpy(b.data() + at, &v, 4);
}

uint32_t Crc(const std::string& b, uint64_t from, uint64_t length) {
    if (from >= b.size()) return 0;
    if (length > b.size() - from) length = b.size() - from;
    return crc32_compute(b.data() + from, static_cast<size_t>(length));
}

void Seal(std::string& b) {
    if (b.size() < kFmwFixedAreaSize) return;
    for (uint32_t i = 0; i < 8; ++i) {
        uint32_t base = kFmwOffImages + kFmwImageStride * i;
        if (Get32(b, base + 4) != 0) Set32(b, base + 8, Crc(b, Get32(b, base), Get32(b, base + 4)));
    }
    Set32(b, kFmwOffHeaderFaCrc, Crc(b, 24, 224));
    uint64_t marks = Get32(b, kFmwOffVaNums);
    if (marks > (b.size() - kFmwFixedAreaSize) / kFmwMarkSize) marks = (b.size() - kFmwFixedAreaSize) / kFmwMarkSize;
    Set32(b, kFmwOffHeaderVaMarkCrc, Crc(b, kFmwFixedAreaSize, marks * kFmwMarkSize));
    std::string stream = b.substr(24, 224 + marks * kFmwMarkSize);
    for (uint64_t i = 0; i < marks; ++i) {
        uint32_t start = Get32(b, kFmwFixedAreaSize + kFmwMarkSize * i + 4);
        uint32_t size = Get32(b, kFmwFixedAreaSize + kFmwMarkSize * i + 8);
        if (start < b.size()) stream += b.substr(start, size);
    }
    Set32(b, kFmwOffHeaderCrc, Crc(stream, 0, stream.size()));
    Set32(b, kFmwOffFileCrc, Crc(b, 12, b.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char name[] = "/tmp/fuzz_fmw_container-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    g_path = name;
    std::atexit([] { unlink(g_path.c_str()); });
    // The reader narrates every check on standard output; millions of runs need none of it.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 1) Seal(bytes);
    int fd = open(g_path.c_str(), O_WRONLY | O_TRUNC);
    if (fd < 0 || write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
    close(fd);

    int code = -1;
    fmw_header* handle = create_fmw_header(g_path.c_str(), &code);
    if ((handle != nullptr) != (code == 0)) std::abort();
    if (handle != nullptr) {
        for (int tag = 0; tag < 8; ++tag) {
            if (const char* text = get_fmw_va_inform(handle, tag)) (void)std::strlen(text);
        }
        if (free_fmw_header(handle) != 0) std::abort();
    }
    return 0;
}
