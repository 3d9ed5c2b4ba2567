// Firmware catalogue costs: opening a 256 MiB container (every checksum, file in the page cache)
// next to zlib's crc32 over the same bytes in memory, and a scan of a 200-file folder. The reader
// reads the file once, so copying it out of the page cache is what it adds to the checksum.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "firmware/fmw_header.h"
#include "firmware/upgrade_scan.h"
#include "log/log.h"

namespace {

constexpr size_t kBigImage = 32u << 20;  // eight of them: a 256 MiB container

char g_dir[256] = {};  // removed at exit and on SIGINT/SIGTERM, so 256 MiB never stays behind
std::string g_bigPath;
std::string g_scanDir;
std::vector<unsigned char> g_bigBytes;

void Put32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

// A container with one version mark and the given images, every checksum right.
std::vector<unsigned char> BuildContainer(const std::string& version, const std::vector<size_t>& imageSizes,
                                          uint32_t seed) {
    std::string text = version + std::string(1, '\0');
    size_t markEnd = kFmwFixedAreaSize + kFmwMarkSize;
    size_t total = markEnd + text.size();
    for (size_t s : imageSizes) total += s;
    std::vector<unsigned char> b(total, 0);
    std::memcpy(b.data(), "QLXFMW22", 8);
    Put32(b, kFmwOffHeaderSize, static_cast<uint32_t>(markEnd + text.size()));
    Put32(b, kFmwOffPkgType, 1);
    Put32(b, kFmwOffVaNums, 1);
    Put32(b, kFmwFixedAreaSize, FMW_VA_TAG_FS_VER);
    Put32(b, kFmwFixedAreaSize + 4, static_cast<uint32_t>(markEnd));
    Put32(b, kFmwFixedAreaSize + 8, static_cast<uint32_t>(text.size()));
    std::memcpy(b.data() + markEnd, text.data(), text.size());
    size_t at = markEnd + text.size();
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < imageSizes.size(); ++i) {
        for (size_t k = 0; k < imageSizes[i]; k += 8) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            std::memcpy(b.data() + at + k, &x, std::min<size_t>(8, imageSizes[i] - k));
        }
        Put32(b, kFmwOffImages + kFmwImageStride * i, static_cast<uint32_t>(at));
        Put32(b, kFmwOffImages + kFmwImageStride * i + 4, static_cast<uint32_t>(imageSizes[i]));
        Put32(b, kFmwOffImages + kFmwImageStride * i + 8, crc32_compute(b.data() + at, imageSizes[i]));
        at += imageSizes[i];
    }
    Put32(b, kFmwOffHeaderFaCrc, crc32_compute(b.data() + 24, 224));
    Put32(b, kFmwOffHeaderVaMarkCrc, crc32_compute(b.data() + kFmwFixedAreaSize, kFmwMarkSize));
    Put32(b, kFmwOffHeaderCrc, crc32_compute(b.data() + 24, markEnd + text.size() - 24));
    Put32(b, kFmwOffFileCrc, crc32_compute(b.data() + 12, b.size() - 12));
    return b;
}

void WriteFile(const std::string& path, const void* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

std::string Legacy(const char* magic, const std::string& text, size_t length, size_t textAt) {
    std::string b(length, '\0');
    std::memcpy(b.data(), magic, 8);
    b.replace(textAt, text.size(), text);
    return b;
}

void RemoveAll() {
    if (g_dir[0] == '\0') return;
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    g_dir[0] = '\0';
}

void OnSignal(int sig) {
    // Only the big file matters for the disk; unlink is async-signal-safe.
    if (!g_bigPath.empty()) unlink(g_bigPath.c_str());
    signal(sig, SIG_DFL);
    raise(sig);
}

// The reader narrates its checks on standard output, which also carries the results table.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        m_saved = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(m_saved, STDOUT_FILENO);
        close(m_saved);
    }

private:
    int m_saved;
};

void BM_CreateFmwHeader256MiB(benchmark::State& state) {
    QuietStdout quiet;
    for (auto _ : state) {
        int code = -1;
        fmw_header* handle = create_fmw_header(g_bigPath.c_str(), &code);
        if (handle == nullptr) {
            state.SkipWithError("container rejected");
            break;
        }
        free_fmw_header(handle);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_bigBytes.size()));
}
BENCHMARK(BM_CreateFmwHeader256MiB)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_ZlibCrc32InMemory256MiB(benchmark::State& state) {
    for (auto _ : state) {
        uLong crc = crc32_z(crc32(0, Z_NULL, 0), g_bigBytes.data(), g_bigBytes.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_bigBytes.size()));
}
BENCHMARK(BM_ZlibCrc32InMemory256MiB)->Unit(benchmark::kMillisecond)->MinTime(3.0);

void BM_ScanFolder200Files(benchmark::State& state) {
    QuietStdout quiet;
    std::vector<UpgradeFileInfo> catalogue;
    for (auto _ : state) {
        ScanUpgradeFolder(g_scanDir, &catalogue, nullptr);
        benchmark::DoNotOptimize(catalogue.data());
    }
    state.counters["catalogued"] = static_cast<double>(catalogue.size());
    state.counters["files"] = 200;
}
BENCHMARK(BM_ScanFolder200Files)->Unit(benchmark::kMillisecond);

void Prepare() {
    const char* base = std::getenv("TMPDIR");
    std::snprintf(g_dir, sizeof g_dir, "%s/kelvane-bench-XXXXXX", base != nullptr && *base ? base : "/tmp");
    if (mkdtemp(g_dir) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    std::atexit(RemoveAll);
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);

    g_bigBytes = BuildContainer("QL_IPC2F_V2.1.0.7", std::vector<size_t>(8, kBigImage), 1);
    g_bigPath = std::string(g_dir) + "/big.bin";
    WriteFile(g_bigPath, g_bigBytes.data(), g_bigBytes.size());

    // 200 files: 60 containers (8 models, 64 KiB images), 70 legacy IPC, 40 NVR, 20 unknown, 10 not .bin.
    g_scanDir = std::string(g_dir) + "/folder";
    std::filesystem::create_directory(g_scanDir);
    for (int i = 0; i < 200; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s/fw%03d.%s", g_scanDir.c_str(), i, i >= 190 ? "txt" : "bin");
        std::string version =
            "QL_CAM" + std::to_string(i % 8) + "_V1.2." + std::to_string(i % 13) + "." + std::to_string(i);
        if (i < 60) {
            std::vector<unsigned char> c = BuildContainer(version, {64 * 1024, 16 * 1024}, static_cast<uint32_t>(i));
            WriteFile(name, c.data(), c.size());
        } else if (i < 130) {
            std::string b = Legacy("FIRMWARE", version, 1556 + 4096, 296);
            WriteFile(name, b.data(), b.size());
        } else if (i < 170) {
            std::string b =
                Legacy("FIRMWNVR", "NVR" + std::to_string(i % 4) + "_B3.0." + std::to_string(i), 692 + 4096, 8);
            WriteFile(name, b.data(), b.size());
        } else {
            std::string b(4096, 'z');
            WriteFile(name, b.data(), b.size());
        }
    }
    // Logging at "Info" into a file, as a run with LogSwitch=1 does.
    LogInit(LOG_INFO, (std::string(g_dir) + "/Upgrade.log").c_str());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Prepare();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    RemoveAll();
    return 0;
}
