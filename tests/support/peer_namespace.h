#pragma once
// The device side of a test in a network namespace of its own: two ends of a veth pair in one
// namespace do not talk to each other, so the devices sit in a forked child that enters a new
// namespace (inside the test's own) and gets the peer ends of the test's links moved in.
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Runs `body` in a child in a fresh network namespace, once `links` (interfaces of the test's
// namespace) have been moved into it; loopback is up there. Returns the body's result (0 to 255),
// or -1 when the child could not be set up or did not end within `timeoutMs` (it is killed).
int RunInPeerNamespace(const std::vector<std::string>& links, const std::function<int()>& body, int timeoutMs);

// The same for code that joins the namespace itself (the device simulator): a fresh namespace held
// open by a descriptor, with `peer` moved in, up, and given `cidr`.
class PeerNamespace {
public:
    PeerNamespace(const std::string& peer, const std::string& cidr);
    ~PeerNamespace();
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Path() const { return m_path; }  // for setns and nsenter --net=
    // Runs "ip `args`" inside; its exit status.
    int Ip(const std::string& args) const;

private:
    int m_fd = -1;
    bool m_ok = false;
    std::string m_path;
};

}  // namespace testsupport
