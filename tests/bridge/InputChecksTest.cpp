#include "bridge/InputChecks.h"

#include <gtest/gtest.h>

#include <cctype>

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

TEST(InputChecks, FramesAreSevenOrEightDataBitsNoneEvenOrOddParityAndOneOrTwoStopBitsInAnyCase)
{
    // Every frame a bridge can be given, in both cases, with the values it yields.
    for (const int bits : {7, 8})
    {
        for (const char letter : {'N', 'E', 'O', 'n', 'e', 'o'})
        {
            for (const int stops : {1, 2})
            {
                const wxString text = wxString::Format("%d%c%d", bits, letter, stops);
                int dataBits = 0;
                char parity = '?';
                int stopBits = 0;
                ASSERT_TRUE(ParseFrame(text, dataBits, parity, stopBits)) << text;
                EXPECT_EQ(dataBits, bits) << text;
                EXPECT_EQ(parity, static_cast<char>(std::toupper(letter))) << text;
                EXPECT_EQ(stopBits, stops) << text;
            }
        }
    }

    int dataBits = 0;
    char parity = '?';
    int stopBits = 0;
    for (const char* bad : {"", "5N1", "6N1", "9N1", "0N1", "8M1", "8S1", "8X1", "8 1", "8N0", "8N3", "8N1.5",
                            "7E1.5", "8N1 ", " 8N1", "8N11", "88N1", "8N", "N81", "8-N-1"})
        EXPECT_FALSE(ParseFrame(bad, dataBits, parity, stopBits)) << '"' << bad << '"';
}
