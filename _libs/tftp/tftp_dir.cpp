// Side products of the service: MD5 side files and the "dir.txt" listing of the root directory.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "_libs/tftp/tftp.h"
#include "log/log.h"
#include "platform/system_lang.h"
#include "platform/text_codec.h"

namespace {

std::atomic_flag g_listingGuard = ATOMIC_FLAG_INIT;

void WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n <= 0) return;
        data += n;
        length -= static_cast<size_t>(n);
    }
}

// Opens a side file for writing, emptied, only if it is (or becomes) a regular file: a FIFO or a
// device of that name must neither block the worker nor receive our bytes. -1 otherwise.
int OpenSideFile(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0) {
        LogMessage(LOG_GENERAL, "side file <%s> is not a regular file, not written", path.c_str());
        close(fd);
        return -1;
    }
    return fd;
}

void WriteListingLine(const char* line, void* context) {
    int fd = *static_cast<int*>(context);
    WriteAll(fd, line, std::strlen(line));
    WriteAll(fd, "\r\n", 2);
}

// The short date of the system's language: year first for Chinese, month first for US English,
// day first elsewhere.
void FormatShortDate(time_t when, char* out, size_t size) {
    tm local{};
    localtime_r(&when, &local);
    uint16_t lang = platform::GetSystemDefaultLangID();
    int year = local.tm_year + 1900;
    int month = local.tm_mon + 1;
    if (lang == platform::kLangChineseSimplified) {
        std::snprintf(out, size, "%d/%d/%d", year, month, local.tm_mday);
    } else if (lang == platform::kLangEnglishUS) {
        std::snprintf(out, size, "%d/%d/%d", month, local.tm_mday, year);
    } else {
        std::snprintf(out, size, "%02d/%02d/%d", local.tm_mday, month, year);
    }
}

using DirLineCallback = void (*)(const char* line, void* context);

void ForEachFileInDir(DirLineCallback callback, void* context, const char* directory) {
    char dirName[kTftpMaxPath];
    std::snprintf(dirName, sizeof dirName, "%s", directory);
    DIR* dir = opendir(dirName);
    if (dir == nullptr) return;
    int dirFd = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        struct statx sx {};
        if (statx(dirFd, entry->d_name, 0, STATX_TYPE | STATX_SIZE | STATX_BTIME | STATX_MTIME, &sx) != 0) continue;
        if (S_ISDIR(sx.stx_mode)) continue;
        // The listing is single-byte GBK text like every other name the service hands out.
        std::string name;
        if (!platform::Utf8ToGbk(entry->d_name, &name)) continue;
        if (name.size() > 62) name.resize(62);
        time_t created = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_mtime.tv_sec;
        // Room for 10 characters: a longer date (a year past 9999) is cut there.
        char date[32];
        FormatShortDate(created, date, sizeof date);
        date[10] = '\0';
        char line[128];
        std::snprintf(line, sizeof line, "%s\t%s\t%d", name.c_str(), date,
                      static_cast<int32_t>(static_cast<uint32_t>(sx.stx_size & 0xFFFFFFFFu)));
        callback(line, context);
    }
    closedir(dir);
}

void Md5Finish(TftpTransfer* transfer) {
    std::memset(transfer->md5Digest, 0, sizeof transfer->md5Digest);
    if (transfer->md5 == nullptr) return;
    unsigned int length = 0;
    EVP_DigestFinal_ex(transfer->md5, transfer->md5Digest, &length);
    EVP_MD_CTX_free(transfer->md5);
    transfer->md5 = nullptr;
}

}  // namespace

void Md5Start(TftpTransfer* transfer) {
    if (transfer->md5 == nullptr) transfer->md5 = EVP_MD_CTX_new();
    if (transfer->md5 != nullptr) EVP_DigestInit_ex(transfer->md5, EVP_md5(), nullptr);
}

void Md5Add(TftpTransfer* transfer, const void* data, size_t length) {
    if (transfer->md5 != nullptr) EVP_DigestUpdate(transfer->md5, data, length);
}

int WriteMd5SideFile(TftpTransfer* transfer) {
    Md5Finish(transfer);
    std::string sideFile = std::string(transfer->szPath) + ".md5";
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", transfer->md5Digest[i]);
    int fd = OpenSideFile(sideFile);
    if (fd >= 0) {
        WriteAll(fd, hex, 32);
        close(fd);
    }
    LogMessage(LOG_DEBUG0, "MD5 written into <%s.md5>", transfer->szFinalName);
    return 0;
}

int WriteDirListing(const char* root) {
    if (g_listingGuard.test_and_set()) return 0;
    std::string path = SystemPathUnder(root, "dir.txt");
    int fd = OpenSideFile(path);
    if (fd < 0) {
        g_listingGuard.clear();
        return 0;
    }
    ForEachFileInDir(WriteListingLine, &fd, root);
    close(fd);
    g_listingGuard.clear();
    return 1;
}
