#include "gui/Pellomatic.h"

#include "gui/PellomaticDlg.h"
#include "gui/XrcResources.h"

namespace pello {

// clang-format off
wxBEGIN_EVENT_TABLE(CSnToolApp, wxApp)
    EVT_MENU(wxID_HELP, CSnToolApp::OnHelp)
wxEND_EVENT_TABLE()
// clang-format on

bool CSnToolApp::OnInit()
{
    InitResources();
    return StartInstance();
}

bool CSnToolApp::StartInstance()
{
    // Hosting embedded controls and 3D control drawing are notions this
    // toolkit does not have: both start-up requests do nothing here.
    CSnToolDlg dlg(nullptr);
    SetTopWindow(&dlg);
    dlg.ShowModal();
    SetTopWindow(nullptr);
    return false;
}

// The help command goes to the toolkit's default handling; there is no help content.
void CSnToolApp::OnHelp(wxCommandEvent& event) { event.Skip(); }

} // namespace pello
