#include "Logger.h"

#include "DirHelper.h"
#include "LogSinkOs.h"

#include <wx/log.h>

namespace
{
const char kLogFileName[] = "filelog.txt";
const char kPreviousSuffix[] = ".1";

using log_sink_os::kNoSink;
using log_sink_os::WriteResult;

// Writes each line the toolkit formats to the file and to standard error.
// Main thread only: the toolkit hands other threads' lines over there.
class LogTarget : public wxLog
{
public:
    LogTarget(const std::string& path, std::uint64_t rotateBytes, int file)
        : m_path(path), m_rotateBytes(rotateBytes), m_file(file), m_standardError(log_sink_os::StandardError())
    {
    }

    ~LogTarget() override
    {
        if (m_file != kNoSink)
            log_sink_os::Close(m_file);
    }

protected:
    void DoLogText(const wxString& line) override
    {
        const std::string text = Logger::EscapeControls(line).utf8_string() + '\n';
        WriteFile(text.data(), text.size());
        if (m_standardError != kNoSink &&
            log_sink_os::Write(m_standardError, text.data(), text.size()) == WriteResult::Failed)
            m_standardError = kNoSink;
    }

private:
    void WriteFile(const char* text, std::size_t size)
    {
        if (m_file == kNoSink)
            return;
        if (log_sink_os::Write(m_file, text, size) != WriteResult::Written)
        {
            log_sink_os::Close(m_file);
            m_file = kNoSink;
            return;
        }
        m_fileBytes += size;
        if (m_fileBytes <= m_rotateBytes)
            return;
        log_sink_os::Close(m_file);
        // Even where the old file cannot be moved, emptying it keeps the log bounded.
        log_sink_os::MoveAside(m_path, m_path + kPreviousSuffix);
        std::string ignored;
        m_file = log_sink_os::OpenEmpty(m_path, ignored);
        m_fileBytes = 0;
    }

    const std::string m_path;
    const std::uint64_t m_rotateBytes;
    int m_file;
    std::uint64_t m_fileBytes = 0;
    int m_standardError;
};
} // namespace

void Logger::initLog(std::uint64_t rotateBytes)
{
    const std::string path(wxString(DirHelper::getDir(DIR_ROOT, true) + kLogFileName).mb_str(wxConvLibc));
    log_sink_os::MoveAside(path, path + kPreviousSuffix);
    std::string openError;
    const int file = log_sink_os::OpenEmpty(path, openError);
    wxLog::SetActiveTarget(new LogTarget(path, rotateBytes, file));

    if (file == kNoSink)
        message("Logger::initLog() cannot open %s: %s", path, openError);
    message("Logger::initLog() Finished!");
}

wxString Logger::EscapeControls(const wxString& text)
{
    constexpr wxUniChar::value_type kDelete = 0x7f;
    wxString escaped;
    escaped.reserve(text.length());
    for (const wxUniChar c : text)
    {
        const wxUniChar::value_type code = c.GetValue();
        if (code >= ' ' && code != kDelete)
            escaped += c;
        else if (code == '\n')
            escaped += "\\n";
        else if (code == '\r')
            escaped += "\\r";
        else if (code == '\t')
            escaped += "\\t";
        else
            escaped += wxString::Format("\\x%02x", static_cast<unsigned>(code));
    }
    return escaped;
}

void Logger::message(const wxString& text)
{
    wxLogMessage("%s", text);
}
