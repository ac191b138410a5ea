#include "BridgeOptionsPanel.h"

#include "bridge/Bridge.h"
#include "bridge/SettingsInput.h"
#include "serial/SerialPortHandler.h"
#include "store/DatabaseHelper.h"

#include <wx/button.h>
#include <wx/combobox.h>
#include <wx/filepicker.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include <tuple>

namespace
{
constexpr int kLabelBorder = 3;
constexpr int kGroupBorder = 5;
constexpr int kTcpPortLength = 5;
// An IPv6 address with a zone: 45 characters, "%" and an interface's name.
constexpr int kAddressLength = 45 + 1 + 15;
// What an IPv4 or IPv6 address, with a zone, is written with.
const char kAddressCharacters[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.:%_-";

#ifdef __WINDOWS__
// COM ports are all listed in the registry.
constexpr long kSerialPortStyle = wxCB_READONLY;
#else
// Virtual ports and /dev/serial/by-id names are typed as often as picked.
constexpr long kSerialPortStyle = wxCB_DROPDOWN;
#endif

wxArrayString Choices(std::initializer_list<const char*> texts)
{
    wxArrayString choices;
    for (const char* text : texts)
        choices.Add(text);
    return choices;
}

wxTextValidator CharactersOnly(const wxString& allowed)
{
    wxTextValidator validator(wxFILTER_INCLUDE_CHAR_LIST);
    validator.SetCharIncludes(allowed);
    return validator;
}

// A refusal of the shared checks as the dialog shows it.
wxString Sentence(const wxString& reason)
{
    return reason.Left(1).Upper() + reason.Mid(1) + (reason.EndsWith(".") ? "" : ".");
}

void Select(wxComboBox* choice, const wxString& value)
{
    const int index = choice->FindString(value, true);
    if (index != wxNOT_FOUND)
        choice->SetSelection(index);
}

} // namespace

wxBEGIN_EVENT_TABLE(BridgeOptionsPanel, wxDialog)
    EVT_COMMAND_RANGE(BridgeOptionsPanel::ID_ADD, BridgeOptionsPanel::ID_CANCEL_BUTTON, wxEVT_BUTTON,
                      BridgeOptionsPanel::OnButton)
    EVT_LISTBOX(BridgeOptionsPanel::ID_FILTER_LIST, BridgeOptionsPanel::OnFilterSelected)
    EVT_CHAR_HOOK(BridgeOptionsPanel::OnCharHook)
wxEND_EVENT_TABLE()

BridgeOptionsPanel::BridgeOptionsPanel(wxWindow* parent, const Bridge* bridge)
    : wxDialog(parent, wxID_ANY, "Bridge options", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE),
      m_workingCopy(std::make_unique<Bridge>(bridge)), m_ports(SerialPortHandler::GetPorts())
{
    wxArrayString portLines;
    for (const DiscoveredPort& port : m_ports)
        portLines.Add(wxString::FromUTF8(port.Label()));
    m_serialPort = new wxComboBox(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, portLines,
                                  kSerialPortStyle, wxDefaultValidator, "serialPort");
    m_baudRate = new wxComboBox(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                                SerialPortHandler::GetBaudList(), wxCB_READONLY, wxDefaultValidator, "baudRate");
    m_dataBits = new wxComboBox(this, wxID_ANY, "8", wxDefaultPosition, wxDefaultSize, Choices({"7", "8"}),
                                wxCB_READONLY | wxCB_DROPDOWN, wxDefaultValidator, "dataBits");
    m_parity = new wxComboBox(this, wxID_ANY, "N", wxDefaultPosition, wxDefaultSize, Choices({"N", "E", "O"}),
                              wxCB_READONLY | wxCB_DROPDOWN, wxDefaultValidator, "parity");
    m_stopBits = new wxComboBox(this, wxID_ANY, "1", wxDefaultPosition, wxDefaultSize, Choices({"1", "2"}),
                                wxCB_READONLY | wxCB_DROPDOWN, wxDefaultValidator, "stopBits");
    m_tcpPort = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                               CharactersOnly("0123456789"), "tcpPort");
    m_tcpPort->SetMaxLength(kTcpPortLength);
    m_listenAddress = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize, 0,
                                     CharactersOnly(kAddressCharacters), "listenAddress");
    m_listenAddress->SetMaxLength(kAddressLength);
    m_listenAddress->SetHint("all addresses");
    m_listenAddress->SetToolTip("The address of this machine to listen on, IPv4 or IPv6, such as 127.0.0.1 or ::1 "
                                "for clients that come through an SSH tunnel; empty for all its addresses.");
    m_protocol = new wxComboBox(this, wxID_ANY, Bridge::kRawProtocol, wxDefaultPosition, wxDefaultSize,
                                Choices({Bridge::kRawProtocol, Bridge::kRfc2217Protocol}),
                                wxCB_READONLY | wxCB_DROPDOWN, wxDefaultValidator, "protocol");
    m_protocol->SetToolTip("raw: the bytes as they are. rfc2217: Telnet, with which a client such as pyserial's "
                           "rfc2217:// sets the port's speed, frame and lines itself.");
    // The file need not exist: tracing makes it, or adds to it.
    m_traceFile = new wxFilePickerCtrl(this, wxID_ANY, wxEmptyString, "Trace to file", wxFileSelectorDefaultWildcardStr,
                                       wxDefaultPosition, wxDefaultSize, wxFLP_SAVE | wxFLP_USE_TEXTCTRL,
                                       wxDefaultValidator, "traceFile");
    m_traceFile->GetTextCtrl()->SetHint("none");
    m_traceFile->SetToolTip("A file that records every byte both ways with the time, and the clients' comings and "
                            "goings; a relative path is taken from the folder of bridges.db. Empty for none.");
    m_ipAddress = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(150, -1), 0,
                                 CharactersOnly(kAddressCharacters), "ipAddress");
    m_ipAddress->SetMaxLength(kAddressLength);
    m_filterList = new wxListBox(this, ID_FILTER_LIST, wxDefaultPosition, wxDefaultSize, 0, nullptr, 0,
                                 wxDefaultValidator, "ipFilterList");

    const wxSizerFlags label = wxSizerFlags().Border(wxALL, kLabelBorder).CenterVertical();
    const wxSizerFlags field = wxSizerFlags().Border(wxALL, kLabelBorder).Expand();
    const wxSizerFlags button = wxSizerFlags().Border(wxALL, kLabelBorder);

    auto* grid = new wxFlexGridSizer(2, 0, 0);
    grid->Add(new wxStaticText(this, wxID_ANY, "Serial Port: "), label);
    grid->Add(m_serialPort, field);
    grid->Add(new wxStaticText(this, wxID_ANY, "Serial baudrate: "), label);
    grid->Add(m_baudRate, field);
    grid->Add(new wxStaticText(this, wxID_ANY, "Data bits:"), label);
    grid->Add(m_dataBits, label);
    grid->Add(new wxStaticText(this, wxID_ANY, "Parity:"), label);
    grid->Add(m_parity, label);
    grid->Add(new wxStaticText(this, wxID_ANY, "Stop bits:"), label);
    grid->Add(m_stopBits, label);
    grid->Add(new wxStaticText(this, wxID_ANY, "TCP server Port: "), label);
    grid->Add(m_tcpPort, field);
    grid->Add(new wxStaticText(this, wxID_ANY, "Listen address:"), label);
    grid->Add(m_listenAddress, field);
    grid->Add(new wxStaticText(this, wxID_ANY, "Protocol:"), label);
    grid->Add(m_protocol, label);
    grid->Add(new wxStaticText(this, wxID_ANY, "Trace to file:"), label);
    grid->Add(m_traceFile, field);

    grid->Add(new wxStaticText(this, wxID_ANY, "IP filter list: "), label);
    auto* entryRow = new wxBoxSizer(wxHORIZONTAL);
    entryRow->Add(m_ipAddress, wxSizerFlags(1).Border(wxALL, kLabelBorder).Expand());
    entryRow->Add(new wxButton(this, ID_ADD, "Add", wxDefaultPosition, wxSize(40, -1)), button);
    grid->Add(entryRow, field);

    grid->Add(10, 10);
    auto* listRow = new wxBoxSizer(wxHORIZONTAL);
    listRow->Add(m_filterList, wxSizerFlags(1).Border(wxALL, kLabelBorder).Expand());
    auto* listButtons = new wxBoxSizer(wxVERTICAL);
    listButtons->Add(new wxButton(this, ID_DEL, "Del", wxDefaultPosition, wxSize(50, -1)), button);
    listButtons->Add(new wxButton(this, ID_CLEAR, "Clear", wxDefaultPosition, wxSize(50, -1)), button);
    listRow->Add(listButtons);
    grid->Add(listRow, field);

    auto* buttonRow = new wxBoxSizer(wxHORIZONTAL);
    auto* ok = new wxButton(this, ID_OK_BUTTON, "OK");
    ok->SetDefault();
    buttonRow->Add(ok, button);
    buttonRow->Add(new wxButton(this, ID_CANCEL_BUTTON, "Cancel"), button);

    auto* top = new wxBoxSizer(wxVERTICAL);
    top->Add(grid, wxSizerFlags(1).Border(wxALL, kGroupBorder).Expand());
    top->Add(buttonRow, wxSizerFlags(0).Border(wxALL, kGroupBorder).CenterHorizontal());
    SetSizerAndFit(top);
    // Escape and the close box look for a Cancel button by its id.
    SetEscapeId(ID_CANCEL_BUTTON);

    LoadControls();
}

