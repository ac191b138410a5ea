#include "serial/SFile.h"
#include "serial/SFilePosix.h"
#include "support/PatternStream.h"
#include "support/PtyPair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

namespace
{
std::string ReadWaiting(SFile& device, size_t count)
{
    EXPECT_TRUE(WaitFor([&] { return device.InQueue() >= count; }));
    std::string bytes(count, '\0');
    unsigned got = 0;
    EXPECT_TRUE(device.Read(bytes.data(), static_cast<unsigned>(count), &got));
    bytes.resize(got);
    return bytes;
}
} // namespace

TEST(SFileNames, WindowsNamesSwitchToTheDeviceNamespaceAtTen)
{
    EXPECT_EQ(SFile::WindowsPortName(1), L"COM1");
    EXPECT_EQ(SFile::WindowsPortName(9), L"COM9");
    EXPECT_EQ(SFile::WindowsPortName(10), L"\\\\.\\COM10");
    EXPECT_EQ(SFile::WindowsPortName(255), L"\\\\.\\COM255");
}

TEST(SFileNames, PortNumberIsTheNumberAfterTheLastM)
{
    EXPECT_EQ(SFile::PortNumber("COM3"), 3u);
    EXPECT_EQ(SFile::PortNumber("COM12"), 12u);
    EXPECT_EQ(SFile::PortNumber("com3"), 3u);
    EXPECT_EQ(SFile::PortNumber("\\\\.\\COM10"), 10u);
    EXPECT_EQ(SFile::PortNumber("COM7x"), 7u);
    EXPECT_EQ(SFile::PortNumber("COM"), 0u);
    EXPECT_EQ(SFile::PortNumber("COMx1"), 0u);
    EXPECT_EQ(SFile::PortNumber("COM-3"), 0u);
    EXPECT_EQ(SFile::PortNumber("42"), 42u);
    EXPECT_EQ(SFile::PortNumber("/dev/ttyACM0"), 0u);
    EXPECT_EQ(SFile::PortNumber("COM99999999999999999999"), 0u);
}

TEST(SFileNames, BareNamesLiveInDev)
{
    EXPECT_EQ(SFile::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(SFile::DevicePath("/dev/pts/3"), "/dev/pts/3");
    EXPECT_EQ(SFile::DevicePath("/dev/serial/by-id/usb-FTDI_x-if00-port0"), "/dev/serial/by-id/usb-FTDI_x-if00-port0");
    EXPECT_EQ(SFile::DevicePath(""), "");
}

TEST(SFileMode, ModeStringHasTwoTrailingBlanks)
{
    EXPECT_EQ(SFile::ModeString(9600, 'N', 8, 1), "baud=9600 parity=N data=8 stop=1  ");
    EXPECT_EQ(SFile::ModeString(115200, 'E', 7, 2), "baud=115200 parity=E data=7 stop=2  ");
}

TEST(SFileMode, ParseReadsWhatModeStringWrites)
{
    SFile::LineSettings line;
    ASSERT_TRUE(SFile::ParseMode(SFile::ModeString(57600, 'O', 7, 2), line));
    EXPECT_EQ(line.baud, 57600);
    EXPECT_EQ(line.parity, 'O');
    EXPECT_EQ(line.dataBits, 7u);
    EXPECT_EQ(line.stopBits, 2u);

    ASSERT_TRUE(SFile::ParseMode("BAUD=300 parity=e", line));
    EXPECT_EQ(line.baud, 300);
    EXPECT_EQ(line.parity, 'E');
    EXPECT_EQ(line.dataBits, 7u) << "keys not named keep their value";
}

TEST(SFileMode, ParseRefusesMalformedModesAndLeavesSettingsAlone)
{
    for (const char* mode : {"", "   ", "baud", "baud=", "baud=abc", "baud=-5", "baud=0", "baud=99999999999",
                             "parity=M", "parity=NE", "data=4", "data=9", "stop=0", "stop=3", "stop=1.5",
                             "speed=9600", "baud=9600 parity=X"})
    {
        SFile::LineSettings line;
        line.baud = 1234;
        EXPECT_FALSE(SFile::ParseMode(mode, line)) << mode;
        EXPECT_EQ(line.baud, 1234) << mode;
    }
}

TEST(SFileSettings, SettersKeepTheInvariants)
{
    SFile device;
    EXPECT_EQ(device.GetDataBits(), 8);
    EXPECT_EQ(device.GetParity(), 'N');
    EXPECT_EQ(device.GetStopBits(), 1);

    device.SetDataBits(7);
    EXPECT_EQ(device.GetDataBits(), 7);
    device.SetDataBits(5);
    EXPECT_EQ(device.GetDataBits(), 8);

    device.SetParity('E');
    EXPECT_EQ(device.GetParity(), 'E');
    device.SetParity('M');
    EXPECT_EQ(device.GetParity(), 'N');

    device.SetStopBits(3);
    EXPECT_EQ(device.GetStopBits(), 1);
    device.SetStopBits(2);
    device.SetStopBits(0);
    EXPECT_EQ(device.GetStopBits(), 2);
}

TEST(SFileClosed, EveryOperationFailsWithoutTouchingTheSystem)
{
    SFile device;
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.GetReadTimeout(), SFile::kInfinite);
    char byte = 'x';
    unsigned count = 77;
    EXPECT_EQ(device.InQueue(), 0u);
    EXPECT_FALSE(device.Read(&byte, 1, &count));
    EXPECT_FALSE(device.Write(&byte, 1, &count));
    EXPECT_FALSE(device.Purge());
    device.Close();
    EXPECT_FALSE(device.IsOpen());
}

