#include "win32/dialog/PellomaticDlg.h"

#include "core/Dialog.h"
#include "core/Repaint.h"
#include "core/Resource.h"

#include <string>

namespace pello {

namespace {

// Sent by the worker when the command on the wire has ended.
constexpr UINT WM_WIRE_DONE = WM_APP + 1;

std::wstring Widen(const std::string& utf8)
{
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// Latin-1 bytes, one code point each: the field shows device bytes as they are.
std::wstring FromLatin1(const std::string& bytes)
{
    std::wstring out;
    for (unsigned char c : bytes) out += static_cast<wchar_t>(c);
    return out;
}

std::u32string ControlText(HWND hwnd, int id)
{
    wchar_t text[512] = {};
    ::GetDlgItemTextW(hwnd, id, text, 511);
    std::u32string out;
    for (const wchar_t* p = text; *p != 0; ++p) out += static_cast<char32_t>(*p);
    return out;
}

INT_PTR CALLBACK AboutProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG) {
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        ::EndDialog(hwnd, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

// The paint steps over the live window.
class CWindowRepaintTarget final : public CRepaintTarget {
public:
    CWindowRepaintTarget(HWND hwnd, HICON icon) : m_hwnd(hwnd), m_icon(icon) {}
    bool IsMinimised() override { return ::IsIconic(m_hwnd) != 0; }
    void DefaultPaint() override { m_default = true; }
    void BeginPaint() override { m_dc = ::BeginPaint(m_hwnd, &m_ps); }
    void SendIconEraseBackground() override
    {
        ::SendMessageW(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(m_dc), 0);
    }
    int SystemMetric(int index) override { return ::GetSystemMetrics(index); }
    void ClientSize(int* width, int* height) override
    {
        RECT r {};
        ::GetClientRect(m_hwnd, &r);
        *width = r.right - r.left;
        *height = r.bottom - r.top;
    }
    void DrawIcon(int x, int y) override { ::DrawIcon(m_dc, x, y, m_icon); }
    void EndPaint() override { ::EndPaint(m_hwnd, &m_ps); }
    // The dialog's own painting runs (the message is left to the system).
    bool m_default = false;

private:
    HWND m_hwnd;
    HICON m_icon;
    PAINTSTRUCT m_ps {};
    HDC m_dc = nullptr;
};

} // namespace

CSnToolDlg::CSnToolDlg()
{
    SetMessageSink(this);
    m_nLinkType = -1;
    m_hIcon = static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON,
                                              ::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON), LR_SHARED));
}

CSnToolDlg::~CSnToolDlg()
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
}

INT_PTR CSnToolDlg::DoModal()
{
    return ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MAIN), nullptr, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CSnToolDlg::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        reinterpret_cast<CSnToolDlg*>(lParam)->m_hWnd = hwnd;
    }
    auto* dlg = reinterpret_cast<CSnToolDlg*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    return dlg != nullptr ? dlg->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CSnToolDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: return OnDialogInit();
    case WM_SYSCOMMAND:
        if (IsAboutCommand(static_cast<UINT>(wParam)) || (wParam & 0xFFF0) == SC_CLOSE) {
            OnSystemCommand(static_cast<UINT>(wParam), lParam);
            return TRUE;
        }
        return FALSE; // the system's own handling of move, minimise and the rest
    case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
    case WM_CLOSE: RequestClose(); return TRUE;
    case WM_CONTEXTMENU: OnContextMenu(lParam); return TRUE;
    case WM_PAINT: return OnRepaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON: return reinterpret_cast<INT_PTR>(OnDragIcon());
    case WM_SETCURSOR:
        if (m_bOnWire) {
            ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32514))); // IDC_WAIT
            ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    case WM_QUERYENDSESSION:
        // A log-off or shut-down waits while a sequence is on the wire.
        ::SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, m_bOnWire ? FALSE : TRUE);
        return TRUE;
    case WM_WIRE_DONE: FinishWire(); return TRUE;
    default: return FALSE;
    }
}

