// crash_child CRASHDIR segv|abort: installs the crash handler, then dies of the fault on a
// worker thread named "faulter".
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "app/crash_dump.h"
#include "platform/thread.h"

extern "C" __attribute__((noinline)) void crash_child_fault(const char* mode) {
    if (std::strcmp(mode, "abort") == 0) std::abort();
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    if (!InstallCrashHandler(argv[1])) return 3;
    const char* mode = argv[2];
    auto worker = platform::Thread::Start([mode] {
        pthread_setname_np(pthread_self(), "faulter");
        crash_child_fault(mode);
        return 0;
    });
    worker->WaitFor(-1);
    return 4;
}
