// The serial device on the Windows communication API: the port is opened
// overlapped so that a wait for input can be cut short, and every transfer
// has its own event and OVERLAPPED record.
//
// Input is waited for with a read of one byte, not with WaitCommEvent: Wine
// ends every WaitCommEvent on a port without modem lines (a pseudo-terminal)
// at once, as cancelled. The byte such a wait brings is kept with the port
// and handed out first by the next read.

#include "SFileWin32.h"

#include "SFileOs.h"

#include <winioctl.h>

#include <algorithm>

namespace sfile_os
{
struct Waker
{
    HANDLE event;
};

namespace
{
const DWORD kPurgeInput = PURGE_RXABORT | PURGE_RXCLEAR;
const DWORD kPurgeOutput = PURGE_TXABORT | PURGE_TXCLEAR;
const char kXon = 0x11;
const char kXoff = 0x13;
// From the serial driver's interface (ntddser.h), whose header is the driver
// kit's and does not build in a program.
const DWORD kGetDtrRts = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 30, METHOD_BUFFERED, FILE_ANY_ACCESS);
const ULONG kDtrState = 0x1;
const ULONG kRtsState = 0x2;

// An open port. The byte a wait has read is touched only by the thread that
// reads, or while no other thread is inside the device. The other fields
// belong to the thread that changes the port: every control block written
// must repeat them, or a new baud rate would drop DTR.
struct Port
{
    HANDLE handle;
    // The events of the reading thread's transfers (waits included) and of
    // the worker's writes, made once: under Wine each one made and closed
    // costs two calls to its server.
    HANDLE readEvent;
    HANDLE writeEvent;
    bool hasWaitedByte = false;
    unsigned char waitedByte = 0;
    bool dtr = false;
    bool rts = false;
    bool hardwareFlow = false;
};

Port& PortOf(Handle handle)
{
    return *reinterpret_cast<Port*>(handle);
}

HANDLE Native(Handle handle)
{
    return PortOf(handle).handle;
}

// Hands out the byte a wait has read, if there is one; returns how many
// bytes that put into buffer (0 or 1).
unsigned TakeWaitedByte(Handle handle, void* buffer, unsigned count)
{
    Port& port = PortOf(handle);
    if (!port.hasWaitedByte || count == 0)
        return 0;
    *static_cast<unsigned char*>(buffer) = port.waitedByte;
    port.hasWaitedByte = false;
    return 1;
}

std::string ErrorText(DWORD error)
{
    char* text = nullptr;
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = length && text ? std::string(text, length) : "error " + std::to_string(error);
    if (text)
        LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.'))
        result.pop_back();
    return result;
}

bool ReadState(HANDLE port, DCB& control, std::string& error)
{
    control = DCB{};
    control.DCBlength = sizeof control;
    if (GetCommState(port, &control))
        return true;
    error = ErrorText(GetLastError());
    return false;
}

bool WriteState(const Port& port, DCB& control, std::string& error)
{
    control.fDtrControl = port.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    control.fRtsControl = port.hardwareFlow ? RTS_CONTROL_HANDSHAKE
                          : port.rts        ? RTS_CONTROL_ENABLE
                                            : RTS_CONTROL_DISABLE;
    if (SetCommState(port.handle, &control))
        return true;
    error = ErrorText(GetLastError());
    return false;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide;
    for (char c : text)
        wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return wide;
}

std::wstring FromUtf8(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

// n of COMn in any case, also in the device namespace; 0 for another name.
unsigned ComNumber(const std::string& portName)
{
    const std::string name = portName.rfind("\\\\.\\", 0) == 0 ? portName.substr(4) : portName;
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0)
        return 0;
    return SFile::PortNumber(name);
}

DWORD MillisecondsFor(unsigned micros)
{
    return micros == SFile::kForever ? INFINITE : static_cast<DWORD>((micros + 999u) / 1000u);
}

// A cancelled transfer still owns its OVERLAPPED record, its event and the
// caller's buffer until the driver has finished with it: wait for that.
// Returns how many bytes it moved before the cancel.
DWORD CancelAndSettle(HANDLE port, OVERLAPPED& overlapped)
{
    DWORD done = 0;
    CancelIo(port);
    GetOverlappedResult(port, &overlapped, &done, TRUE);
    return done;
}

enum class Outcome
{
    Completed,
    TimedOut, // cancelled after the wait; *done tells what moved before
    Failed
};

// One overlapped ReadFile or WriteFile with a bounded wait, on the given
// manual-reset event (which the transfer resets as it starts) or on one of
// its own.
template <typename Start>
Outcome Transfer(HANDLE port, Start start, DWORD* done, DWORD timeoutMs, DWORD retries, HANDLE event = nullptr)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = event ? event : CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return Outcome::Failed;
    Outcome result = Outcome::Failed;
    if (start(&overlapped))
    {
        result = Outcome::Completed;
    }
    else if (GetLastError() == ERROR_IO_PENDING)
    {
        for (DWORD timeouts = 0;;)
        {
            const DWORD outcome = WaitForSingleObject(overlapped.hEvent, timeoutMs);
            if (outcome == WAIT_OBJECT_0)
            {
                result = GetOverlappedResult(port, &overlapped, done, FALSE) ? Outcome::Completed : Outcome::Failed;
                break;
            }
            if (outcome == WAIT_TIMEOUT && ++timeouts <= retries)
                continue;
            *done = CancelAndSettle(port, overlapped);
            result = outcome == WAIT_TIMEOUT ? Outcome::TimedOut : Outcome::Failed;
            break;
        }
    }
    if (!event)
        CloseHandle(overlapped.hEvent);
    return result;
}
} // namespace

