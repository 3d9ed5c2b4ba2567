// Shared main of every test binary: the network namespace is entered before any test runs,
// and a failure to enter it stops the run instead of falling back to the machine's network.
#include <gtest/gtest.h>

#include <cstring>

#include "support/netns.h"

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0) listing = true;
    }
    if (!listing) testsupport::EnterPrivateNetworkOrExit();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
