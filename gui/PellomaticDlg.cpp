#include "gui/PellomaticDlg.h"

#include "gui/DisplayWatch.h"
#include "core/Dialog.h"
#include "core/Repaint.h"
#include "gui/XrcResources.h"
#include "core/Resource.h"
#include "gui/res/Strings.h"

#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/msgdlg.h>
#include <wx/radiobut.h>
#include <wx/settings.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>
#include <wx/utils.h>
#include <wx/xrc/xmlres.h>

#include <cstdio>

namespace pello {

namespace {

wxString FromLatin1(const std::string& s) { return wxString(s.data(), wxConvISO8859_1, s.size()); }

std::u32string CodePoints(const wxString& s)
{
    std::u32string text;
    for (wxUniChar c : s) {
        text += static_cast<char32_t>(c.GetValue());
    }
    return text;
}

} // namespace

wxString FormatProductIdLabel(const std::string& productId) { return FromLatin1(ProductIdShown(productId)); }

// clang-format off
wxBEGIN_EVENT_TABLE(CSnToolDlg, wxDialog)
    EVT_INIT_DIALOG(CSnToolDlg::OnInitDialogEvent)
    EVT_BUTTON(IDC_SEARCH, CSnToolDlg::OnSearchClicked)
    EVT_BUTTON(IDOK, CSnToolDlg::OnOkCommand)
    EVT_BUTTON(IDCANCEL, CSnToolDlg::OnCancelCommand)
    EVT_CLOSE(CSnToolDlg::OnCloseWindow)
    EVT_PAINT(CSnToolDlg::OnPaintEvent)
    EVT_CONTEXT_MENU(CSnToolDlg::OnContextMenu)
    EVT_MENU_RANGE(0, 0xFFFF, CSnToolDlg::OnMenuCommand)
    EVT_CHAR_HOOK(CSnToolDlg::OnCharHook)
wxEND_EVENT_TABLE()

wxBEGIN_EVENT_TABLE(CAboutDlg, wxDialog)
wxEND_EVENT_TABLE()
// clang-format on

CSnToolDlg::CSnToolDlg(wxWindow* parent)
{
    // Set here, not in the initialiser list: the sink base is not built yet there.
    SetMessageSink(this);
    InitResources();
    wxXmlResource::Get()->LoadDialog(this, parent, "IDD_MAIN");
    // The template's size is in units of its own font, set after the size.
    SetClientSize(ConvertDialogToPixels(wxSize(341, 239)));
    m_pUsb = XRCCTRL(*this, "IDC_USB", wxRadioButton);
    m_pRs232 = XRCCTRL(*this, "IDC_RS232", wxRadioButton);
    m_pProductId = XRCCTRL(*this, "IDC_PRODUCT_ID", wxStaticText);
    // Created last, so it joins the group of the radio button before it.
    m_pNoLink = new wxRadioButton(this, wxID_ANY, "", wxPoint(0, 0), wxSize(0, 0));
    m_pNoLink->Hide();
    SetAffirmativeId(IDOK);
    SetEscapeId(IDCANCEL);
    m_pSystemMenu = std::make_unique<wxMenu>();
    m_pSystemMenu->Append(SC_CLOSE, "Close\tAlt+F4");
    m_nLinkType = -1;
    m_hIcon = LoadAppIcon(32);
    // While a command is on the wire, clicks on the controls start nothing;
    // a click on "Close" asks for the close that follows it.
    for (const int id : {IDC_USB, IDC_RS232, IDC_SEARCH, IDOK}) {
        for (const auto type : {wxEVT_LEFT_DOWN, wxEVT_LEFT_DCLICK, wxEVT_LEFT_UP}) {
            FindWindow(id)->Bind(type, &CSnToolDlg::OnMouseWhileOnWire, this);
        }
    }
}

CSnToolDlg* CSnToolDlg::s_pCurrent = nullptr;

CSnToolDlg::~CSnToolDlg()
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    if (s_pCurrent == this) {
        s_pCurrent = nullptr;
    }
}

