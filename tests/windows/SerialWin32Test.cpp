#include "serial/SFile.h"
#include "serial/SFileWin32.h"
#include "serial/SerialPortHandler.h"

#include "UnderWine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
// The COM port the Wine test made of a pseudo-terminal.
std::string TestPort()
{
    const char* port = std::getenv("SERIAL_TEST_PORT");
    return port ? port : "";
}

// A port as another program might have left it: slow, 7O1, with hardware and
// software flow control, DTR handshaking and null bytes discarded.
DCB MessyControlBlock()
{
    DCB control{};
    control.DCBlength = sizeof control;
    control.BaudRate = CBR_300;
    control.ByteSize = 7;
    control.Parity = ODDPARITY;
    control.StopBits = ONESTOPBIT;
    control.fBinary = FALSE;
    control.fOutxCtsFlow = TRUE;
    control.fOutxDsrFlow = TRUE;
    control.fDsrSensitivity = TRUE;
    control.fOutX = TRUE;
    control.fInX = TRUE;
    control.fNull = TRUE;
    control.fAbortOnError = TRUE;
    control.fDtrControl = DTR_CONTROL_HANDSHAKE;
    control.fRtsControl = RTS_CONTROL_HANDSHAKE;
    return control;
}
} // namespace

TEST(Win32Mode, TheModeStringAsBuiltIsAppliedWhateverThePortWasSetTo)
{
    const struct
    {
        int baud;
        char parity;
        unsigned dataBits, stopBits;
        BYTE parityCode, stopCode;
    } cases[] = {{9600, 'N', 8, 1, NOPARITY, ONESTOPBIT},
                 {115200, 'E', 7, 2, EVENPARITY, TWOSTOPBITS},
                 {921600, 'O', 8, 2, ODDPARITY, TWOSTOPBITS},
                 {300, 'E', 7, 1, EVENPARITY, ONESTOPBIT}};
    for (const auto& expected : cases)
    {
        const std::string mode = SFile::ModeString(expected.baud, expected.parity, expected.dataBits, expected.stopBits);
        DCB control = MessyControlBlock();
        std::string error;
        ASSERT_TRUE(sfile_os::ApplyMode(mode, control, error)) << mode << ": " << error;
        EXPECT_EQ(control.BaudRate, static_cast<DWORD>(expected.baud)) << mode;
        EXPECT_EQ(control.ByteSize, expected.dataBits) << mode;
        EXPECT_EQ(control.Parity, expected.parityCode) << mode;
        EXPECT_EQ(control.StopBits, expected.stopCode) << mode;
        EXPECT_EQ(control.fParity, expected.parity != 'N') << mode;
        // Every byte value passes, and nothing holds the flow back.
        EXPECT_TRUE(control.fBinary);
        EXPECT_FALSE(control.fOutxCtsFlow || control.fOutxDsrFlow || control.fDsrSensitivity);
        EXPECT_FALSE(control.fOutX || control.fInX || control.fNull || control.fAbortOnError || control.fErrorChar);
        EXPECT_EQ(control.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
        EXPECT_EQ(control.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    }

    DCB control = MessyControlBlock();
    std::string error;
    EXPECT_FALSE(sfile_os::ApplyMode("baud=9600 parity=X", control, error));
    EXPECT_EQ(error, "invalid mode \"baud=9600 parity=X\"");
}

TEST(Win32Port, ASecondOpenerIsRefusedAndTheFirstKeepsThePort)
{
    ASSERT_FALSE(TestPort().empty()) << "SERIAL_TEST_PORT names no port";
    SFile missing;
    EXPECT_FALSE(missing.Open("COM254", 9600));
    EXPECT_FALSE(missing.LastError().empty());

    {
        // As a store written before names were made capitals may hold it.
        SFile lowerCase;
        EXPECT_TRUE(lowerCase.Open(wxString(TestPort()).Lower().utf8_string(), 9600)) << lowerCase.LastError();
    }

    SFile first, second;
    ASSERT_TRUE(first.Open(TestPort(), 115200)) << first.LastError();
    if (UnderWine())
        GTEST_SKIP() << "Wine lets a second program open a COM port; Windows does not.";
    EXPECT_FALSE(second.Open(TestPort(), 115200));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(second.LastError().empty());
    EXPECT_TRUE(first.IsOpen());
    first.Close();
    EXPECT_TRUE(second.Open(TestPort(), 9600)) << second.LastError();
}

TEST(Win32Port, CloseReturnsAtOnceWhileTheWorkerWaitsForInputAndTheNextOpenWorks)
{
    ASSERT_FALSE(TestPort().empty()) << "SERIAL_TEST_PORT names no port";
    SerialPortHandler handler(4096, 1, nullptr);
    for (int round = 0; round < 3; ++round)
    {
        ASSERT_TRUE(handler.Open(TestPort(), 115200, false)) << handler.GetOpenError();
        std::this_thread::sleep_for(100ms); // the worker is in its wait now
        const auto start = std::chrono::steady_clock::now();
        handler.Close();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_FALSE(handler.IsOpen());
        SFile other;
        EXPECT_TRUE(other.Open(TestPort(), 9600)) << "the port is free again: " << other.LastError();
    }
}

// Under Wine the port is a pseudo-terminal: it keeps speed and stop bits but
// holds 8N, and Wine refuses its modem lines.
TEST(Win32Port, TheControlsChangeTheOpenPortOrFailCleanly)
{
    ASSERT_FALSE(TestPort().empty()) << "SERIAL_TEST_PORT names no port";
    const bool modemLines = !UnderWine();
    SFile port;
    ASSERT_TRUE(port.Open(TestPort(), 9600)) << port.LastError();
    EXPECT_EQ(port.GetLine(), (SFile::LineSettings{9600, 8, 'N', 1}));
    EXPECT_EQ(port.GetControlLines().brk, SFile::Signal::Off);

    ASSERT_TRUE(port.SetLine({57600, 7, 'E', 2})) << port.LastError();
    EXPECT_EQ(port.GetLine(), (SFile::LineSettings{57600, modemLines ? 7u : 8u, modemLines ? 'E' : 'N', 2}));
    ASSERT_TRUE(port.SetFlowControl({true, true})) << port.LastError();
    EXPECT_TRUE(port.GetFlowControl().hardware && port.GetFlowControl().software);
    ASSERT_TRUE(port.SetFlowControl({false, false}));
    EXPECT_FALSE(port.GetFlowControl().hardware || port.GetFlowControl().software);

    EXPECT_EQ(port.SetDtr(true), modemLines);
    EXPECT_FALSE(port.LastError().empty());
    EXPECT_EQ(port.GetControlLines().dtr, modemLines ? SFile::Signal::On : SFile::Signal::Unknown);
    SFile::ModemLines lines;
    EXPECT_EQ(port.GetModemLines(lines), modemLines);
    EXPECT_TRUE(port.SetBreak(true)) << port.LastError();
    EXPECT_EQ(port.GetControlLines().brk, SFile::Signal::On);
    EXPECT_TRUE(port.SetBreak(false));
    EXPECT_TRUE(port.Purge(SFile::Queues::Input));
    EXPECT_TRUE(port.Purge(SFile::Queues::Output));
    port.Close();

    // The handler's worker keeps a read waiting: each change cancels it first.
    SerialPortHandler handler(4096, 1, nullptr);
    ASSERT_TRUE(handler.Open(TestPort(), 9600, false)) << handler.GetOpenError();
    for (int baud : {19200, 115200, 4800})
    {
        EXPECT_TRUE(handler.SetLine({baud, 8, 'N', 1}));
        EXPECT_EQ(handler.GetLine().baud, baud);
        EXPECT_TRUE(handler.Purge(SFile::Queues::Both));
    }
    handler.Close();
}

// Nobody reads the pseudo-terminal, so it fills and a write stays in flight.
TEST(Win32Port, AWriteInFlightIsWaitedForCountedWhenItEndsAndEndedByAPurgeOrAClose)
{
    ASSERT_FALSE(TestPort().empty()) << "SERIAL_TEST_PORT names no port";
    SFile port;
    ASSERT_TRUE(port.Open(TestPort(), 115200)) << port.LastError();
    ASSERT_TRUE(SFile::WritesInFlight());
    const std::vector<unsigned char> bytes(65536, 'w');
    unsigned takenTotal = 0, writtenTotal = 0, taken = 0, written = 0;
    // Until the port takes no more: its write is in flight.
    for (int i = 0; i < 200; ++i)
    {
        ASSERT_TRUE(port.WriteAvailable(bytes.data(), static_cast<unsigned>(bytes.size()), &taken));
        ASSERT_TRUE(port.TakeWritten(&written));
        takenTotal += taken;
        writtenTotal += written;
        if (taken == 0)
            break;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(taken, 0u) << "the pseudo-terminal never filled";
    EXPECT_EQ(port.Wait(200000, true), SFile::WaitResult::TimedOut) << "a wait for room waits for the write";
    ASSERT_TRUE(port.TakeWritten(&written));
    writtenTotal += written;
    EXPECT_LT(writtenTotal, takenTotal) << "bytes count as written only once their write has ended";

    // A purge ends the write: the port takes output at once again.
    ASSERT_TRUE(port.Purge(SFile::Queues::Output));
    ASSERT_TRUE(port.TakeWritten(&written));
    EXPECT_EQ(written, 0u) << "purged bytes are not reported as written";
    EXPECT_EQ(port.Wait(200000, true), SFile::WaitResult::Writable);
    ASSERT_TRUE(port.WriteAvailable(bytes.data(), static_cast<unsigned>(bytes.size()), &taken));
    EXPECT_GT(taken, 0u);

    // Closing with a write in flight neither hangs nor leaves the port held.
    const auto start = std::chrono::steady_clock::now();
    port.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    SFile other;
    EXPECT_TRUE(other.Open(TestPort(), 9600)) << other.LastError();
    EXPECT_TRUE(other.Purge(SFile::Queues::Both));
}

TEST(Win32PortList, PortsComeFromTheSerialDeviceMap)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t names[3][32] = {L"\\Device\\TestSerial77", L"\\Device\\TestVCP0", L"\\Device\\TestVCP1"};
    const wchar_t ports[3][8] = {L"COM77", L"COM78", L"CNCA0"};
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(RegSetValueExW(key, names[i], 0, REG_SZ, reinterpret_cast<const BYTE*>(ports[i]),
                                 static_cast<DWORD>((wcslen(ports[i]) + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);

    const wxArrayString list = SerialPortHandler::GetPortList();
    EXPECT_NE(list.Index("COM77"), wxNOT_FOUND);
    EXPECT_NE(list.Index("COM78"), wxNOT_FOUND);
    EXPECT_EQ(list.Index("\\Device\\TestVCP0"), wxNOT_FOUND) << "the port names are listed, not the devices";
    EXPECT_TRUE(SerialPortHandler::IsPortPresent("COM77"));
    EXPECT_TRUE(SerialPortHandler::IsPortPresent("com78"));
    EXPECT_FALSE(SerialPortHandler::IsPortPresent("COM79"));
    EXPECT_EQ(SerialPortHandler::PortIdentity("com77"), SerialPortHandler::PortIdentity("COM77"));

    // What a bridge stores: COMn in capitals, a listed name as listed.
    const std::pair<const char*, const char*> accepted[] = {
        {"com3", "COM3"},   {"COM3", "COM3"},   {"Com12", "COM12"}, {"\\\\.\\com10", "COM10"},
        {"COM256", "COM256"}, {"cnca0", "CNCA0"}, {"\\\\.\\CNCA0", "CNCA0"}};
    for (const auto& [typed, name] : accepted)
    {
        wxString stored, reason;
        EXPECT_TRUE(SerialPortHandler::StoredPortName(typed, stored, reason)) << typed << ": " << reason;
        EXPECT_EQ(stored.utf8_string(), name) << typed;
    }
    for (const wxString& typed : {wxString("COM 5"), wxString("/dev/ttyS0"), wxString("COM0"), wxString("COM257"),
                                  wxString("COM-3"), wxString("COM3x"), wxString("CNCA1"), wxString(300, 'A')})
    {
        wxString stored = "unchanged", reason;
        EXPECT_FALSE(SerialPortHandler::StoredPortName(typed, stored, reason)) << typed;
        EXPECT_EQ(stored.utf8_string(), "unchanged");
        EXPECT_NE(reason.Find("is not a Windows serial port name such as COM3"), wxNOT_FOUND) << reason;
        EXPECT_LT(reason.length(), 100u) << "a long name is not quoted whole";
    }

    for (const auto& name : names)
        RegDeleteValueW(key, name);
    RegCloseKey(key);
    EXPECT_FALSE(SerialPortHandler::IsPortPresent("COM77"));
}
