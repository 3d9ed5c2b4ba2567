#pragma once
// The last-chance crash handler. When any thread of the process dies of a fault, it writes
// <crash folder>/YYYY-MM-DD/YYYYMMDD_HHMMSS.dmp (local time of the crash; a second crash in the
// same second overwrites the file) and ends the process. The dump is plain text: signal, code
// and fault address, the faulting thread with its registers and backtrace (raw addresses), every
// thread of the process, and the executable mappings of the module map, from which
// scripts/symbolize_dump.sh names the addresses later. It is written from an alternate signal
// stack with async-signal-safe calls only and allocates nothing; when a folder cannot be created
// there is no dump.
#include <string>

// Installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT; `crashDir` is the
// "CrashDir" folder itself. Threads started through platform::Thread (and the TFTP service's)
// get their own alternate signal stack from now on, the calling thread at once.
bool InstallCrashHandler(const std::string& crashDir);

// Ends the process with the exit status the handler uses for `signal` (128 + signal), so that
// callers and tests can tell a crash that was recorded.
constexpr int CrashExitStatus(int signal) {
    return 128 + signal;
}
