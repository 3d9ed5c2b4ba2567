#include "platform/udp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool ParseIPv4(const char* text, in_addr* out) {
    if (text == nullptr || out == nullptr) return false;
    return inet_pton(AF_INET, text, out) == 1;
}

std::string FormatIPv4(in_addr addr) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

sockaddr_in MakeSockaddrIn(in_addr addr, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr = addr;
    return sa;
}

UdpSocket::~UdpSocket() { Close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

UdpSocket UdpSocket::OpenIPv4() { return UdpSocket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP)); }

void UdpSocket::Close() {
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

bool UdpSocket::SetNonBlocking(bool on) {
    int flags = fcntl(m_fd, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(m_fd, F_SETFL, flags) == 0;
}

static bool SetIntOption(int fd, int level, int name, int value) {
    return setsockopt(fd, level, name, &value, sizeof value) == 0;
}

bool UdpSocket::SetReuseAddress(bool on) { return SetIntOption(m_fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }

bool UdpSocket::SetBroadcast(bool on) { return SetIntOption(m_fd, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0); }

bool UdpSocket::SetReceiveBuffer(int bytes) {
    return SetIntOption(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, bytes) || SetIntOption(m_fd, SOL_SOCKET, SO_RCVBUF, bytes);
}

int UdpSocket::Bind(const char* ipv4, uint16_t port) {
    in_addr addr{};
    if (!ParseIPv4(ipv4, &addr)) return EINVAL;
    return Bind(MakeSockaddrIn(addr, port));
}

int UdpSocket::Bind(const sockaddr_in& addr) {
    if (bind(m_fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return errno;
    return 0;
}

int UdpSocket::WaitReadable(int timeoutMs, int wakeFd) const {
    pollfd pfd[2] = {{m_fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int rc = poll(pfd, wakeFd >= 0 ? 2 : 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        if (rc > 0 && wakeFd >= 0 && (pfd[1].revents & POLLIN) != 0) return 2;
        return rc > 0 ? 1 : 0;
    }
}

long UdpSocket::SendTo(const void* data, size_t size, const sockaddr_in& to) const {
    return sendto(m_fd, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

long UdpSocket::SendToVia(const void* data, size_t size, const sockaddr_in& to, unsigned ifindex) const {
    if (ifindex == 0) return SendTo(data, size, to);
    iovec iov{const_cast<void*>(data), size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in*>(&to);
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = static_cast<int>(ifindex);
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    return sendmsg(m_fd, &msg, MSG_NOSIGNAL);
}

long UdpSocket::ReceiveFrom(void* buffer, size_t size, sockaddr_in* from) const {
    sockaddr_in dummy{};
    socklen_t len = sizeof dummy;
    sockaddr_in* target = from != nullptr ? from : &dummy;
    return recvfrom(m_fd, buffer, size, MSG_TRUNC, reinterpret_cast<sockaddr*>(target), &len);
}

bool UdpSocket::SetReceiveDestination(bool on) { return SetIntOption(m_fd, IPPROTO_IP, IP_PKTINFO, on ? 1 : 0); }

long UdpSocket::ReceiveWithDestination(void* buffer, size_t size, in_addr* destination, unsigned* ifindex,
                                       sockaddr_in* from) const {
    iovec iov{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    if (from != nullptr) {
        *from = sockaddr_in{};
        msg.msg_name = from;
        msg.msg_namelen = sizeof *from;
    }
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    destination->s_addr = 0;
    *ifindex = 0;
    long received = recvmsg(m_fd, &msg, MSG_TRUNC);
    if (received < 0) return received;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        *destination = info.ipi_addr;
        *ifindex = static_cast<unsigned>(info.ipi_ifindex);
    }
    return received;
}

}  // namespace platform