TEST(SFileClosed, OpenOfAMissingOrNonTerminalPathFailsAndSaysWhy)
{
    SFile device;
    EXPECT_FALSE(device.Open("/dev/does-not-exist-for-sure", 9600));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.LastError(), "No such file or directory");

    EXPECT_FALSE(device.Open("", 9600));
    EXPECT_FALSE(device.IsOpen());

    char path[] = "/tmp/sfile-plain-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(device.Open(path, 9600));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.LastError(), "not a serial port");
    ::close(fd);
    ::unlink(path);
}

class SFileOnPty : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(pty.IsOk()); }

    termios SlaveSettings()
    {
        termios settings{};
        EXPECT_EQ(::tcgetattr(pty.Slave(), &settings), 0);
        return settings;
    }

    PtyPair pty;
    SFile device;
};

TEST_F(SFileOnPty, OpenAppliesTheModeWhateverThePortWasSetTo)
{
    // Leave the port as another program might: 300 baud, 7E2, hardware flow
    // control, software flow control and line editing on.
    termios messy = SlaveSettings();
    messy.c_cflag = (messy.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    messy.c_iflag |= IXON | IXOFF | ICRNL;
    messy.c_lflag |= ICANON | ECHO | ISIG;
    messy.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&messy, B300);
    ::cfsetospeed(&messy, B300);
    ASSERT_EQ(::tcsetattr(pty.Slave(), TCSANOW, &messy), 0);

    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600)) << device.LastError();
    EXPECT_TRUE(device.IsOpen());
    EXPECT_EQ(device.GetBaud(), 9600);

    const termios applied = SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_EQ(::cfgetispeed(&applied), static_cast<speed_t>(B9600));
    EXPECT_EQ(applied.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(applied.c_cflag & (PARENB | PARODD | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(applied.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(applied.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
    EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(applied.c_oflag & OPOST, 0u);
}

TEST_F(SFileOnPty, OpenAppliesStopBitsAndSpeed)
{
    // A pseudo-terminal keeps these; it always reports CS8 without parity.
    device.SetStopBits(2);
    ASSERT_TRUE(device.Open(pty.SlavePath(), 115200)) << device.LastError();
    const termios applied = SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&applied), static_cast<speed_t>(B115200));
    EXPECT_EQ(applied.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
}

TEST(SFileTermios, ModeSetsDataBitsParityAndStopBits)
{
    struct Case
    {
        const char* mode;
        tcflag_t size;
        tcflag_t parity;
        tcflag_t stop;
        speed_t speed;
    };
    for (const Case& c : {Case{"baud=9600 parity=N data=8 stop=1  ", CS8, 0, 0, B9600},
                          Case{"baud=300 parity=E data=7 stop=2  ", CS7, PARENB, CSTOPB, B300},
                          Case{"baud=921600 parity=O data=8 stop=1  ", CS8, PARENB | PARODD, 0, B921600},
                          Case{"baud=150 parity=N data=5 stop=1  ", CS5, 0, 0, B150}})
    {
        termios settings{};
        settings.c_cflag = CRTSCTS | CSTOPB | PARENB | PARODD | CS6 | HUPCL;
        settings.c_iflag = IXON | IXOFF | IXANY | ICRNL;
        settings.c_lflag = ICANON | ECHO | ISIG;
        settings.c_oflag = OPOST | ONLCR;
        std::string error;
        ASSERT_TRUE(sfile_os::ApplyMode(c.mode, settings, error)) << c.mode << error;
        EXPECT_EQ(settings.c_cflag & CSIZE, c.size) << c.mode;
        EXPECT_EQ(settings.c_cflag & (PARENB | PARODD), c.parity) << c.mode;
        EXPECT_EQ(settings.c_cflag & CSTOPB, c.stop) << c.mode;
        EXPECT_EQ(settings.c_cflag & CRTSCTS, 0u) << c.mode;
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD)) << c.mode;
        EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u) << c.mode;
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.mode;
        EXPECT_EQ(settings.c_oflag & OPOST, 0u) << c.mode;
        EXPECT_EQ(::cfgetospeed(&settings), c.speed) << c.mode;
        EXPECT_EQ(::cfgetispeed(&settings), c.speed) << c.mode;
    }
}

