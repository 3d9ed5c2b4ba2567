#pragma once
// What the simulator needs of the host's network: knowing whether it sits in a private network
// namespace, choosing the interface its devices live on, and adding the addresses they are lent.
#include <netinet/in.h>

#include <mutex>
#include <string>
#include <vector>

namespace devsim {

// Whether the calling thread's network namespace is one made for tests or a demo: not the
// machine's own (when that can be told) and holding only loopback and veth interfaces. `why`
// receives the reason when it is not.
bool InPrivateNetwork(std::string* why);

// The interface the devices use. An explicit name must exist. Without one the namespace must be
// private; then its only non-loopback interface that is up is taken, or "lo" when there is none.
// Empty with `error` set when no choice can be made.
std::string ChooseInterface(const std::string& requested, std::string* error);

// Adds and removes IPv4 addresses on one interface through rtnetlink, in the namespace the
// object was made in (its socket stays bound to that namespace whatever thread calls it later).
class AddressKeeper {
public:
    AddressKeeper() = default;
    ~AddressKeeper();
    AddressKeeper(const AddressKeeper&) = delete;
    AddressKeeper& operator=(const AddressKeeper&) = delete;

    bool Open(const std::string& interfaceName, int prefixLength, std::string* error);
    // Makes `ip` an address of this host. An address that already is one is used as it is and
    // never removed. False with `error` when the kernel refuses.
    bool Take(in_addr ip, std::string* error);
    // Removes the addresses Take added, newest first (the oldest may be the subnet's primary,
    // whose removal would take the others along).
    void ReleaseAll();
    unsigned InterfaceIndex() const { return m_ifIndex; }

private:
    int Request(int type, int flags, in_addr ip);
    std::mutex m_mutex;
    int m_fd = -1;
    unsigned m_ifIndex = 0;
    int m_prefix = 24;
    unsigned m_seq = 0;
    std::vector<in_addr> m_added;
};

// True when a socket can be bound to `ip`, i.e. the address is already this host's.
bool IsLocalAddress(in_addr ip);

}  // namespace devsim
