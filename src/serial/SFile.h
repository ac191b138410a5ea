#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sfile_os
{
struct Waker;
enum class Control;
} // namespace sfile_os

// One serial port, opened exclusively and configured from a mode string such
// as "baud=9600 parity=N data=8 stop=1  ". The operating-system work lives in
// one file per platform (SFilePosix.cpp, SFileWin32.cpp) behind SFileOs.h.
//
// Threads: one thread may read, poll and wait while another writes; Open and
// Close only while no other thread is inside the device. Interrupt may be
// called from any thread at any time. This header stays free of wxWidgets so
// that the Windows backend compiles on its own.
class SFile
{
public:
    // A file descriptor on POSIX, a HANDLE on Windows.
    using Handle = std::intptr_t;
    static constexpr Handle kInvalidHandle = -1;
    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
    static constexpr std::uint32_t kWriteTimeoutMs = 1000;
    // A wait's time-out that never comes.
    static constexpr unsigned kForever = ~0u;
    // The character frame of a new device, and of every bridge that has no
    // other: 8 data bits, no parity, 1 stop bit.
    static constexpr std::uint8_t kDefaultDataBits = 8;
    static constexpr char kDefaultParity = 'N';
    static constexpr std::uint8_t kDefaultStopBits = 1;
    // The stop bits value that means one and a half.
    static constexpr unsigned kOneAndHalfStopBits = 3;

    enum class WaitResult
    {
        Readable,    // bytes are waiting, or the port reports a condition a read will show
        Writable,    // the port takes more output (only when asked for)
        TimedOut,
        Interrupted, // Interrupt() was called
        Failed,      // the port is gone or the wait itself failed
        Other        // only one of the other descriptors is ready
    };

    // Another descriptor that a wait watches beside the port, where the
    // platform can (WaitsForOthers): what is wanted of it and, after the
    // wait, whether it showed that, a hang-up or an error. On Windows the
    // handle is an event that its owner has tied to what it wants, and ready
    // says that the event fired.
    struct OtherWait
    {
        Handle handle = kInvalidHandle;
        bool input = false;
        bool output = false;
        bool ready = false;
    };

    struct LineSettings
    {
        int baud = 0;
        unsigned dataBits = 8;
        char parity = 'N';
        unsigned stopBits = 1;

        bool operator==(const LineSettings& other) const
        {
            return baud == other.baud && dataBits == other.dataBits && parity == other.parity &&
                   stopBits == other.stopBits;
        }
        bool operator!=(const LineSettings& other) const { return !(*this == other); }
    };

    // Hardware flow control is RTS/CTS, software XON/XOFF both ways.
    struct FlowControl
    {
        bool hardware = false;
        bool software = false;
    };

    // A line the device drives for us, or a break it sends.
    enum class Signal : std::uint8_t
    {
        Unknown,
        Off,
        On
    };
    // DTR and RTS, and whether a break is being sent.
    struct ControlLines
    {
        Signal dtr = Signal::Unknown;
        Signal rts = Signal::Unknown;
        Signal brk = Signal::Unknown;
    };

    // The modem's input lines.
    struct ModemLines
    {
        bool cts = false;
        bool dsr = false;
        bool ri = false;
        bool dcd = false;
    };

    SFile();
    virtual ~SFile();
    SFile(const SFile&) = delete;
    SFile& operator=(const SFile&) = delete;

    // Take effect at the next Open. Out-of-range values fall back as noted.
    void SetDataBits(std::uint8_t bits); // 7 or 8, else 8
    void SetParity(char parity);         // 'N', 'E' or 'O', else 'N'
    void SetStopBits(std::uint8_t bits); // 1 or 2, else unchanged

    // Opens the port exclusively and applies the baud rate and the settings
    // above, 8N1 by default, no flow control, DTR and RTS off, both queues
    // purged. On POSIX the name is a device path (a bare "ttyUSB0" means
    // "/dev/ttyUSB0"); on Windows it is "COMn". False leaves the device
    // closed and LastError() saying why. An open device is closed first.
    bool Open(const std::string& portName, int baud);
    void Close();
    bool IsOpen() const { return m_handle != kInvalidHandle; }
    // Whether it pays to wait for a pause in the open port's input before its
    // bytes go on, so that a message goes out whole: not on a pseudo-terminal,
    // whose bytes come in whole writes of the program at its other end, never
    // at a baud rate; nor on Windows, whose waits last whole timer ticks (up
    // to 15.6 ms) where the pause lasts two characters (at most 1 ms).
    bool WaitsForGaps() const;

    // Bytes waiting in the driver's input queue; 0 when closed or on failure.
    unsigned InQueue();

    // Reads exactly count bytes, waiting m_readTimeout ms (retried
    // m_readRetries times) for the rest; never asks for more than InQueue()
    // reported if it must not wait. False on failure or time-out, with
    // *bytesRead telling how many arrived.
    bool Read(void* buffer, unsigned count, unsigned* bytesRead);

    // Writes count bytes, waiting at most kWriteTimeoutMs for the port to take
    // them. False when not all were taken; *bytesWritten tells how many were.
    bool Write(const void* buffer, unsigned count, unsigned* bytesWritten);

    // Reads at most count of the bytes that are waiting, without waiting for
    // more; *bytesRead may be 0. False on a failure.
    bool ReadAvailable(void* buffer, unsigned count, unsigned* bytesRead);