TEST(SFileTermios, MalformedModeOrUnknownSpeedIsRefused)
{
    termios settings{};
    std::string error;
    EXPECT_FALSE(sfile_os::ApplyMode("baud=9600 parity=X", settings, error));
    EXPECT_EQ(error, "invalid mode \"baud=9600 parity=X\"");
    EXPECT_FALSE(sfile_os::ApplyMode("baud=14400", settings, error));
    EXPECT_EQ(error, "unsupported baud rate 14400");
}

TEST_F(SFileOnPty, BaudRateWithoutATerminalSpeedIsRefused)
{
    EXPECT_FALSE(device.Open(pty.SlavePath(), 14400));
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.LastError(), "unsupported baud rate 14400");
}

TEST_F(SFileOnPty, SecondOpenerInThisProcessIsRefused)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    SFile second;
    EXPECT_FALSE(second.Open(pty.SlavePath(), 9600));
    EXPECT_FALSE(second.IsOpen());
    EXPECT_FALSE(second.LastError().empty());

    device.Close();
    EXPECT_TRUE(second.Open(pty.SlavePath(), 9600)) << "closing releases the port: " << second.LastError();
}

TEST_F(SFileOnPty, OpenerInAnotherProcessIsRefused)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        SFile other;
        ::_exit(other.Open(pty.SlavePath(), 9600) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the other process opened a port this one holds";
}

// Terminal programs and modem probers open a port without flock; the
// terminal's own exclusive mode refuses them, except to root.
TEST_F(SFileOnPty, AnOrdinaryUsersPlainOpenIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a child as an ordinary user";
    constexpr uid_t kNobody = 65534;
    ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0666), 0) << "the device is the user's to open";
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd < 0 && errno == EBUSY ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another user's program opened a port this one holds";

    device.Close();
    const pid_t later = ::fork();
    ASSERT_GE(later, 0);
    if (later == 0)
    {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        ::_exit(::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0 ? 0 : 1);
    }
    ASSERT_EQ(::waitpid(later, &status, 0), later);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "closed, the port is free for others again";
}

