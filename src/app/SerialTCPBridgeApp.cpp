#include "SerialTCPBridgeApp.h"

#include "ProcessSetup.h"
#include "store/Logger.h"
#include "ui/SerialTCPBridgeFrame.h"

#include <wx/icon.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/socket.h>

#include <csignal>

#ifndef __WINDOWS__
#include "SerialTCPBridge.xpm"
#endif

wxIMPLEMENT_APP(SerialTCPBridgeApp);

// The toolkit opens its display connection after this and before OnInit: had
// descriptor 2 been closed, that connection would have taken it.
SerialTCPBridgeApp::SerialTCPBridgeApp()
{
    PrepareProcess();
}

bool SerialTCPBridgeApp::OnInit()
{
    Logger::initLog();
    Logger::message("initlog");
    wxSocketBase::Initialize();

    auto* frame = new SerialTCPBridgeFrame(wxGetTranslation("wxWidgets Application Template"));
#ifdef __WINDOWS__
    frame->SetIcon(wxIcon("aaaa", wxBITMAP_TYPE_ICO_RESOURCE));
#else
    frame->SetIcon(wxIcon(SerialTCPBridge_xpm));
#endif
    frame->Show();
    frame->CallAfter(&SerialTCPBridgeFrame::ReportStartupProblems);

#ifndef __WINDOWS__
    // A session that ends, or Ctrl-C in a terminal, closes the window as
    // its close box would.
    SetSignalHandler(SIGINT, &SerialTCPBridgeApp::OnSignal);
    SetSignalHandler(SIGTERM, &SerialTCPBridgeApp::OnSignal);
#endif
    Logger::message("serial-tcp-bridge runs %d bridges", frame->GetList()->GetItemCount());
    return true;
}

// Called from the event loop, not from the signal itself.
void SerialTCPBridgeApp::OnSignal(int)
{
    if (wxWindow* window = wxTheApp->GetTopWindow())
        window->Close(true);
    // The window is deleted at the next idle time, and an idle loop with
    // nothing else to do would not get there.
    wxTheApp->WakeUpIdle();
}
