// The socket a run hears its devices on (declared with the dispatcher, which takes it over).
#include <arpa/inet.h>

#include <cerrno>

#include "messaging/dispatch.h"
#include "platform/udp_socket.h"

namespace {
// About two seconds of a 10,000-a-second flood (the kernel counts some 1 KiB per small datagram):
// what the listener must ride out when the host is too busy to run it.
constexpr int kListenReceiveBuffer = 16 * 1024 * 1024;
}  // namespace

bool DeviceListenSocket::Accepts(in_addr destination, unsigned ifindex) const {
    if (ifindex != iface.index) return false;
    return destination.s_addr == iface.address.s_addr || destination.s_addr == htonl(INADDR_BROADCAST) ||
           (iface.broadcast.s_addr != htonl(INADDR_ANY) && destination.s_addr == iface.broadcast.s_addr);
}

int OpenDeviceListenSocket(const char* localIp, DeviceListenSocket* out) {
    if (!platform::FindLocalInterface(localIp, &out->iface)) return EADDRNOTAVAIL;
    out->socket = platform::UdpSocket::OpenIPv4();
    if (!out->socket.Valid()) return errno;
    if (!out->socket.SetNonBlocking(true) || !out->socket.SetReceiveDestination(true)) {
        int error = errno;
        out->socket.Close();
        return error;
    }
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    int error = out->socket.Bind(platform::MakeSockaddrIn(any, kDeviceListenPort));
    if (error != 0) {
        out->socket.Close();
        return error;
    }
    // Many devices report at once after a reboot wave; a roomy kernel buffer rides out a burst
    // while the listener is busy, instead of dropping reports.
    out->socket.SetReceiveBuffer(kListenReceiveBuffer);
    return 0;
}
