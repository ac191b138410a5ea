#include "bridge/IpAddress.h"

#include <gtest/gtest.h>

#include <utility>

TEST(IpAddress, OneAddressHasOneTextAndOnlyNumbersAreTaken)
{
    const std::pair<const char*, const char*> good[] = {
        {"192.168.0.10", "192.168.0.10"},
        {"2001:DB8:0::1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
        {"::1", "::1"},
        {"::", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"1::", "1::"},
        {"1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7:8"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},     // one zero group stays
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},       // the first of two longest runs
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                   // the longest run
        {"::ffff:10.0.0.5", "10.0.0.5"},                     // IPv4 written as IPv6
        {"::FFFF:0a00:0005", "10.0.0.5"},
        {"::1.2.3.4", "::102:304"},
        {"fe80::1%eth0", "fe80::1%eth0"},
        {"FE80::A%2", "fe80::a%2"},
    };
    for (const auto& [typed, canonical] : good)
    {
        wxString text, why;
        EXPECT_TRUE(CanonicalIpAddress(typed, text, why)) << typed << ": " << why;
        EXPECT_EQ(text, canonical) << typed;
        EXPECT_EQ(IsIpv6Text(text), std::string(canonical).find(':') != std::string::npos);
    }

    const std::pair<const char*, const char*> bad[] = {
        {"", "is not an IP address"},
        {"localhost", "is not an IP address"},
        {"1.2.3", "is not an IP address"},
        {"::g", "is not an IP address"},
        {"1::2::3", "is not an IP address"},
        {"1:2:3:4:5:6:7", "is not an IP address"},
        {"1:2:3:4:5:6:7:8:9", "is not an IP address"},
        {"1:2:3:4::5:6:7:8", "is not an IP address"},
        {"12345::", "is not an IP address"},
        {":1::", "is not an IP address"},
        {"1::2:", "is not an IP address"},
        {"::1.2.3.256", "is not an IP address"},
        {"1.2.3.4::", "is not an IP address"},
        {"0000:0000:0000:0000:0000:0000:0000:0000:0", "is not an IP address"},
        {"0000:0000:0000:0000:0000:0000:255.255.255.2550", "is not an IP address"}, // 46 characters
        {"[::1]", "is written with brackets"},
        {"2001:db8::1%eth0", "has a zone, which only a link-local address"},
        {"fe80::1%", "has a zone that is no interface name"},
        {"fe80::1%eth 0", "has a zone that is no interface name"},
    };
    for (const auto& [typed, reason] : bad)
    {
        wxString text, why;
        EXPECT_FALSE(CanonicalIpAddress(typed, text, why)) << typed << " gave " << text;
        EXPECT_TRUE(why.StartsWith(reason)) << typed << ": " << why;
    }

    EXPECT_EQ(AddressAndPort("10.0.0.5", 51234), "10.0.0.5:51234");
    EXPECT_EQ(AddressAndPort("2001:db8::5", 51234), "[2001:db8::5]:51234");
}
