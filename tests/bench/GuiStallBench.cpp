// How long the dialog's event loop stalls while a failing Search (9 s over
// RS232) and a failing Apply (ATE1 and SID unanswered, 18 s) are on the wire:
// the largest gap between ticks of a 20 ms timer. Run under a display
// (xvfb-run -a build/bin/pello_gui_bench); it prints the two gaps.

#include "gui/PellomaticDlg.h"
#include "core/Resource.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/TestEnv.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/testing.h>
#include <wx/timer.h>

#include <chrono>
#include <cstdio>
#include <fstream>

using namespace pello;

namespace {

using Clock = std::chrono::steady_clock;

// Answers the result box, whatever it says.
class CAnswerBoxes : public wxModalDialogHook {
protected:
    int Enter(wxDialog* dialog) override { return dynamic_cast<wxMessageDialog*>(dialog) ? wxID_OK : wxID_NONE; }
    void Exit(wxDialog*) override {}
};

// The largest gap between two ticks while it runs.
class CStallMeter : public wxTimer {
public:
    void Notify() override
    {
        const auto now = Clock::now();
        if (m_last != Clock::time_point {}) {
            const double gap = std::chrono::duration<double, std::milli>(now - m_last).count();
            m_worst = gap > m_worst ? gap : m_worst;
        }
        m_last = now;
    }
    double TakeWorst()
    {
        const double worst = m_worst;
        m_worst = 0;
        return worst;
    }

private:
    Clock::time_point m_last;
    double m_worst = 0;
};

double Measure(CSnToolDlg& dlg, CStallMeter& meter, int button)
{
    wxCommandEvent click(wxEVT_BUTTON, button);
    click.SetEventObject(dlg.FindWindow(button));
    meter.TakeWorst();
    const auto start = Clock::now();
    dlg.FindWindow(button)->ProcessWindowEvent(click);
    while (dlg.IsOnWire()) {
        wxTheApp->Yield(true);
        wxMilliSleep(1);
    }
    std::printf("  (took %.1f s)\n", std::chrono::duration<double>(Clock::now() - start).count());
    return meter.TakeWorst();
}

} // namespace

int main(int argc, char** argv)
{
    IsolateEnvironment();
    wxApp::SetInstance(new wxApp());
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        std::fprintf(stderr, "pello_gui_bench: no display\n");
        return 1;
    }
    CPtyDevice dev;
    auto* dlg = new CSnToolDlg(nullptr);
    for (int n = 1; n < 10; ++n) dlg->PortResolver().SetAlias(n, "/nonexistent/tty" + std::to_string(n));
    dlg->PortResolver().SetAlias(0, dev.Path());
    const std::string sn = MakeScratchDir("bench") + "/SN.txt";
    std::ofstream(sn) << "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    dlg->SetSnFile(sn);
    dlg->Show();
    dlg->m_nLinkType = 1;
    dlg->TransferDataToWindow();
    CAnswerBoxes boxes;
    boxes.Register();
    CStallMeter meter;
    meter.Start(20);

    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("QSID=silent,silent,silent"); });
    std::printf("failing Search over RS232:\n");
    const double search = Measure(*dlg, meter, IDC_SEARCH);
    std::printf("  longest stall of the event loop: %.1f ms\n", search);

    Measure(*dlg, meter, IDC_SEARCH); // a search that finds it, so Apply has a device
    dev.WithModel([](CDeviceModel& m) {
        return m.AddFaults("ATE1=silent,silent,silent") && m.AddFaults("SID=silent,silent,silent");
    });
    std::printf("failing Apply over RS232:\n");
    const double apply = Measure(*dlg, meter, IDOK);
    std::printf("  longest stall of the event loop: %.1f ms\n", apply);

    meter.Stop();
    boxes.Unregister();
    dlg->Destroy();
    wxTheApp->OnExit();
    wxEntryCleanup();
    RemoveScratch();
    return search < 100 && apply < 100 ? 0 : 2;
}
