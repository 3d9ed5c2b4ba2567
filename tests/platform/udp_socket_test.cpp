#include "platform/udp_socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace {

// What the wrapper adds to the kernel's sockets: text that is no address is refused before any
// call, and a moved socket has one owner that closes it once. Sending and receiving are covered
// by every test that talks to a peer.
TEST(UdpSocket, RefusesTextThatIsNoAddressAndMovesKeepOneOwner) {
    platform::UdpSocket s = platform::UdpSocket::OpenIPv4();
    ASSERT_TRUE(s.Valid());
    EXPECT_EQ(s.Bind("not an address", 0), EINVAL);
    in_addr addr{};
    EXPECT_FALSE(platform::ParseIPv4(nullptr, &addr));
    EXPECT_FALSE(platform::ParseIPv4("192.168.1", &addr));

    int fd = s.Fd();
    platform::UdpSocket moved = std::move(s);
    EXPECT_FALSE(s.Valid());
    EXPECT_EQ(moved.Fd(), fd);
    moved.Close();
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed exactly once
}

}  // namespace
