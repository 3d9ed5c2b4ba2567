#include "platform/net_interface.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

namespace platform {

bool FindLocalInterface(const char* ipv4, LocalInterface* out) {
    in_addr wanted{};
    if (ipv4 == nullptr || inet_pton(AF_INET, ipv4, &wanted) != 1) return false;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    bool found = false;
    for (const ifaddrs* ifa = list; ifa != nullptr && !found; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr != wanted.s_addr) continue;
        std::string name = ifa->ifa_name;
        name = name.substr(0, name.find(':'));
        out->name = name;
        out->index = if_nametoindex(name.c_str());
        out->address = wanted;
        out->loopback = (ifa->ifa_flags & IFF_LOOPBACK) != 0;
        out->broadcast.s_addr = htonl(INADDR_ANY);
        if ((ifa->ifa_flags & IFF_BROADCAST) != 0 && ifa->ifa_broadaddr != nullptr) {
            out->broadcast = reinterpret_cast<const sockaddr_in*>(ifa->ifa_broadaddr)->sin_addr;
        }
        found = out->index != 0;
    }
    freeifaddrs(list);
    return found;
}

namespace {

// Socket inodes bound to the local `port` in one of /proc/net/udp and udp6.
void CollectPortInodes(const char* table, uint16_t port, std::set<std::string>* inodes) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
        size_t colon = local.rfind(':');
        if (colon == std::string::npos || inode.empty() || inode == "0") continue;
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes->insert(inode);
    }
}

}  // namespace

std::string DescribeUdpPortHolder(uint16_t port) {
    std::set<std::string> inodes;
    CollectPortInodes("/proc/net/udp", port, &inodes);
    CollectPortInodes("/proc/net/udp6", port, &inodes);
    if (inodes.empty()) return {};
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return {};
    std::string holder;
    while (const dirent* entry = readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
        std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) continue;  // another user's process: not ours to look into
        while (const dirent* fd = readdir(fds)) {
            char target[64] = {};
            std::string link = fdDir + "/" + fd->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
            std::string text = target;
            if (text.rfind("socket:[", 0) != 0 || inodes.count(text.substr(8, text.size() - 9)) == 0) continue;
            std::string comm;
            std::ifstream(std::string("/proc/") + entry->d_name + "/comm") >> comm;
            holder = std::string("pid ") + entry->d_name + " (" + comm + ")";
            break;
        }
        closedir(fds);
        if (!holder.empty()) break;
    }
    closedir(proc);
    return holder;
}

}  // namespace platform
