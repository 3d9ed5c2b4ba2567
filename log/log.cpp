#include "log/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/ini_file.h"
#include "platform/local_time.h"
#include "platform/text_codec.h"
#include "platform/thread.h"

namespace {

constexpr const char* kLevelNames[9] = {"Major",  "General", "Suggestive", "Info",  "DEBUG0",
                                        "DEBUG1", "DEBUG2",  "MORELOG",    "ALLLOG"};
constexpr int kHighestLevel = 8;
constexpr int kOpenAttempts = 3;
constexpr int kOpenRetryMs = 50;

// Written only by LogInit, before other threads exist; atomics keep the later reads defined.
std::atomic<int> g_threshold{0};
char g_path[kLogPathSize] = {};
std::atomic<bool> g_hasPath{false};
std::mutex g_lock;
std::atomic<int64_t> g_rotateBytes{kLogRotateBytes};
thread_local bool t_muted = false;

static_assert(sizeof(long) == sizeof(size_t) && sizeof(long) == sizeof(intmax_t) && sizeof(long) == sizeof(ptrdiff_t));

// One conversion of a printf format, its '*' width and precision already taken from `args`.
struct Conversion {
    std::string pattern = std::string(1, '%');  // "%-8.3s", with the numbers in place of '*'
    std::string length;
    char kind = 0;
};

// Reads the conversion at `format` (just after its '%') into a fresh `c`; false for one this log
// does not know.
bool ReadConversion(const char*& format, va_list& args, Conversion* c) {
    while (*format != '\0' && std::strchr("-+ #0", *format) != nullptr) c->pattern += *format++;
    for (int part = 0; part < 2; ++part) {
        if (part == 1) {
            if (*format != '.') break;
            c->pattern += *format++;
        }
        if (*format == '*') {
            c->pattern += std::to_string(va_arg(args, int));
            ++format;
        }
        while (*format >= '0' && *format <= '9') c->pattern += *format++;
    }
    while (*format != '\0' && std::strchr("hlLqjzt", *format) != nullptr) c->length += *format++;
    c->kind = *format;
    if (c->kind == '\0' || std::strchr("diouxXcspfFeEgGaA%", c->kind) == nullptr) return false;
    ++format;
    c->pattern += c->length;
    c->pattern += c->kind;
    return true;
}

template <typename T>
void Append(std::string* out, const std::string& pattern, T value) {
    char piece[kLogLineSize];
    int n = std::snprintf(piece, sizeof piece, pattern.c_str(), value);
    if (n > 0) out->append(piece, std::min(static_cast<size_t>(n), sizeof piece - 1));
}

// Formats like vsnprintf, except that control characters in what string and character arguments
// bring in (device text) are escaped: a device cannot forge log lines, while line breaks written
// in a format itself stay as they are.
std::string FormatEscaped(const char* format, va_list from) {
    va_list args;  // a copy of our own, so the readers of single conversions can take from it
    va_copy(args, from);
    std::string out;
    while (*format != '\0' && out.size() < static_cast<size_t>(kLogLineSize)) {
        if (*format != '%') {
            out += *format++;
            continue;
        }
        ++format;
        Conversion c;
        if (!ReadConversion(format, args, &c)) {
            out += "%?";  // a format this log cannot read is a bug of ours; never guess its arguments
            break;
        }
        const std::string& len = c.length;
        switch (c.kind) {
            case '%': out += '%'; break;
            case 's': {
                const char* text = va_arg(args, const char*);
                Append(&out, c.pattern, text == nullptr ? "(null)" : platform::EscapeControlChars(text).c_str());
                break;
            }
            case 'c': {
                char ch = static_cast<char>(va_arg(args, int));
                Append(&out, "%s", platform::EscapeControlChars(std::string_view(&ch, 1)).c_str());
                break;
            }
            case 'p': Append(&out, c.pattern, va_arg(args, void*)); break;
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
                if (len == "L") {
                    Append(&out, c.pattern, va_arg(args, long double));
                } else {
                    Append(&out, c.pattern, va_arg(args, double));
                }
                break;
            default:  // the integers
                if (len == "ll" || len == "q") {
                    Append(&out, c.pattern, va_arg(args, long long));
                } else if (len == "l" || len == "j" || len == "z" || len == "t") {
                    // intmax_t, size_t and ptrdiff_t are long on this platform
                    Append(&out, c.pattern, va_arg(args, long));
                } else {
                    Append(&out, c.pattern, va_arg(args, int));
                }
                break;
        }
    }
    va_end(args);
    return out;
}

// The mirror writes to a terminal, which can stall (a paused or slow terminal). It runs on a
// thread of its own, fed through a bounded queue, so no logging thread ever waits for it and the
// log's lock is never held while it writes; lines that find the queue full are counted instead.
class MirrorFeed {
public:
    void Start(void (*mirror)(const char*, int)) {
        Stop();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mirror = mirror;
        m_quit = false;
        m_writer = std::thread([this] { Run(); });
        m_on = true;
    }
    // Hands the mirror what is still queued, then ends its thread.
    void Stop() {
        std::thread writer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_on = false;
            m_quit = true;
            writer = std::move(m_writer);
        }
        m_ready.notify_all();
        if (writer.joinable()) writer.join();
    }
    void Add(const char* line) {
        if (!m_on.load(std::memory_order_relaxed)) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_quit) return;
            if (m_lines.size() >= kMaxQueued) {
                ++m_dropped;
                return;
            }
            m_lines.emplace_back(line);
        }
        m_ready.notify_one();
    }

