#pragma once
// Where the program keeps "Config.ini" and its crash dumps. An unpacked build keeps them beside
// the executable; an installed one, whose folder it cannot write, keeps them in the user's XDG
// configuration and state folders instead, so settings and dumps are never silently lost.
#include <string>

namespace platform {

struct AppPaths {
    std::string configFile;  // the full path of "Config.ini"
    std::string crashDir;    // the "CrashDir" folder itself (the crash handler creates it)
    bool besideExecutable = false;
};

// The rule on its own: `xdgConfigHome`, `xdgStateHome` and `home` as the environment gives them
// (empty when unset; relative XDG values are ignored, as the XDG rules say).
AppPaths ResolveAppPaths(const std::string& exeDir, bool exeDirWritable, const std::string& xdgConfigHome,
                         const std::string& xdgStateHome, const std::string& home);

// The rule for this process. In the XDG case the "kelvane" folders are created here, so that a
// later write of "Config.ini" and the crash handler (which creates only "CrashDir" and below)
// find their parents.
AppPaths GetAppPaths();

}  // namespace platform
