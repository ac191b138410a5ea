#include "SerialTCPBridgeApp.h"

#include "store/Logger.h"

#include <wx/frame.h>
#include <wx/intl.h>
#include <wx/socket.h>
#include <wx/stattext.h>

wxIMPLEMENT_APP(SerialTCPBridgeApp);

bool SerialTCPBridgeApp::OnInit()
{
    Logger::initLog();
    Logger::message("initlog");
    wxSocketBase::Initialize();

    // Stands in for the bridge list until the main window exists.
    auto* frame = new wxFrame(nullptr, wxID_ANY, wxGetTranslation("wxWidgets Application Template"));
    new wxStaticText(frame, wxID_ANY, "No bridges are configured.");
    frame->Show();
    return true;
}
