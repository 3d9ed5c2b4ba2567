#pragma once
// The device side of a test in a network namespace of its own: two ends of a veth pair in one
// namespace do not talk to each other, so the devices get a fresh namespace (inside the test's
// own), held open by a descriptor, with the peer end of the test's link moved in.
#include <functional>
#include <string>

namespace testsupport {

// `peer` is moved in, brought up and given `cidr`; loopback is up too.
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
    // Runs `body` on a thread inside, so the sockets it opens and the commands it runs are the
    // devices'; the body's result, or -1 when the thread could not enter.
    int Run(const std::function<int()>& body) const;

private:
    int m_fd = -1;
    bool m_ok = false;
    std::string m_path;
};

}  // namespace testsupport
