// The main dialog and the About box as real windows (under Xvfb when no
// display is set), driven the way the operator drives them.

#include "gui/PellomaticDlg.h"
#include "core/Repaint.h"
#include "core/Resource.h"
#include "tests/gui/GuiSupport.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"
#include "tests/support/WorkflowRig.h"

#include <gtest/gtest.h>

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/evtloop.h>
#include <wx/radiobut.h>
#include <wx/stattext.h>
#include <wx/timer.h>
#include <wx/uiaction.h>
#include <wx/utils.h>

#include <X11/Xlib.h>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

using namespace pello;

namespace pello {
extern std::string g_strDocsDir;
}

void Settle(int rounds)
{
    for (int i = 0; i < rounds; ++i) {
        wxYield();
        wxMilliSleep(10);
    }
}

namespace {

template <class T> T* Ctrl(wxWindow& w, int id) { return dynamic_cast<T*>(w.FindWindow(id)); }

void Click(wxWindow& dlg, int id)
{
    wxButton* b = Ctrl<wxButton>(dlg, id);
    ASSERT_NE(b, nullptr);
    wxCommandEvent e(wxEVT_BUTTON, id);
    e.SetEventObject(b);
    b->ProcessWindowEvent(e);
}

wxDialog* FindTopDialog(const wxString& title)
{
    for (wxWindow* w : wxTopLevelWindows) {
        auto* d = dynamic_cast<wxDialog*>(w);
        if (d != nullptr && d->GetTitle() == title && d->IsShown()) return d;
    }
    return nullptr;
}

// Runs `steps` one after another from inside a modal loop.
void RunInLoop(std::vector<std::function<void()>> steps)
{
    auto* queue = new std::vector<std::function<void()>>(std::move(steps));
    std::function<void()>* next = new std::function<void()>;
    *next = [queue, next] {
        if (queue->empty()) {
            delete queue;
            delete next;
            return;
        }
        auto step = queue->front();
        queue->erase(queue->begin());
        step();
        wxTheApp->CallAfter([next] { (*next)(); });
    };
    wxTheApp->CallAfter([next] { (*next)(); });
}

class Dialog : public ::testing::Test {
protected:
    ~Dialog() override
    {
        m_dlg->Destroy();
        Settle(2);
    }
    void ShowIt()
    {
        m_dlg->Show();
        Settle();
    }
    wxRadioButton* Usb() { return Ctrl<wxRadioButton>(*m_dlg, IDC_USB); }
    wxRadioButton* Rs232() { return Ctrl<wxRadioButton>(*m_dlg, IDC_RS232); }
    wxString ProductIdText() { return Ctrl<wxStaticText>(*m_dlg, IDC_PRODUCT_ID)->GetLabelText(); }
    // Clicks a button and lets the command it starts run to its end.
    void Press(int id)
    {
        Click(*m_dlg, id);
        WaitWhileOnWire();
    }
    void WaitWhileOnWire()
    {
        for (int i = 0; i < 6000 && m_dlg->IsOnWire(); ++i) {
            wxYield();
            wxMilliSleep(5);
        }
    }

    CSnToolDlg* m_dlg = new CSnToolDlg(nullptr);
    CWorkflowRig m_rig {*m_dlg};
};

} // namespace

TEST_F(Dialog, FirstShow)
{
    EXPECT_EQ(m_dlg->m_nLinkType, -1);
    ShowIt();
    EXPECT_EQ(m_dlg->GetTitle(), "Korvan Setting Serial Number Tool V1.00");
    EXPECT_TRUE(Usb()->GetValue());
    EXPECT_FALSE(Rs232()->GetValue());
    EXPECT_EQ(ProductIdText(), "");
    EXPECT_EQ(m_dlg->m_nLinkType, 0);
    wxMenu* menu = m_dlg->GetSystemMenu();
    ASSERT_GE(menu->GetMenuItemCount(), 3u);
    const size_t n = menu->GetMenuItemCount();
    EXPECT_EQ(menu->FindItemByPosition(0)->GetId(), SC_CLOSE);
    EXPECT_TRUE(menu->FindItemByPosition(n - 2)->IsSeparator());
    wxMenuItem* about = menu->FindItemByPosition(n - 1);
    EXPECT_EQ(about->GetId(), ID_SYSMENU_ABOUT);
    EXPECT_EQ(about->GetItemLabel().utf8_string(), "关于 Pellomatic(&A)...");
    // No minimise or maximise box; the proportions of the template.
    EXPECT_FALSE(m_dlg->HasFlag(wxMINIMIZE_BOX));
    EXPECT_FALSE(m_dlg->HasFlag(wxMAXIMIZE_BOX));
    EXPECT_EQ(m_dlg->GetClientSize(), m_dlg->ConvertDialogToPixels(wxSize(341, 239)));
    // 9 pt; "宋体" where it exists, else an installed CJK face.
    const wxFont font = m_dlg->GetFont();
    EXPECT_EQ(font.GetPointSize(), 9);
    EXPECT_TRUE(font.GetFaceName() == wxString::FromUTF8("宋体") || font.GetFaceName() == "WenQuanYi Zen Hei")
        << font.GetFaceName();
    EXPECT_TRUE(m_dlg->GetIcon().IsOk());
}

