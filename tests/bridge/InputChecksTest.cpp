#include "bridge/InputChecks.h"

#include <gtest/gtest.h>

TEST(InputChecks, OnlyCanonicalDottedQuadsAndPortsInRange)
{
    for (const char* good : {"0.0.0.0", "127.0.0.1", "192.168.100.200", "255.255.255.255"})
        EXPECT_TRUE(IsIpv4Address(good)) << good;
    for (const char* bad : {"", "1.2.3", "1.2.3.4.", ".1.2.3", "1.2.3.a", "256.0.0.1", "001.2.3.4", "1.2.3.-4",
                            "1 .2.3.4", "1.2.3.4 ", "1e2.1.1.1", "::1"})
        EXPECT_FALSE(IsIpv4Address(bad)) << bad;

    unsigned port = 0;
    EXPECT_TRUE(ParseTcpPort("1", port));
    EXPECT_EQ(port, 1u);
    EXPECT_TRUE(ParseTcpPort("65535", port));
    EXPECT_EQ(port, 65535u);
    for (const char* bad : {"", "0", "65536", "70000", "123456", "-1", "+80", "8e1", " 80", "80 "})
        EXPECT_FALSE(ParseTcpPort(bad, port)) << bad;
}
