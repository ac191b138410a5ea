#include "Logger.h"

#include "DirHelper.h"

#include <wx/log.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
const char kLogFileName[] = "filelog.txt";
}

void Logger::initLog()
{
    const wxString path = DirHelper::getDir(DIR_ROOT, true) + kLogFileName;
    FILE* file = std::fopen(path.mb_str(wxConvLibc), "w");
    const int openError = errno;

    // Without a file, a file target would write to standard error as well and
    // every line would appear there twice.
    if (file)
        wxLog::SetActiveTarget(new wxLogStderr(file));
    wxLog* standardError = new wxLogStderr(nullptr);
    if (file)
        new wxLogChain(standardError); // becomes the active target, passing each line on to the file
    else
        wxLog::SetActiveTarget(standardError);

    if (!file)
        message("Logger::initLog() cannot open %s: %s", path, std::strerror(openError));
    message("Logger::initLog() Finished!");
}

void Logger::message(const wxString& text)
{
    wxLogMessage("%s", text);
}
