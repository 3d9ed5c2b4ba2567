#include "app/crash_dump.h"

#define UNW_LOCAL_ONLY
#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <libunwind.h>
#include <link.h>
#include <signal.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/signal_stack.h"

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr size_t kPathSize = 4096;
constexpr int kMaxFrames = 64;
constexpr int kZoneDays = 800;  // UTC offsets are looked ahead this far when the handler is installed

char g_crashDir[kPathSize];
// "  <build ID> <path>" per loaded module, gathered at installation: the module list cannot be
// walked safely from a signal handler, and a dump read on another machine must say which build it was.
char g_buildIds[16384];
std::atomic<int> g_handling{0};

// localtime_r may take a lock, so the handler cannot call it: the UTC offsets in force from now
// on (daylight saving switches included) are worked out once at installation.
struct ZoneSpan {
    time_t from;
    long offset;
};
ZoneSpan g_zones[32];
int g_zoneCount = 0;

long OffsetAt(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

void BuildZoneTable() {
    time_t now = time(nullptr);
    g_zones[0] = {LONG_MIN, OffsetAt(now)};
    g_zoneCount = 1;
    time_t previous = now;
    for (int day = 1; day <= kZoneDays && g_zoneCount < 32; ++day) {
        time_t probe = now + static_cast<time_t>(day) * 86400;
        if (OffsetAt(probe) == g_zones[g_zoneCount - 1].offset) {
            previous = probe;
            continue;
        }
        time_t low = previous, high = probe;  // offset changes in (low, high]
        while (high - low > 1) {
            time_t mid = low + (high - low) / 2;
            (OffsetAt(mid) == g_zones[g_zoneCount - 1].offset ? low : high) = mid;
        }
        g_zones[g_zoneCount++] = {high, OffsetAt(high)};
        previous = probe;
    }
}

struct CivilTime {
    long year;
    int month, day, hour, minute, second;
};

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days).
CivilTime ToCivil(time_t utc) {
    long offset = g_zones[0].offset;
    for (int i = 1; i < g_zoneCount; ++i) {
        if (utc >= g_zones[i].from) offset = g_zones[i].offset;
    }
    long long t = static_cast<long long>(utc) + offset;
    long long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
    long long secs = t - days * 86400;
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    long long doe = days - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    CivilTime c{};
    c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    c.year = static_cast<long>(yoe + era * 400 + (c.month <= 2 ? 1 : 0));
    c.hour = static_cast<int>(secs / 3600);
    c.minute = static_cast<int>(secs / 60 % 60);
    c.second = static_cast<int>(secs % 60);
    return c;
}

// Text built in a fixed buffer; a longer result is cut and stays terminated.
class Text {
public:
    Text(char* buffer, size_t size) : m_buffer(buffer), m_size(size) { m_buffer[0] = '\0'; }
    Text& Add(const char* s) {
        while (s != nullptr && *s != '\0' && m_length + 1 < m_size) m_buffer[m_length++] = *s++;
        m_buffer[m_length < m_size ? m_length : m_size - 1] = '\0';
        return *this;
    }
    Text& Dec(unsigned long long value, int width = 0) {
        size_t want = width > 0 && width < 20 ? static_cast<size_t>(width) : 0;
        char digits[24];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0 && n < 20);
        while (n < want) digits[n++] = '0';
        char out[24];
        for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
        out[n] = '\0';
        return Add(out);
    }
    Text& Int(long long value) {
        if (value < 0) Add("-");
        return Dec(value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value));
    }
    Text& Hex(unsigned long long value) {
        char out[19] = "0x";
        for (int i = 0; i < 16; ++i) out[2 + i] = "0123456789abcdef"[(value >> (60 - 4 * i)) & 0xF];
        out[18] = '\0';
        return Add(out);
    }
    const char* Get() const { return m_buffer; }
    size_t Length() const { return m_length; }

private:
    char* m_buffer;
    size_t m_size;
    size_t m_length = 0;
};

