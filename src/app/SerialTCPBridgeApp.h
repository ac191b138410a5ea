#pragma once

#include <wx/app.h>

// The application object: logging first, then the socket layer, then the
// main window.
class SerialTCPBridgeApp : public wxApp
{
public:
    bool OnInit() override;
};

wxDECLARE_APP(SerialTCPBridgeApp);
