#pragma once
// A veth pair inside the test's own network namespace, removed again at destruction.
#include <string>
#include <vector>

namespace testsupport {

class VethLink {
public:
    // Creates `name` with its peer `name`+"p", both up, `name` with `mac` when given.
    explicit VethLink(const std::string& name, const std::string& mac = "");
    ~VethLink();
    VethLink(const VethLink&) = delete;
    VethLink& operator=(const VethLink&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    std::string Peer() const { return m_name + "p"; }
    // Adds an IPv4 address with prefix length ("10.77.0.1/24") to `device` (this link's end by default).
    bool AddAddress(const std::string& cidr, const std::string& device = "");

private:
    std::string m_name;
    bool m_ok = false;
};

// Lets every group use the unprivileged ICMP datagram socket in this namespace.
bool AllowPingSockets(bool allow);

}  // namespace testsupport
