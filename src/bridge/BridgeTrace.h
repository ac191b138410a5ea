#pragma once

#include "log/TraceFile.h"
#include "log/TraceRing.h"

#include <wx/string.h>

#include <memory>
#include <string>
#include <vector>

// Where a bridge's traffic is seen: its trace file, when it has one, and
// every open live view. The bridge tells it each chunk and event as it
// happens; with neither a file nor a view that costs a test and nothing more.
// Neither can hold the relay up: the file has its own thread and bounded
// queue, a view its bounded ring. The bridge's thread only.
class BridgeTrace
{
public:
    // path made absolute: a relative one is taken from the working
    // directory, where bridges.db is. Empty stays empty.
    static wxString Absolute(const wxString& path);

    // Traces to the file at the absolute path from now on, ending the one
    // before; the empty text for none. problem hears, on any thread, why the
    // file cannot be written, or the empty text once it can again.
    void SetFile(const wxString& path, TraceFile::ProblemHandler problem);
    // The absolute path traced to; empty for none.
    wxString GetFile() const;

    void AddViewer(const std::shared_ptr<TraceRing>& viewer);
    void RemoveViewer(const std::shared_ptr<TraceRing>& viewer);

    bool IsOn() const { return m_file || !m_viewers.empty(); }

    void Data(TraceRecord::Kind kind, const std::string& peer, const char* bytes, std::size_t count);
    // words hold no arrow; bytes, if any, belong to neither stream.
    void Event(const std::string& words, const std::string& bytes = std::string());

    // Waits until the file holds everything traced so far.
    void Flush();
    // The bytes the file lost and does not say yet (see TraceFile).
    std::uint64_t NotTraced() const { return m_file ? m_file->NotTraced() : 0; }

private:
    void Record(TraceRecord record);

    std::unique_ptr<TraceFile> m_file;
    std::vector<std::shared_ptr<TraceRing>> m_viewers;
};
