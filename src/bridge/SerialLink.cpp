#include "SerialLink.h"

#include "log/Logger.h"
#include "serial/SerialPortEvent.h"
#include "serial/SerialPortHandler.h"

#include <wx/app.h>

#include <algorithm>
#include <map>

namespace
{
constexpr int kHandlerId = 1;
// Large enough that a fast port costs few hand-overs; the handler still
// delivers each chunk within a millisecond of its first byte.
constexpr int kChunkSize = 65536;
// How far the worker may read ahead of the bridge's thread. A port faster
// than the clients can be served waits in its own buffers and flow control,
// instead of the inbox growing without end and every client then being
// handed more at once than it may fall behind by.
constexpr std::size_t kInboxLimit = 4 * kChunkSize;
// How often a missing serial port is looked for, and how seldom at the most
// one that is there is tried while it keeps refusing.
constexpr int kRetryIntervalMs = 1000;
constexpr int kRetryBackOffLimitMs = 60000;

// The serial ports that the links of this process hold, by device, so that a
// link refused one can say which bridge has it. GUI thread only.
std::map<wxString, const SerialLink*>& HeldSerialPorts()
{
    static std::map<wxString, const SerialLink*> held;
    return held;
}
} // namespace

SerialLink::WorkerParked::WorkerParked(SerialLink& link) : m_link(link)
{
    m_link.SetBounded(false);
}

SerialLink::WorkerParked::~WorkerParked()
{
    m_link.SetBounded(true);
}

SerialLink::SerialLink(SerialLinkEvents& events)
    : m_events(events), m_direct(SFile::WaitsForOthers()), m_reopenTimer(this)
{
    m_handlerTarget.Bind(EVT_SERIAL_PORT, &SerialLink::OnHandlerData, this, kHandlerId);
    m_handlerTarget.Bind(EVT_SERIAL_WRITTEN, &SerialLink::OnHandlerWritten, this, kHandlerId);
    m_handlerTarget.Bind(EVT_SERIAL_LOST, &SerialLink::OnHandlerLost, this, kHandlerId);
    Bind(wxEVT_TIMER, &SerialLink::OnReopenTimer, this, m_reopenTimer.GetId());
}

SerialLink::~SerialLink()
{
    Stop();
}

bool SerialLink::Start(const wxString& portName, const SFile::LineSettings& line, long long bridgeId)
{
    m_portName = portName;
    m_bridgeId = bridgeId;
    m_handler = std::make_unique<SerialPortHandler>(kChunkSize, kHandlerId, &m_handlerTarget);
    if (m_direct)
        m_handler->SetGuest(this);
    m_handler->SetLineFormat(static_cast<std::uint8_t>(line.dataBits), line.parity,
                             static_cast<std::uint8_t>(line.stopBits));
    if (Open(line.baud, false))
        return true;
    if (!m_portName.empty())
    {
        Logger::message("SerialLink::Start - %s; it is tried again", m_problem.full);
        m_reopenTimer.StartOnce(kRetryIntervalMs);
    }
    return false;
}

void SerialLink::Stop()
{
    if (m_handler)
    {
        const WorkerParked parked(*this);
        m_handler->Close();
        // A worker that relays reads the link: it ends before the handler
        // is forgotten, also when there was no port to close.
        m_handler->stop();
        m_handler.reset();
    }
    Release();
    // Nothing the stopped run queued may reach the next one; the
    // application's list of handlers with events queued is left too.
    if (wxTheApp)
        wxTheApp->RemovePendingEventHandler(this);
    DeletePendingEvents();
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_inbox.clear();
        m_inboxBytes = 0;
        m_inboxBounded = true;
        m_reports.clear();
        m_deliveryQueued = false;
        m_credits.clear();
        m_tasks.clear();
    }
    m_problem = {};
    m_lost = false;
    m_reopenTimer.Stop();
}

bool SerialLink::IsOpen() const
{
    return m_handler && m_handler->IsOpen() && !m_handler->IsLost();
}

unsigned SerialLink::WriteRoom() const
{
    return m_handler ? m_handler->GetWriteRoom() : 0;
}

void SerialLink::Write(int clientId, const unsigned char* bytes, unsigned count)
{
    if (count == 0 || !IsOpen())
        return;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_credits.push_back({clientId, count});
    }
    m_handler->QueueWrite(bytes, count);
}

SFile::LineSettings SerialLink::GetLine() const
{
    return m_handler->GetLine();
}

SFile::FlowControl SerialLink::GetFlowControl() const
{
    return m_handler->GetFlowControl();
}

SFile::ControlLines SerialLink::GetControlLines() const
{
    return m_handler->GetControlLines();
}