std::string PortLabel(const std::string& portName)
{
    const unsigned number = ComNumber(portName);
    return number ? std::to_string(number) : portName;
}

Handle Open(const std::string& portName, std::string& error)
{
    // A port the registry lists by another name (a virtual port driver's
    // CNCA0, say) is there in the device namespace.
    const unsigned number = ComNumber(portName);
    const std::wstring name = number ? SFile::WindowsPortName(number) : L"\\\\.\\" + FromUtf8(portName);
    const HANDLE port = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
    {
        error = ErrorText(GetLastError());
        return SFile::kInvalidHandle;
    }
    const HANDLE readEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE writeEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!readEvent || !writeEvent)
    {
        error = ErrorText(GetLastError());
        for (const HANDLE made : {readEvent, writeEvent, port})
        {
            if (made)
                CloseHandle(made);
        }
        return SFile::kInvalidHandle;
    }
    return reinterpret_cast<Handle>(new Port{port, readEvent, writeEvent});
}

bool ApplyMode(const std::string& mode, DCB& control, std::string& error)
{
    // The mode ends in blanks, which Wine's parser refuses; Windows ignores them.
    const std::wstring wideMode = Widen(mode.substr(0, mode.find_last_not_of(' ') + 1));
    if (!BuildCommDCBW(wideMode.c_str(), &control))
    {
        error = "invalid mode \"" + mode + "\"";
        return false;
    }
    // Whatever another program left on: every byte value must pass unchanged
    // and nothing may stop the flow.
    control.fBinary = TRUE;
    control.fParity = control.Parity != NOPARITY;
    control.fOutxCtsFlow = FALSE;
    control.fOutxDsrFlow = FALSE;
    control.fDsrSensitivity = FALSE;
    control.fOutX = FALSE;
    control.fInX = FALSE;
    control.fErrorChar = FALSE;
    control.fNull = FALSE;
    control.fAbortOnError = FALSE;
    control.fDtrControl = DTR_CONTROL_DISABLE;
    control.fRtsControl = RTS_CONTROL_DISABLE;
    return true;
}

bool Configure(Handle handle, const std::string& mode, std::string& error)
{
    Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error) || !ApplyMode(mode, control, error))
        return false;
    port.dtr = port.rts = port.hardwareFlow = false;
    return WriteState(port, control, error);
}

bool GetSettings(Handle handle, SFile::LineSettings& line, SFile::FlowControl& flow, std::string& error)
{
    DCB control;
    if (!ReadState(Native(handle), control, error))
        return false;
    const char parities[] = "NOEMS";
    line.baud = static_cast<int>(control.BaudRate);
    line.dataBits = control.ByteSize;
    line.parity = control.Parity < sizeof parities - 1 ? parities[control.Parity] : 'N';
    line.stopBits = control.StopBits == TWOSTOPBITS    ? 2
                    : control.StopBits == ONE5STOPBITS ? SFile::kOneAndHalfStopBits
                                                       : 1;
    flow.hardware = control.fOutxCtsFlow;
    flow.software = control.fOutX && control.fInX;
    return true;
}

bool SetLine(Handle handle, const SFile::LineSettings& line, std::string& error)
{
    const Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error))
        return false;
    control.BaudRate = static_cast<DWORD>(line.baud);
    control.ByteSize = static_cast<BYTE>(line.dataBits);
    switch (line.parity)
    {
    case 'O': control.Parity = ODDPARITY; break;
    case 'E': control.Parity = EVENPARITY; break;
    case 'M': control.Parity = MARKPARITY; break;
    case 'S': control.Parity = SPACEPARITY; break;
    default: control.Parity = NOPARITY; break;
    }
    control.fParity = control.Parity != NOPARITY;
    control.StopBits = line.stopBits == 2                           ? TWOSTOPBITS
                       : line.stopBits == SFile::kOneAndHalfStopBits ? ONE5STOPBITS
                                                                     : ONESTOPBIT;
    return WriteState(port, control, error);
}

