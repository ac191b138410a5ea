#include "ToolkitSetup.h"

#include <gtest/gtest.h>
#include <wx/debug.h>
#include <wx/string.h>
#include <wx/thread.h>

namespace
{
class EmptyThread : public wxThread
{
public:
    EmptyThread() : wxThread(wxTHREAD_JOINABLE) {}

protected:
    ExitCode Entry() override { return nullptr; }
};

void FailOnAssertion(const wxString& file, int line, const wxString& function, const wxString& condition,
                     const wxString& message)
{
    ADD_FAILURE_AT(file.utf8_str().data(), line)
        << "wxWidgets assertion \"" << condition.utf8_string() << "\" failed in " << function.utf8_string() << ": "
        << message.utf8_string();
}
} // namespace

void SetUpToolkitForTests()
{
    wxSetAssertHandler(FailOnAssertion);
    EmptyThread thread;
    if (thread.Run() == wxTHREAD_NO_ERROR)
        thread.Wait();
}
