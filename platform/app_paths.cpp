#include "platform/app_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/module_path.h"

namespace platform {
namespace {

std::string EnvOrEmpty(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// XDG base folders must be absolute; anything else is treated as unset.
std::string XdgBase(const std::string& value, const std::string& home, const char* fallback) {
    if (!value.empty() && value[0] == '/') return value;
    return (home.empty() ? std::string("/tmp") : home) + fallback;
}

void MakeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0700);
    }
    mkdir(path.c_str(), 0700);
}

}  // namespace

AppPaths ResolveAppPaths(const std::string& exeDir, bool exeDirWritable, const std::string& xdgConfigHome,
                         const std::string& xdgStateHome, const std::string& home) {
    AppPaths paths;
    if (exeDirWritable) {
        std::string dir = exeDir == "/" ? "" : exeDir;
        paths.configFile = dir + "/Config.ini";
        paths.crashDir = dir + "/CrashDir";
        paths.besideExecutable = true;
        return paths;
    }
    paths.configFile = XdgBase(xdgConfigHome, home, "/.config") + "/kelvane/Config.ini";
    paths.crashDir = XdgBase(xdgStateHome, home, "/.local/state") + "/kelvane/CrashDir";
    return paths;
}

AppPaths GetAppPaths() {
    std::string exeDir = ExecutableDir();
    AppPaths paths = ResolveAppPaths(exeDir, access(exeDir.c_str(), W_OK) == 0, EnvOrEmpty("XDG_CONFIG_HOME"),
                                     EnvOrEmpty("XDG_STATE_HOME"), EnvOrEmpty("HOME"));
    if (!paths.besideExecutable) {
        MakeFolders(paths.configFile.substr(0, paths.configFile.rfind('/')));
        MakeFolders(paths.crashDir.substr(0, paths.crashDir.rfind('/')));
    }
    return paths;
}

}  // namespace platform
