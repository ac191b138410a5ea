#include "BridgeSummaryPanel.h"

#include "bridge/Bridge.h"

#include <wx/button.h>
#include <wx/html/htmlwin.h>
#include <wx/settings.h>
#include <wx/sizer.h>

namespace
{
constexpr int kPageBorder = 5;
constexpr int kButtonBorder = 3;

wxString Escaped(const wxString& text)
{
    wxString escaped;
    for (wxUniChar c : text)
    {
        switch (c.GetValue())
        {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}
} // namespace

BridgeSummaryPanel::BridgeSummaryPanel(wxWindow* parent, const Bridge& bridge)
    : wxDialog(parent, wxID_ANY, "Bridge summary", wxDefaultPosition, wxSize(300, 300), wxDEFAULT_DIALOG_STYLE),
      m_bridge(bridge),
      m_htmlWindow(new wxHtmlWindow(this, wxID_ANY, wxDefaultPosition, wxSize(300, 300), wxHW_SCROLLBAR_AUTO,
                                    "htmlWindow"))
{
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_htmlWindow, wxSizerFlags(1).Border(wxALL, kPageBorder).Expand());
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(new wxButton(this, wxID_OK, "Close"), wxSizerFlags(0).Border(wxALL, kButtonBorder));
    buttons->Add(new wxButton(this, ID_REFRESH, "Refresh"), wxSizerFlags(0).Border(wxALL, kButtonBorder));
    sizer->Add(buttons, wxSizerFlags(0).Border(wxALL, kPageBorder).CenterHorizontal());
    Bind(wxEVT_BUTTON, &BridgeSummaryPanel::OnRefresh, this, ID_REFRESH);

    LoadPage();
    SetSizerAndFit(sizer);
}

wxString BridgeSummaryPanel::BuildPage() const
{
    const wxString background = wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE).GetAsString(wxC2S_HTML_SYNTAX);
    wxString page = "<html><body bgcolor=" + background + " >";
    page += wxString::Format("<center><h3>Bridge summary (#%i)</h3></center>", m_bridge.GetRow());
    const wxString& listenAddress = m_bridge.GetListenAddress();
    page += "Listen address: " + (listenAddress.empty() ? wxString("all addresses") : Escaped(listenAddress)) + "<br>";
    page += "Protocol: " + wxString(m_bridge.SpeaksRfc2217() ? "RFC 2217 (Telnet with port control)" : "raw") + "<br>";
    const wxString& traceFile = m_bridge.GetTraceFile();
    page += "Trace file: " + (traceFile.empty() ? wxString("none") : Escaped(traceFile)) + "<br>";

    ClientInfoList clients;
    m_bridge.GetClientsInfo(clients);
    if (clients.empty())
    {
        page += "<br>Client list is empty.";
    }
    else
    {
        page += "Client list:<br><table><tr><td><b>IP address</b></td><td><b>Readed bytes</b></td>"
                "<td><b>Writed bytes</b></td></tr>";
        for (ClientInfo& client : clients)
        {
            const wxString writer = client["Writer"].GetBool() ? " (writer)" : "";
            page += wxString::Format("<tr><td>%s%s</td>", Escaped(client["IP"].GetString()), writer);
            page += wxString::Format("<td>%lld</td>", client["ReadedBytes"].GetLongLong().GetValue());
            page += wxString::Format("<td>%lld</td></tr>", client["WritedBytes"].GetLongLong().GetValue());
        }
        page += "</table><br>";
    }

    const wxArrayString& refused = m_bridge.GetRefusedIps();
    if (refused.empty())
    {
        page += "<br>Refused client list is empty.";
    }
    else
    {
        page += "<br><b>Refused client list:</b>";
        for (const wxString& address : refused)
            page += "<br>" + Escaped(address);
    }
    page += "</body></html>";
    return page;
}

void BridgeSummaryPanel::OnRefresh(wxCommandEvent&)
{
    LoadPage();
}

void BridgeSummaryPanel::LoadPage()
{
    m_page = BuildPage();
    m_htmlWindow->SetPage(m_page);
}
