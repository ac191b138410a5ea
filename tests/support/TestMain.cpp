// Entry of the non-GUI test programs: a console application object, the
// socket layer and an active event loop that the tests pump themselves.
#include "ToolkitSetup.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/socket.h>

#include <csignal>

namespace
{
class TestApp : public wxAppConsole
{
public:
    bool OnInit() override { return true; }
};
} // namespace

wxIMPLEMENT_APP_NO_MAIN(TestApp);

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef SIGPIPE
    // Peers in the tests write to sockets the code under test may have closed.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    wxInitializer toolkit(argc, argv);
    if (!toolkit.IsOk())
        return 1;
    SetUpToolkitForTests();
    wxSocketBase::Initialize();
    wxEventLoop loop;
    wxEventLoopBase::SetActive(&loop);
    const int result = RUN_ALL_TESTS();
    wxEventLoopBase::SetActive(nullptr);
    return result;
}
