#pragma once

#include <wx/dialog.h>
#include <wx/modalhook.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

// Answers the modal dialogs of a test. Message boxes are recorded and
// answered with OK. Other dialogs go, in the order they appear, to the
// handlers the test expects: a handler returns the modal result (the dialog
// is then never shown) or wxID_NONE to let it run, usually after queueing
// the steps that will drive it with CallAfter.
class DialogDriver : public wxModalDialogHook
{
public:
    using Handler = std::function<int(wxDialog*)>;

    DialogDriver() { Register(); }
    ~DialogDriver() override { Unregister(); }

    void Expect(Handler handler) { m_expected.push_back(std::move(handler)); }
    bool AllSeen() const { return m_expected.empty(); }

    struct Message
    {
        std::string text;
        std::string caption;
    };
    std::vector<Message> messages;
    std::vector<std::string> unexpected; // titles of dialogs nobody expected

protected:
    int Enter(wxDialog* dialog) override;
    void Exit(wxDialog*) override {}

private:
    std::deque<Handler> m_expected;
};

// Steps that tests take inside a dialog.
void ClickButton(wxWindow* dialog, int id);
// Sets the text of the control named name (a text field, a combo box, or a
// picker's text field).
void SetControlText(wxWindow* dialog, const char* name, const wxString& text);
// Selects a choice of the combo box or list box named name.
void SelectChoice(wxWindow* dialog, const char* name, const wxString& choice);
