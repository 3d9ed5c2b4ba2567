#pragma once
#include <string>

namespace platform {

// Full path of the running executable, empty when it cannot be read.
std::string ExecutablePath();
// The executable's directory without a trailing "/", "." when unknown.
std::string ExecutableDir();

}  // namespace platform
