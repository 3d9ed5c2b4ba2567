#pragma once
// Starting the window program `kelvane` from the console front end, which itself stays free of Qt.
#include <sys/types.h>

#include <string>
#include <vector>

// The window program: beside this executable (an installed bin folder), in the build tree
// (app/qt/kelvane next to app/console/kelvane-cli), else on PATH. Empty when there is none.
std::string FindWindowProgram();

// Whether a window can be shown from a process in a private network namespace. Abstract Unix
// sockets belong to a network namespace and TCP reaches only its loopback, so of an X server
// only the file-system socket (/tmp/.X11-unix/X<n>) can be used; a Wayland socket is always a
// file. Qt's offscreen and minimal platforms need no display. False with a one-line reason.
bool DisplayReachable(std::string* error);

// Starts `program` with `args` in `folder`, with the signals this process blocks unblocked and
// its standard output (the container checks' narration) dropped; its errors stay visible. The
// child gets SIGTERM when this process dies. `environment` ("NAME=value") is added to this
// process's, replacing variables of the same name. Returns its pid, or -1 with `error` set.
pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                   const std::vector<std::string>& environment, std::string* error);