TEST_F(SFileOnPty, BytesPassBothWaysUnchanged)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    const std::string every = AllByteValues();

    ASSERT_TRUE(pty.Send(every));
    EXPECT_EQ(ReadWaiting(device, every.size()), every);

    unsigned written = 0;
    EXPECT_TRUE(device.Write(every.data(), static_cast<unsigned>(every.size()), &written));
    EXPECT_EQ(written, every.size());
    EXPECT_EQ(pty.Receive(every.size()), every);
}

TEST_F(SFileOnPty, InQueueCountsWaitingBytesAndSmallReadsLeaveTheRest)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    ASSERT_TRUE(pty.Send("0123456789"));
    ASSERT_TRUE(WaitFor([&] { return device.InQueue() == 10; }));

    unsigned got = 99;
    char none = 0;
    EXPECT_TRUE(device.Read(&none, 0, &got));
    EXPECT_EQ(got, 0u);

    char four[4];
    EXPECT_TRUE(device.Read(four, 4, &got));
    EXPECT_EQ(std::string(four, got), "0123");
    EXPECT_EQ(device.InQueue(), 6u);
}

TEST_F(SFileOnPty, OpenDiscardsWhatWasQueuedBefore)
{
    ASSERT_TRUE(pty.Send("stale bytes\n"));
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    EXPECT_EQ(device.InQueue(), 0u);
    ASSERT_TRUE(pty.Send("fresh"));
    EXPECT_EQ(ReadWaiting(device, 5), "fresh");
}

TEST_F(SFileOnPty, CloseResetsTheOpeningsFields)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 19200));
    EXPECT_EQ(device.GetBaud(), 19200);
    device.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.GetPort(), 0u);
    EXPECT_EQ(device.GetBaud(), 0);
    EXPECT_EQ(device.GetReadTimeout(), 0u);
    EXPECT_EQ(device.GetReadRetries(), 0u);
    device.Close();
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(SFileOnPty, WaitReadableWakesForDataForInterruptAndForHangUp)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    EXPECT_EQ(device.WaitReadable(1000), SFile::WaitResult::TimedOut);

    ASSERT_TRUE(pty.Send("x"));
    EXPECT_EQ(device.WaitReadable(5000000), SFile::WaitResult::Readable);
    ASSERT_EQ(ReadWaiting(device, 1), "x");

    std::atomic<bool> waiting{false};
    std::thread interrupter([&] {
        WaitFor([&] { return waiting.load(); });
        device.Interrupt();
    });
    waiting = true;
    EXPECT_EQ(device.WaitReadable(10000000), SFile::WaitResult::Interrupted);
    interrupter.join();
    EXPECT_EQ(device.WaitReadable(1000), SFile::WaitResult::TimedOut) << "an interrupt is used up once seen";

    pty.CloseMaster();
    EXPECT_EQ(device.WaitReadable(5000000), SFile::WaitResult::Failed);
}

TEST(SFileClosedWait, ClosedDeviceWaitsOnlyForInterrupt)
{
    SFile device;
    EXPECT_EQ(device.WaitReadable(1000), SFile::WaitResult::TimedOut);
    device.Interrupt();
    EXPECT_EQ(device.WaitReadable(10000000), SFile::WaitResult::Interrupted);
    EXPECT_EQ(device.WaitInterrupt(1000), SFile::WaitResult::TimedOut);
}

TEST_F(SFileOnPty, WriteAvailableTakesWhatFitsWithoutWaiting)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    EXPECT_EQ(device.Wait(1000, true), SFile::WaitResult::Writable);
    const std::string block(1 << 20, 'q');
    unsigned written = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(device.WriteAvailable(block.data(), static_cast<unsigned>(block.size()), &written));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, block.size()) << "nobody reads the far end, so the terminal fills";

    EXPECT_EQ(pty.Receive(written), std::string(written, 'q'));
    EXPECT_EQ(device.Wait(5000000, true), SFile::WaitResult::Writable);
}

