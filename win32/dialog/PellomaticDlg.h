#pragma once
// The main dialog and the About box on Windows: native dialogs from the
// resource script, a thin shell over the workflow's handlers in core/.

#include "core/Workflow.h"

#include <windows.h>

#include <functional>
#include <thread>

namespace pello {

class CSnToolDlg : public CSnToolWorkflow, public CMessageSink {
public:
    CSnToolDlg();
    ~CSnToolDlg() override;

    // Runs the dialog until its cancel command; returns that command's id.
    INT_PTR DoModal();

    // Binds control 1005's text and the radio group at 1003 to the members;
    // `pull` copies controls into members, otherwise members into controls.
    void ExchangeData(bool pull);
    void PullControls() override { ExchangeData(true); }
    void PushControls() override { ExchangeData(false); }
    // The work runs on a worker thread while the window keeps painting and
    // answering; `then` runs back on the window's thread.
    void RunOnWire(std::function<void()> work, std::function<void()> then) override;
    void ShowMessage(const std::string& text, const std::string& caption) override;

    BOOL OnDialogInit();
    void OnSystemCommand(UINT nID, LPARAM lParam);
    // Paints the icon while minimised; false when the system's own painting is wanted.
    bool OnRepaint();
    HICON OnDragIcon() const { return m_hIcon; }
    void OnCloseCommand();
    // A close asked for while a command is on the wire (or its result is
    // shown) waits for it; otherwise it is carried out now.
    void RequestClose();
    bool IsOnWire() const { return m_bOnWire; }

    HWND m_hWnd = nullptr;
    HICON m_hIcon = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnCommand(WORD id, WORD code);
    void OnContextMenu(LPARAM lParam);
    void FinishWire();

    std::thread m_worker;
    std::function<void()> m_then;
    bool m_bOnWire = false;
    bool m_bCloseRequested = false;
};

} // namespace pello