TEST_F(Dialog, ControlsSitWhereTheTemplatePutsThem)
{
    ShowIt();
    const wxPoint usb = Usb()->GetPosition();
    EXPECT_EQ(usb, m_dlg->ConvertDialogToPixels(wxPoint(63, 19)));
    EXPECT_EQ(Ctrl<wxButton>(*m_dlg, IDOK)->GetLabel(), "Apply");
    EXPECT_EQ(Ctrl<wxButton>(*m_dlg, IDCANCEL)->GetLabel(), "Close");
    EXPECT_EQ(Ctrl<wxButton>(*m_dlg, IDC_SEARCH)->GetLabel(), "Search");
    // The controls inside the group boxes are visible and take clicks.
    for (int id : {IDC_USB, IDC_RS232, IDC_SEARCH, IDOK, IDCANCEL}) {
        wxWindow* w = m_dlg->FindWindow(id);
        EXPECT_TRUE(w->IsShownOnScreen()) << id;
        EXPECT_TRUE(w->IsEnabled()) << id;
    }
}

TEST_F(Dialog, RadioExchange)
{
    ShowIt();
    Rs232()->SetValue(true);
    m_dlg->TransferDataFromWindow();
    EXPECT_EQ(m_dlg->m_nLinkType, 1);
    for (int v : {-1, 2, 7}) {
        m_dlg->m_nLinkType = v;
        m_dlg->TransferDataToWindow();
        EXPECT_FALSE(Usb()->GetValue()) << v;
        EXPECT_FALSE(Rs232()->GetValue()) << v;
        m_dlg->TransferDataFromWindow();
        EXPECT_EQ(m_dlg->m_nLinkType, -1);
    }
    m_dlg->m_nLinkType = 0;
    m_dlg->TransferDataToWindow();
    EXPECT_TRUE(Usb()->GetValue());
}

TEST_F(Dialog, ProductIdShowsControlBytesAsEscapes)
{
    ShowIt();
    m_dlg->m_strProductId = "AB\rC\x7F\xE9&x";
    m_dlg->TransferDataToWindow();
    EXPECT_EQ(ProductIdText(), wxString::FromUTF8("AB\\x0DC\\x7Fé&x"));
    m_dlg->TransferDataFromWindow(); // the shown text does not replace the bytes
    EXPECT_EQ(m_dlg->m_strProductId, "AB\rC\x7F\xE9&x");
    EXPECT_EQ(FormatProductIdLabel(std::string("\0", 1)), "\\x00");
}

TEST_F(Dialog, AboutBoxOpensOverTheDialogAndCloses)
{
    ShowIt();
    bool seen = false;
    wxTheApp->CallAfter([&] {
        wxDialog* about = FindTopDialog(wxString::FromUTF8("关于 Pellomatic"));
        ASSERT_NE(about, nullptr);
        seen = about->IsModal();
        Click(*about, IDOK); // "确定"
    });
    m_dlg->OnSystemCommand(0x13, 0);
    EXPECT_TRUE(seen);
    EXPECT_EQ(FindTopDialog(wxString::FromUTF8("关于 Pellomatic")), nullptr);
    EXPECT_EQ(m_dlg->m_nLinkType, 0);
    EXPECT_TRUE(Usb()->GetValue());
    // Other ids are not the About item.
    WithMessages([&] { m_dlg->OnSystemCommand(0x20, 0); });
}

TEST_F(Dialog, OkKeepsTheDialogOpenAndCancelEndsIt)
{
    bool stillModal = false;
    m_rig.RemoveSn();
    RunInLoop({
        [&] { WithMessages([&] { Press(IDOK); }, CExpectMessage("Cannot Open File", "File")); },
        [&] {
            m_rig.WriteSn("0812345678ABCDEFGHIJKL\nABCDEFGH_123\n");
            WithMessages([&] { Press(IDOK); }, CExpectMessage("No device found", "Setting"));
        },
        [&] { stillModal = m_dlg->IsModal(); },
        [&] { Click(*m_dlg, IDCANCEL); },
    });
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
    EXPECT_TRUE(stillModal);
}

