#include "support/veth_link.h"

#include <fstream>

#include "support/netns.h"

namespace testsupport {

VethLink::VethLink(const std::string& name, const std::string& mac) : m_name(name) {
    m_ok = testsupport::RunCommand("ip link add " + name + " type veth peer name " + Peer()) == 0;
    if (m_ok && !mac.empty()) m_ok = testsupport::RunCommand("ip link set " + name + " address " + mac) == 0;
    if (m_ok) {
        m_ok = testsupport::RunCommand("ip link set " + name + " up") == 0 &&
               testsupport::RunCommand("ip link set " + Peer() + " up") == 0;
    }
}

VethLink::~VethLink() {
    testsupport::RunCommand("ip link del " + m_name + " 2>/dev/null");
}

bool VethLink::AddAddress(const std::string& cidr, const std::string& device) {
    return testsupport::RunCommand("ip addr add " + cidr + " dev " + (device.empty() ? m_name : device)) == 0;
}

bool AllowPingSockets(bool allow) {
    // Per network namespace, so this changes nothing outside the test.
    std::ofstream out("/proc/sys/net/ipv4/ping_group_range");
    out << (allow ? "0 2147483647" : "1 0");
    out.close();
    return static_cast<bool>(out);
}

}  // namespace testsupport
