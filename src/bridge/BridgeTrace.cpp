#include "BridgeTrace.h"

#include "log/TraceFormat.h"

#include <wx/filename.h>

#include <algorithm>

bool BridgeTrace::SetFile(const wxString& path, TraceFile::ProblemHandler problem)
{
    wxString absolute;
    if (!path.empty())
    {
        wxFileName name(path);
        name.MakeAbsolute();
        absolute = name.GetFullPath();
    }
    if (absolute == GetFile())
        return false;
    m_file.reset();
    if (!absolute.empty())
        m_file = std::make_unique<TraceFile>(absolute, std::move(problem));
    return true;
}

wxString BridgeTrace::GetFile() const
{
    return m_file ? m_file->GetPath() : wxString();
}

void BridgeTrace::AddViewer(const std::shared_ptr<TraceRing>& viewer)
{
    m_viewers.push_back(viewer);
}

void BridgeTrace::RemoveViewer(const std::shared_ptr<TraceRing>& viewer)
{
    m_viewers.erase(std::remove(m_viewers.begin(), m_viewers.end(), viewer), m_viewers.end());
}

void BridgeTrace::Data(TraceRecord::Kind kind, const std::string& peer, const char* bytes, std::size_t count)
{
    if (!IsOn() || count == 0)
        return;
    TraceRecord record;
    record.kind = kind;
    record.peer = peer;
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

void BridgeTrace::Flush()
{
    if (m_file)
        m_file->Flush();
}

void BridgeTrace::Record(TraceRecord record)
{
    record.microseconds = TraceNow();
    for (const auto& viewer : m_viewers)
        viewer->Add(record);
    if (m_file)
        m_file->Add(std::move(record));
}
