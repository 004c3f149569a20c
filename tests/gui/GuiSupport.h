#pragma once
// Helpers for driving real dialogs under Xvfb.

#include <wx/testing.h>
#include <wx/bitmap.h>
#include <wx/msgdlg.h>

#include <functional>
#include <stdexcept>
#include <string>

// A modal hook whose failed expectation throws instead of asserting, so an
// unexpected box fails the test rather than hanging it.
class CThrowingModalHook : public wxTestingModalHook {
protected:
    void ReportFailure(const wxString& msg) override { throw std::runtime_error(msg.utf8_string()); }
};

// Expects one message box with this text and caption, and answers OK.
class CExpectMessage : public wxExpectModalBase<wxMessageDialog, CExpectMessage> {
public:
    CExpectMessage(std::string text, std::string caption) : m_text(std::move(text)), m_caption(std::move(caption)) {}

protected:
    int OnInvoked(wxMessageDialog* dlg) const override
    {
        const std::string text = dlg->GetMessage().utf8_string();
        const std::string caption = dlg->GetTitle().utf8_string();
        if (text != m_text || caption != m_caption) {
            throw std::runtime_error("message box \"" + text + "\" / \"" + caption + "\", expected \"" + m_text +
                                     "\" / \"" + m_caption + "\"");
        }
        return wxID_OK;
    }
    wxString GetDefaultDescription() const override { return "message box " + wxString::FromUTF8(m_text); }

private:
    std::string m_text, m_caption;
};

// Runs `fn` with the message boxes it shows answered by `expectations`.
template <class... E> void WithMessages(const std::function<void()>& fn, const E&... expectations)
{
    CThrowingModalHook hook;
    (hook.AddExpectation(expectations), ...);
    fn();
    hook.CheckUnmetExpectations();
}

// Lets the toolkit draw and deliver pending events.
void Settle(int rounds = 20);

// What the screen shows of `w`, raised first; and that as a PNG file.
wxBitmap ScreenShot(wxWindow& w);
bool Snapshot(wxWindow& w, const char* path);
