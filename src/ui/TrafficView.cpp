#include "TrafficView.h"

#include "TrafficList.h"
#include "bridge/Bridge.h"
#include "log/Logger.h"
#include "log/TraceFormat.h"
#include "log/TraceRing.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/filedlg.h>
#include <wx/file.h>
#include <wx/filename.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/tglbtn.h>

#include <algorithm>

namespace
{
const char* const kLayouts[] = {"hex+text", "text only"};
constexpr int kBorder = 4;
constexpr int kChoiceArrowRoom = 48;
constexpr int kHeight = 420;

wxString Title(const Bridge& bridge)
{
    return wxString::Format("Traffic of bridge #%d (%s, TCP port %u)", bridge.GetRow(), bridge.GetComPort(),
                            static_cast<unsigned>(bridge.GetTcpPort()));
}

// GTK's chooser has no whole path until it has been shown (a test answers it
// unshown); its folder and name it has at once.
wxString ChosenPath(const wxFileDialog& dialog)
{
    const wxString path = dialog.GetPath();
    return path.empty() ? wxFileName(dialog.GetDirectory(), dialog.GetFilename()).GetFullPath() : path;
}
} // namespace

wxBEGIN_EVENT_TABLE(TrafficView, wxFrame)
    EVT_CLOSE(TrafficView::OnClose)
    EVT_CHOICE(TrafficView::ID_LAYOUT, TrafficView::OnLayout)
    EVT_TOGGLEBUTTON(TrafficView::ID_PAUSE, TrafficView::OnPause)
    EVT_BUTTON(TrafficView::ID_CLEAR, TrafficView::OnClear)
    EVT_BUTTON(TrafficView::ID_SAVE, TrafficView::OnSave)
wxEND_EVENT_TABLE()

TrafficView::TrafficView(Bridge& bridge)
    : wxFrame(nullptr, wxID_ANY, Title(bridge)),
      m_bridge(&bridge),
      // Room for the line that counts what the ring let go, so that it stays in view.
      m_ring(std::make_shared<TraceRing>(TrafficLines::kLimitBytes - TrafficLines::kRecordCost)),
      m_drawTimer(this)
{
    auto* panel = new wxPanel(this);
    auto* layout = new wxChoice(panel, ID_LAYOUT, wxDefaultPosition, wxDefaultSize, 0, nullptr, 0,
                                wxDefaultValidator, "layout");
    for (const char* name : kLayouts)
        layout->Append(name);
    layout->SetSelection(0);
    // Wine's choice control leaves too little room for its arrow and the longest choice.
    const int least = layout->GetTextExtent(kLayouts[1]).GetWidth() + kChoiceArrowRoom;
    layout->SetMinSize(wxSize(std::max(layout->GetBestSize().GetWidth(), least), -1));
    auto* buttons = new wxBoxSizer(wxHORIZONTAL);
    buttons->Add(layout, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, kBorder);
    buttons->Add(new wxToggleButton(panel, ID_PAUSE, "Pause"), 0, wxRIGHT, kBorder);
    buttons->Add(new wxButton(panel, ID_CLEAR, "Clear"), 0, wxRIGHT, kBorder);
    buttons->Add(new wxButton(panel, ID_SAVE, "Save as..."), 0);

    m_list = new TrafficList(panel, ID_LIST, m_lines);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(buttons, 0, wxALL, kBorder);
    sizer->Add(m_list, 1, wxEXPAND);
    panel->SetSizer(sizer);

    int width = 0;
    for (int column = 0; column < m_list->GetColumnCount(); ++column)
        width += m_list->GetColumnWidth(column);
    SetClientSize(width + wxSystemSettings::GetMetric(wxSYS_VSCROLL_X) + 2 * kBorder, kHeight);

    Bind(wxEVT_TIMER, &TrafficView::OnTimer, this, m_drawTimer.GetId());
    m_bridge->AddTrafficViewer(m_ring);
    m_drawTimer.Start(kDrawMs);
}

TrafficView::~TrafficView()
{
    Detach();
}

void TrafficView::Detach()
{
    if (m_bridge)
        m_bridge->RemoveTrafficViewer(m_ring);
    m_bridge = nullptr;
}

void TrafficView::OnClose(wxCloseEvent&)
{
    Detach();
    // The save dialog runs on OnSave's stack: end it, and close once it has returned.
    if (m_saveDialog)
    {
        m_closePending = true;
        m_saveDialog->EndModal(wxID_CANCEL);
        return;
    }
    Destroy();
}

void TrafficView::OnTimer(wxTimerEvent&)
{
    if (m_paused)
        return;
    std::size_t missed = 0;
    std::vector<TraceRecord> records = m_ring->Take(missed);
    if (missed > 0)
    {
        TraceRecord note;
        note.microseconds = records.empty() ? TraceNow() : records.front().microseconds;
        note.event = "view: " + std::to_string(missed) + (missed == 1 ? " record" : " records") + " not shown";
        records.insert(records.begin(), std::move(note));
    }
    if (records.empty())
        return;
    m_list->ShowChanges(m_lines.Add(std::move(records)));
}

void TrafficView::OnLayout(wxCommandEvent& event)
{
    m_lines.SetLayout(event.GetSelection() == 0 ? TrafficLines::Layout::HexAndText
                                                : TrafficLines::Layout::TextOnly);
    m_list->ShowAll();
}

void TrafficView::OnPause(wxCommandEvent& event)
{
    m_paused = event.IsChecked();
}

void TrafficView::OnClear(wxCommandEvent&)
{
    std::size_t missed = 0;
    m_ring->Take(missed);
    m_lines.Clear();
    m_list->ShowAll();
}

void TrafficView::OnSave(wxCommandEvent&)
{
    const wxString name = m_bridge ? wxString::Format("traffic-%d.txt", m_bridge->GetRow()) : "traffic.txt";
    wxFileDialog dialog(this, "Save the traffic as", wxEmptyString, name, "Text files (*.txt)|*.txt|All files|*",
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    m_saveDialog = &dialog;
    const int result = dialog.ShowModal();
    m_saveDialog = nullptr;
    if (m_closePending)
    {
        Destroy();
        return;
    }
    if (result != wxID_OK)
        return;
    const wxString path = ChosenPath(dialog);
    wxString why;
    if (!SaveTo(path, why))
        wxMessageBox(wxString::Format("Cannot write %s: %s", path, why), "Save the traffic", wxOK | wxICON_ERROR,
                     this);
}

bool TrafficView::SaveTo(const wxString& path, wxString& why)
{
    const std::string text = m_lines.TraceText();
    wxLogNull quiet; // the toolkit's own message box would tell it a second time
    wxFile file;
    if (!file.Create(path, true) || file.Write(text.data(), text.size()) != text.size() || !file.Close())
    {
        why = wxSysErrorMsgStr();
        Logger::message("TrafficView::SaveTo cannot save the traffic to %s: %s", path, why);
        return false;
    }
    return true;
}
