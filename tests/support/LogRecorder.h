#pragma once

#include <wx/log.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

// Records every logged message, without the toolkit's line prefix, while it
// is the active log target. Messages logged on other threads reach it only
// when the main thread flushes the toolkit's buffer (wxLog::FlushActive).
class LogRecorder : public wxLog
{
public:
    // Lines that other threads logged before it came go to the target before.
    LogRecorder() : m_previous((wxLog::FlushActive(), wxLog::SetActiveTarget(this))) {}
    ~LogRecorder() override
    {
        wxLog::FlushActive();
        wxLog::SetActiveTarget(m_previous);
    }

    std::vector<std::string> Messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

    bool Contains(const std::string& message) const
    {
        const std::vector<std::string> all = Messages();
        return std::find(all.begin(), all.end(), message) != all.end();
    }

    // How many messages hold part.
    int CountContaining(const std::string& part) const
    {
        const std::vector<std::string> all = Messages();
        return static_cast<int>(std::count_if(all.begin(), all.end(), [&](const std::string& message) {
            return message.find(part) != std::string::npos;
        }));
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.clear();
    }

protected:
    void DoLogRecord(wxLogLevel, const wxString& message, const wxLogRecordInfo&) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(message.utf8_string());
    }

private:
    wxLog* m_previous;
    mutable std::mutex m_mutex;            // protects m_messages
    std::vector<std::string> m_messages;
};