BridgeOptionsPanel::~BridgeOptionsPanel() = default;

std::unique_ptr<Bridge> BridgeOptionsPanel::TakeWorkingCopy()
{
    return std::move(m_workingCopy);
}

void BridgeOptionsPanel::LoadControls()
{
    const Bridge& copy = *m_workingCopy;
    // A port that is there shows as its line, whichever of its names is stored.
    m_loadedPortLine = copy.GetComPort();
    for (const DiscoveredPort& port : m_ports)
    {
        if (port.IsNamed(copy.GetComPort().utf8_string()))
            m_loadedPortLine = wxString::FromUTF8(port.Label());
    }
    // A list that cannot be typed into shows only names it holds: a stored
    // port that is not there now is added, so that it shows and stays, or
    // OK says what is wrong with it.
    if (m_serialPort->HasFlag(wxCB_READONLY) && !m_loadedPortLine.empty() &&
        m_serialPort->FindString(m_loadedPortLine, true) == wxNOT_FOUND)
        m_serialPort->Append(m_loadedPortLine);
    m_serialPort->SetValue(m_loadedPortLine);
    Select(m_serialPort, m_loadedPortLine);
    Select(m_baudRate, wxString::Format("%i", copy.GetComBaud()));
    Select(m_dataBits, wxString::Format("%i", copy.GetDataBits()));
    Select(m_parity, wxString(copy.GetParity()));
    Select(m_stopBits, wxString::Format("%i", copy.GetStopBits()));
    // A port the store held out of range shows as it was, for the user to mend.
    const wxString& stored = copy.GetStoredTcpPort();
    m_tcpPort->ChangeValue(stored.empty() ? wxString::Format("%u", static_cast<unsigned>(copy.GetTcpPort())) : stored);
    m_listenAddress->ChangeValue(copy.GetListenAddress());
    Select(m_protocol, copy.GetProtocol());
    m_traceFile->SetPath(copy.GetTraceFile());
    for (const IpFilter& entry : copy.GetIpFilters())
    {
        if (entry.state != IPF_DELETED)
            m_filterList->Append(entry.ip_address);
    }
}