void CSnToolDlg::FinishOnLostDisplay()
{
    CSnToolDlg* dlg = s_pCurrent;
    if (dlg == nullptr || !dlg->m_bOnWire) {
        return;
    }
    // The sequence ends through its own path. The worker itself is not
    // joined: handing its result over may need a lock this thread holds.
    std::unique_lock<std::mutex> lock(dlg->m_workMutex);
    dlg->m_workEnded.wait(lock, [dlg] { return dlg->m_bWorkDone; });
    std::fprintf(stderr, "pellomatic: the display went away; %s\n", dlg->m_strWireOutcome.c_str());
}

void CSnToolDlg::RequestClose()
{
    if (!DeferClose()) {
        OnCloseCommand();
    }
}

void CSnToolDlg::ExchangeData(bool pull)
{
    if (pull) {
        // The label shows escapes; the exact bytes are kept while it is unchanged.
        m_strProductId = PulledProductId(CodePoints(m_pProductId->GetLabelText()), m_strProductId);
        m_nLinkType = m_pUsb->GetValue() ? 0 : m_pRs232->GetValue() ? 1 : -1;
        return;
    }
    m_pProductId->SetLabelText(FormatProductIdLabel(m_strProductId));
    wxRadioButton* selected = m_nLinkType == 0 ? m_pUsb : m_nLinkType == 1 ? m_pRs232 : m_pNoLink;
    selected->SetValue(true);
}

bool CSnToolDlg::TransferDataToWindow()
{
    const bool ok = wxDialog::TransferDataToWindow();
    ExchangeData(false);
    return ok;
}

bool CSnToolDlg::TransferDataFromWindow()
{
    const bool ok = wxDialog::TransferDataFromWindow();
    ExchangeData(true);
    return ok;
}

void CSnToolDlg::OnInitDialogEvent(wxInitDialogEvent&) { OnDialogInit(); }

bool CSnToolDlg::OnDialogInit()
{
    wxInitDialogEvent baseInit;
    wxDialog::OnInitDialog(baseInit);
    if (wxMenu* menu = GetSystemMenu()) {
        const std::string about = LoadResString(IDS_ABOUT_ITEM);
        if (!about.empty()) {
            menu->AppendSeparator();
            menu->Append(ID_SYSMENU_ABOUT, wxString::FromUTF8(about));
        }
    }
    SetIcons(LoadAppIcons()); // the large and the small icon
    s_pCurrent = this;
    // A window manager's close while the result box is up is kept, and
    // carried out when the box is dismissed.
    CatchWindowManagerClose(this, [this] { return DeferClose(); });
    m_nLinkType = 0;
    TransferDataToWindow();
    // The first control in tab order takes the focus.
    m_pUsb->SetFocus();
    return true;
}

void CSnToolDlg::ShowSystemMenu(const wxPoint& at) { PopupMenu(m_pSystemMenu.get(), at); }

void CSnToolDlg::OnContextMenu(wxContextMenuEvent& event)
{
    if (m_bOnWire) {
        return;
    }
    const wxPoint at = event.GetPosition() == wxDefaultPosition ? wxDefaultPosition : ScreenToClient(event.GetPosition());
    ShowSystemMenu(at);
}

void CSnToolDlg::OnMenuCommand(wxCommandEvent& event) { OnSystemCommand(static_cast<unsigned>(event.GetId()), 0); }

void CSnToolDlg::OnSystemCommand(unsigned nID, long)
{
    if (IsAboutCommand(nID)) {
        CAboutDlg dlgAbout;
        dlgAbout.ShowModal();
        return;
    }
    // The platform's default handling of the items this menu offers.
    if (nID == SC_CLOSE) {
        Close();
    }
}

void CSnToolDlg::OnSearchClicked(wxCommandEvent&)
{
    if (!m_bOnWire) {
        OnSearch();
    }
}

void CSnToolDlg::OnOkCommand(wxCommandEvent&)
{
    if (!m_bOnWire) {
        OnApply();
    }
}

void CSnToolDlg::OnCancelCommand(wxCommandEvent&) { RequestClose(); }

void CSnToolDlg::OnCloseWindow(wxCloseEvent& event)
{
    if (DeferClose() && event.CanVeto()) {
        event.Veto();
        return;
    }
    OnCloseCommand();
}

bool CSnToolDlg::DeferClose()
{
    m_bCloseRequested = m_bCloseRequested || m_bOnWire;
    return m_bOnWire;
}