bool SerialLink::GetModemLines(SFile::ModemLines& lines)
{
    return m_handler && m_handler->GetModemLines(lines);
}

bool SerialLink::SetLine(const SFile::LineSettings& line)
{
    const WorkerParked parked(*this);
    return m_handler->SetLine(line);
}

bool SerialLink::SetFlowControl(const SFile::FlowControl& flow)
{
    const WorkerParked parked(*this);
    return m_handler->SetFlowControl(flow);
}

bool SerialLink::SetDtr(bool on)
{
    return m_handler->SetDtr(on);
}

bool SerialLink::SetRts(bool on)
{
    return m_handler->SetRts(on);
}

bool SerialLink::SetBreak(bool on)
{
    return m_handler->SetBreak(on);
}

bool SerialLink::Purge(SFile::Queues which)
{
    const WorkerParked parked(*this);
    return m_handler->Purge(which);
}

void SerialLink::SetRequester(const wxString& requester)
{
    if (m_handler)
        m_handler->SetRequester(requester);
}

void SerialLink::Post(std::function<void()> task)
{
    if (!m_handler)
        return;
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_tasks.push_back(std::move(task));
        first = m_tasks.size() == 1;
    }
    if (!first)
        return; // on its way already
    if (m_direct)
        Wake();
    else
        CallAfter(&SerialLink::RunTasks);
}

void SerialLink::Wake()
{
    if (m_handler && m_direct)
        m_handler->Wake();
}

void SerialLink::RunTasks()
{
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        tasks.swap(m_tasks);
    }
    for (const auto& task : tasks)
        task();
}

unsigned SerialLink::BeforeWait(std::vector<SFile::OtherWait>& others)
{
    // What a task or a report leads to may post or report more.
    while (CatchUp())
        ;
    return m_events.OnRelayWait(others);
}

void SerialLink::AfterWait(const std::vector<SFile::OtherWait>& others)
{
    m_events.OnRelayWoken(others);
    while (CatchUp())
        ;
}

bool SerialLink::CatchUp()
{
    bool waiting = false;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        waiting = !m_reports.empty() || !m_tasks.empty();
    }
    if (!waiting)
        return false;
    Deliver();
    RunTasks();
    return true;
}

void SerialLink::SignalReady()
{
    if (m_direct)
        Post([this] { m_events.OnSerialReady(); });
    else
        m_events.OnSerialReady();
}

void SerialLink::OnHandlerData(SerialPortEvent& event)
{
    if (m_direct)
    {
        // On the worker, between two waits: straight to the bridge.
        m_events.OnSerialChunks({std::string(reinterpret_cast<const char*>(event.GetData()), event.GetLength())});
        return;
    }
    bool queue = false;
    {
        std::unique_lock<std::mutex> lock(m_handOverMutex);
        m_inboxDrained.wait(lock, [this] { return m_inboxBytes < kInboxLimit || !m_inboxBounded; });
        m_inbox.emplace_back(reinterpret_cast<const char*>(event.GetData()), event.GetLength());
        m_inboxBytes += m_inbox.back().size();
        queue = TakeDeliveryTurn();
    }
    if (queue)
        CallAfter(&SerialLink::Deliver);
}

void SerialLink::OnHandlerWritten(wxThreadEvent& event)
{
    bool queue = false;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_reports.push_back({static_cast<unsigned>(event.GetInt()), static_cast<unsigned>(event.GetExtraLong())});
        // On the worker, the report waits for the end of the call that
        // wrote: it is settled before the next wait.
        queue = !m_direct && TakeDeliveryTurn();
    }
    if (queue)
        CallAfter(&SerialLink::Deliver);
}

// One call delivers everything that piles up before the bridge's thread gets
// to it: only the first hand-over after a delivery queues the next.
bool SerialLink::TakeDeliveryTurn()
{
    const bool first = !m_deliveryQueued;
    m_deliveryQueued = true;
    return first;
}

void SerialLink::OnHandlerLost(wxThreadEvent&)
{
    CallAfter(&SerialLink::OnPortLost);
}

void SerialLink::Deliver()
{
    std::vector<std::string> chunks;
    std::vector<WrittenReport> reports;
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        chunks.swap(m_inbox);
        m_inboxBytes = 0;
        reports.swap(m_reports);
        m_deliveryQueued = false;
    }
    m_inboxDrained.notify_one();
    if (!chunks.empty())
        m_events.OnSerialChunks(chunks);
    if (reports.empty())
        return;
    std::vector<WriteCredit> written;
    for (const WrittenReport& report : reports)
        Settle(report, written);
    if (!written.empty())
        m_events.OnSerialWritten(written);
    m_events.OnSerialReady();
}

