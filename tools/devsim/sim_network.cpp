#include "tools/devsim/sim_network.h"

#include <linux/ethtool.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/udp_socket.h"

namespace devsim {

namespace {

struct InterfaceInfo {
    std::string name;
    bool loopback = false;
    bool up = false;
    std::string driver;
};

std::vector<InterfaceInfo> ListInterfaces() {
    std::vector<InterfaceInfo> out;
    platform::UdpSocket probe = platform::UdpSocket::OpenIPv4();
    if (!probe.Valid()) return out;
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return out;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n) {
        InterfaceInfo info;
        info.name = n->if_name;
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, n->if_name, IFNAMSIZ - 1);
        if (ioctl(probe.Fd(), SIOCGIFFLAGS, &ifr) == 0) {
            info.loopback = (ifr.ifr_flags & IFF_LOOPBACK) != 0;
            info.up = (ifr.ifr_flags & IFF_UP) != 0;
        }
        ethtool_drvinfo drv{};
        drv.cmd = ETHTOOL_GDRVINFO;
        ifr.ifr_data = reinterpret_cast<char*>(&drv);
        if (ioctl(probe.Fd(), SIOCETHTOOL, &ifr) == 0) info.driver = drv.driver;
        out.push_back(info);
    }
    if_freenameindex(names);
    return out;
}

// True when the calling thread's namespace has a default route: packets would leave for a
// network beyond the links made here.
bool HasDefaultRoute() {
    std::ifstream routes("/proc/thread-self/net/route");
    std::string line;
    std::getline(routes, line);  // header
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask;
        if (destination == "00000000" && mask == "00000000") return true;
    }
    return false;
}

}  // namespace

bool InPrivateNetwork(std::string* why) {
    struct stat self {
    }, init{};
    if (stat("/proc/thread-self/ns/net", &self) == 0 && stat("/proc/1/ns/net", &init) == 0 &&
        self.st_ino == init.st_ino && self.st_dev == init.st_dev) {
        if (why) *why = "this is the machine's own network namespace";
        return false;
    }
    // Without access to init's namespace (an unprivileged user namespace) the links tell: a
    // private namespace made by a test or the demo has only loopback and veth links.
    for (const InterfaceInfo& info : ListInterfaces()) {
        if (info.loopback || info.driver == "veth") continue;
        if (why) {
            *why = "interface " + info.name + " (driver " + (info.driver.empty() ? "unknown" : info.driver) +
                   ") is not a veth link of a private namespace";
        }
        return false;
    }
    if (HasDefaultRoute()) {
        if (why) *why = "this namespace has a default route to another network";
        return false;
    }
    return true;
}

std::string ChooseInterface(const std::string& requested, std::string* error) {
    if (!requested.empty()) {
        if (if_nametoindex(requested.c_str()) == 0) {
            *error = "there is no interface " + requested + " in this network namespace";
            return {};
        }
        return requested;
    }
    std::string why;
    if (!InPrivateNetwork(&why)) {
        *error = "refusing to simulate devices here: " + why +
                 ". Devices broadcast and take addresses; run inside a private network namespace "
                 "(for example under `unshare -rn`), or name a lab interface on purpose with --interface IF";
        return {};
    }
    std::vector<std::string> up;
    for (const InterfaceInfo& info : ListInterfaces()) {
        if (!info.loopback && info.up) up.push_back(info.name);
    }
    if (up.empty()) return "lo";
    if (up.size() == 1) return up.front();
    std::string list;
    for (const std::string& name : up) list += (list.empty() ? "" : ", ") + name;
    *error = "several interfaces are up (" + list + "); choose one with --interface IF";
    return {};
}

bool IsLocalAddress(in_addr ip) {
    platform::UdpSocket probe = platform::UdpSocket::OpenIPv4();
    return probe.Valid() && probe.Bind(platform::MakeSockaddrIn(ip, 0)) == 0;
}

AddressKeeper::~AddressKeeper() {
    ReleaseAll();
    if (m_fd >= 0) close(m_fd);
}

bool AddressKeeper::Open(const std::string& interfaceName, int prefixLength, std::string* error) {
    m_ifIndex = if_nametoindex(interfaceName.c_str());
    if (m_ifIndex == 0) {
        *error = "there is no interface " + interfaceName;
        return false;
    }
    m_prefix = prefixLength;
    m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (m_fd < 0) {
        *error = std::string("cannot open a netlink socket: ") + std::strerror(errno);
        return false;
    }
    timeval limit{2, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return true;
}

int AddressKeeper::Request(int type, int flags, in_addr ip) {
    struct {
        nlmsghdr nh;
        ifaddrmsg ifa;
        rtattr localHdr;
        in_addr local;
        rtattr addressHdr;
        in_addr address;
    } req{};
    static_assert(sizeof req == 40, "netlink request without padding");
    req.nh.nlmsg_len = sizeof req;
    req.nh.nlmsg_type = static_cast<uint16_t>(type);
    req.nh.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | NLM_F_ACK | flags);
    req.nh.nlmsg_seq = ++m_seq;
    req.ifa.ifa_family = AF_INET;
    req.ifa.ifa_prefixlen = static_cast<unsigned char>(m_prefix);
    req.ifa.ifa_scope = RT_SCOPE_UNIVERSE;
    req.ifa.ifa_index = m_ifIndex;
    req.localHdr.rta_len = sizeof(rtattr) + sizeof(in_addr);
    req.localHdr.rta_type = IFA_LOCAL;
    req.local = ip;
    req.addressHdr = req.localHdr;
    req.addressHdr.rta_type = IFA_ADDRESS;
    req.address = ip;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(m_fd, &req, sizeof req, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) return errno;
    for (;;) {
        char buffer[4096];
        ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0) return errno;
        nlmsghdr hdr{};
        if (static_cast<size_t>(n) < sizeof hdr) return EIO;
        std::memcpy(&hdr, buffer, sizeof hdr);
        if (hdr.nlmsg_seq != m_seq || hdr.nlmsg_type != NLMSG_ERROR) continue;
        nlmsgerr answer{};
        if (static_cast<size_t>(n) < sizeof hdr + sizeof answer) return EIO;
        std::memcpy(&answer, buffer + sizeof hdr, sizeof answer);
        return -answer.error;
    }
}

bool AddressKeeper::Take(in_addr ip, std::string* error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (IsLocalAddress(ip)) return true;
    int result = Request(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, ip);
    if (result == 0) m_added.push_back(ip);
    if (result == 0 || result == EEXIST) return true;
    *error = "cannot add " + platform::FormatIPv4(ip) + "/" + std::to_string(m_prefix) + ": " + std::strerror(result);
    return false;
}

void AddressKeeper::ReleaseAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_added.rbegin(); it != m_added.rend(); ++it) Request(RTM_DELADDR, 0, *it);
    m_added.clear();
}

}  // namespace devsim
