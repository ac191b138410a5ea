#pragma once

#include "TraceRecord.h"

#include <wx/string.h>

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// A trace written to a file by a thread of its own, so that whoever adds a
// record never waits for the disk. What waits is bounded (queueBytes): a
// record that does not fit is dropped and counted, and one event line where
// it would have been says how much was lost ("trace: 4096 bytes not
// traced"). The file is appended to; past rotateBytes it is moved to PATH.1
// (replacing the one before) and a new file begun, never splitting a record.
//
// A file that cannot be opened or written is reported through problem, on
// the writer's thread: its reason, then the empty text once it is written
// again. What could not be written is counted as not traced, said in the
// file once it takes records again, and by NotTraced() until then.
class TraceFile
{
public:
    static constexpr std::uint64_t kRotateBytes = 64 * 1024 * 1024;
    static constexpr std::size_t kQueueBytes = 4 * 1024 * 1024;

    using ProblemHandler = std::function<void(const wxString& problem)>;

    TraceFile(const wxString& path, ProblemHandler problem, std::uint64_t rotateBytes = kRotateBytes,
              std::size_t queueBytes = kQueueBytes);
    // Writes what waits, then ends the thread.
    ~TraceFile();
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    const wxString& GetPath() const { return m_path; }

    void Add(TraceRecord record);
    // Waits until everything added so far has been written or counted lost.
    void Flush();
    // The bytes counted lost that the file does not say yet.
    std::uint64_t NotTraced();

private:
    // A record, and what was lost just before it.
    struct Queued
    {
        TraceRecord record;
        std::uint64_t lostBytes = 0;
        std::uint64_t lostEvents = 0;
    };

    void Run();
    // Writes a batch's text, opening and rotating the file as needed; false
    // when the file failed.
    bool Write(const std::string& text);
    bool Open();
    void Close();
    void Fail(const wxString& why);

    const wxString m_path;
    const ProblemHandler m_problem;
    const std::uint64_t m_rotateBytes;
    const std::size_t m_queueBytes;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Queued> m_queue;
    std::size_t m_queuedBytes = 0;
    std::uint64_t m_lostBytes = 0;
    std::uint64_t m_lostEvents = 0;
    bool m_writing = false;
    bool m_stopping = false;

    // The writer thread's own.
    std::FILE* m_file = nullptr;
    std::uint64_t m_size = 0;
    bool m_failed = false;

    std::thread m_thread;
};
