#include "BridgeTrace.h"

#include "log/TraceFormat.h"

#include <wx/filename.h>

#include <algorithm>

wxString BridgeTrace::Absolute(const wxString& path)
{
    if (path.empty())
        return path;
    wxFileName name(path);
    name.MakeAbsolute();
    return name.GetFullPath();
}

void BridgeTrace::SetFile(const wxString& path, TraceFile::ProblemHandler problem)
{
    m_file.reset();
    if (!path.empty())
        m_file = std::make_unique<TraceFile>(path, std::move(problem));
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