TEST_F(Dialog, EscapeCloseBoxAndSystemMenuCloseEndTheRun)
{
    RunInLoop({[&] {
        wxKeyEvent key(wxEVT_CHAR_HOOK);
        key.m_keyCode = WXK_ESCAPE;
        key.SetEventObject(m_dlg);
        m_dlg->ProcessWindowEvent(key);
    }});
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
    RunInLoop({[&] { m_dlg->Close(); }});
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
    RunInLoop({[&] { m_dlg->OnSystemCommand(SC_CLOSE, 0); }});
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
}

TEST_F(Dialog, SearchAndApplyOverRs232)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    ShowIt();
    Rs232()->SetValue(true);
    Press(IDC_SEARCH);
    EXPECT_EQ(m_dlg->m_strDevice, "COM0");
    EXPECT_EQ(ProductIdText(), "00000000000000");
    EXPECT_TRUE(Rs232()->GetValue());
    m_rig.WriteSn("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n");
    WithMessages([&] { Press(IDOK); }, CExpectMessage("Setting successful!", "setting"));
    Press(IDC_SEARCH);
    EXPECT_EQ(ProductIdText(), "12345678");
    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("PABC=nak,nak,nak"); });
    WithMessages([&] { Press(IDOK); }, CExpectMessage("Setting failed!", "setting"));
    m_rig.WriteSn("short\nABCDEFGH_123\n");
    WithMessages([&] { Press(IDOK); },
                 CExpectMessage("Invalid SN.txt: line 1 has 5 characters, needs 22", "File"));
}

TEST_F(Dialog, SearchFindsTheSimulatorBehindItsComAlias)
{
    CDevsim sim({"--com", "0", "--sid", "0599999000000000000000"});
    ASSERT_FALSE(sim.Path().empty());
    // COM0 through the per-user alias; the rest pointed nowhere, so that the
    // machine's own serial ports are left alone.
    m_dlg->PortResolver() = CPortResolver();
    for (int n = 1; n < 10; ++n) m_rig.Alias(n, "/nonexistent/tty" + std::to_string(n));
    EXPECT_EQ(m_dlg->PortResolver().Resolve("COM0").source, PortSource::UserLink);
    ShowIt();
    Rs232()->SetValue(true);
    Press(IDC_SEARCH);
    EXPECT_EQ(m_dlg->m_strDevice, "COM0");
    EXPECT_EQ(ProductIdText(), "99999");
    EXPECT_EQ(sim.Stop(), 0);
    EXPECT_NE(m_dlg->PortResolver().Resolve("COM0").source, PortSource::UserLink); // removed on exit
}

TEST_F(Dialog, SearchAndApplyOverUsb)
{
    FakeHidNode& node = m_rig.UsbDevice();
    node.model.m_sid = "14ABCDEFGHIJKLMN000000";
    ShowIt();
    Press(IDC_SEARCH);
    EXPECT_EQ(m_dlg->m_strDevice, "usb");
    EXPECT_EQ(ProductIdText(), "ABCDEFGHIJKLMN");
    m_rig.WriteSn("0812345678ABCDEFGHIJKL\nABCDEFGH_123\n");
    WithMessages([&] { Press(IDOK); }, CExpectMessage("Setting successful!", "setting"));
    EXPECT_EQ(node.model.m_sid, "0812345678ABCDEFGHIJKL");
    // A failed search keeps the field but forgets the device.
    node.openable = false;
    Press(IDC_SEARCH);
    EXPECT_EQ(m_dlg->m_strDevice, "");
    EXPECT_EQ(ProductIdText(), "ABCDEFGHIJKLMN");
}

