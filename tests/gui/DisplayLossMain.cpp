// Loses its display in the middle of a programming sequence: the sequence
// must still finish and its outcome go to stderr. display-loss.sh runs it on
// an X server of its own, whose process id is the one argument.

#include "gui/DisplayWatch.h"
#include "gui/PellomaticDlg.h"
#include "tests/support/TestEnv.h"
#include "tests/support/WorkflowRig.h"

#include <wx/app.h>
#include <wx/init.h>
#include <wx/utils.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

using namespace pello;

namespace {

CPtyDevice* g_device = nullptr;

void WaitWhile(const std::function<bool()>& busy)
{
    for (int i = 0; i < 6000 && busy(); ++i) {
        wxYield();
        wxMilliSleep(5);
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s X_SERVER_PID\n", argv[0]);
        return 2;
    }
    const pid_t xserver = static_cast<pid_t>(std::atol(argv[1]));
    IsolateEnvironment();
    wxApp::SetInstance(new wxApp());
    int toolkitArgc = 1; // the toolkit parses its own options only
    if (!wxEntryStart(toolkitArgc, argv) || !wxTheApp->CallOnInit()) {
        return 2;
    }
    OnDisplayLost([] {
        CSnToolDlg::FinishOnLostDisplay();
        std::string frames;
        for (const std::string& f : g_device->Frames()) frames += " " + CommandOf(f.substr(0, f.size() - 3));
        std::fprintf(stderr, "frames:%s\n", frames.c_str());
    });
    auto* dlg = new CSnToolDlg(nullptr);
    CWorkflowRig rig(*dlg);
    g_device = &rig.DeviceOn(0);
    dlg->Show();
    dlg->m_nLinkType = 1;
    dlg->TransferDataToWindow();
    dlg->OnSearch();
    WaitWhile([&] { return dlg->IsOnWire(); });
    g_device->m_replyDelayMs = 100; // the sequence takes a while
    dlg->OnApply();
    WaitWhile([&] { return g_device->Frames().size() < 2; }); // "ATE1" is out
    ::kill(xserver, SIGKILL);
    WaitWhile([] { return true; }); // until the toolkit notices
    std::fprintf(stderr, "the display's loss went unnoticed\n");
    return 3;
}
