#include "SerialPortHandler.h"

#include "SFile.h"
#include "log/Logger.h"

#include <wx/utils.h>

#include <algorithm>
#include <chrono>

namespace
{
// Requests and queued output wake the worker at once. Where a wait does not
// see a port go, an idle worker looks again this often; a failed port is
// waited on this long between looks.
constexpr unsigned kIdleWaitMicros = 1000000;
// A chunk goes out at the latest this long after its first byte arrived.
constexpr std::chrono::microseconds kChunkDeadline(1000);
constexpr unsigned kMinGapMicros = 50;
constexpr unsigned kMaxGapMicros = 1000;
constexpr unsigned kBitsPerCharacter = 10; // start, 8 data, stop
constexpr unsigned kGapCharacters = 2;

// Output is taken from the queue and written in pieces of at most this.
constexpr unsigned kStageBytes = 65536;

constexpr int kFallbackBaud = 9600;
// The offered rates: two doubling runs.
constexpr int kFirstRunStart = 150;
constexpr int kFirstRunCount = 9;
constexpr int kSecondRunStart = 57600;
constexpr int kSecondRunCount = 5;

template <typename Visit>
void ForEachBaud(Visit visit)
{
    for (int i = 0, rate = kFirstRunStart; i < kFirstRunCount; ++i, rate *= 2)
        visit(rate);
    for (int i = 0, rate = kSecondRunStart; i < kSecondRunCount; ++i, rate *= 2)
        visit(rate);
}
} // namespace

SerialPortHandler::SerialPortHandler(int chunkSize, int id, wxEvtHandler* target)
    : m_device(new SFile),
      m_baud(0),
      m_dataBits(SFile::kDefaultDataBits),
      m_parity(SFile::kDefaultParity),
      m_stopBits(SFile::kDefaultStopBits),
      m_dtr(false),
      m_rts(false),
      m_eventId(id == -1 ? wxNewId() : id),
      m_target(target),
      m_chunkSize(static_cast<unsigned>(std::max(chunkSize, 1))),
      m_gapWaitMicros(kMaxGapMicros),
      m_written(0),
      m_read(0),
      m_chunk(SerialBuffer::Create(m_chunkSize)),
      m_unwritten(0),
      m_unreported(0),
      m_lost(false),
      m_guest(nullptr)
{
}

SerialPortHandler::~SerialPortHandler()
{
    stop();
    m_device->Close();
    m_chunk->Release();
}

bool SerialPortHandler::Open(const wxString& portName, int baud, bool quietly)
{
    // The worker reads the device and the settings below: keep it parked
    // until they are in place, also when it idles without a port.
    Pause();
    m_device->Close();
    DropOutput();

    const std::string name = portName.utf8_string();
    if (!quietly)
    {
        Logger::message("SerialPortHandler::Open() - port: %s, baud: %d", wxString::FromUTF8(SFile::PortLabel(name)),
                        baud);
        Logger::message("SerialPortHandler::Open() - m_dataBits: %d, m_parity: %c, m_stopBits: %d",
                        static_cast<int>(m_dataBits), m_parity, static_cast<int>(m_stopBits));
    }
    const bool opened = m_device->Open(name, baud);
    if (!opened && !quietly)
        Logger::message("SerialPortHandler::Open() - cannot open %s: %s", portName, GetOpenError());

    m_portName = portName;
    m_baud = baud;
    if (opened)
        ApplyKeptControls(quietly);
    // Bytes trickle from a real port at its baud rate, so a short wait
    // gathers them, where such a wait is short (see WaitsForGaps).
    m_gapWaitMicros = m_device->WaitsForGaps() ? GapWaitMicros(baud) : 0;
    m_written = 0;
    m_read = 0;
    m_lost = false;
    start();
    Resume();
    return opened;
}

void SerialPortHandler::SetLineFormat(std::uint8_t dataBits, char parity, std::uint8_t stopBits)
{
    // The device keeps these for its next Open, and the worker never reads
    // them: no need to park it.
    m_device->SetDataBits(dataBits);
    m_device->SetParity(parity);
    m_device->SetStopBits(stopBits);
    m_dataBits = m_device->GetDataBits();
    m_parity = m_device->GetParity();
    m_stopBits = m_device->GetStopBits();
}

