#include "serial/PortDiscovery.h"
#include "serial/SerialPortHandler.h"

#include <gtest/gtest.h>

#include <unistd.h>

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

    std::vector<std::string> Devices(const std::vector<DiscoveredPort>& ports)
    {
        std::vector<std::string> devices;
        for (const DiscoveredPort& port : ports)
            devices.push_back(port.device);
        return devices;
    }

    // A USB device at path below devices/, with its attributes.
    void AddUsbDevice(const std::string& path, const std::string& vendor, const std::string& product,
                      const std::string& manufacturer, const std::string& name, const std::string& serial)
    {
        const fs::path dir = root / "devices" / path;
        fs::create_directories(dir);
        std::ofstream(dir / "idVendor") << vendor << "\n";
        std::ofstream(dir / "idProduct") << product << "\n";
        std::ofstream(dir / "manufacturer") << manufacturer << "\n";
        std::ofstream(dir / "product") << name << "\n";
        if (!serial.empty())
            std::ofstream(dir / "serial") << serial << "\n";
    }

    // A tty whose device sits at path below devices/; interface is the
    // directory of path that carries the interface number, if any.
    void AddTtyAt(const std::string& name, const std::string& path, const std::string& interface = "",
                  const char* number = nullptr)
    {
        fs::create_directories(root / "devices" / path);
        if (number)
            std::ofstream(root / "devices" / interface / "bInterfaceNumber") << number << "\n";
        fs::create_directories(root / name);
        fs::create_directory_symlink(root / "devices" / path, root / name / "device");
    }

    void AddLink(const std::string& kind, const std::string& link, const std::string& tty)
    {
        fs::create_directories(root / "serial" / kind);
        fs::create_symlink("../../" + tty, root / "serial" / kind / link);
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
    // Without USB attributes above them, all three count as built in.
    EXPECT_EQ(Devices(DiscoverSerialPorts(root.string())),
              (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyUSB0"}));
}

TEST_F(FakeTtyClass, EachPortComesWithItsStableNamesAndADescriptionInTheOrderAPersonCounts)
{
    // Two identical adapters told apart by their serial numbers.
    AddUsbDevice("usb1/1-1", "0403", "6001", "FTDI", "FT232R USB UART", "A10K");
    AddTtyAt("ttyUSB1", "usb1/1-1/1-1:1.0/ttyUSB1", "usb1/1-1/1-1:1.0", "00");
    AddUsbDevice("usb1/1-2", "0403", "6001", "FTDI", "FT232R USB UART", "B20K");
    AddTtyAt("ttyUSB0", "usb1/1-2/1-2:1.0/ttyUSB0", "usb1/1-2/1-2:1.0", "00");
    // A composite device with two serial interfaces, and no serial number.
    AddUsbDevice("usb1/1-3", "2341", "0043", "Arduino", "Dual Serial", "");
    AddTtyAt("ttyACM1", "usb1/1-3/1-3:1.2", "usb1/1-3/1-3:1.2", "02");
    AddTtyAt("ttyACM0", "usb1/1-3/1-3:1.0", "usb1/1-3/1-3:1.0", "00");
    // Built-in UARTs, one a placeholder; none has a by-id link. Newer kernels
    // put the serial core's port and controller devices above the tty.
    for (const char* name : {"ttyS10", "ttyS2", "ttyS1"})
    {
        AddTtyAt(name, std::string("pnp0/00:00/") + name + "/" + name + ".0");
        std::ofstream(root / name / "type") << (std::string(name) == "ttyS1" ? "0" : "4") << "\n";
    }
    for (const char* driver : {"bus/serial-base/drivers/port", "bus/serial-base/drivers/ctrl", "bus/pnp/drivers/serial"})
        fs::create_directories(root / driver);
    for (const char* name : {"ttyS10", "ttyS2"})
    {
        const fs::path port = root / "devices" / "pnp0" / "00:00" / name / (std::string(name) + ".0");
        fs::create_directory_symlink(root / "bus/serial-base/drivers/port", port / "driver");
        fs::create_directory_symlink(root / "bus/serial-base/drivers/ctrl", port.parent_path() / "driver");
    }
    fs::create_directory_symlink(root / "bus/pnp/drivers/serial", root / "devices" / "pnp0" / "00:00" / "driver");
    AddLink("by-id", "usb-FTDI_FT232R_USB_UART_A10K-if00-port0", "ttyUSB1");
    AddLink("by-id", "usb-FTDI_FT232R_USB_UART_B20K-if00-port0", "ttyUSB0");
    AddLink("by-id", "usb-Arduino_Dual_Serial-if00", "ttyACM0");
    AddLink("by-id", "usb-Arduino_Dual_Serial-if02", "ttyACM1");
    AddLink("by-path", "pci-0000:00:14.0-usb-0:2:1.0-port0", "ttyUSB0");
    AddLink("by-path", "pnp-00:00", "ttyS10");

    const std::vector<DiscoveredPort> ports = DiscoverSerialPorts(root.string(), (root / "serial").string());
    ASSERT_EQ(Devices(ports), (std::vector<std::string>{"/dev/ttyS2", "/dev/ttyS10", "/dev/ttyACM0", "/dev/ttyACM1",
                                                        "/dev/ttyUSB0", "/dev/ttyUSB1"}));
    const std::string links = (root / "serial").string();
    EXPECT_EQ(ports[0].description, "serial port, driver serial");
    EXPECT_TRUE(ports[0].stableNames.empty());
    EXPECT_EQ(ports[2].description, "Arduino Dual Serial, 2341:0043, interface 0");
    EXPECT_EQ(ports[3].description, "Arduino Dual Serial, 2341:0043, interface 2");
    EXPECT_EQ(ports[3].stableNames, (std::vector<std::string>{links + "/by-id/usb-Arduino_Dual_Serial-if02"}));
    EXPECT_EQ(ports[4].description, "FTDI FT232R USB UART, serial B20K, 0403:6001, interface 0");
    EXPECT_EQ(ports[4].stableNames,
              (std::vector<std::string>{links + "/by-id/usb-FTDI_FT232R_USB_UART_B20K-if00-port0",
                                        links + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"}));
    EXPECT_EQ(ports[5].description, "FTDI FT232R USB UART, serial A10K, 0403:6001, interface 0");

    // A bridge stores the by-id link where there is one; a port stored by
    // any of its names is recognised.
    EXPECT_EQ(ports[0].name, "/dev/ttyS2");
    EXPECT_EQ(ports[0].Label(), "/dev/ttyS2: serial port, driver serial");
    EXPECT_EQ(ports[5].name, links + "/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0");
    // Without a by-id link the device names the port; a by-path link only
    // recognises it.
    EXPECT_EQ(ports[1].name, "/dev/ttyS10");
    EXPECT_EQ(ports[1].stableNames, (std::vector<std::string>{links + "/by-path/pnp-00:00"}));
    EXPECT_TRUE(ports[1].IsNamed(links + "/by-path/pnp-00:00"));
    for (const std::string& stored : {std::string("/dev/ttyUSB0"), std::string("ttyUSB0"), ports[4].stableNames[1]})
        EXPECT_TRUE(ports[4].IsNamed(stored)) << stored;
    EXPECT_FALSE(ports[4].IsNamed(ports[5].name));
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
