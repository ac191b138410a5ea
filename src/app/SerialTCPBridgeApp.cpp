#include "SerialTCPBridgeApp.h"

#include "ProcessSetup.h"
#include "log/Logger.h"
#include "ui/SerialTCPBridgeFrame.h"

#include <wx/icon.h>
#include <wx/intl.h>
#include <wx/listctrl.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/socket.h>

#include <csignal>
#include <cstdlib>

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
    SetTopWindow(frame);
    frame->Show();
    frame->CallAfter(&SerialTCPBridgeFrame::ReportStartupProblems);

#ifndef __WINDOWS__
    // A session that ends, or Ctrl-C in a terminal, closes the window as
    // its close box would.
    m_messageBoxes.Register();
    SetSignalHandler(SIGINT, &SerialTCPBridgeApp::OnSignal);
    SetSignalHandler(SIGTERM, &SerialTCPBridgeApp::OnSignal);
#endif
    Logger::message("serial-tcp-bridge runs %d bridges", frame->GetList()->GetItemCount());
    return true;
}

// Called from the event loop, not from the signal itself: from a message
// box's loop too, when one is open.
void SerialTCPBridgeApp::OnSignal(int signal)
{
    Logger::message("serial-tcp-bridge stops on signal %d", signal);
    auto* frame = dynamic_cast<SerialTCPBridgeFrame*>(wxTheApp->GetTopWindow());
    if (wxGetApp().m_messageBoxes.Any())
    {
        // The box's loop would outlive a closed window, and the box then
        // refers to a parent that is gone: stop the bridges and end here.
        if (frame)
            frame->StopAll();
        Logger::message("serial-tcp-bridge stopped every bridge and ends with a message box open");
        wxLog::FlushActive();
        std::_Exit(0);
    }
    // A box on its way may show after this (GTK makes it visible before the
    // hook hears of it): it would hold the closing window up, so it is refused.
    wxGetApp().m_messageBoxes.RefuseMore();
    if (frame)
        frame->Close(true);
    // The window is deleted at the next idle time, and an idle loop with
    // nothing else to do would not get there.
    wxTheApp->WakeUpIdle();
}

int SerialTCPBridgeApp::MessageBoxCount::Enter(wxDialog* dialog)
{
    if (!dynamic_cast<wxMessageDialogBase*>(dialog))
        return wxID_NONE;
    if (m_refusing)
        return wxID_CANCEL;
    ++m_count;
    return wxID_NONE;
}

void SerialTCPBridgeApp::MessageBoxCount::Exit(wxDialog* dialog)
{
    if (dynamic_cast<wxMessageDialogBase*>(dialog))
        --m_count;
}
