// Entry of the GUI test program: a GUI application object on the display
// that xvfb-run provides, the socket layer and an active event loop.
#include "ToolkitSetup.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/socket.h>

#include <csignal>

namespace
{
class GuiTestApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};
} // namespace

wxIMPLEMENT_APP_NO_MAIN(GuiTestApp);

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
        return 1;
    SetUpToolkitForTests();
    wxSocketBase::Initialize();
    int result = 0;
    {
        wxGUIEventLoop loop;
        wxEventLoopBase::SetActive(&loop);
        result = RUN_ALL_TESTS();
        wxEventLoopBase::SetActive(nullptr);
    }
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