void SerialPortHandler::ApplyKeptControls(bool quietly)
{
    // The mode string of Open has no room for a frame that SetLine asked
    // for (5 data bits, mark parity, ...): that one follows here.
    const SFile::LineSettings line{m_baud, m_dataBits, m_parity, m_stopBits};
    if ((m_dataBits != m_device->GetDataBits() || m_parity != m_device->GetParity() ||
         m_stopBits != m_device->GetStopBits()) &&
        !m_device->SetLine(line) && !quietly)
        Refused("the line settings");
    if ((m_flow.hardware || m_flow.software) && !m_device->SetFlowControl(m_flow) && !quietly)
        Refused("flow control");
    if (m_dtr && !m_device->SetDtr(true) && !quietly)
        Refused("DTR on");
    if (m_rts && !m_device->SetRts(true) && !quietly)
        Refused("RTS on");
}

bool SerialPortHandler::SetLine(const SFile::LineSettings& wanted)
{
    if (!SFile::IsLineInRange(wanted))
    {
        if (MayLogRefusal("no such line"))
            Logger::message("SerialPortHandler::SetLine() - %s: no such line: %s",
                            wxString::FromUTF8(SFile::PortLabel(m_portName.utf8_string())),
                            wxString::FromUTF8(SFile::ModeString(wanted.baud, wanted.parity, wanted.dataBits,
                                                                 wanted.stopBits)));
        return false;
    }
    if (IsWorking())
    {
        // The worker's pause between characters follows the baud rate.
        Pause();
        const bool set = m_device->SetLine(wanted);
        if (set)
            m_gapWaitMicros = m_device->WaitsForGaps() ? GapWaitMicros(wanted.baud) : 0;
        Resume();
        if (!set)
            return Refused("the line settings");
    }
    m_baud = wanted.baud;
    m_dataBits = static_cast<std::uint8_t>(wanted.dataBits);
    m_parity = wanted.parity;
    m_stopBits = static_cast<std::uint8_t>(wanted.stopBits);
    return true;
}

bool SerialPortHandler::SetFlowControl(const SFile::FlowControl& wanted)
{
    if (IsWorking())
    {
        Pause();
        const bool set = m_device->SetFlowControl(wanted);
        Resume();
        if (!set)
            return Refused("flow control");
    }
    m_flow = wanted;
    return true;
}

bool SerialPortHandler::SetDtr(bool on)
{
    if (IsWorking() && !m_device->SetDtr(on))
        return Refused(on ? "DTR on" : "DTR off");
    m_dtr = on;
    return true;
}

bool SerialPortHandler::SetRts(bool on)
{
    if (IsWorking() && !m_device->SetRts(on))
        return Refused(on ? "RTS on" : "RTS off");
    m_rts = on;
    return true;
}

bool SerialPortHandler::SetBreak(bool on)
{
    if (!IsWorking() || !m_device->SetBreak(on))
        return Refused(on ? "a break" : "the end of a break");
    return true;
}

bool SerialPortHandler::Purge(SFile::Queues which)
{
    if (!m_device->IsOpen())
        return Refused("a purge");
    const bool output = which != SFile::Queues::Input;
    Pause();
    unsigned written = 0;
    unsigned dropped = 0;
    if (output)
    {
        written = m_unreported;
        dropped = DropOutput();
    }
    const bool purged = m_device->Purge(which);
    Resume();
    // Reported once the worker runs again, so that whatever the target does
    // from within the report (queue more output, change a control) finds
    // the handler as usual.
    if (written > 0 || dropped > 0)
        ReportWritten(written, dropped);
    return purged || Refused("a purge");
}

SFile::LineSettings SerialPortHandler::GetLine() const
{
    if (IsWorking())
        return m_device->GetLine();
    return SFile::LineSettings{m_baud, m_dataBits, m_parity, m_stopBits};
}

SFile::FlowControl SerialPortHandler::GetFlowControl() const
{
    return IsWorking() ? m_device->GetFlowControl() : m_flow;
}

SFile::ControlLines SerialPortHandler::GetControlLines() const
{
    if (IsWorking())
        return m_device->GetControlLines();
    SFile::ControlLines lines;
    lines.dtr = m_dtr ? SFile::Signal::On : SFile::Signal::Off;
    lines.rts = m_rts ? SFile::Signal::On : SFile::Signal::Off;
    lines.brk = SFile::Signal::Off;
    return lines;
}

bool SerialPortHandler::GetModemLines(SFile::ModemLines& lines)
{
    return IsWorking() && m_device->GetModemLines(lines);
}

bool SerialPortHandler::IsWorking() const
{
    return m_device->IsOpen() && !m_lost.load();
}