// Oldest first: the written bytes, then those queued behind them that were
// dropped, which nobody is credited with.
void SerialLink::Settle(const WrittenReport& report, std::vector<WriteCredit>& written)
{
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        const auto settle = [this, &written](unsigned count, bool credited) {
            while (count > 0 && !m_credits.empty())
            {
                WriteCredit& credit = m_credits.front();
                const unsigned share = std::min(count, credit.count);
                if (credited)
                    written.push_back({credit.clientId, share});
                count -= share;
                credit.count -= share;
                if (credit.count == 0)
                    m_credits.pop_front();
            }
        };
        settle(report.written, true);
        settle(report.dropped, false);
    }
}

void SerialLink::OnPortLost()
{
    if (!m_handler)
        return; // stopped meanwhile
    // The clients stay: an adapter that was pulled out is often put back,
    // and the port is opened again as soon as its device is there.
    Logger::message("SerialLink::OnPortLost serial port %s lost; the bridge runs on and waits for it", m_portName);
    m_lost = true;
    m_problem = {wxString::Format("serial port %s: lost", m_portName), "serial port lost"};
    m_reopenTimer.StartOnce(kRetryIntervalMs);
    m_events.OnSerialProblem();
    SignalReady(); // a writer's input is dropped until the port is back
}

void SerialLink::OnReopenTimer(wxTimerEvent&)
{
    if (!m_handler)
        return;
    // Only a device that is there is tried, so that the log does not fill
    // with failed openings while it is away; one that appears is tried
    // within a second.
    if (!SerialPortHandler::IsPortPresent(m_portName))
    {
        m_reopenTimer.StartOnce(kRetryIntervalMs);
        return;
    }
    const wxString before = m_problem.full;
    const bool wasLost = m_lost;
    // At the speed last asked for: a client may have changed it.
    if (!Open(m_handler->GetBaud(), true))
    {
        // Said once when it fails, and once when it opens: a port that keeps
        // refusing for days must not fill the log.
        if (m_problem.full != before)
        {
            Logger::message("SerialLink::OnReopenTimer - %s", m_problem.full);
            m_events.OnSerialProblem();
        }
        // There, but refusing: try less and less often.
        m_reopenTimer.StartOnce(std::min(m_reopenTimer.GetInterval() * 2, kRetryBackOffLimitMs));
        return;
    }
    if (wasLost)
        Logger::message("SerialLink::OnReopenTimer serial port %s is back", m_portName);
    else
        Logger::message("SerialLink::OnReopenTimer serial port %s is open now", m_portName);
    m_events.OnSerialProblem();
    SignalReady();
}

bool SerialLink::Open(int baud, bool quietly)
{
    // What was queued for a lost port goes with it, unreported. A worker that
    // relays settles its reports within the pass that made them, and writes
    // nothing to a port that is not open; from the moment the port opens it
    // may write again, so its new credits must not be cleared then.
    const auto forgetQueued = [this] {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_credits.clear();
        m_reports.clear();
    };
    forgetQueued();
    bool opened = false;
    {
        const WorkerParked parked(*this);
        opened = m_handler->Open(m_portName, baud, quietly);
    }
    if (!opened)
    {
        m_problem = OpenProblem();
        return false;
    }
    // Reports through the event loop may still have been on their way.
    if (!m_direct)
        forgetQueued();
    HeldSerialPorts()[SerialPortHandler::PortIdentity(m_portName)] = this;
    m_problem = {};
    m_lost = false;
    return true;
}

BridgeProblem SerialLink::OpenProblem() const
{
    if (m_portName.empty())
        return {"no serial port is set", "no serial port"};
    const wxString full = wxString::Format("serial port %s: ", m_portName);
    const auto holder = HeldSerialPorts().find(SerialPortHandler::PortIdentity(m_portName));
    if (holder != HeldSerialPorts().end() && holder->second != this)
    {
        const long long id = holder->second->m_bridgeId;
        return {full + wxString::Format("used by bridge %lld of this program", id),
                wxString::Format("%s used by bridge %lld", m_portName, id)};
    }
    const wxString cause = m_handler->GetOpenError();
    if (!SerialPortHandler::IsPortPresent(m_portName))
        return {full + cause, "waiting for " + m_portName};
    return {full + cause, m_portName + ": " + cause};
}

void SerialLink::Release()
{
    auto& held = HeldSerialPorts();
    for (auto entry = held.begin(); entry != held.end();)
        entry = entry->second == this ? held.erase(entry) : std::next(entry);
}

void SerialLink::SetBounded(bool bounded)
{
    {
        std::lock_guard<std::mutex> lock(m_handOverMutex);
        m_inboxBounded = bounded;
    }
    m_inboxDrained.notify_one();
}