void BridgeOptionsPanel::OnButton(wxCommandEvent& event)
{
    switch (event.GetId())
    {
    case ID_ADD: AddFilter(); break;
    case ID_DEL: DeleteFilter(); break;
    case ID_CLEAR: ClearFilters(); break;
    case ID_OK_BUTTON: Accept(); break;
    case ID_CANCEL_BUTTON: EndModal(wxID_CANCEL); break;
    default: break;
    }
}

void BridgeOptionsPanel::OnCharHook(wxKeyEvent& event)
{
    // Enter presses OK, as Escape presses Cancel; on a button that has the
    // focus it presses that button, as the toolkit does by itself.
    const int key = event.GetKeyCode();
    if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && !event.HasAnyModifiers() &&
        !wxDynamicCast(FindFocus(), wxButton))
    {
        Accept();
        return;
    }
    event.Skip();
}

void BridgeOptionsPanel::OnFilterSelected(wxCommandEvent& event)
{
    m_ipAddress->ChangeValue(event.GetString());
}

void BridgeOptionsPanel::AddFilter()
{
    const wxString address = m_ipAddress->GetValue().Strip(wxString::both);
    if (address.empty())
    {
        Complain("Type the IP address of a client to admit, such as 192.168.0.10 or 2001:db8::5.");
        return;
    }
    wxString added;
    const wxString refused = settings_input::AddAllowedAddress(*m_workingCopy, address, added);
    if (!refused.empty())
    {
        Complain(Sentence(refused));
        return;
    }
    m_filterList->Append(added);
}

