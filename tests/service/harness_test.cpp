// The harness itself: the waits end at their event and report a run-out; the
// ports it hands out are distinct, bindable as the service binds, and outside
// the range of outgoing connections.
#include "PellionHarness.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

TEST(Harness, WaitUntilEndsAtTheConditionAndReportsARunOut) {
    int looks = 0;
    EXPECT_TRUE(vtest::WaitUntil([&] { return ++looks == 3; }));
    EXPECT_EQ(looks, 3);
    EXPECT_FALSE(vtest::WaitUntil([] { return false; }, 60));
}

TEST(Harness, ReservedPortsAreDistinctBindableAndOutsideTheOutgoingRange) {
    unsigned lo = 32768, hi = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> lo >> hi;
    vtest::ReservedPort a, b;
    ASSERT_NE(a.port(), 0);
    ASSERT_NE(b.port(), 0);
    EXPECT_NE(a.port(), b.port());
    for (unsigned short port : {a.port(), b.port()}) {
        EXPECT_TRUE(port < lo || port > hi) << port;
        EXPECT_TRUE(vtest::ReservedPort::Bindable(port)) << port;
    }
}

// A service that stops while starting ends the wait for running at once.
TEST(Harness, WaitForRunningEndsWhenTheServiceHasStopped) {
    vtest::Pellion pellion;
    SOCKET other = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(pellion.port());
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(other, 5), 0);
    DWORD start = GetTickCount();
    EXPECT_FALSE(pellion.InstallAndStart());
    EXPECT_LT(GetTickCount() - start, vtest::kSafetyMs / 2);
    closesocket(other);
}

} // namespace
