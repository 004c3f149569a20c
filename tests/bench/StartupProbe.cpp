// Start-up probe: shows the main dialog (or, built as the bare variant, a plain
// wxDialog holding the same controls), and once it is on screen prints the wall
// clock and the peak resident memory, then closes. tests/bench/startup.py runs it.

#include <wx/button.h>
#include <wx/dialog.h>
#include <wx/radiobut.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/wx.h>

#include <cstdio>
#include <ctime>
#include <sys/resource.h>

#ifdef PROBE_FULL_APP
#include "gui/PellomaticDlg.h"
#include "gui/XrcResources.h"

using namespace pello;
#endif

namespace {

#ifndef PROBE_FULL_APP
// The toolkit's floor: the same controls, in code, no resources.
wxDialog* MakeBareDialog()
{
    auto* d = new wxDialog(nullptr, wxID_ANY, "Korvan Setting Serial Number Tool V1.00", wxDefaultPosition,
                           wxDefaultSize, wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX);
    // The same 9 pt CJK face the tool's template asks for.
    d->SetFont(wxFont(wxFontInfo(9).FaceName("WenQuanYi Zen Hei")));
    auto at = [d](int x, int y) { return d->ConvertDialogToPixels(wxPoint(x, y)); };
    auto sz = [d](int w, int h) { return d->ConvertDialogToPixels(wxSize(w, h)); };
    new wxRadioButton(d, 1003, "USB", at(63, 19), sz(46, 16), wxRB_GROUP);
    new wxRadioButton(d, 1004, "RS232", at(182, 19), sz(47, 16));
    new wxButton(d, 1002, "Search", at(241, 17), sz(53, 17));
    new wxButton(d, 1, "Apply", at(245, 91), sz(53, 17));
    new wxButton(d, 2, "Close", at(245, 124), sz(53, 17));
    new wxStaticBox(d, wxID_ANY, "Search Option", at(15, 8), sz(305, 34));
    new wxStaticText(d, wxID_ANY, "Product ID:", at(23, 62), sz(49, 12));
    new wxStaticText(d, 1005, "", at(94, 58), sz(202, 13));
    new wxStaticBox(d, wxID_ANY, "Setting", at(16, 47), sz(304, 100));
    new wxStaticBox(d, wxID_ANY, "", at(88, 51), sz(220, 23));
    new wxStaticText(d, wxID_ANY, "Click \"Apply\" to Set Serial Number:", at(23, 95), sz(164, 18));
    new wxStaticBox(d, wxID_ANY, "", at(21, 77), sz(288, 41));
    new wxStaticBox(d, wxID_ANY, "Operation Steps", at(15, 154), sz(304, 79));
    new wxStaticText(d, wxID_ANY, "1. Select \"USB\" or \"RS232\".", at(27, 169), sz(155, 12));
    new wxStaticText(d, wxID_ANY, "2. Press \"Search\" to seach serial number.", at(27, 181), sz(272, 20));
    new wxStaticText(d, wxID_ANY, "3. Press \"Apply\" to set serial number.", at(28, 201), sz(272, 22));
    d->SetClientSize(sz(341, 239));
    return d;
}
#endif

void Report()
{
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    std::printf("shown_at=%ld.%09ld peak_rss_kb=%ld\n", static_cast<long>(now.tv_sec), now.tv_nsec, ru.ru_maxrss);
    std::fflush(stdout);
}

class CProbeApp : public wxApp {
public:
    bool OnInit() override
    {
#ifdef PROBE_FULL_APP
        wxDialog* dlg = new pello::CSnToolDlg(nullptr);
#else
        wxDialog* dlg = MakeBareDialog();
#endif
        dlg->Bind(wxEVT_SHOW, [dlg](wxShowEvent& e) {
            e.Skip();
            if (e.IsShown()) {
                wxTheApp->CallAfter([dlg] {
                    Report();
                    dlg->EndModal(2);
                });
            }
        });
        dlg->ShowModal();
        dlg->Destroy();
        return false;
    }
};

} // namespace

wxIMPLEMENT_APP_NO_MAIN(CProbeApp);

int main(int argc, char** argv)
{
    wxEntry(argc, argv);
    return 0;
}
