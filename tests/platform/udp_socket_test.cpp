#include "platform/udp_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace {

// A datagram with a NUL inside arrives whole with its sender's port; a cut one reports its full length.
TEST(UdpSocket, BindSendReceiveOnLoopback) {
    platform::UdpSocket a = platform::UdpSocket::OpenIPv4();
    platform::UdpSocket b = platform::UdpSocket::OpenIPv4();
    ASSERT_TRUE(a.Valid() && b.Valid());
    ASSERT_EQ(a.Bind("127.0.0.1", 0), 0);
    ASSERT_EQ(b.Bind("127.0.0.1", 0), 0);
    ASSERT_NE(a.LocalPort(), 0);
    in_addr lo{};
    ASSERT_TRUE(platform::ParseIPv4("127.0.0.1", &lo));
    std::string text("hello\0tail", 10);
    std::string big(3000, 'z');
    EXPECT_EQ(b.SendTo(text.data(), text.size(), platform::MakeSockaddrIn(lo, a.LocalPort())), 10);
    EXPECT_EQ(b.SendTo(big.data(), big.size(), platform::MakeSockaddrIn(lo, a.LocalPort())), 3000);
    char buf[100] = {};
    sockaddr_in from{};
    ASSERT_EQ(a.WaitReadable(1000), 1);
    EXPECT_EQ(a.ReceiveFrom(buf, sizeof buf, &from), 10);
    EXPECT_EQ(std::string(buf, 10), text);
    EXPECT_EQ(ntohs(from.sin_port), b.LocalPort());
    ASSERT_EQ(a.WaitReadable(1000), 1);
    EXPECT_EQ(a.ReceiveFrom(buf, sizeof buf, nullptr), 3000);
    EXPECT_EQ(std::string(buf, sizeof buf), big.substr(0, sizeof buf));
}

TEST(UdpSocket, WaitTimesOutAndNonBlockingReceiveDoesNotHang) {
    platform::UdpSocket a = platform::UdpSocket::OpenIPv4();
    ASSERT_EQ(a.Bind("127.0.0.1", 0), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(a.WaitReadable(50), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));
    ASSERT_TRUE(a.SetNonBlocking(true));
    EXPECT_NE(fcntl(a.Fd(), F_GETFL) & O_NONBLOCK, 0);
    char buf[8];
    EXPECT_EQ(a.ReceiveFrom(buf, sizeof buf, nullptr), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
}

TEST(UdpSocket, BindErrorsAreReported) {
    platform::UdpSocket a = platform::UdpSocket::OpenIPv4();
    EXPECT_EQ(a.Bind("not an address", 0), EINVAL);
    EXPECT_EQ(a.Bind("10.200.1.1", 0), EADDRNOTAVAIL);

    // Two sockets on one port need address reuse on both.
    platform::UdpSocket first = platform::UdpSocket::OpenIPv4();
    ASSERT_EQ(first.Bind("127.0.0.1", 0), 0);
    platform::UdpSocket second = platform::UdpSocket::OpenIPv4();
    EXPECT_EQ(second.Bind("127.0.0.1", first.LocalPort()), EADDRINUSE);

    platform::UdpSocket r1 = platform::UdpSocket::OpenIPv4();
    platform::UdpSocket r2 = platform::UdpSocket::OpenIPv4();
    ASSERT_TRUE(r1.SetReuseAddress(true) && r2.SetReuseAddress(true));
    ASSERT_EQ(r1.Bind("127.0.0.1", 0), 0);
    EXPECT_EQ(r2.Bind("127.0.0.1", r1.LocalPort()), 0);
}

TEST(UdpSocket, BroadcastNeedsTheOptionAndMovesKeepOneOwner) {
    platform::UdpSocket s = platform::UdpSocket::OpenIPv4();
    ASSERT_EQ(s.Bind("127.0.0.1", 0), 0);
    in_addr bcast{};
    ASSERT_TRUE(platform::ParseIPv4("255.255.255.255", &bcast));
    const char byte = 'x';
    EXPECT_EQ(s.SendTo(&byte, 1, platform::MakeSockaddrIn(bcast, 10010)), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_TRUE(s.SetBroadcast(true));

    int fd = s.Fd();
    platform::UdpSocket moved = std::move(s);
    EXPECT_FALSE(s.Valid());
    EXPECT_EQ(moved.Fd(), fd);
    moved.Close();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed exactly once
}

TEST(Ipv4Text, ParseAndFormat) {
    in_addr addr{};
    EXPECT_TRUE(platform::ParseIPv4("192.168.1.77", &addr));
    EXPECT_EQ(platform::FormatIPv4(addr), "192.168.1.77");
    EXPECT_FALSE(platform::ParseIPv4("192.168.1", &addr));
    EXPECT_FALSE(platform::ParseIPv4("localhost", &addr));
    EXPECT_FALSE(platform::ParseIPv4(nullptr, &addr));
}

}  // namespace
