#pragma once
// A veth pair inside the test's own network namespace, removed again at destruction.
#include <fstream>
#include <string>

#include "support/netns.h"

namespace testsupport {

class VethLink {
public:
    // Creates `name` with its peer `name`+"p", both up, `name` with `mac` when given.
    explicit VethLink(const std::string& name, const std::string& mac = "") : m_name(name) {
        m_ok = RunCommand("ip link add " + name + " type veth peer name " + Peer()) == 0 &&
               (mac.empty() || RunCommand("ip link set " + name + " address " + mac) == 0) &&
               RunCommand("ip link set " + name + " up") == 0 && RunCommand("ip link set " + Peer() + " up") == 0;
    }
    ~VethLink() { RunCommand("ip link del " + m_name + " 2>/dev/null"); }
    VethLink(const VethLink&) = delete;
    VethLink& operator=(const VethLink&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    std::string Peer() const { return m_name + "p"; }
    // Adds an IPv4 address with prefix length ("10.77.0.1/24") to `device` (this link's end by default).
    bool AddAddress(const std::string& cidr, const std::string& device = "") {
        return RunCommand("ip addr add " + cidr + " dev " + (device.empty() ? m_name : device)) == 0;
    }

private:
    std::string m_name;
    bool m_ok = false;
};

// Lets every group use the unprivileged ICMP datagram socket in this namespace (per namespace, so
// this changes nothing outside the test).
inline bool AllowPingSockets(bool allow) {
    std::ofstream out("/proc/sys/net/ipv4/ping_group_range");
    out << (allow ? "0 2147483647" : "1 0");
    out.close();
    return static_cast<bool>(out);
}

}  // namespace testsupport
