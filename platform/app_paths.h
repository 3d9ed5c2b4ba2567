#pragma once
// Where the program keeps its own files. Beside the executable when that folder is writable (an
// unpacked build); otherwise under the user's XDG folders, so an installed program, whose folder
// is read-only, still keeps its settings and crash dumps.
#include <string>

namespace platform {

// ".../Config.ini": beside the executable, else $XDG_CONFIG_HOME/kelvane (default ~/.config).
std::string ConfigIniPath();
// ".../CrashDir": beside the executable, else $XDG_STATE_HOME/kelvane (default ~/.local/state).
std::string CrashDirPath();
// Creates the folder that will hold `file`, with its parents; false (errno set) when it cannot.
bool MakeParentDirs(const std::string& file);
// Puts both in `dir` instead (tests); empty restores the rule above.
void SetAppFilesDir(const std::string& dir);

}  // namespace platform
