// crash_child CRASHDIR segv|abort: installs the crash handler, then dies of the fault on a
// worker thread named "faulter".
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/crash_dump.h"
#include "platform/thread.h"

extern "C" __attribute__((noinline)) void crash_child_fault(const char* mode) {
    if (std::strcmp(mode, "abort") == 0) std::abort();
    // A page without access rather than a null pointer, which the sanitizer build would catch first.
    void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (!InstallCrashHandler(argv[1])) return 3;
    const char* mode = argv[2];
    auto worker = platform::Thread::Start(
        [mode] {
            crash_child_fault(mode);
            return 0;
        },
        platform::ThreadPriority::Normal, "faulter");
    worker->WaitFor(-1);
    return 4;
}