// Escape closes (when nothing runs); Enter is the OK command unless a push
// button has the focus, which Enter then presses. While a command is on the
// wire no key starts anything.
void CSnToolDlg::OnCharHook(wxKeyEvent& event)
{
    const int key = event.GetKeyCode();
    if (key == WXK_ESCAPE) {
        event.Skip();
        return;
    }
    if (m_bOnWire) {
        return;
    }
    if ((key == WXK_RETURN || key == WXK_NUMPAD_ENTER) && dynamic_cast<wxButton*>(FindFocus()) == nullptr) {
        OnApply();
        return;
    }
    event.Skip();
}

void CSnToolDlg::OnMouseWhileOnWire(wxMouseEvent& event)
{
    if (!m_bOnWire) {
        event.Skip();
    }
}

void CSnToolDlg::OnCloseCommand() { EndDialog(IDCANCEL); }

void CSnToolDlg::RunOnWire(std::function<void()> work, std::function<void()> then)
{
    m_bOnWire = true;
    wxBeginBusyCursor();
    m_bWorkDone = false;
    m_worker = std::thread([this, work = std::move(work), then = std::move(then)] {
        work();
        {
            std::lock_guard<std::mutex> lock(m_workMutex);
            m_bWorkDone = true;
        }
        m_workEnded.notify_all();
        CallAfter([this, then] { FinishWire(then); });
    });
}

void CSnToolDlg::FinishWire(const std::function<void()>& then)
{
    m_worker.join();
    wxEndBusyCursor();
    RenewCloseCatch();
    then();
    m_bOnWire = false;
    if (m_bCloseRequested) {
        m_bCloseRequested = false;
        OnCloseCommand();
    }
}

void CSnToolDlg::ShowMessage(const std::string& text, const std::string& caption)
{
    wxMessageBox(wxString::FromUTF8(text), wxString::FromUTF8(caption), wxOK, this);
}

// The paint steps over a live window.
class CDialogRepaintTarget final : public CRepaintTarget {
public:
    CDialogRepaintTarget(CSnToolDlg& dlg, wxPaintEvent& event) : m_dlg(dlg), m_event(event) {}
    bool IsMinimised() override { return m_dlg.IsIconized(); }
    void DefaultPaint() override { m_event.Skip(); }
    void BeginPaint() override { m_dc = std::make_unique<wxPaintDC>(&m_dlg); }
    void SendIconEraseBackground() override { m_dlg.OnIconEraseBackground(*m_dc); }
    int SystemMetric(int index) override
    {
        const int v = wxSystemSettings::GetMetric(index == kMetricIconWidth ? wxSYS_ICON_X : wxSYS_ICON_Y, &m_dlg);
        return v > 0 ? v : 32;
    }
    void ClientSize(int* width, int* height) override { m_dlg.GetClientSize(width, height); }
    void DrawIcon(int x, int y) override { m_dc->DrawIcon(m_dlg.m_hIcon, x, y); }
    void EndPaint() override { m_dc.reset(); }

private:
    CSnToolDlg& m_dlg;
    wxPaintEvent& m_event;
    std::unique_ptr<wxPaintDC> m_dc;
};

void CSnToolDlg::OnIconEraseBackground(wxDC& dc)
{
    dc.SetBackground(wxBrush(GetBackgroundColour()));
    dc.Clear();
}

void CSnToolDlg::OnPaintEvent(wxPaintEvent& event)
{
    m_pPaintEvent = &event;
    OnRepaint();
    m_pPaintEvent = nullptr;
}

void CSnToolDlg::OnRepaint()
{
    if (m_pPaintEvent == nullptr) {
        return; // only a paint request carries a paint context
    }
    CDialogRepaintTarget target(*this, *m_pPaintEvent);
    RunRepaint(target);
}

CAboutDlg::CAboutDlg()
{
    InitResources();
    wxXmlResource::Get()->LoadDialog(this, nullptr, "IDD_ABOUT");
    SetClientSize(ConvertDialogToPixels(wxSize(235, 55)));
    if (auto* icon = XRCCTRL(*this, "IDC_ABOUT_ICON", wxStaticBitmap)) {
        icon->SetIcon(LoadAppIcon(32));
    }
    SetAffirmativeId(IDOK);
}

} // namespace pello
