#include "ThreadWarmUp.h"

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
} // namespace

void WarmUpToolkitThreads()
{
    EmptyThread thread;
    if (thread.Run() == wxTHREAD_NO_ERROR)
        thread.Wait();
}