bool SetFlowControl(Handle handle, const SFile::FlowControl& flow, std::string& error)
{
    Port& port = PortOf(handle);
    DCB control;
    if (!ReadState(port.handle, control, error))
        return false;
    control.fOutxCtsFlow = flow.hardware;
    control.fOutX = flow.software;
    control.fInX = flow.software;
    if (flow.software)
    {
        // Another program may have moved them; the far end expects these.
        control.XonChar = kXon;
        control.XoffChar = kXoff;
    }
    const bool hadHardwareFlow = port.hardwareFlow;
    port.hardwareFlow = flow.hardware;
    if (WriteState(port, control, error))
        return true;
    port.hardwareFlow = hadHardwareFlow;
    return false;
}

bool SetControl(Handle handle, Control which, bool on, std::string& error)
{
    Port& port = PortOf(handle);
    BOOL done = FALSE;
    switch (which)
    {
    case Control::Dtr: done = EscapeCommFunction(port.handle, on ? SETDTR : CLRDTR); break;
    case Control::Rts: done = EscapeCommFunction(port.handle, on ? SETRTS : CLRRTS); break;
    case Control::Break: done = on ? SetCommBreak(port.handle) : ClearCommBreak(port.handle); break;
    }
    if (!done)
    {
        error = ErrorText(GetLastError());
        return false;
    }
    if (which == Control::Dtr)
        port.dtr = on;
    else if (which == Control::Rts)
        port.rts = on;
    return true;
}

bool GetOutputLines(Handle handle, bool& dtr, bool& rts)
{
    // The port is overlapped, so even this quick request needs its record.
    const HANDLE port = Native(handle);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent)
        return false;
    ULONG lines = 0;
    DWORD size = 0;
    bool read = DeviceIoControl(port, kGetDtrRts, nullptr, 0, &lines, sizeof lines, &size, &overlapped);
    if (!read && GetLastError() == ERROR_IO_PENDING)
        read = GetOverlappedResult(port, &overlapped, &size, TRUE);
    CloseHandle(overlapped.hEvent);
    if (!read || size < sizeof lines)
        return false;
    dtr = lines & kDtrState;
    rts = lines & kRtsState;
    return true;
}

bool GetModemLines(Handle handle, SFile::ModemLines& lines, std::string& error)
{
    DWORD status = 0;
    if (!GetCommModemStatus(Native(handle), &status))
    {
        error = ErrorText(GetLastError());
        return false;
    }
    lines.cts = status & MS_CTS_ON;
    lines.dsr = status & MS_DSR_ON;
    lines.ri = status & MS_RING_ON;
    lines.dcd = status & MS_RLSD_ON;
    return true;
}

bool DisableTimeouts(Handle handle, std::string& error)
{
    COMMTIMEOUTS timeouts{};
    if (!SetCommTimeouts(Native(handle), &timeouts))
    {
        error = ErrorText(GetLastError());
        return false;
    }
    return true;
}

// A wait of a fraction of a millisecond lasts a timer tick here, and every
// chunk would be held back that long: a chunk goes on once the driver holds
// nothing more.
bool WaitsForGaps(Handle)
{
    return false;
}

bool Purge(Handle handle, SFile::Queues which)
{
    DWORD flags = kPurgeInput | kPurgeOutput;
    if (which == SFile::Queues::Input)
        flags = kPurgeInput;
    else if (which == SFile::Queues::Output)
        flags = kPurgeOutput;
    if (flags & PURGE_RXCLEAR)
        PortOf(handle).hasWaitedByte = false;
    return PurgeComm(Native(handle), flags) != FALSE;
}

unsigned InQueue(Handle handle)
{
    const unsigned waited = PortOf(handle).hasWaitedByte ? 1 : 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(Native(handle), &errors, &status))
        return waited;
    return waited + status.cbInQue;
}

bool Read(Handle handle, void* buffer, unsigned count, unsigned* bytesRead, std::uint32_t timeoutMs,
          std::uint32_t retries)
{
    const HANDLE port = Native(handle);
    const unsigned first = TakeWaitedByte(handle, buffer, count);
    unsigned char* const rest = static_cast<unsigned char*>(buffer) + first;
    DWORD done = 0;
    const bool ok =
        first == count ||
        Transfer(
            port, [&](OVERLAPPED* overlapped) { return ReadFile(port, rest, count - first, &done, overlapped) != FALSE; },
            &done, timeoutMs, retries, PortOf(handle).readEvent) == Outcome::Completed;
    if (bytesRead)
        *bytesRead = first + done;
    return ok;
}

