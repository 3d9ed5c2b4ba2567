#pragma once
// Small RAII layer over POSIX UDP sockets: the calls the device listener, the reply sender and
// the TFTP service make, each returning a result the caller can branch on.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Parses dotted-decimal IPv4 text; false for anything else (no name lookup).
bool ParseIPv4(const char* text, in_addr* out);
std::string FormatIPv4(in_addr addr);
sockaddr_in MakeSockaddrIn(in_addr addr, uint16_t port);

class UdpSocket {
public:
    UdpSocket() = default;
    explicit UdpSocket(int fd) : m_fd(fd) {}
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;

    // An IPv4 datagram socket; Valid() is false and errno tells why when it cannot be made.
    static UdpSocket OpenIPv4();

    bool Valid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Close();

    bool SetNonBlocking(bool on);
    bool SetReuseAddress(bool on);
    bool SetBroadcast(bool on);
    // Asks for a kernel receive buffer of `bytes` (as root beyond the system's cap); true when set.
    bool SetReceiveBuffer(int bytes);
    // 0 on success, otherwise the errno of the failing step (bad address text gives EINVAL).
    int Bind(const char* ipv4, uint16_t port);
    int Bind(const sockaddr_in& addr);

    // 1 readable, 0 time-out, -1 error (errno set), 2 when `wakeFd` (if not -1) became readable
    // first. A negative time-out waits without limit.
    int WaitReadable(int timeoutMs, int wakeFd = -1) const;
    // As sendto(2): bytes sent or -1.
    long SendTo(const void* data, size_t size, const sockaddr_in& to) const;
    // As SendTo, leaving through interface `ifindex` (0: wherever routing sends it). A broadcast
    // from a host with several interfaces would otherwise take the default route's.
    long SendToVia(const void* data, size_t size, const sockaddr_in& to, unsigned ifindex) const;
    // Receives one datagram. Returns its full length even when it was longer than the buffer
    // (the excess is discarded), so callers can tell a cut datagram; -1 on error.
    long ReceiveFrom(void* buffer, size_t size, sockaddr_in* from) const;
    // Asks the kernel to tell each datagram's destination address and arrival interface.
    bool SetReceiveDestination(bool on);
    // As ReceiveFrom, also giving where the datagram was sent to and the interface it came in on
    // (with SetReceiveDestination on; otherwise both are left zero), and its sender when `from` is given.
    long ReceiveWithDestination(void* buffer, size_t size, in_addr* destination, unsigned* ifindex,
                                sockaddr_in* from = nullptr) const;

private:
    int m_fd = -1;
};

}  // namespace platform
