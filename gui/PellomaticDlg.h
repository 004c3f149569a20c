#pragma once
// The main dialog and the About box.

#include "core/Workflow.h"

#include <wx/dialog.h>
#include <wx/icon.h>
#include <wx/menu.h>

#include <memory>
#include <condition_variable>
#include <mutex>
#include <thread>

class wxRadioButton;
class wxStaticText;

namespace pello {

// The system menu's Close item: this toolkit's close command (menu ids must
// stay below 32768 here, so the classic 0xF060 cannot be used).
constexpr int SC_CLOSE = wxID_CLOSE;

// How the Product ID field shows a text: bytes as Latin-1, control bytes
// (below 0x20, and 0x7F) as \xHH so a reply's CR or check bytes stay visible.
wxString FormatProductIdLabel(const std::string& productId);

class CSnToolDlg : public wxDialog, public CSnToolWorkflow, public CMessageSink {
public:
    explicit CSnToolDlg(wxWindow* parent = nullptr);
    ~CSnToolDlg() override;

    // Binds control 1005's text and the radio group at 1003 to the members;
    // `pull` copies controls into members, otherwise members into controls.
    void ExchangeData(bool pull);
    bool TransferDataToWindow() override;
    bool TransferDataFromWindow() override;

    bool OnDialogInit();
    void OnSystemCommand(unsigned nID, long lParam);
    void OnRepaint();
    const wxIcon& OnDragIcon() const { return m_hIcon; }
    void OnCloseCommand();

    // The dialog's own system menu (the window manager owns the title bar's).
    wxMenu* GetSystemMenu() { return m_pSystemMenu.get(); }
    void ShowSystemMenu(const wxPoint& at = wxDefaultPosition);

    void PullControls() override { TransferDataFromWindow(); }
    void PushControls() override { TransferDataToWindow(); }
    // The work runs on a worker thread while the window keeps painting and
    // answering the window manager; `then` runs back on the window's thread.
    void RunOnWire(std::function<void()> work, std::function<void()> then) override;
    // A command is on the wire (or its result is being shown).
    bool IsOnWire() const { return m_bOnWire; }
    // A close asked for (the "Close" button): carried out now, or when the
    // command on the wire has ended and its result been seen.
    void RequestClose();
    // A signal asks the program to end: carried out at once, a result box
    // that is up closed, unless a sequence is on the wire, which is let
    // finish. From then on no box waits for a click: what it says goes to
    // stderr.
    void CloseForSignal();
    // The display has gone: a command on the wire is let finish, and what it
    // came to goes to stderr, since no box can show it. For the last dialog made.
    static void FinishOnLostDisplay();
    void ShowMessage(const std::string& text, const std::string& caption) override;

    wxIcon m_hIcon;

private:
    void OnInitDialogEvent(wxInitDialogEvent& event);
    void OnSearchClicked(wxCommandEvent& event);
    void OnOkCommand(wxCommandEvent& event);
    void OnCancelCommand(wxCommandEvent& event);
    void OnCloseWindow(wxCloseEvent& event);
    void OnPaintEvent(wxPaintEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void OnMenuCommand(wxCommandEvent& event);
    void OnIconEraseBackground(wxDC& dc);
    void OnCharHook(wxKeyEvent& event);
    void OnMouseWhileOnWire(wxMouseEvent& event);
    void FinishWire(const std::function<void()>& then);
    // A close request waits for the running sequence; true when it must wait.
    bool DeferClose();
    // Carries out a close that waited, once nothing is on the wire and no box up.
    void CloseIfAsked();

    wxRadioButton* m_pUsb = nullptr;
    wxRadioButton* m_pRs232 = nullptr;
    wxRadioButton* m_pNoLink = nullptr; // hidden: selecting it clears the visible two
    wxStaticText* m_pProductId = nullptr;
    std::unique_ptr<wxMenu> m_pSystemMenu;
    wxPaintEvent* m_pPaintEvent = nullptr; // the paint request being handled
    std::thread m_worker;
    // Set by the worker as soon as its work is done, before it hands the
    // result to the window's thread.
    std::mutex m_workMutex;
    std::condition_variable m_workEnded;
    bool m_bWorkDone = false;
    bool m_bOnWire = false;
    bool m_bCloseRequested = false;
    bool m_bUnattended = false; // a signal came: no box waits for a click
    bool m_bBoxUp = false;      // a message box or the About box is up
    std::string m_strBoxShown;  // the text of the message box that is up
    static CSnToolDlg* s_pCurrent;

    friend class CDialogRepaintTarget;
    wxDECLARE_EVENT_TABLE();
};

class CAboutDlg : public wxDialog {
public:
    CAboutDlg();
    void ExchangeData(bool) {}

private:
    wxDECLARE_EVENT_TABLE();
};

} // namespace pello
