#include "serial/PortDiscovery.h"
#include "serial/SerialPortHandler.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace
{
// A tty class directory laid out as the kernel lays out /sys/class/tty.
class FakeTtyClass : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tty-class-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
    }

    void TearDown() override { fs::remove_all(root); }

    void AddEntry(const std::string& name, bool withDevice, const char* type = nullptr)
    {
        fs::create_directories(root / name);
        if (withDevice)
        {
            fs::create_directories(root / "devices" / name);
            fs::create_directory_symlink(root / "devices" / name, root / name / "device");
        }
        if (type)
            std::ofstream(root / name / "type") << type << "\n";
    }

    std::vector<std::string> Sorted(std::vector<std::string> ports)
    {
        std::sort(ports.begin(), ports.end());
        return ports;
    }

    fs::path root;
};
} // namespace

TEST_F(FakeTtyClass, ListsDevicesAndSkipsConsolesAndEmptyUartSlots)
{
    AddEntry("tty0", false);
    AddEntry("console", false);
    AddEntry("ttyS0", true, "4");
    AddEntry("ttyS1", true, "0");
    AddEntry("ttyUSB0", true);
    AddEntry("ttyACM0", true);
    EXPECT_EQ(Sorted(DiscoverSerialPorts(root.string())),
              (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"}));
}

TEST_F(FakeTtyClass, NoDirectoryMeansNoPorts)
{
    EXPECT_TRUE(DiscoverSerialPorts((root / "missing").string()).empty());
    EXPECT_TRUE(DiscoverSerialPorts(root.string()).empty());
}

TEST(PortList, TheMachinesPortsAreDevicePaths)
{
    for (const wxString& port : SerialPortHandler::GetPortList())
        EXPECT_TRUE(port.StartsWith("/dev/tty")) << port;
}
