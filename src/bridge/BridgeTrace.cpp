#include "BridgeTrace.h"

#include "log/Logger.h"
#include "log/TraceFormat.h"

#include <wx/filename.h>

#include <algorithm>

BridgeTrace::BridgeTrace(std::function<void()> problemChanged)
    : m_problemChanged(std::move(problemChanged))
{
}

void BridgeTrace::SetFile(const wxString& path, long long bridgeId)
{
    wxString absolute;
    if (!path.empty())
    {
        wxFileName name(path);
        name.MakeAbsolute();
        absolute = name.GetFullPath();
    }
    if (absolute == GetFile())
        return;
    m_bridgeId = bridgeId;
    std::unique_ptr<TraceFile> ended;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ended = std::move(m_file);
        UpdateOn();
    }
    if (!m_problem.empty())
    {
        // The failing file cannot say so itself.
        ended->Flush();
        Logger::message("BridgeTrace::SetFile bridge %lld: %llu bytes were not traced to %s", bridgeId,
                        static_cast<unsigned long long>(ended->NotTraced()), ended->GetPath());
        m_problem.clear();
        m_problemChanged();
    }
    ended.reset();
    if (absolute.empty())
        return;
    const unsigned generation = ++m_generation;
    auto file = std::make_unique<TraceFile>(absolute, [this, generation](const wxString& why) {
        CallAfter([this, generation, why] {
            if (generation == m_generation)
                OnFileProblem(why);
        });
    });
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_file = std::move(file);
    UpdateOn();
}

void BridgeTrace::UpdateOn()
{
    m_on.store(m_file || !m_viewers.empty(), std::memory_order_relaxed);
}

wxString BridgeTrace::GetFile() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_file ? m_file->GetPath() : wxString();
}

void BridgeTrace::OnFileProblem(const wxString& why)
{
    if (why.empty())
    {
        if (m_problem.empty())
            return;
        Logger::message("BridgeTrace::OnFileProblem bridge %lld traces to %s again", m_bridgeId, GetFile());
        m_problem.clear();
    }
    else
    {
        m_problem = wxString::Format("trace file %s cannot be written: %s", GetFile(), why);
        if (m_logThrottle.Allow("trace file failures"))
            Logger::message("BridgeTrace::OnFileProblem bridge %lld: %s; the bridge runs on, its traffic not traced",
                            m_bridgeId, m_problem);
    }
    m_problemChanged();
}

void BridgeTrace::AddViewer(const std::shared_ptr<TraceRing>& viewer)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_viewers.push_back(viewer);
    UpdateOn();
}

void BridgeTrace::RemoveViewer(const std::shared_ptr<TraceRing>& viewer)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_viewers.erase(std::remove(m_viewers.begin(), m_viewers.end(), viewer), m_viewers.end());
    UpdateOn();
}

void BridgeTrace::Data(TraceRecord::Kind kind, const wxString& peer, const char* bytes, std::size_t count)
{
    if (!IsOn() || count == 0)
        return;
    TraceRecord record;
    record.kind = kind;
    record.peer = peer.utf8_string();
    record.bytes.assign(bytes, count);
    Record(std::move(record));
}

void BridgeTrace::Event(const std::string& words, const std::string& bytes)
{
    if (!IsOn())
        return;
    TraceRecord record;
    record.event = words;
    record.bytes = bytes;
    Record(std::move(record));
}

void BridgeTrace::ClientEvent(const wxString& peer, const std::string& words)
{
    if (IsOn())
        Event("client " + peer.utf8_string() + " " + words);
}

void BridgeTrace::Dropped(const wxString& peer, const char* why, const char* bytes, std::size_t count)
{
    if (IsOn() && count > 0)
        Event("client " + peer.utf8_string() + " input dropped (" + why + "), " + ByteCount(count),
              std::string(bytes, count));
}

void BridgeTrace::SerialState(bool open, const wxString& port, const SFile::LineSettings& line, const wxString& why)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (open == m_saidOpen)
            return;
        m_saidOpen = open;
    }
    if (open)
        Event(wxString::Format("serial port %s open, %d baud %u%c%u", port, line.baud, line.dataBits, line.parity,
                               line.stopBits)
                  .utf8_string());
    else
        Event("serial port lost: " + why.utf8_string());
}

void BridgeTrace::SerialClosed()
{
    bool wasOpen = false;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        wasOpen = m_saidOpen;
        m_saidOpen = false;
    }
    if (wasOpen)
        Event("serial port closed, the bridge stops");
}

void BridgeTrace::Flush()
{
    // Only this thread changes m_file; the relay must not wait for the disk.
    if (m_file)
        m_file->Flush();
}

void BridgeTrace::Record(TraceRecord record)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    record.microseconds = TraceNow();
    for (const auto& viewer : m_viewers)
        viewer->Add(record);
    if (m_file)
        m_file->Add(std::move(record));
}
