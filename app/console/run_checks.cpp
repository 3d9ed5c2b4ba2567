#include "app/console/run_checks.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/system_error_text.h"

namespace {

const char* Say(bool english, const char* en, const char* zh) {
    return english ? en : zh;
}

std::string Fill(std::string text, const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string mark = std::to_string(i + 1);
        mark.insert(mark.begin(), '%');  // not "%" + ...: GCC 12 at -O3 warns falsely (-Wrestrict)
        for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + args[i].size())) {
            text.replace(at, mark.size(), args[i]);
        }
    }
    return text;
}

struct HostAddress {
    std::string name, address;
    bool up = false, link = false, loopback = false;
};

std::vector<HostAddress> HostAddresses() {
    std::vector<HostAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
        HostAddress h;
        h.name = a->ifa_name;
        h.address = text;
        h.up = (a->ifa_flags & IFF_UP) != 0;
        h.link = (a->ifa_flags & IFF_RUNNING) != 0;
        h.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(h);
    }
    freeifaddrs(list);
    return out;
}

}  // namespace

std::string CheckOutputPath(const std::string& option, const std::string& path, bool english) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return Fill(Say(english, "%1 %2 is a folder. Give a file name, for example %2/results.csv.",
                        "%1 %2 是一个目录。请给出文件名，例如 %2/results.csv。"),
                    {option, path});
    }
    if (stat(folder.c_str(), &st) != 0) {
        return Fill(Say(english, "%1 %2: the folder %3 cannot be used (%4). Create it or give another %1 path.",
                        "%1 %2：目录 %3 无法使用（%4）。请先创建它，或换一个 %1 路径。"),
                    {option, path, folder, platform::SystemErrorText(errno, english)});
    }
    if (!S_ISDIR(st.st_mode)) {
        return Fill(Say(english, "%1 %2: %3 is a file, not a folder. Give another %1 path.",
                        "%1 %2：%3 是文件而不是目录。请换一个 %1 路径。"),
                    {option, path, folder});
    }
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        return Fill(Say(english, "%1 %2: cannot write in the folder %3 (%4). Give a path in a folder you may write to.",
                        "%1 %2：无法在目录 %3 中写入（%4）。请换一个可写目录中的路径。"),
                    {option, path, folder, platform::SystemErrorText(errno, english)});
    }
    return "";
}

std::string CheckFirmwareFolder(const std::string& folder, bool english) {
    struct stat st {};
    if (stat(folder.c_str(), &st) != 0) {
        return Fill(Say(english, "--folder %1 cannot be used: %2. Give the folder that holds the firmware files.",
                        "--folder %1 无法使用：%2。请给出存放固件文件的目录。"),
                    {folder, platform::SystemErrorText(errno, english)});
    }
    if (!S_ISDIR(st.st_mode)) {
        return Fill(Say(english, "--folder %1 is a file, not a folder. Give the folder that holds the firmware files.",
                        "--folder %1 是文件而不是目录。请给出存放固件文件的目录。"),
                    {folder});
    }
    if (access(folder.c_str(), R_OK | X_OK) != 0) {
        return Fill(
            Say(english, "--folder %1 cannot be read: %2. Run as a user who may read it, or give another folder.",
                "--folder %1 无法读取：%2。请以有权读取的用户运行，或换一个目录。"),
            {folder, platform::SystemErrorText(errno, english)});
    }
    return "";
}

std::string DescribeHostAddresses(bool english) {
    std::string out;
    for (const HostAddress& h : HostAddresses()) {
        if (!out.empty()) out += ", ";
        const char* state = !h.up                    ? Say(english, "down", "未启用")
                            : !h.link && !h.loopback ? Say(english, "up, no link", "已启用，无链路")
                                                     : Say(english, "up", "已启用");
        out += h.name + " " + h.address + " (" + state + ")";
    }
    return out.empty() ? Say(english, "none", "无") : out;
}

std::string CheckServeAddress(const std::string& address, bool english) {
    if (address.empty()) {
        return Fill(
            Say(english,
                "This computer has no IPv4 address on an interface that is up (its addresses: %1). Bring an "
                "interface up with an address and give it with --address.",
                "本机没有已启用接口上的IPv4地址（本机地址：%1）。请启用一个有地址的接口，并用 --address 指定它。"),
            {DescribeHostAddresses(english)});
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return Fill(Say(english, "--address %1 is not an IPv4 address. This computer's IPv4 addresses: %2.",
                        "--address %1 不是IPv4地址。本机的IPv4地址：%2。"),
                    {address, DescribeHostAddresses(english)});
    }
    for (const HostAddress& h : HostAddresses()) {
        if (h.address != address) continue;
        if (!h.up) {
            return Fill(Say(english,
                            "--address %1 is on %2, which is down. Bring it up (ip link set %2 up) or choose another "
                            "--address: %3.",
                            "--address %1 所在的接口 %2 未启用。请启用它（ip link set %2 up）或换一个 --address：%3。"),
                        {address, h.name, DescribeHostAddresses(english)});
        }
        if (!h.link && !h.loopback) {
            return Fill(
                Say(english,
                    "--address %1 is on %2, which has no link (cable unplugged or the switch port off), so no "
                    "device can reach it. Connect it or choose another --address: %3.",
                    "--address %1 所在的接口 %2 没有链路（网线未接或交换机端口关闭），设备无法访问。请接好网线或换一个 "
                    "--address：%3。"),
                {address, h.name, DescribeHostAddresses(english)});
        }
        return "";
    }
    return Fill(Say(english, "--address %1 is not an address of this computer. Its IPv4 addresses: %2.",
                    "--address %1 不是本机的地址。本机的IPv4地址：%2。"),
                {address, DescribeHostAddresses(english)});
}