// Buffered output to the dump file.
class DumpWriter {
public:
    explicit DumpWriter(int fd) : m_fd(fd) {}
    ~DumpWriter() { Flush(); }
    DumpWriter(const DumpWriter&) = delete;
    DumpWriter& operator=(const DumpWriter&) = delete;
    void Write(const char* data, size_t length) {
        while (length > 0) {
            if (m_length == sizeof m_buffer) Flush();
            size_t n = sizeof m_buffer - m_length;
            if (n > length) n = length;
            memcpy(m_buffer + m_length, data, n);
            m_length += n;
            data += n;
            length -= n;
        }
    }
    void Write(const Text& text) { Write(text.Get(), text.Length()); }
    void Write(const char* s) { Write(s, strlen(s)); }
    void Flush() {
        size_t done = 0;
        while (done < m_length) {
            ssize_t n = write(m_fd, m_buffer + done, m_length - done);
            if (n <= 0) break;  // nothing better to do in a dying process than stop writing
            done += static_cast<size_t>(n);
        }
        m_length = 0;
    }

private:
    int m_fd;
    char m_buffer[4096];
    size_t m_length = 0;
};

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

// The thread's name as the kernel keeps it, without the trailing newline.
void ReadThreadName(pid_t tid, char* name, size_t size) {
    char pathBuffer[64];
    Text path(pathBuffer, sizeof pathBuffer);
    path.Add("/proc/self/task/").Dec(static_cast<unsigned long long>(tid)).Add("/comm");
    name[0] = '\0';
    int fd = open(path.Get(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ssize_t n = read(fd, name, size - 1);
    close(fd);
    if (n < 0) n = 0;
    name[n] = '\0';
    if (n > 0 && name[n - 1] == '\n') name[n - 1] = '\0';
}

void WriteRegisters(DumpWriter& out, const ucontext_t* context) {
    char lineBuffer[128];
#if defined(__x86_64__)
    static const struct {
        const char* name;
        int index;
    } kRegisters[] = {{"rip", REG_RIP}, {"rsp", REG_RSP}, {"rbp", REG_RBP},   {"rax", REG_RAX}, {"rbx", REG_RBX},
                      {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},   {"rdi", REG_RDI}, {"r8", REG_R8},
                      {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},   {"r12", REG_R12}, {"r13", REG_R13},
                      {"r14", REG_R14}, {"r15", REG_R15}, {"eflags", REG_EFL}};
    for (const auto& reg : kRegisters) {
        Text line(lineBuffer, sizeof lineBuffer);
        line.Add("  ").Add(reg.name).Add(" ").Hex(
            static_cast<unsigned long long>(context->uc_mcontext.gregs[reg.index]));
        out.Write(line.Add("\n"));
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        Text line(lineBuffer, sizeof lineBuffer);
        line.Add("  x").Dec(static_cast<unsigned long long>(i)).Add(" ").Hex(context->uc_mcontext.regs[i]);
        out.Write(line.Add("\n"));
    }
    Text line(lineBuffer, sizeof lineBuffer);
    line.Add("  sp ").Hex(context->uc_mcontext.sp).Add("\n  pc ").Hex(context->uc_mcontext.pc);
    out.Write(line.Add("\n"));
#else
    (void)context;
    out.Write("  (not recorded on this architecture)\n");
#endif
}

// Raw instruction addresses only: naming them (unw_get_proc_name) allocates, which a handler
// must not. scripts/symbolize_dump.sh names them afterwards from the module map below.
void WriteBacktrace(DumpWriter& out, void* context) {
    unw_cursor_t cursor;
    if (unw_init_local2(&cursor, static_cast<unw_context_t*>(context), UNW_INIT_SIGNAL_FRAME) != 0) {
        out.Write("  (cannot unwind)\n");
        return;
    }
    char lineBuffer[64];
    for (int frame = 0; frame < kMaxFrames; ++frame) {
        unw_word_t ip = 0;
        unw_get_reg(&cursor, UNW_REG_IP, &ip);
        Text line(lineBuffer, sizeof lineBuffer);
        line.Add("  #").Dec(static_cast<unsigned long long>(frame), 2).Add(" ").Hex(ip);
        out.Write(line.Add("\n"));
        if (unw_step(&cursor) <= 0) break;
    }
}

void WriteThreads(DumpWriter& out) {
    int dir = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    alignas(struct dirent64) char entries[4096];
    char lineBuffer[128];
    char name[32];
    for (;;) {
        ssize_t n = getdents64(dir, entries, sizeof entries);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
            pid_t tid = 0;
            for (const char* p = entry->d_name; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
            ReadThreadName(tid, name, sizeof name);
            Text line(lineBuffer, sizeof lineBuffer);
            line.Add("  ").Dec(static_cast<unsigned long long>(tid)).Add(" ").Add(name);
            out.Write(line.Add("\n"));
        }
    }
    close(dir);
}

// The executable mappings of /proc/self/maps ("start-end perms offset dev inode path"): enough
// to turn every backtrace address into a module and an offset in it. A line longer than the
// buffer is cut.
void WriteCodeMappings(DumpWriter& out) {
    int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        out.Write("  (cannot read /proc/self/maps)\n");
        return;
    }
    char chunk[2048];
    char line[kPathSize + 160];
    size_t length = 0;
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] != '\n') {
                if (length + 1 < sizeof line) line[length++] = chunk[i];
                continue;
            }
            const char* perms = static_cast<const char*>(memchr(line, ' ', length));
            if (perms != nullptr && perms + 3 < line + length && perms[3] == 'x') {
                out.Write("  ", 2);
                out.Write(line, length);
                out.Write("\n", 1);
            }
            length = 0;
        }
    }
    close(fd);
}