void BridgeOptionsPanel::DeleteFilter()
{
    const int selected = m_filterList->GetSelection();
    if (selected == wxNOT_FOUND)
        return;
    if (IpFilter* entry = m_workingCopy->FindIpFilter(m_filterList->GetString(selected)))
        entry->state = IPF_DELETED;
    m_filterList->Delete(selected);
}

void BridgeOptionsPanel::ClearFilters()
{
    m_filterList->Clear();
    m_workingCopy->MarkAllIpFiltersDeleted();
}

wxString BridgeOptionsPanel::ChosenPortName() const
{
    const wxString line = m_serialPort->GetValue().Strip(wxString::both);
    // Left as loaded, the stored name stays, even a /dev/ttyUSBn that has a by-id link.
    if (line == m_loadedPortLine)
        return m_workingCopy->GetComPort();
    for (const DiscoveredPort& port : m_ports)
    {
        if (line == wxString::FromUTF8(port.Label()))
            return wxString::FromUTF8(port.name);
    }
    return line;
}

void BridgeOptionsPanel::Accept()
{
    // Checked on a copy, so that a refusal leaves the working copy as loaded
    // for the next try.
    BridgeSettings checked = *m_workingCopy;
    const wxString chosenPort = ChosenPortName();
    wxString refused = settings_input::SetSerialPort(checked, chosenPort);
    if (!refused.empty())
    {
        Complain(chosenPort.Strip(wxString::both).empty() ? wxString("Choose or type the serial port.")
                                                          : Sentence(refused));
        return;
    }
    if (m_baudRate->GetSelection() == wxNOT_FOUND)
    {
        Complain("Choose a baud rate.");
        return;
    }
    const wxString listenAddress = m_listenAddress->GetValue().Strip(wxString::both);
    const wxString parity = m_parity->GetStringSelection();
    const wxString frame = wxString(m_dataBits->GetStringSelection() == "7" ? "7" : "8") +
                           (parity.empty() ? wxString("N") : parity) +
                           (m_stopBits->GetStringSelection() == "2" ? "2" : "1");
    for (const auto& [set, typed, hint] :
         {std::make_tuple(settings_input::SetBaudRate, m_baudRate->GetStringSelection(), ""),
          std::make_tuple(settings_input::SetTcpPort, m_tcpPort->GetValue(), ""),
          std::make_tuple(settings_input::SetListenAddress, listenAddress,
                          " Leave the listen address empty to listen on all addresses."),
          std::make_tuple(settings_input::SetFrame, frame, "")})
    {
        refused = set(checked, typed);
        if (!refused.empty())
        {
            Complain(Sentence(refused) + hint);
            return;
        }
    }
    // A protocol the store held that is not offered stays until one is chosen.
    if (m_protocol->GetSelection() != wxNOT_FOUND)
        settings_input::SetProtocol(checked, m_protocol->GetStringSelection());
    // What the field shows, not what the picker last chose: the text may
    // have been typed or emptied since.
    settings_input::SetTraceFile(checked, m_traceFile->GetTextCtrl()->GetValue());

    Bridge& copy = *m_workingCopy;
    static_cast<BridgeSettings&>(copy) = checked;
    const StoreResult saved = DatabaseHelper::saveBridge(copy, ACTION_UPDATE);
    if (!saved.ok)
    {
        Complain(saved.message);
        return;
    }
    EndModal(wxID_OK);
}

void BridgeOptionsPanel::Complain(const wxString& message)
{
    wxMessageBox(message, "Bridge options", wxOK | wxICON_WARNING, this);
}
