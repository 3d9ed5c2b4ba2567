#include "app/console/window_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

bool IsProgram(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Connects to a Unix socket and lets go at once; empty when it answered, else why not.
std::string TryConnect(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return "path too long";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    int result = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int saved = errno;
    close(fd);
    return result == 0 || saved == EAGAIN || saved == EINPROGRESS ? "" : std::strerror(saved);
}

}  // namespace

std::string FindWindowProgram() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        std::string dir(self);
        dir.erase(dir.rfind('/'));
        for (const std::string& candidate : {dir + "/kelvane", dir + "/../qt/kelvane"}) {
            if (IsProgram(candidate)) return candidate;
        }
    }
    const std::string path = Env("PATH");
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find(':', start);
        if (end == std::string::npos) end = path.size();
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty() && IsProgram(dir + "/kelvane")) return dir + "/kelvane";
        start = end + 1;
    }
    return "";
}

bool DisplayReachable(std::string* error) {
    const std::string platform = Env("QT_QPA_PLATFORM");
    if (platform.rfind("offscreen", 0) == 0 || platform.rfind("minimal", 0) == 0) return true;
    const std::string wayland = Env("WAYLAND_DISPLAY"), x11 = Env("DISPLAY");
    if (wayland.empty() && x11.empty()) {
        *error =
            "no display: DISPLAY and WAYLAND_DISPLAY are unset (run it in a graphical session, or without "
            "--window for the console table)";
        return false;
    }
    std::string why;
    if (!wayland.empty()) {
        const std::string socket = wayland[0] == '/' ? wayland : Env("XDG_RUNTIME_DIR") + "/" + wayland;
        const std::string failed = TryConnect(socket);
        if (failed.empty()) return true;
        why = "WAYLAND_DISPLAY " + wayland + ": " + socket + ": " + failed;
    }
    if (!x11.empty()) {
        // ":N", ":N.S" or "unix:N" use the local socket; "host:N" is TCP.
        const size_t colon = x11.rfind(':');
        const std::string host = colon == std::string::npos ? x11 : x11.substr(0, colon);
        std::string number = colon == std::string::npos ? "" : x11.substr(colon + 1);
        number = number.substr(0, number.find('.'));
        const std::string socket = "/tmp/.X11-unix/X" + number;
        std::string failed = "a display over TCP";
        if ((host.empty() || host == "unix") && !number.empty()) {
            failed = TryConnect(socket);
            if (failed.empty()) return true;
            failed = socket + ": " + failed;
        }
        why += std::string(why.empty() ? "" : "; ") + "DISPLAY " + x11 + ": " + failed;
    }
    *error = "no display reachable from the demo's private network namespace (" + why +
             "). Only X11's file-system socket (/tmp/.X11-unix/X<n>) or a Wayland socket works across network "
             "namespaces, not X11's abstract socket or TCP";
    return false;
}

pid_t StartProgram(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                   const std::vector<std::string>& environment, std::string* error) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        bool replaced = false;
        for (const std::string& added : environment) {
            replaced = replaced || added.compare(0, added.find('=') + 1, entry, 0, added.find('=') + 1) == 0;
        }
        if (!replaced) envp.push_back(*e);
    }
    for (const std::string& added : environment) envp.push_back(const_cast<char*>(added.c_str()));
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec: other threads may hold locks.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
        if (chdir(folder.c_str()) != 0) _exit(126);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) dup2(null, STDOUT_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (child < 0) {
        *error = std::string("cannot start ") + program + ": " + std::strerror(errno);
        return -1;
    }
    return child;
}
