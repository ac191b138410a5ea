#include "TraceFile.h"

#include "TraceFormat.h"

#include <wx/crt.h>
#include <wx/filefn.h>
#include <wx/log.h>

#include <cerrno>
#include <filesystem>

namespace
{
// What a record costs in the queue beyond its bytes, so that a flood of
// events is bounded too.
constexpr std::size_t kRecordCost = 64;

std::size_t Cost(const TraceRecord& record)
{
    return record.bytes.size() + kRecordCost;
}

std::string LostLine(std::uint64_t bytes, std::uint64_t events)
{
    TraceRecord lost;
    lost.microseconds = TraceNow();
    lost.event = "trace: " + ByteCount(static_cast<std::size_t>(bytes)) + " not traced";
    if (events)
        lost.event += " (and " + std::to_string(events) + (events == 1 ? " event)" : " events)");
    return FormatTraceRecord(lost);
}
} // namespace

TraceFile::TraceFile(const wxString& path, ProblemHandler problem, std::uint64_t rotateBytes, std::size_t queueBytes)
    : m_path(path)
    , m_problem(std::move(problem))
    , m_rotateBytes(rotateBytes)
    , m_queueBytes(queueBytes)
    , m_thread([this] { Run(); })
{
}

TraceFile::~TraceFile()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
    // Losses that no later record came to tell of.
    if (m_lostBytes || m_lostEvents)
        Write(LostLine(m_lostBytes, m_lostEvents));
    Close();
}

void TraceFile::Add(TraceRecord record)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t cost = Cost(record);
        if (m_queuedBytes + cost > m_queueBytes)
        {
            m_lostBytes += record.bytes.size();
            m_lostEvents += record.kind == TraceRecord::Kind::Event;
            return;
        }
        m_queuedBytes += cost;
        m_queue.push_back({std::move(record), m_lostBytes, m_lostEvents});
        m_lostBytes = m_lostEvents = 0;
        // A writer that is busy takes it with the rest: no wake-up per record.
        if (m_queue.size() > 1)
            return;
    }
    m_changed.notify_all();
}

void TraceFile::Flush()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_writing; });
}

std::uint64_t TraceFile::NotTraced()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t lost = m_lostBytes;
    for (const Queued& queued : m_queue)
        lost += queued.lostBytes;
    return lost;
}

void TraceFile::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;)
    {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        std::vector<Queued> batch;
        batch.swap(m_queue);
        m_queuedBytes = 0;
        m_writing = true;
        lock.unlock();

        std::string text;
        for (const Queued& queued : batch)
        {
            if (queued.lostBytes || queued.lostEvents)
                text += LostLine(queued.lostBytes, queued.lostEvents);
            AppendTraceRecord(text, queued.record);
        }
        const bool written = Write(text);

        lock.lock();
        if (!written)
        {
            // Owed still: told before the next record the file takes.
            std::uint64_t lostBytes = 0, lostEvents = 0;
            for (const Queued& queued : batch)
            {
                lostBytes += queued.lostBytes + queued.record.bytes.size();
                lostEvents += queued.lostEvents + (queued.record.kind == TraceRecord::Kind::Event);
            }
            if (m_queue.empty())
            {
                m_lostBytes += lostBytes;
                m_lostEvents += lostEvents;
            }
            else
            {
                m_queue.front().lostBytes += lostBytes;
                m_queue.front().lostEvents += lostEvents;
            }
        }
        m_writing = false;
        m_changed.notify_all();
    }
}

bool TraceFile::Write(const std::string& text)
{
    if (!m_file && !Open())
        return false;
    if (m_size > 0 && m_size + text.size() > m_rotateBytes)
    {
        Close();
        const wxString older = m_path + ".1";
        if (wxFileExists(older))
            wxRemoveFile(older);
        if (!wxRenameFile(m_path, older, true) || !Open())
        {
            Fail("it cannot be moved to " + older);
            return false;
        }
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), m_file) != text.size() || std::fflush(m_file) != 0)
    {
        Fail(errno ? wxSysErrorMsgStr(errno) : wxString("it could not be written"));
        Close();
        // What went in of the batch is cut off, so that no record is left
        // half written for a script to stumble on.
        std::error_code ignored;
        std::filesystem::resize_file(std::filesystem::u8path(m_path.utf8_string()), m_size, ignored);
        return false;
    }
    m_size += text.size();
    if (m_failed)
    {
        m_failed = false;
        m_problem(wxString());
    }
    return true;
}

bool TraceFile::Open()
{
    errno = 0;
    m_file = wxFopen(m_path, "ab");
    if (!m_file)
    {
        Fail(errno ? wxSysErrorMsgStr(errno) : wxString("it cannot be opened"));
        return false;
    }
    std::fseek(m_file, 0, SEEK_END);
    const long size = std::ftell(m_file);
    m_size = size > 0 ? static_cast<std::uint64_t>(size) : 0;
    return true;
}

void TraceFile::Close()
{
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

void TraceFile::Fail(const wxString& why)
{
    if (m_failed)
        return;
    m_failed = true;
    m_problem(why);
}