    // Writes what the port takes now, without waiting for more room; *bytesWritten
    // tells how much it took. False on a failure; a full output queue is not one.
    bool WriteAvailable(const void* buffer, unsigned count, unsigned* bytesWritten);
    // Whether the bytes WriteAvailable takes are written later, while the
    // caller goes on (Windows): TakeWritten then tells how many have been
    // since it was last asked (false when the port failed them), and a wait
    // for output waits for them.
    static bool WritesInFlight();
    bool TakeWritten(unsigned* written);
    // Whether a wait learns of a port that goes (a hang-up or an error on
    // it), so that an idle port needs no time-out to be looked at again.
    static bool WaitsSeeLostPorts();
    // Whether a wait can watch other descriptors beside the port.
    static bool WaitsForOthers();

    enum class Queues
    {
        Input,
        Output,
        Both
    };
    // Discards what waits in the driver's queues. False when closed.
    bool Purge(Queues which = Queues::Both);

    // Waits until input is waiting or, with forOutput, until the port takes
    // more output; at most timeoutMicros, or without end for kForever. Input
    // wins when both hold. On a closed device it waits only for Interrupt, so
    // an idle caller still sleeps.
    // With others, those are watched too and each marked ready or not; Wait
    // says Other when only they are.
    WaitResult Wait(unsigned timeoutMicros, bool forOutput, std::vector<OtherWait>* others = nullptr);
    WaitResult WaitReadable(unsigned timeoutMicros) { return Wait(timeoutMicros, false); }

    // Waits only for Interrupt (and the others), at most timeoutMicros: a
    // pause that a stop request can cut short.
    WaitResult WaitInterrupt(unsigned timeoutMicros, std::vector<OtherWait>* others = nullptr);

    // Makes the current or the next wait return Interrupted at once.
    void Interrupt();

    // Changes to the open port. Each is false when the port is closed or the
    // device refuses, with LastError() saying why; what was in force stays
    // then. Nothing queued is waited for or discarded. SetLine,
    // SetFlowControl and Purge only while no other thread is inside the
    // device; SetDtr, SetRts, SetBreak and GetModemLines also while another
    // thread reads, waits or writes.

    // Sets the baud rate and the frame: 5 to 8 data bits, parity 'N', 'O',
    // 'E', 'M' (mark) or 'S' (space), 1, 2 or kOneAndHalfStopBits stop bits,
    // as far as the platform has them (POSIX has no 1.5). The device may
    // keep other values than those asked for, which is no failure: a Linux
    // pseudo-terminal keeps the speed and stop bits but holds 8 data bits
    // and no parity. GetLine() tells what it holds.
    bool SetLine(const LineSettings& wanted);
    // Whether line is within the ranges above, whatever the platform has.
    static bool IsLineInRange(const LineSettings& line);
    // The line in force, read back from the device after Open and after
    // each SetLine; baud 0 while closed.
    const LineSettings& GetLine() const { return m_line; }

    // Open switches both off.
    bool SetFlowControl(const FlowControl& wanted);
    // What the device holds, read back as GetLine is.
    const FlowControl& GetFlowControl() const { return m_flow; }

    // Open drops DTR and RTS and ends a break. A pseudo-terminal has no
    // modem lines: it refuses DTR and RTS, and takes a break without effect.
    bool SetDtr(bool on);
    bool SetRts(bool on);
    bool SetBreak(bool on);
    // DTR and RTS as the device reports them after each change, else as last
    // set; Unknown when it neither reports them nor took a change. No device
    // reports a break: it is as last set.
    const ControlLines& GetControlLines() const { return m_control; }

    // Reads the modem's input lines now. False when the device cannot tell
    // (a pseudo-terminal has none): lines is left alone.
    bool GetModemLines(ModemLines& lines);

    std::uint32_t GetPort() const { return m_port; }
    int GetBaud() const { return m_baud; }
    std::uint8_t GetDataBits() const { return m_dataBits; }
    char GetParity() const { return m_parity; }
    std::uint8_t GetStopBits() const { return m_stopBits; }
    std::uint32_t GetReadTimeout() const { return m_readTimeout; }
    std::uint32_t GetReadRetries() const { return m_readRetries; }
    // Why the last Open or change of the open port failed, such as "Device
    // or resource busy".
    const std::string& LastError() const { return m_lastError; }

    // "baud=9600 parity=N data=8 stop=1  " (two trailing blanks).
    static std::string ModeString(int baud, char parity, unsigned dataBits, unsigned stopBits);

    // Reads a mode string of blank-separated key=value pairs (baud, parity,
    // data, stop; keys and parity letters in either case) on top of settings.
    // False on an unknown key, a malformed or out-of-range value.
    static bool ParseMode(const std::string& mode, LineSettings& settings);

    // The number after the last 'M' or 'm' of the name ("COM12" gives 12): leading
    // digits count, anything else gives 0. A name without 'M' is read whole.
    static unsigned PortNumber(const std::string& portName);

    // The Windows file name of port n: "COM9", and "\\.\COM10" from 10 on.
    static std::wstring WindowsPortName(unsigned port);

    // The POSIX device path of a port name: a bare name lives in /dev.
    static std::string DevicePath(const std::string& portName);

    // How a log line names the port: "/dev/ttyUSB0" on POSIX, "3" for COM3
    // on Windows.
    static std::string PortLabel(const std::string& portName);

private:
    // state is the entry of m_control that which drives.
    bool ChangeControl(sfile_os::Control which, bool on, Signal& state);
    // Refreshes m_line and m_flow from the device, where it tells them.
    void ReadSettings();

    Handle m_handle;
    std::uint32_t m_port;
    std::uint32_t m_readTimeout;
    std::uint32_t m_readRetries;
    std::int32_t m_baud;
    std::uint8_t m_dataBits;
    char m_parity;
    std::uint8_t m_stopBits;
    std::string m_lastError;
    LineSettings m_line;     // in force on the open port
    FlowControl m_flow;      // in force on the open port
    ControlLines m_control;  // in force on the open port
    sfile_os::Waker* m_waker; // owned; lives as long as the device object
};
