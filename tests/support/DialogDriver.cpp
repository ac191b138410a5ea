#include "DialogDriver.h"

#include <wx/combobox.h>
#include <wx/listbox.h>
#include <wx/msgdlg.h>
#include <wx/pickerbase.h>
#include <wx/textctrl.h>

int DialogDriver::Enter(wxDialog* dialog)
{
    if (auto* message = dynamic_cast<wxMessageDialogBase*>(dialog))
    {
        messages.push_back({message->GetMessage().utf8_string(), message->GetTitle().utf8_string()});
        return wxID_OK;
    }
    if (m_expected.empty())
    {
        unexpected.push_back(dialog->GetTitle().utf8_string());
        return wxID_CANCEL;
    }
    Handler handler = std::move(m_expected.front());
    m_expected.pop_front();
    return handler(dialog);
}

void ClickButton(wxWindow* dialog, int id)
{
    wxCommandEvent click(wxEVT_BUTTON, id);
    click.SetEventObject(dialog->FindWindow(id));
    dialog->GetEventHandler()->ProcessEvent(click);
}

void SetControlText(wxWindow* dialog, const char* name, const wxString& text)
{
    wxWindow* control = wxWindow::FindWindowByName(name, dialog);
    if (auto* field = dynamic_cast<wxTextCtrl*>(control))
        field->SetValue(text);
    else if (auto* combo = dynamic_cast<wxComboBox*>(control))
        combo->SetValue(text);
    else if (auto* picker = dynamic_cast<wxPickerBase*>(control))
        picker->GetTextCtrl()->SetValue(text);
}

void SelectChoice(wxWindow* dialog, const char* name, const wxString& choice)
{
    wxWindow* control = wxWindow::FindWindowByName(name, dialog);
    if (auto* combo = dynamic_cast<wxComboBox*>(control))
    {
        combo->SetStringSelection(choice);
    }
    else if (auto* list = dynamic_cast<wxListBox*>(control))
    {
        list->SetStringSelection(choice);
        wxCommandEvent selected(wxEVT_LISTBOX, list->GetId());
        selected.SetEventObject(list);
        selected.SetInt(list->GetSelection());
        selected.SetString(choice);
        list->GetEventHandler()->ProcessEvent(selected);
    }
}