bool SerialPortHandler::MayLogRefusal(const wxString& kind)
{
    const wxString port = wxString::FromUTF8(SFile::PortLabel(m_portName.utf8_string()));
    return m_refusals.Allow(m_requester.empty() ? port + ": " + kind
                                                : port + ": " + kind + " for " + m_requester);
}

bool SerialPortHandler::Refused(const char* what)
{
    if (!MayLogRefusal(wxString("refused ") + what))
        return false;
    const std::string cause = m_device->IsOpen() ? m_device->LastError() : "the port is not open";
    Logger::message("SerialPortHandler::Refused() - %s refused %s: %s",
                    wxString::FromUTF8(SFile::PortLabel(m_portName.utf8_string())), what, wxString::FromUTF8(cause));
    return false;
}

void SerialPortHandler::Close()
{
    if (!m_device->IsOpen())
        return;
    Pause();
    m_device->Close();
    DropOutput();
}

bool SerialPortHandler::Write(const void* bytes, unsigned count)
{
    m_written.fetch_add(static_cast<int>(count), std::memory_order_relaxed);
    unsigned written = 0;
    m_device->Write(bytes, count, &written);
    return written > 0;
}

unsigned SerialPortHandler::QueueWrite(const void* bytes, unsigned count)
{
    if (!m_device->IsOpen())
        return 0;
    const unsigned taken = std::min(count, GetWriteRoom());
    if (taken == 0)
        return 0;
    unsigned before = 0;
    unsigned direct = 0;
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        before = m_unwritten.load();
        // With nothing queued ahead, the worker is not writing either: hand
        // the bytes to the driver here, which saves waking the worker.
        if (before == 0 && !SFile::WritesInFlight() &&
            !m_device->WriteAvailable(bytes, taken, &direct))
            direct = 0; // the worker meets the failure and reports it
        if (direct < taken)
        {
            m_output.Append(static_cast<const unsigned char*>(bytes) + direct, taken - direct);
            m_unwritten.fetch_add(taken - direct);
        }
    }
    m_written.fetch_add(static_cast<int>(taken), std::memory_order_relaxed);
    if (direct > 0)
        ReportWritten(direct);
    // A worker that had nothing to write waits for input only.
    if (before == 0 && direct < taken)
        m_device->Interrupt();
    return taken;
}

unsigned SerialPortHandler::GetWriteRoom() const
{
    return kWriteQueueBytes - std::min(kWriteQueueBytes, m_unwritten.load());
}

bool SerialPortHandler::IsOpen() const
{
    return m_device->IsOpen();
}

wxString SerialPortHandler::GetOpenError() const
{
    return wxString::FromUTF8(m_device->LastError());
}

bool SerialPortHandler::run()
{
    WriteQueued();
    // Every pass delivers what it read, so it starts with an empty chunk.
    // Whatever the worker must do next (a write queued, a pause or a stop)
    // interrupts the wait, so where a lost port shows too, an idle port costs
    // no wake-up at all.
    unsigned timeout = SFile::WaitsSeeLostPorts() ? SFile::kForever : kIdleWaitMicros;
    m_others.clear();
    if (m_guest)
        timeout = std::min(timeout, m_guest->BeforeWait(m_others));
    ReadPort(timeout);
    if (m_guest)
        m_guest->AfterWait(m_others);
    return true;
}

