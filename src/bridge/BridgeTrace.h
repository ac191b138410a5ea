#pragma once

#include "log/LogThrottle.h"
#include "log/TraceFile.h"
#include "log/TraceRing.h"

#include "serial/SFile.h"

#include <wx/event.h>
#include <wx/string.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Where a bridge's traffic is seen: its trace file, when it has one, and
// every open live view. The bridge tells it each chunk and event as it
// happens; with neither a file nor a view that costs a test and nothing more.
// Neither can hold the relay up: the file has its own thread and bounded
// queue, a view its bounded ring.
//
// A file that cannot be written is the trace's problem, logged and told to
// problemChanged; the traffic goes on without it.
//
// Threads: the file, the viewers and the problem belong to the GUI thread;
// the traffic and events may be told from the relay's thread as well.
class BridgeTrace : public wxEvtHandler
{
public:
    explicit BridgeTrace(std::function<void()> problemChanged);

    // Traces bridge bridgeId to the file at path from now on, ending the one
    // before; empty for none. A relative path is taken from the working
    // directory, where bridges.db is. The file traced to already goes on.
    void SetFile(const wxString& path, long long bridgeId);
    // The absolute path traced to; empty for none.
    wxString GetFile() const;
    // Why the file cannot be written; empty when it can, or without one.
    const wxString& Problem() const { return m_problem; }

    void AddViewer(const std::shared_ptr<TraceRing>& viewer);
    void RemoveViewer(const std::shared_ptr<TraceRing>& viewer);

    bool IsOn() const { return m_on.load(std::memory_order_relaxed); }

    // A chunk the device sent (no peer), or one the client peer sent it.
    void Data(TraceRecord::Kind kind, const wxString& peer, const char* bytes, std::size_t count);
    // words hold no arrow; bytes, if any, belong to neither stream.
    void Event(const std::string& words, const std::string& bytes = std::string());
    // "client PEER words", such as "client 10.0.0.5:51234 refused".
    void ClientEvent(const wxString& peer, const std::string& words);
    // A client's input that reached no device, and why ("a reader").
    void Dropped(const wxString& peer, const char* why, const char* bytes, std::size_t count);
    // Whether the serial port named port is open now (with line) or not
    // (why): said once each time that changes.
    void SerialState(bool open, const wxString& port, const SFile::LineSettings& line, const wxString& why);
    // The port's last word when its bridge stops, if it was open.
    void SerialClosed();

    // Waits until the file holds everything traced so far.
    void Flush();

private:
    void Record(TraceRecord record);
    // The file failed (why), or works again (empty).
    void OnFileProblem(const wxString& why);

    // Whether there is a file or a viewer; set under m_mutex.
    void UpdateOn();

    std::function<void()> m_problemChanged;
    mutable std::mutex m_mutex; // guards the file, the viewers and m_saidOpen
    std::atomic<bool> m_on{false};
    std::unique_ptr<TraceFile> m_file;
    std::vector<std::shared_ptr<TraceRing>> m_viewers;
    long long m_bridgeId = -1;
    wxString m_problem;
    unsigned m_generation = 0; // which file a problem that arrives was about
    bool m_saidOpen = false;   // the last word on the serial port was that it is open
    LogThrottle m_logThrottle;
};
