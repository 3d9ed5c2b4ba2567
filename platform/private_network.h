#pragma once
// Moving the calling process into a network namespace of its own, with loopback up: as root
// directly, otherwise through an unprivileged user namespace that maps the user to root inside.
// Whatever it then sends stays inside; the machine's interfaces are out of its sight.
#include <string>

namespace platform {

// True when the process is now in its own network namespace with loopback up; else false with
// `error` saying which step failed.
bool EnterPrivateNetworkNamespace(std::string* error);

}  // namespace platform
