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

// Folders the system's packages own: a program installed there keeps its files in the user's
// folders, even when run as root (for whom every folder is writable).
bool IsSystemFolder(const std::string& dir) {
    static const char* const kSystemRoots[] = {"/usr",    "/bin", "/sbin", "/lib", "/lib32", "/lib64",
                                               "/libx32", "/opt", "/etc",  "/var", "/boot",  "/snap"};
    if (dir.empty() || dir == "/") return true;
    for (const char* root : kSystemRoots) {
        std::string prefix(root);
        if (dir.compare(0, prefix.size(), prefix) == 0 && (dir.size() == prefix.size() || dir[prefix.size()] == '/'))
            return true;
    }
    return false;
}

std::string Place(const char* name, const char* variable, const char* fallback) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (!g_override.empty()) return g_override + "/" + name;
    }
    std::string dir = ExecutableDir();
    if (FilesBelongBeside(dir, geteuid())) return dir + "/" + name;
    return XdgDir(variable, fallback) + "/" + name;
}

}  // namespace

bool FilesBelongBeside(const std::string& exeDir, unsigned user) {
    // A Config.ini left in a system folder (by a root run of an older version) is not followed.
    if (IsSystemFolder(exeDir)) return false;
    // An unpacked build that already keeps its settings there goes on doing so.
    if (access((exeDir + "/Config.ini").c_str(), F_OK) == 0) return true;
    struct stat st {};
    if (stat(exeDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    return st.st_uid == user && access(exeDir.c_str(), W_OK) == 0;
}

std::string ConfigIniPath() {
    return Place("Config.ini", "XDG_CONFIG_HOME", ".config");
}

std::string CrashDirPath() {
    return Place("CrashDir", "XDG_STATE_HOME", ".local/state");
}

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