void SerialPortHandler::ReadPort(unsigned timeoutMicros)
{
    if (m_lost.load())
    {
        // A failed port reports ready at once, every time: do not spin on it.
        m_device->WaitInterrupt(m_guest ? timeoutMicros : kIdleWaitMicros, &m_others);
        return;
    }
    const SFile::WaitResult waited = m_device->Wait(timeoutMicros, m_unwritten.load() > 0, &m_others);
    if (waited == SFile::WaitResult::Failed && m_device->IsOpen())
        PortFailed();
    if (waited != SFile::WaitResult::Readable)
        return;

    const auto deadline = std::chrono::steady_clock::now() + kChunkDeadline;
    for (;;)
    {
        const unsigned room = m_chunkSize - m_chunk->length;
        unsigned got = 0;
        m_device->ReadAvailable(m_chunk->data + m_chunk->length, room, &got);
        m_chunk->length += got;
        m_read.fetch_add(static_cast<int>(got), std::memory_order_relaxed);

        if (m_chunk->length == m_chunkSize || (got == 0 && m_chunk->length > 0))
        {
            Deliver();
            return;
        }
        if (got == 0)
        {
            // Readable, yet nothing to read: a port in trouble.
            PortFailed();
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        // Without a gap to wait for, the next read finds out whether more is
        // there: one system call instead of two.
        if (left.count() <= 0 ||
            (m_gapWaitMicros > 0 &&
             m_device->WaitReadable(std::min<unsigned>(m_gapWaitMicros, static_cast<unsigned>(left.count()))) !=
                 SFile::WaitResult::Readable))
        {
            Deliver();
            return;
        }
    }
}

void SerialPortHandler::Deliver()
{
    SerialPortEvent event(m_eventId, m_chunk);
    event.SetEventObject(this);
    event.SetText(wxString::Format("w=%i,r=%i", GetWritten(), GetRead()));
    // Locally: on this worker thread the event must not travel on to the
    // application object.
    (m_target ? m_target : this)->ProcessEventLocally(event);
    m_chunk->length = 0;
}

void SerialPortHandler::WriteQueued()
{
    for (;;)
    {
        if (m_staged.Empty())
        {
            std::lock_guard<std::mutex> lock(m_outputMutex);
            const std::size_t take = std::min<std::size_t>(m_output.Size(), kStageBytes);
            m_staged.Append(m_output.Data(), take);
            m_output.Consume(take);
        }
        const unsigned staged = static_cast<unsigned>(m_staged.Size());
        unsigned taken = 0;
        // Where the port writes what it took later, those bytes count only
        // once they are out: what this holds for the port stays bounded.
        unsigned written = 0;
        const bool inFlight = SFile::WritesInFlight();
        if ((staged > 0 && !m_device->WriteAvailable(m_staged.Data(), staged, &taken)) ||
            (inFlight && !m_device->TakeWritten(&written)))
        {
            // The port refuses output: nothing queued can be delivered.
            const unsigned reported = m_unreported;
            const unsigned dropped = DropOutput();
            ReportWritten(reported, dropped);
            PortFailed();
            return;
        }
        m_staged.Consume(taken);
        written = inFlight ? std::min(written, m_unwritten.load()) : taken;
        if (written > 0)
        {
            m_unreported += written;
            // Each report wakes the owner's thread: report when half the
            // queue is free again, which is when more input is worth reading.
            if (m_unwritten.fetch_sub(written) - written <= kWriteQueueBytes / 2)
            {
                ReportWritten(m_unreported);
                m_unreported = 0;
            }
        }
        if (taken == 0 || taken < staged)
            return; // the port is full; the next wait asks for room
    }
}

void SerialPortHandler::PortFailed()
{
    if (!m_lost.exchange(true))
    {
        wxThreadEvent event(EVT_SERIAL_LOST, m_eventId);
        event.SetEventObject(this);
        (m_target ? m_target : this)->ProcessEventLocally(event);
    }
}

void SerialPortHandler::ReportWritten(unsigned written, unsigned dropped)
{
    wxThreadEvent event(EVT_SERIAL_WRITTEN, m_eventId);
    event.SetEventObject(this);
    event.SetInt(static_cast<int>(written));
    event.SetExtraLong(static_cast<long>(dropped));
    (m_target ? m_target : this)->ProcessEventLocally(event);
}

// Owner's thread with the worker parked, or the worker itself.
unsigned SerialPortHandler::DropOutput()
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    m_output.Clear();
    m_staged.Clear();
    m_unreported = 0;
    return m_unwritten.exchange(0);
}

void SerialPortHandler::interrupt()
{
    m_device->Interrupt();
}

void SerialPortHandler::Wake()
{
    m_device->Interrupt();
}

wxArrayString SerialPortHandler::GetBaudList()
{
    wxArrayString rates;
    ForEachBaud([&rates](int rate) { rates.Add(wxString::Format("%i", rate)); });
    return rates;
}

int SerialPortHandler::CheckBaud(int rate)
{
    bool listed = false;
    ForEachBaud([&](int offered) { listed = listed || offered == rate; });
    return listed ? rate : kFallbackBaud;
}

unsigned SerialPortHandler::GapWaitMicros(int baud)
{
    if (baud <= 0)
        return kMaxGapMicros;
    const unsigned long long micros =
        1000000ull * kBitsPerCharacter * kGapCharacters / static_cast<unsigned long long>(baud);
    return static_cast<unsigned>(std::clamp<unsigned long long>(micros, kMinGapMicros, kMaxGapMicros));
}