TEST_F(Dialog, CloseRequestedMidApplyWaitsForTheSequence)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    dev.m_replyDelayMs = 150; // the sequence takes a while
    ShowIt();
    Rs232()->SetValue(true);
    Press(IDC_SEARCH);
    ASSERT_EQ(m_dlg->m_strDevice, "COM0");
    size_t framesWhileRunning = 0;
    // The box comes inside the dialog's own modal run: expect it from there.
    const CExpectMessage outcome("Setting successful!", "setting");
    std::unique_ptr<CThrowingModalHook> hook;
    RunInLoop({
        [&] {
            hook = std::make_unique<CThrowingModalHook>();
            hook->AddExpectation(outcome);
            Click(*m_dlg, IDOK);
        },
        [&] {
            // No second command, no radio change, no close while it runs.
            Click(*m_dlg, IDC_SEARCH);
            wxUIActionSimulator mouse;
            mouse.MouseMove(Rs232()->GetScreenRect().GetLeftTop() + wxPoint(4, 4));
            mouse.MouseClick();
            Settle(5);
            EXPECT_TRUE(Usb()->GetValue());
            Usb()->SetFocus();
            wxKeyEvent enter(wxEVT_CHAR_HOOK);
            enter.m_keyCode = WXK_RETURN;
            enter.SetEventObject(m_dlg);
            m_dlg->ProcessWindowEvent(enter);
            m_dlg->Close();
            Click(*m_dlg, IDCANCEL);
            framesWhileRunning = dev.Frames().size();
            EXPECT_TRUE(m_dlg->IsOnWire());
            EXPECT_TRUE(m_dlg->IsModal());
        },
    });
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
    hook->CheckUnmetExpectations();
    const auto frames = dev.Frames();
    ASSERT_EQ(frames.size(), 6u) << "QSID, then ATE1, SID, PABC and QBOOT once each, and the read-back";
    EXPECT_LT(framesWhileRunning, 6u);
    EXPECT_EQ(frames[4].substr(0, 5), "QBOOT");
}

namespace {

// The message box the toolkit shows, while it is up.
GtkWidget* VisibleMessageBox()
{
    GtkWidget* found = nullptr;
    GList* all = gtk_window_list_toplevels();
    for (GList* w = all; w != nullptr; w = w->next) {
        if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
            found = GTK_WIDGET(w->data);
        }
    }
    g_list_free(all);
    return found;
}

// What a window manager sends when its close box is pressed: WM_DELETE_WINDOW,
// through the X server.
void SendWindowManagerClose(wxWindow& window)
{
    GdkWindow* gdk = gtk_widget_get_window(static_cast<GtkWidget*>(window.GetHandle()));
    Display* display = GDK_WINDOW_XDISPLAY(gdk);
    XEvent ev {};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = GDK_WINDOW_XID(gdk);
    ev.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, ev.xclient.window, False, NoEventMask, &ev);
    XFlush(display);
}

} // namespace

// A close asked for during a sequence, whichever way, ends the dialog after
// the sequence and its result box; none is lost, none cuts the sequence.
TEST_F(Dialog, CloseDuringASequenceIsCarriedOutAfterIt)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    dev.m_replyDelayMs = 100;
    ShowIt();
    Rs232()->SetValue(true);
    Press(IDC_SEARCH);
    ASSERT_EQ(m_dlg->m_strDevice, "COM0");
    wxButton* close = Ctrl<wxButton>(*m_dlg, IDCANCEL);
    const auto clickClose = [close] {
        wxUIActionSimulator mouse;
        mouse.MouseMove(close->GetScreenRect().GetPosition() + wxPoint(8, 6));
        mouse.MouseClick();
        Settle(5);
    };
    // A real click on "Close", and a signal's close request: each waits.
    for (const auto& ask : std::vector<std::function<void()>> {clickClose, [this] { m_dlg->RequestClose(); }}) {
        const size_t before = dev.Frames().size();
        bool waited = false;
        // The box comes inside the dialog's own modal run: expect it from there.
        const CExpectMessage outcome("Setting successful!", "setting");
        std::unique_ptr<CThrowingModalHook> hook;
        RunInLoop({[&] {
                       hook = std::make_unique<CThrowingModalHook>();
                       hook->AddExpectation(outcome);
                       Click(*m_dlg, IDOK);
                   },
                   [&] {
                       ask();
                       waited = m_dlg->IsOnWire() && m_dlg->IsModal();
                   }});
        EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
        hook->CheckUnmetExpectations();
        EXPECT_TRUE(waited);
        EXPECT_EQ(dev.Frames().size(), before + 5) << "ATE1, SID, PABC and QBOOT, each once, and the read-back";
    }
    // The window manager's close while the real result box is up: the box
    // holds the toolkit's grab, yet the close is kept for when it is dismissed.
    bool closedUnderTheBox = false;
    int ticksAfterTheBox = 0;
    wxTimer watch;
    watch.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        GtkWidget* box = VisibleMessageBox();
        if (box == nullptr) {
            // A lost close would leave the dialog open for ever: end the wait.
            if (closedUnderTheBox && ++ticksAfterTheBox > 200) m_dlg->EndModal(wxID_ABORT);
            return;
        }
        if (!closedUnderTheBox) {
            SendWindowManagerClose(*m_dlg);
            closedUnderTheBox = true;
            return; // let the close arrive while the box is still up
        }
        gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_OK);
    });
    watch.Start(50);
    RunInLoop({[&] { Click(*m_dlg, IDOK); }});
    EXPECT_EQ(m_dlg->ShowModal(), IDCANCEL);
    watch.Stop();
    EXPECT_TRUE(closedUnderTheBox);
}