TEST_F(SFileOnPty, WriteGivesUpAfterASecondWhenThePortTakesNoMore)
{
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    // Nobody reads the master: the terminal's buffer fills and stays full.
    const std::string block(1 << 20, 'z');
    unsigned written = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(device.Write(block.data(), static_cast<unsigned>(block.size()), &written));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, block.size());
}

// A pseudo-terminal keeps speed, stop bits and flow control, forces 8 data
// bits without parity, has no modem lines and takes a break without effect.
TEST_F(SFileOnPty, ControlsChangeTheOpenPortAndReportWhatItHolds)
{
    EXPECT_FALSE(device.SetLine({19200, 8, 'N', 1}));
    EXPECT_EQ(device.LastError(), "the port is not open");
    ASSERT_TRUE(device.Open(pty.SlavePath(), 9600));
    EXPECT_EQ(device.GetLine(), (SFile::LineSettings{9600, 8, 'N', 1}));
    EXPECT_EQ(device.GetControlLines().brk, SFile::Signal::Off);

    ASSERT_TRUE(device.SetLine({57600, 7, 'E', 2})) << device.LastError();
    termios held = SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&held), static_cast<speed_t>(B57600));
    EXPECT_EQ(held.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8 | CSTOPB));
    const SFile::LineSettings inForce{57600, 8, 'N', 2};
    EXPECT_EQ(device.GetLine(), inForce) << "what the terminal holds, not what was asked for";

    for (const SFile::LineSettings& refused : {SFile::LineSettings{14400, 8, 'N', 1},
                                               SFile::LineSettings{9600, 8, 'N', SFile::kOneAndHalfStopBits},
                                               SFile::LineSettings{9600, 9, 'N', 1}, SFile::LineSettings{9600, 8, 'X', 1}})
    {
        EXPECT_FALSE(device.SetLine(refused)) << refused.baud;
        EXPECT_FALSE(device.LastError().empty());
        EXPECT_EQ(device.GetLine(), inForce);
    }
    held = SlaveSettings();
    EXPECT_EQ(::cfgetospeed(&held), static_cast<speed_t>(B57600)) << "a refused line leaves the port alone";

    ASSERT_TRUE(device.SetFlowControl({true, true}));
    held = SlaveSettings();
    EXPECT_EQ(held.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
    EXPECT_EQ(held.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_TRUE(device.GetFlowControl().hardware && device.GetFlowControl().software);
    ASSERT_TRUE(device.SetFlowControl({false, false}));
    EXPECT_EQ(SlaveSettings().c_cflag & CRTSCTS, 0u);
    EXPECT_FALSE(device.GetFlowControl().hardware || device.GetFlowControl().software);

    EXPECT_FALSE(device.SetDtr(true));
    EXPECT_EQ(device.LastError(), "Inappropriate ioctl for device");
    EXPECT_FALSE(device.SetRts(true));
    EXPECT_EQ(device.GetControlLines().dtr, SFile::Signal::Unknown);
    EXPECT_EQ(device.GetControlLines().rts, SFile::Signal::Unknown);
    SFile::ModemLines lines;
    EXPECT_FALSE(device.GetModemLines(lines));
    ASSERT_TRUE(device.SetBreak(true)) << device.LastError();
    EXPECT_EQ(device.GetControlLines().brk, SFile::Signal::On);
    ASSERT_TRUE(device.SetBreak(false));
    EXPECT_EQ(device.GetControlLines().brk, SFile::Signal::Off);

    ASSERT_TRUE(pty.Send("stale"));
    ASSERT_TRUE(WaitFor([&] { return device.InQueue() == 5; }));
    EXPECT_TRUE(device.Purge(SFile::Queues::Output));
    EXPECT_EQ(device.InQueue(), 5u) << "output only";
    EXPECT_TRUE(device.Purge(SFile::Queues::Input));
    EXPECT_EQ(device.InQueue(), 0u);
    ASSERT_TRUE(pty.Send("fresh"));
    EXPECT_EQ(ReadWaiting(device, 5), "fresh");

    device.Close();
    EXPECT_EQ(device.GetLine().baud, 0);
}
