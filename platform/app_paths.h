#pragma once
// Where the program keeps its own files. Beside the executable when that folder is the user's own
// and not a system folder, or a Config.ini is already there (an unpacked build); otherwise under
// the user's XDG folders, so an installed program keeps its settings and crash dumps, and one run
// as root does not write into /usr/bin.
#include <string>

namespace platform {

// ".../Config.ini": beside the executable, else $XDG_CONFIG_HOME/kelvane (default ~/.config).
std::string ConfigIniPath();
// ".../CrashDir": beside the executable, else $XDG_STATE_HOME/kelvane (default ~/.local/state).
std::string CrashDirPath();
// True when the program in `exeDir`, run by `user`, keeps its files beside itself.
bool FilesBelongBeside(const std::string& exeDir, unsigned user);
// Creates the folder that will hold `file`, with its parents; false (errno set) when it cannot.
bool MakeParentDirs(const std::string& file);
// Puts both in `dir` instead (tests); empty restores the rule above.
void SetAppFilesDir(const std::string& dir);

}  // namespace platform
