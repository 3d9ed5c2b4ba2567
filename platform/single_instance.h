#pragma once
// One program per user session: a lock file held with flock for the life of the process. The
// kernel drops the lock when the process ends, however it ends, so a crash never leaves the
// next start locked out.
#include <string>

namespace platform {

// The lock file of `name`: in $XDG_RUNTIME_DIR (private to the user), else in /tmp with the
// user id in its name so that users do not lock each other out.
std::string SingleInstanceLockPath(const std::string& name);

// Takes the lock at `path` and keeps it until the process ends. False when another process
// holds it, or when the lock file cannot be opened (the caller cannot tell the two apart
// either way, and must not run a second copy on a guess).
bool AcquireSingleInstance(const std::string& path);

}  // namespace platform
