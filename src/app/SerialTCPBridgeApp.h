#pragma once

#include <wx/app.h>

// The application object: logging first, then the socket layer, then the
// main window, which loads and starts every stored bridge.
class SerialTCPBridgeApp : public wxApp
{
public:
    SerialTCPBridgeApp();
    bool OnInit() override;

private:
    static void OnSignal(int signal);
};

wxDECLARE_APP(SerialTCPBridgeApp);