BOOL CSnToolDlg::OnDialogInit()
{
    if (HMENU menu = ::GetSystemMenu(m_hWnd, FALSE)) {
        wchar_t about[128] = {};
        if (::LoadStringW(::GetModuleHandleW(nullptr), IDS_ABOUT_ITEM, about, 127) > 0) {
            ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            ::AppendMenuW(menu, MF_STRING, ID_SYSMENU_ABOUT, about);
        }
    }
    const HINSTANCE instance = ::GetModuleHandleW(nullptr);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    const HANDLE small = ::LoadImageW(instance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                      ::GetSystemMetrics(SM_CYSMICON), LR_SHARED);
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small != nullptr ? small : m_hIcon));
    m_nLinkType = 0;
    PushControls();
    return TRUE; // the system puts the focus on the first control: "USB"
}

void CSnToolDlg::ExchangeData(bool pull)
{
    if (pull) {
        m_strProductId = PulledProductId(ControlText(m_hWnd, IDC_PRODUCT_ID), m_strProductId);
        m_nLinkType = ::IsDlgButtonChecked(m_hWnd, IDC_USB) == BST_CHECKED     ? 0
                      : ::IsDlgButtonChecked(m_hWnd, IDC_RS232) == BST_CHECKED ? 1
                                                                               : -1;
        return;
    }
    ::SetDlgItemTextW(m_hWnd, IDC_PRODUCT_ID, FromLatin1(ProductIdShown(m_strProductId)).c_str());
    ::CheckDlgButton(m_hWnd, IDC_USB, m_nLinkType == 0 ? BST_CHECKED : BST_UNCHECKED);
    ::CheckDlgButton(m_hWnd, IDC_RS232, m_nLinkType == 1 ? BST_CHECKED : BST_UNCHECKED);
}

void CSnToolDlg::OnCommand(WORD id, WORD code)
{
    // While a command is on the wire nothing starts another.
    if (id == IDC_SEARCH && code == BN_CLICKED && !m_bOnWire) {
        OnSearch();
    } else if (id == IDOK && !m_bOnWire) {
        OnApply(); // every OK command: the button, and Enter
    } else if (id == IDCANCEL) {
        RequestClose();
    }
}

void CSnToolDlg::OnContextMenu(LPARAM lParam)
{
    HMENU menu = ::GetSystemMenu(m_hWnd, FALSE);
    if (m_bOnWire || menu == nullptr) {
        return;
    }
    POINT at {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    if (at.x == -1 && at.y == -1) { // from the keyboard: at the window's corner
        RECT r {};
        ::GetWindowRect(m_hWnd, &r);
        at = {r.left, r.top};
    }
    const UINT command = static_cast<UINT>(
        ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, m_hWnd, nullptr));
    if (command != 0) {
        ::SendMessageW(m_hWnd, WM_SYSCOMMAND, command, 0);
    }
}

void CSnToolDlg::OnSystemCommand(UINT nID, LPARAM)
{
    if (IsAboutCommand(nID)) {
        ::DialogBoxParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUT), m_hWnd, AboutProc, 0);
        return;
    }
    RequestClose(); // the system menu's Close
}

bool CSnToolDlg::OnRepaint()
{
    CWindowRepaintTarget target(m_hWnd, m_hIcon);
    RunRepaint(target);
    return !target.m_default;
}

void CSnToolDlg::RequestClose()
{
    if (m_bOnWire) {
        m_bCloseRequested = true;
        return;
    }
    OnCloseCommand();
}

void CSnToolDlg::OnCloseCommand() { ::EndDialog(m_hWnd, IDCANCEL); }

void CSnToolDlg::RunOnWire(std::function<void()> work, std::function<void()> then)
{
    m_bOnWire = true;
    m_then = std::move(then);
    ::SetCursor(::LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));
    const HWND hwnd = m_hWnd;
    m_worker = std::thread([hwnd, work = std::move(work)] {
        work();
        ::PostMessageW(hwnd, WM_WIRE_DONE, 0, 0);
    });
}

void CSnToolDlg::FinishWire()
{
    m_worker.join();
    const std::function<void()> then = std::move(m_then);
    then(); // the result, in the field or a box; a close waits for it too
    m_bOnWire = false;
    POINT at {};
    ::GetCursorPos(&at);
    ::SetCursorPos(at.x, at.y); // the arrow comes back at once
    if (m_bCloseRequested) {
        m_bCloseRequested = false;
        OnCloseCommand();
    }
}

void CSnToolDlg::ShowMessage(const std::string& text, const std::string& caption)
{
    ::MessageBoxW(m_hWnd, Widen(text).c_str(), Widen(caption).c_str(), MB_OK);
}

} // namespace pello
