#pragma once
// Sub-commands of kelvane-cli register themselves here from their own source file:
//   static const bool registered = RegisterConsoleCommand([](CLI::App& app) { ... });
// The callback adds the sub-command to the parser and sets its callback; the callback's exit
// status is stored with SetConsoleExitCode.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <functional>

using ConsoleCommandSetup = std::function<void(CLI::App&)>;

bool RegisterConsoleCommand(ConsoleCommandSetup setup);
void SetConsoleExitCode(int code);

// Blocks Ctrl-C and SIGTERM in the calling thread and returns them as a set: threads started
// afterwards inherit the mask, so only the command's own wait (sigwait, sigtimedwait) sees them.
sigset_t BlockStopSignals();