// The NT_GNU_BUILD_ID note of a loaded module, as hex, into `out`; empty when it has none.
void ReadBuildId(const dl_phdr_info* info, char* out, size_t size) {
    out[0] = '\0';
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        const char* note = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
        const char* end = note + ph.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* header = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof(ElfW(Nhdr));
            const char* desc = name + ((header->n_namesz + 3) & ~3U);
            if (desc + header->n_descsz > end) break;
            if (header->n_type == NT_GNU_BUILD_ID && header->n_namesz == 4 && memcmp(name, "GNU", 4) == 0) {
                size_t n = 0;
                for (uint32_t k = 0; k < header->n_descsz && n + 2 < size; ++k) {
                    const unsigned char byte = static_cast<unsigned char>(desc[k]);
                    out[n++] = "0123456789abcdef"[byte >> 4];
                    out[n++] = "0123456789abcdef"[byte & 0xF];
                }
                out[n] = '\0';
                return;
            }
            note = desc + ((header->n_descsz + 3) & ~3U);
        }
    }
}

void GatherBuildIds() {
    Text list(g_buildIds, sizeof g_buildIds);
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            char id[128];
            ReadBuildId(info, id, sizeof id);
            char exe[kPathSize] = {};
            const char* path = info->dlpi_name;
            if (path == nullptr || path[0] == '\0') {
                ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
                path = n > 0 ? exe : nullptr;
            }
            if (id[0] != '\0' && path != nullptr && path[0] == '/') {
                static_cast<Text*>(data)->Add("  ").Add(id).Add(" ").Add(path).Add("\n");
            }
            return 0;
        },
        &list);
}

