#pragma once

#include <wx/dialog.h>

#include "serial/PortDiscovery.h"

#include <memory>
#include <vector>

class Bridge;
class wxButton;
class wxComboBox;
class wxFilePickerCtrl;
class wxListBox;
class wxTextCtrl;

// The modal dialog in which the user creates or changes a bridge: serial
// port and its character frame, TCP port, listen address, protocol, trace
// file and IP filter list. It edits a
// working copy of the given bridge (or of a new one), and OK saves that copy
// to the store before the dialog ends; input it cannot accept, or a store
// failure, is explained in a message box and the dialog stays open.
class BridgeOptionsPanel : public wxDialog
{
public:
    enum
    {
        ID_ADD = 0,
        ID_UNUSED = 1,
        ID_DEL = 2,
        ID_CLEAR = 3,
        ID_FILTER_LIST = 4,
        ID_OK_BUTTON = 5,
        ID_CANCEL_BUTTON = 6
    };

    // bridge: the listed bridge to change, never changed here; null to add one.
    BridgeOptionsPanel(wxWindow* parent, const Bridge* bridge);
    ~BridgeOptionsPanel() override;

    // The edited copy; after wxID_OK it is what the store holds.
    Bridge& GetWorkingCopy() { return *m_workingCopy; }
    // Hands the copy over, for an added bridge after wxID_OK.
    std::unique_ptr<Bridge> TakeWorkingCopy();

private:
    void OnButton(wxCommandEvent& event);
    void OnFilterSelected(wxCommandEvent& event);
    void OnCharHook(wxKeyEvent& event);

    void AddFilter();
    void DeleteFilter();
    void ClearFilters();
    void Accept();
    void Complain(const wxString& message);
    void LoadControls();
    // What the serial port field stands for: a listed port's stored name,
    // the loaded name while its line is untouched, or the typed text.
    wxString ChosenPortName() const;

    std::unique_ptr<Bridge> m_workingCopy;
    std::vector<DiscoveredPort> m_ports; // one line each in the serial port list
    wxString m_loadedPortLine;           // the line the bridge's stored port showed as
    wxComboBox* m_serialPort;
    wxComboBox* m_baudRate;
    wxComboBox* m_dataBits;
    wxComboBox* m_parity;
    wxComboBox* m_stopBits;
    wxTextCtrl* m_tcpPort;
    wxTextCtrl* m_listenAddress;
    wxComboBox* m_protocol;
    wxFilePickerCtrl* m_traceFile;
    wxTextCtrl* m_ipAddress;
    wxListBox* m_filterList;

    wxDECLARE_EVENT_TABLE();
};