TEST_F(Dialog, KeyboardAsTheOriginalsDialogManagerHadIt)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    ShowIt();
    EXPECT_EQ(wxWindow::FindFocus(), Usb()); // the first tab stop
    wxUIActionSimulator keys;
    for (int key : {WXK_RIGHT, WXK_TAB, WXK_SPACE}) {
        keys.Char(key);
        Settle(5);
    }
    WaitWhileOnWire();
    EXPECT_TRUE(Rs232()->GetValue());
    EXPECT_EQ(m_dlg->m_strDevice, "COM0");
    EXPECT_EQ(dev.Frames().size(), 1u);
    // Enter with the focus on a radio button is Apply.
    Rs232()->SetFocus();
    Settle(5);
    WithMessages(
        [&] {
            keys.Char(WXK_RETURN);
            Settle(5);
            WaitWhileOnWire();
        },
        CExpectMessage("Setting successful!", "setting"));
    EXPECT_EQ(dev.Frames().size(), 6u);
    // A click reaches a radio button when nothing runs (while something
    // runs it does not: CloseRequestedMidApplyWaitsForTheSequence).
    wxUIActionSimulator mouse;
    mouse.MouseMove(Usb()->GetScreenRect().GetLeftTop() + wxPoint(4, 4));
    mouse.MouseClick();
    Settle(5);
    EXPECT_TRUE(Usb()->GetValue());
}

// Read from the root window each time: the toolkit's screen DC keeps the
// first picture it took, and later shots would show that one again.
wxBitmap ScreenShot(wxWindow& w)
{
    w.Raise();
    Settle(40);
    const wxRect r = w.GetScreenRect();
    GdkPixbuf* pixels = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), r.x, r.y, r.width, r.height);
    if (pixels == nullptr) {
        return wxBitmap();
    }
    wxBitmap shot(pixels); // takes the reference
    return shot;
}

bool Snapshot(wxWindow& w, const char* path)
{
    const wxBitmap shot = ScreenShot(w);
    return shot.IsOk() && shot.SaveFile(path, wxBITMAP_TYPE_PNG);
}

TEST_F(Dialog, RendersForTheReadme)
{
    // Pictures go to a scratch folder, or where scripts/render-docs.sh asks.
    const std::string dir = !g_strDocsDir.empty() ? g_strDocsDir : MakeScratchDir("docs");
    // The About box first, alone: without a window manager a later window
    // may not be stacked over an earlier one.
    CAboutDlg* about = new CAboutDlg();
    about->Show();
    EXPECT_TRUE(Snapshot(*about, (dir + "/about.png").c_str()));
    about->Destroy();
    m_dlg->m_strProductId = "00000000000000";
    ShowIt();
    m_dlg->TransferDataToWindow();
    EXPECT_TRUE(Snapshot(*m_dlg, (dir + "/dialog.png").c_str()));
}

namespace {

// Records the paint steps instead of drawing.
class CRecordingTarget final : public CRepaintTarget {
public:
    bool minimised = true;
    int width = 160, height = 28;
    std::vector<std::string> steps;
    bool IsMinimised() override { return minimised; }
    void DefaultPaint() override { steps.push_back("default"); }
    void BeginPaint() override { steps.push_back("begin"); }
    void SendIconEraseBackground() override { steps.push_back("erase"); }
    int SystemMetric(int index) override
    {
        steps.push_back(index == kMetricIconWidth ? "cx" : "cy");
        return 32;
    }
    void ClientSize(int* w, int* h) override
    {
        *w = width;
        *h = height;
    }
    void DrawIcon(int x, int y) override { steps.push_back("draw " + std::to_string(x) + "," + std::to_string(y)); }
    void EndPaint() override { steps.push_back("end"); }
};

} // namespace

TEST(Repaint, MinimisedDrawsTheIconCentredAfterErasing)
{
    CRecordingTarget t;
    RunRepaint(t);
    RunRepaint(t);
    const std::vector<std::string> once = {"begin", "erase", "cx", "cy", "draw 64,-1", "end"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(t.steps, twice);
    t.steps.clear();
    t.minimised = false;
    RunRepaint(t);
    EXPECT_EQ(t.steps, std::vector<std::string>{"default"});
}
