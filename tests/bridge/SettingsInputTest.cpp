#include "bridge/BridgeSettings.h"
#include "bridge/SettingsInput.h"

#include <gtest/gtest.h>

namespace
{
BridgeSettings Loaded()
{
    BridgeSettings settings("/dev/ttyS1", 19200, 4001, 7);
    settings.SetListenAddress("127.0.0.1");
    return settings;
}
} // namespace

TEST(SettingsInput, SetsWhatPassesAndLeavesTheSettingsAsTheyWereOtherwise)
{
    BridgeSettings settings = Loaded();
    EXPECT_EQ(settings_input::SetSerialPort(settings, "  ttyUSB3 "), "");
    EXPECT_EQ(settings.GetComPort(), "ttyUSB3");
    EXPECT_EQ(settings_input::SetBaudRate(settings, "115200"), "");
    EXPECT_EQ(settings.GetComBaud(), 115200);
    EXPECT_EQ(settings_input::SetTcpPort(settings, "65535"), "");
    EXPECT_EQ(settings.GetTcpPort(), 65535);
    EXPECT_EQ(settings_input::SetFrame(settings, "7o2"), "");
    EXPECT_EQ(settings.GetDataBits(), 7);
    EXPECT_EQ(settings.GetParity(), 'O');
    EXPECT_EQ(settings.GetStopBits(), 2);
    EXPECT_EQ(settings_input::SetProtocol(settings, BridgeSettings::kRfc2217Protocol), "");
    EXPECT_TRUE(settings.SpeaksRfc2217());
    EXPECT_EQ(settings_input::SetListenAddress(settings, "10.1.2.3"), "");
    EXPECT_EQ(settings.GetListenAddress(), "10.1.2.3");
    EXPECT_EQ(settings_input::SetListenAddress(settings, "2001:DB8:0::5"), "");
    EXPECT_EQ(settings.GetListenAddress(), "2001:db8::5") << "stored in canonical text";
    EXPECT_EQ(settings_input::SetListenAddress(settings, "fe80::1%eth0"), "");
    EXPECT_EQ(settings.GetListenAddress(), "fe80::1%eth0");
    // Every address, however it is said, is stored as none.
    for (const char* every : {"0.0.0.0", "::", ""})
    {
        settings.SetListenAddress("::1");
        EXPECT_EQ(settings_input::SetListenAddress(settings, every), "");
        EXPECT_EQ(settings.GetListenAddress(), "") << every;
    }
    // Allowed addresses too are stored as clients' addresses are compared.
    wxString added;
    for (const auto& [typed, canonical] : {std::pair<const char*, const char*>{"192.168.0.10", "192.168.0.10"},
                                           {"2001:DB8:0::1", "2001:db8::1"},
                                           {"::ffff:10.0.0.5", "10.0.0.5"}})
    {
        EXPECT_EQ(settings_input::AddAllowedAddress(settings, typed, added), "");
        EXPECT_EQ(added, canonical);
        EXPECT_EQ(settings.GetIpFilters().back().ip_address, canonical);
    }
    ASSERT_EQ(settings.GetIpFilters().size(), 3u);
    EXPECT_EQ(settings.GetIpFilters()[0].bridge_id, 7);
    EXPECT_EQ(settings.GetIpFilters()[0].state, IPF_NEW);

    BridgeSettings refused = Loaded();
    const std::pair<wxString (*)(BridgeSettings&, const wxString&), const char*> wrong[] = {
        {settings_input::SetSerialPort, " "},     {settings_input::SetBaudRate, "12345"},
        {settings_input::SetBaudRate, ""},        {settings_input::SetTcpPort, "0"},
        {settings_input::SetTcpPort, "65536"},    {settings_input::SetFrame, "8N3"},
        {settings_input::SetProtocol, "RAW"},     {settings_input::SetListenAddress, "127.0.0.01"},
        {settings_input::SetListenAddress, "224.0.0.1"}, {settings_input::SetListenAddress, "ff02::1"},
        {settings_input::SetListenAddress, "::g"},       {settings_input::SetListenAddress, "[::1]"},
        {settings_input::SetListenAddress, "1::2::3"},   {settings_input::SetListenAddress, "2001:db8::1%eth0"},
        {[](BridgeSettings& into, const wxString& typed) {
             wxString added;
             return settings_input::AddAllowedAddress(into, typed, added);
         },
         "10.0.0"},
    };
    for (const auto& [set, typed] : wrong)
    {
        EXPECT_NE(set(refused, typed), "") << typed;
        EXPECT_TRUE(refused.HasSettingsOf(Loaded())) << typed << " changed the settings";
        EXPECT_EQ(refused.GetListenAddress(), "127.0.0.1") << typed;
    }
}

TEST(SettingsInput, SaysWhyInWordsThatNameWhatWasTyped)
{
    BridgeSettings settings = Loaded();
    EXPECT_EQ(settings_input::SetSerialPort(settings, "  "), "the serial port is empty");
    EXPECT_EQ(settings_input::SetBaudRate(settings, "12345").BeforeFirst(':'), "\"12345\" is not a baud rate offered");
    EXPECT_NE(settings_input::SetBaudRate(settings, "1").Find(": 150 300 600 1200 2400 4800 9600 19200 "),
              wxNOT_FOUND)
        << settings_input::SetBaudRate(settings, "1");
    EXPECT_EQ(settings_input::SetTcpPort(settings, ""), "the TCP port must be a number from 1 to 65535, not \"\"");
    EXPECT_EQ(settings_input::SetListenAddress(settings, "1.2.3"),
              "\"1.2.3\" is not an IP address such as 192.168.0.10 or 2001:db8::5");
    EXPECT_EQ(settings_input::SetListenAddress(settings, "[::1]"),
              "\"[::1]\" is written with brackets, which only go around an address followed by a port");
    EXPECT_EQ(settings_input::SetListenAddress(settings, "2001:db8::1%eth0"),
              "\"2001:db8::1%eth0\" has a zone, which only a link-local address (fe80::...) takes");
    EXPECT_EQ(settings_input::SetListenAddress(settings, "255.255.255.255"),
              "\"255.255.255.255\" is a broadcast or multicast address, which no client can connect to");
    EXPECT_EQ(settings_input::SetFrame(settings, "9N1"), "\"9N1\" is not a character frame such as 8N1 (7 or 8 data "
                                                          "bits, parity N, E or O, 1 or 2 stop bits)");
    EXPECT_EQ(settings_input::SetProtocol(settings, "telnet"), "the protocol is raw or rfc2217, not \"telnet\"");
    wxString address;
    EXPECT_EQ(settings_input::CheckAllowedAddress(" 10.0.0.1", address),
              "\" 10.0.0.1\" is not an IP address such as 192.168.0.10 or 2001:db8::5");
    EXPECT_EQ(settings_input::CheckAllowedAddress("10.0.0.1", address), "");
}