void WriteDump(int fd, int signal, const siginfo_t* info, void* context, const CivilTime& when) {
    DumpWriter out(fd);
    char lineBuffer[256];
    Text head(lineBuffer, sizeof lineBuffer);
    head.Add("Kelvane crash dump\ntime: ").Dec(static_cast<unsigned long long>(when.year), 4).Add("-");
    head.Dec(static_cast<unsigned long long>(when.month), 2).Add("-").Dec(static_cast<unsigned long long>(when.day), 2);
    head.Add(" ").Dec(static_cast<unsigned long long>(when.hour), 2).Add(":");
    head.Dec(static_cast<unsigned long long>(when.minute), 2).Add(":");
    head.Dec(static_cast<unsigned long long>(when.second), 2).Add("\n");
    out.Write(head);

    Text cause(lineBuffer, sizeof lineBuffer);
    cause.Add("signal: ").Dec(static_cast<unsigned long long>(signal)).Add(" ").Add(SignalName(signal));
    cause.Add("\ncode: ").Int(info->si_code);
    cause.Add("\naddress: ").Hex(reinterpret_cast<uintptr_t>(info->si_addr));
    cause.Add("\nprocess: ").Dec(static_cast<unsigned long long>(getpid())).Add("\n");
    out.Write(cause);

    char name[32];
    pid_t tid = gettid();
    ReadThreadName(tid, name, sizeof name);
    Text thread(lineBuffer, sizeof lineBuffer);
    thread.Add("thread: ").Dec(static_cast<unsigned long long>(tid)).Add(" ").Add(name).Add("\n");
    out.Write(thread);

    out.Write("registers:\n");
    WriteRegisters(out, static_cast<const ucontext_t*>(context));
    out.Write("backtrace: (scripts/symbolize_dump.sh names the addresses)\n");
    WriteBacktrace(out, context);
    out.Write("threads:\n");
    WriteThreads(out);
    out.Write("modules:\n");
    WriteCodeMappings(out);
    out.Write("build-ids:\n");
    out.Write(g_buildIds, strlen(g_buildIds));
}

void OnCrash(int signal, siginfo_t* info, void* context) {
    // One dump per process: a second thread that faults meanwhile waits for the end.
    if (g_handling.exchange(1) != 0) {
        for (;;) pause();
    }
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    CivilTime when = ToCivil(now.tv_sec);
    auto u = [](long v) { return static_cast<unsigned long long>(v); };

    char dayBuffer[kPathSize];
    char fileBuffer[kPathSize];
    Text day(dayBuffer, sizeof dayBuffer);
    day.Add(g_crashDir).Add("/").Dec(u(when.year), 4).Add("-").Dec(u(when.month), 2).Add("-").Dec(u(when.day), 2);
    Text file(fileBuffer, sizeof fileBuffer);
    file.Add(day.Get()).Add("/").Dec(u(when.year), 4).Dec(u(when.month), 2).Dec(u(when.day), 2).Add("_");
    file.Dec(u(when.hour), 2).Dec(u(when.minute), 2).Dec(u(when.second), 2).Add(".dmp");

    mkdir(g_crashDir, 0755);  // an existing folder is fine; a folder that cannot be made fails the open below
    mkdir(day.Get(), 0755);
    int fd = open(file.Get(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
        WriteDump(fd, signal, info, context, when);
        close(fd);
    }
    _exit(CrashExitStatus(signal));
}

}  // namespace

bool InstallCrashHandler(const std::string& crashDir) {
    if (crashDir.empty() || crashDir.size() >= kPathSize) return false;
    memcpy(g_crashDir, crashDir.c_str(), crashDir.size() + 1);
    BuildZoneTable();
    GatherBuildIds();

    // The first unwind loads libunwind's lazily built state; a crash should not be the first.
    unw_context_t context;
    unw_cursor_t cursor;
    if (unw_getcontext(&context) == 0 && unw_init_local(&cursor, &context) == 0) unw_step(&cursor);

    platform::EnableThreadSignalStacks();
    platform::PrepareThreadSignalStack();

    struct sigaction action {};
    action.sa_sigaction = OnCrash;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    // A second fault of another kind inside the handler must end the process, not re-enter it.
    for (int signal : kCrashSignals) sigaddset(&action.sa_mask, signal);
    bool installed = true;
    for (int signal : kCrashSignals) installed = sigaction(signal, &action, nullptr) == 0 && installed;
    return installed;
}
