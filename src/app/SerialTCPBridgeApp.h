#pragma once

#include <wx/app.h>
#include <wx/modalhook.h>

// The application object: logging first, then the socket layer, then the
// main window, which loads and starts every stored bridge. SIGINT and SIGTERM
// end it with status 0 whatever is open.
class SerialTCPBridgeApp : public wxApp
{
public:
    SerialTCPBridgeApp();
    bool OnInit() override;

private:
    // Counts the message boxes being shown. Each runs a loop of its own
    // (gtk_dialog_run on GTK) that EndModal does not end.
    class MessageBoxCount : public wxModalDialogHook
    {
    public:
        bool Any() const { return m_count > 0; }
        // From now on a box is not shown at all: the program is ending.
        void RefuseMore() { m_refusing = true; }

    protected:
        int Enter(wxDialog* dialog) override;
        void Exit(wxDialog* dialog) override;

    private:
        int m_count = 0;
        bool m_refusing = false;
    };

    static void OnSignal(int signal);

    MessageBoxCount m_messageBoxes;
};

wxDECLARE_APP(SerialTCPBridgeApp);