private:
    static constexpr size_t kMaxQueued = 4096;

    void Run() {
        platform::SetCurrentThreadName("kv-log");
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [this] { return m_quit || !m_lines.empty(); });
            if (m_lines.empty()) return;
            std::deque<std::string> lines;
            lines.swap(m_lines);
            size_t dropped = std::exchange(m_dropped, 0);
            auto mirror = m_mirror;
            lock.unlock();
            for (const std::string& line : lines) mirror(line.c_str(), static_cast<int>(line.size()));
            if (dropped > 0) {
                char note[96];
                int length = std::snprintf(note, sizeof note, " %zu log lines not echoed: the terminal fell behind",
                                           dropped);
                mirror(note, length);
            }
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::string> m_lines;
    size_t m_dropped = 0;
    bool m_quit = false;
    std::atomic<bool> m_on{false};
    void (*m_mirror)(const char*, int) = nullptr;
    std::thread m_writer;
};

MirrorFeed& Mirror() {
    static MirrorFeed* feed = new MirrorFeed();  // never destroyed: threads may log during exit
    return *feed;
}

}  // namespace

void LogInit(int level, const char* path) {
    if (level < kHighestLevel + 1) g_threshold = level;
    if (path != nullptr) {
        std::lock_guard<std::mutex> guard(g_lock);
        std::memset(g_path, 0, sizeof g_path);
        std::strncpy(g_path, path, sizeof g_path - 1);
        g_hasPath = g_path[0] != '\0';
    }
}

void LogMessage(int level, const char* format, ...) {
    // A negative level is nobody's: treat it as unknown rather than indexing the name table with it.
    if (level < 0 || level > g_threshold.load(std::memory_order_relaxed) || level > kHighestLevel) return;
    if (t_muted) return;

    platform::LocalTime now = platform::GetLocalTime();
    char line[kLogLineSize];
    int prefix = std::snprintf(line, sizeof line, " [%s][%02d/%02d %02d:%02d:%02d.%03d]", kLevelNames[level], now.day,
                               now.month, now.hour, now.minute, now.second, now.milliseconds);
    if (prefix < 0) return;
    va_list args;
    va_start(args, format);
    const std::string body = FormatEscaped(format, args);
    va_end(args);
    std::snprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), "%s", body.c_str());

    if (!g_hasPath.load(std::memory_order_acquire)) return;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        LogAppendLine(g_path, line, static_cast<int>(std::strlen(line)));
    }
    Mirror().Add(line);
}

void LogSetMirror(void (*mirror)(const char* line, int length)) {
    if (mirror != nullptr) {
        Mirror().Start(mirror);
    } else {
        Mirror().Stop();
    }
}

bool LogWouldWrite(int level) {
    return level >= 0 && level <= kHighestLevel && level <= g_threshold.load(std::memory_order_relaxed) && !t_muted &&
           g_hasPath.load(std::memory_order_acquire);
}

void LogSetRotateBytes(int64_t bytes) {
    g_rotateBytes = bytes > 0 ? bytes : kLogRotateBytes;
}

LogMuteScope::LogMuteScope(bool mute) : m_previous(t_muted) {
    t_muted = m_previous || mute;
}
LogMuteScope::~LogMuteScope() {
    t_muted = m_previous;
}

namespace {

int OpenLogFile(const char* path) {
    int fd = -1;
    for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) usleep(kOpenRetryMs * 1000);
    }
    return fd;
}

}  // namespace

int LogAppendLine(const char* path, const char* text, int length) {
    int fd = OpenLogFile(path);
    if (fd < 0) return -1;
    // A full file moves aside as "<path>.1", so a flood of lines costs at most two files of disk and
    // the results written beside the log still find room.
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size > 0 && info.st_size + length + 2 > g_rotateBytes.load()) {
        std::string previous = std::string(path) + ".1";
        close(fd);
        // When it cannot be moved (a folder that forbids it) it is started over instead: the bound
        // matters more than the old lines. Gone already (another process rotated it) is fine.
        bool moved = rename(path, previous.c_str()) == 0 || errno == ENOENT;
        fd = OpenLogFile(path);
        if (fd < 0) return -1;
        if (!moved && ftruncate(fd, 0) != 0) {
            close(fd);
            return -1;
        }
    }
    // One writev with O_APPEND keeps a line whole even when another process appends too.
    // write(2) hands the bytes to the kernel, so a crash of this process loses none of them.
    char crlf[2] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char*>(text), static_cast<size_t>(length > 0 ? length : 0)}, {crlf, 2}};
    ssize_t written;
    do {
        written = writev(fd, parts, 2);
    } while (written < 0 && errno == EINTR);
    close(fd);
    return static_cast<int>(written);
}

int ReadLogThreshold(const std::string& iniPath) {
    return platform::IniReadInt(iniPath, "CNFINFO", "LogSwitch", 0) == 1 ? LOG_INFO : LOG_MAJOR;
}
