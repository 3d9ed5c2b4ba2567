#include "platform/app_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <mutex>

#include "platform/module_path.h"

namespace platform {

namespace {

std::mutex g_mutex;
std::string g_override;

// $VAR, else $HOME/fallback, else /tmp; with "/kelvane" appended.
std::string XdgDir(const char* variable, const char* fallback) {
    const char* set = std::getenv(variable);
    if (set != nullptr && set[0] == '/') return std::string(set) + "/kelvane";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && home[0] != '\0' ? home : "/tmp") + "/" + fallback + "/kelvane";
}

std::string Place(const char* name, const char* variable, const char* fallback) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_override.empty()) return g_override + "/" + name;
    }
    std::string dir = ExecutableDir();
    if (access(dir.c_str(), W_OK) == 0) return dir + "/" + name;
    return XdgDir(variable, fallback) + "/" + name;
}

}  // namespace

std::string ConfigIniPath() { return Place("Config.ini", "XDG_CONFIG_HOME", ".config"); }

std::string CrashDirPath() { return Place("CrashDir", "XDG_STATE_HOME", ".local/state"); }

bool MakeParentDirs(const std::string& file) {
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1)) {
        std::string dir = file.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

void SetAppFilesDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_override = dir;
}

}  // namespace platform
