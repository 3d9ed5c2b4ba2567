#include "negotiation/local_identity.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "support/netns.h"
#include "support/veth_link.h"

namespace {

std::vector<std::string> ListAddresses() {
    char list[kLocalIpMaxCount][kLocalIpSlotSize];
    std::memset(list, 0, sizeof list);
    int count = GetLocalIpList(list);
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) out.emplace_back(list[i]);
    // Slots after the last entry stay empty, so the window's "empty slot ends the list" holds.
    EXPECT_TRUE(count == kLocalIpMaxCount || list[count][0] == '\0');
    return out;
}

std::string Mac(const char* localIp, int* result) {
    char text[kLocalMacTextSize];
    std::memset(text, 'x', sizeof text);
    *result = GetMacAddress(text, localIp);
    return text;
}

TEST(LocalIdentity, UpAddressesUpToSixteenLoopbackLastAndTheMacCarryingEach) {
    int result = 0;
    EXPECT_EQ(Mac("127.0.0.1", &result), "");  // only lo: no adapter is an error
    EXPECT_NE(result, 0);
    EXPECT_NE(GetMacAddress(nullptr, nullptr), 0);
    testsupport::VethLink link("kvid0", "02:0a:bc:de:f0:1a");
    ASSERT_TRUE(link.Ok() && link.AddAddress("10.77.0.1/24") && link.AddAddress("10.77.1.1/24", link.Peer()));
    // A labelled secondary address belongs to the same interface.
    const std::string peer = link.Peer();
    ASSERT_EQ(0, testsupport::RunCommand("ip link set " + peer +
                                         " address 0e:11:22:33:44:5b && ip addr add 10.77.2.1/24 dev " + peer +
                                         " label " + peer + ":7"));
    // Interface order among the real ones (the peer is made first); lo has the lowest index but comes last.
    bool peerFirst = if_nametoindex(link.Peer().c_str()) < if_nametoindex(link.Name().c_str());
    std::vector<std::string> expected = {"10.77.1.1", "10.77.2.1", "10.77.0.1", "127.0.0.1"};
    if (!peerFirst) std::rotate(expected.begin(), expected.begin() + 2, expected.begin() + 3);
    EXPECT_EQ(ListAddresses(), expected);

    // Loopback has no hardware address, nor has an address that is not ours: the first real adapter.
    const std::string linkMac = "02-0A-BC-DE-F0-1A", peerMac = "0E-11-22-33-44-5B";
    const std::string first = peerFirst ? peerMac : linkMac;
    const std::pair<const char*, std::string> macs[] = {{"10.77.0.1", linkMac}, {"10.77.1.1", peerMac},
                                                        {"10.77.2.1", peerMac}, {"127.0.0.1", first},
                                                        {"10.99.0.1", first},   {nullptr, first}};
    for (const auto& [address, mac] : macs) {
        result = -1;
        EXPECT_EQ(Mac(address, &result), mac) << (address ? address : "null");
        EXPECT_EQ(result, 0);
    }

    ASSERT_EQ(testsupport::RunCommand("ip link set " + link.Peer() + " down"), 0);
    EXPECT_EQ(ListAddresses(), (std::vector<std::string>{"10.77.0.1", "127.0.0.1"}));
    // The list stops at sixteen.
    std::vector<std::string> expected16 = {"10.77.0.1"};
    for (int i = 1; i <= 20; ++i) {
        ASSERT_TRUE(link.AddAddress("10.78.0." + std::to_string(i) + "/24"));
        if (i < 16) expected16.push_back("10.78.0." + std::to_string(i));
    }
    EXPECT_EQ(ListAddresses(), expected16);
}

}  // namespace
