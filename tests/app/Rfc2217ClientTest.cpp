// The runner's RFC 2217 bridges against a client nobody here wrote: pyserial.
#include "support/ChildProcess.h"
#include "support/PatternStream.h"
#include "support/PtyPair.h"
#include "support/TcpClient.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <termios.h>

#include <csignal>
#include <fstream>

using namespace std::chrono_literals;

namespace
{
// Steps through what a program using pyserial does to the port; between
// steps it prints what it did and waits for the test to look at the device.
const char kClient[] = R"(
import os, serial, sys, time
port, steps = sys.argv[1], sys.argv[2]
def step(name):
    print(name, flush=True)
    deadline = time.time() + 20
    while not os.path.exists(os.path.join(steps, name)):
        if time.time() > deadline: sys.exit('no go for ' + name)
        time.sleep(0.01)
def pattern(offset, count):
    return bytes(((n * 131 + (n >> 11)) & 0xFF) for n in range(offset, offset + count))
url = 'rfc2217://127.0.0.1:%s' % port
writer = serial.serial_for_url(url, baudrate=19200, stopbits=2, timeout=10)
step('19200 8N2')
try:
    writer.bytesize = 7
    writer.parity = 'E'
    print('7E accepted', flush=True)
except ValueError:
    print('7E refused', flush=True)
writer.bytesize = 8
writer.parity = 'N'
writer.baudrate = 115200
writer.stopbits = 1
step('115200 8N1')
size = 1 << 20
writer.write(pattern(0, size))
writer.flush()
step('sent')
got = writer.read(size)
print('received', 'all' if got == pattern(0, size) else '%d wrong' % len(got), flush=True)
writer.dtr = False
writer.rts = False
writer.dtr = True
writer.rts = True
writer.send_break(0.05)
writer.reset_input_buffer()
writer.reset_output_buffer()
reader = serial.serial_for_url(url, baudrate=115200, timeout=10)
try:
    reader.baudrate = 300
    print('reader changed the speed', flush=True)
except ValueError:
    print('reader refused', flush=True)
reader.write(b'from the reader')
writer.write(b'from the writer')
writer.flush()
step('both wrote')
print('writer got', writer.read(5), 'reader got', reader.read(5), flush=True)
reader.close()
writer.close()
print('done', flush=True)
)";

bool SpeedAndStopBits(int fd, speed_t speed, bool twoStopBits)
{
    termios settings{};
    return ::tcgetattr(fd, &settings) == 0 && ::cfgetospeed(&settings) == speed &&
           ((settings.c_cflag & CSTOPB) != 0) == twoStopBits && (settings.c_cflag & CSIZE) == CS8 &&
           (settings.c_cflag & PARENB) == 0;
}
} // namespace

TEST(Rfc2217Client, PyserialSetsThePortMovesEveryByteAndAReaderChangesNothing)
{
    TempDir dir;
    PtyPair telnet, raw;
    ASSERT_TRUE(telnet.IsOk() && raw.IsOk());
    const unsigned short telnetPort = FreeTcpPort(), rawPort = FreeTcpPort();
    const auto shell = [&](const std::vector<std::string>& arguments) {
        return RunsToSuccess(SERIAL_TCP_BRIDGED, arguments, dir.Path().string());
    };
    ASSERT_TRUE(shell({"add", telnet.SlavePath(), "9600", std::to_string(telnetPort), "--protocol", "rfc2217"}));
    ASSERT_TRUE(shell({"add", raw.SlavePath(), "9600", std::to_string(rawPort)}));
    ChildProcess runner(SERIAL_TCP_BRIDGED, {}, dir.Path().string());

    // The raw bridge beside it is unchanged: 0xFF is one byte both ways.
    TcpClient rawClient;
    ASSERT_TRUE(WaitFor([&] { return rawClient.Connect(rawPort); }, 10s)) << runner.StandardError();
    ASSERT_TRUE(rawClient.Send(AllByteValues()));
    EXPECT_EQ(raw.Receive(256), AllByteValues());
    ASSERT_TRUE(raw.Send(AllByteValues()));
    EXPECT_TRUE(WaitFor([&] { return rawClient.Poll() && rawClient.Received().size() >= 256; }));
    EXPECT_EQ(rawClient.Received(), AllByteValues());

    std::ofstream(dir / "client.py") << kClient;
    const std::string steps = (dir / "steps").string();
    std::filesystem::create_directory(steps);
    ChildProcess client("/usr/bin/python3", {"client.py", std::to_string(telnetPort), steps}, dir.Path().string());
    const auto said = [&](const std::string& line) {
        return WaitFor([&] { return client.StandardOutput().find(line + "\n") != std::string::npos; }, 20s);
    };
    const auto go = [&](const std::string& name) { std::ofstream(steps + "/" + name); };

    ASSERT_TRUE(said("19200 8N2")) << client.StandardError() << runner.StandardError();
    EXPECT_TRUE(SpeedAndStopBits(telnet.Master(), B19200, true));
    go("19200 8N2");
    // A pseudo-terminal keeps 8 data bits and no parity: the answer says so.
    ASSERT_TRUE(said("115200 8N1")) << client.StandardError();
    EXPECT_NE(client.StandardOutput().find("7E refused"), std::string::npos);
    EXPECT_TRUE(SpeedAndStopBits(telnet.Master(), B115200, false));
    go("115200 8N1");

    constexpr std::uint64_t kStream = 1 << 20;
    {
        PatternReader device(telnet.Master(), kStream);
        EXPECT_TRUE(WaitFor([&] { return device.Done() || device.Failed(); }, 30s));
        EXPECT_FALSE(device.Failed()) << "after " << device.Received() << " bytes";
    }
    ASSERT_TRUE(said("sent"));
    go("sent");
    {
        PatternWriter device(telnet.Master(), kStream);
        EXPECT_TRUE(WaitFor([&] { return device.Done() || device.Failed(); }, 30s));
    }
    ASSERT_TRUE(said("received all")) << client.StandardOutput() << client.StandardError();

    ASSERT_TRUE(said("reader refused")) << client.StandardOutput() << client.StandardError();
    ASSERT_TRUE(said("both wrote"));
    EXPECT_EQ(telnet.ReceiveUntilQuiet(300ms), "from the writer");
    EXPECT_TRUE(SpeedAndStopBits(telnet.Master(), B115200, false)) << "the reader changed nothing";
    ASSERT_TRUE(telnet.Send("hello"));
    go("both wrote");
    ASSERT_TRUE(said("writer got b'hello' reader got b'hello'")) << client.StandardOutput();
    ASSERT_TRUE(said("done"));

    // With the last client gone, the stored settings are back.
    EXPECT_TRUE(WaitFor([&] { return SpeedAndStopBits(telnet.Master(), B9600, false); }));
    runner.Signal(SIGTERM);
    int status = -1;
    ASSERT_TRUE(runner.Wait(5s, status));
    EXPECT_EQ(status, 0);
}