bool Write(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten, std::uint32_t timeoutMs)
{
    const HANDLE port = Native(handle);
    DWORD done = 0;
    const bool ok =
        Transfer(
            port, [&](OVERLAPPED* overlapped) { return WriteFile(port, buffer, count, &done, overlapped) != FALSE; },
            &done, timeoutMs, 0) == Outcome::Completed;
    if (bytesWritten)
        *bytesWritten = done;
    return ok && done == count;
}

bool ReadAvailable(Handle handle, void* buffer, unsigned count, unsigned* bytesRead)
{
    // Never ask for more than the driver holds, so that the read completes at once.
    const unsigned waiting = std::min(count, InQueue(handle));
    if (bytesRead)
        *bytesRead = 0;
    return waiting == 0 || Read(handle, buffer, waiting, bytesRead, SFile::kWriteTimeoutMs, 0);
}

bool WriteAvailable(Handle handle, const void* buffer, unsigned count, unsigned* bytesWritten)
{
    // An overlapped write cannot be left running here, so wait for it; the
    // caller is a worker thread, never the user interface. A slow port that
    // takes only part within the wait is not a failure: the rest stays queued.
    const HANDLE port = Native(handle);
    DWORD done = 0;
    const Outcome outcome = Transfer(
        port, [&](OVERLAPPED* overlapped) { return WriteFile(port, buffer, count, &done, overlapped) != FALSE; },
        &done, SFile::kWriteTimeoutMs, 0, PortOf(handle).writeEvent);
    if (bytesWritten)
        *bytesWritten = done;
    return outcome != Outcome::Failed;
}

bool WritesWithoutWaiting()
{
    return false;
}

// Not measured under Wine: an idle port is looked at once a second, as ever.
bool WaitsSeeLostPorts()
{
    return false;
}

// Sockets are not waited for with the port here: the clients of a bridge
// are served by the toolkit's socket events on the GUI thread.
bool WaitsForOthers()
{
    return false;
}

SFile::WaitResult Wait(Handle handle, Waker* waker, unsigned timeoutMicros, bool forOutput,
                       std::vector<SFile::OtherWait>*)
{
    const DWORD timeoutMs = MillisecondsFor(timeoutMicros);
    if (handle == SFile::kInvalidHandle)
    {
        if (!waker)
        {
            Sleep(timeoutMs);
            return SFile::WaitResult::TimedOut;
        }
        return WaitForSingleObject(waker->event, timeoutMs) == WAIT_OBJECT_0 ? SFile::WaitResult::Interrupted
                                                                             : SFile::WaitResult::TimedOut;
    }

    if (InQueue(handle) > 0)
        return SFile::WaitResult::Readable;
    // Writes wait for their own completion, so output is always welcome.
    if (forOutput)
        return SFile::WaitResult::Writable;

    Port& port = PortOf(handle);
    OVERLAPPED overlapped{};
    overlapped.hEvent = port.readEvent;
    SFile::WaitResult result = SFile::WaitResult::Failed;
    DWORD done = 0;
    if (ReadFile(port.handle, &port.waitedByte, 1, &done, &overlapped))
    {
        result = SFile::WaitResult::Readable;
    }
    else if (GetLastError() == ERROR_IO_PENDING)
    {
        HANDLE events[2] = {overlapped.hEvent, waker ? waker->event : nullptr};
        const DWORD outcome = WaitForMultipleObjects(waker ? 2 : 1, events, FALSE, timeoutMs);
        if (outcome == WAIT_OBJECT_0)
        {
            result = GetOverlappedResult(port.handle, &overlapped, &done, FALSE) ? SFile::WaitResult::Readable
                                                                                  : SFile::WaitResult::Failed;
        }
        else
        {
            // A byte that arrived while the read was cancelled is kept.
            done = CancelAndSettle(port.handle, overlapped);
            if (outcome == WAIT_OBJECT_0 + 1)
                result = SFile::WaitResult::Interrupted;
            else if (outcome == WAIT_TIMEOUT)
                result = SFile::WaitResult::TimedOut;
        }
    }
    port.hasWaitedByte = done == 1;
    if (result == SFile::WaitResult::Readable && !port.hasWaitedByte)
        result = SFile::WaitResult::Failed; // a read that ends without a byte: the port is gone
    return result;
}

void Close(Handle handle)
{
    const Port& port = PortOf(handle);
    CloseHandle(port.handle);
    CloseHandle(port.readEvent);
    CloseHandle(port.writeEvent);
    delete &port;
}

Waker* CreateWaker()
{
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event ? new Waker{event} : nullptr;
}

void DestroyWaker(Waker* waker)
{
    if (!waker)
        return;
    CloseHandle(waker->event);
    delete waker;
}

void Wake(Waker* waker)
{
    if (waker)
        SetEvent(waker->event);
}
} // namespace sfile_os
