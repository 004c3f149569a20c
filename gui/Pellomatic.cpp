#include "gui/Pellomatic.h"

#include "gui/DisplayWatch.h"
#include "gui/PellomaticDlg.h"
#include "gui/XrcResources.h"

#include <wx/msgdlg.h>

#include <cstdio>

namespace pello {

// clang-format off
wxBEGIN_EVENT_TABLE(CSnToolApp, wxApp)
    EVT_MENU(wxID_HELP, CSnToolApp::OnHelp)
wxEND_EVENT_TABLE()
// clang-format on

bool CSnToolApp::OnInit()
{
    if (m_station) {
        return StartStation();
    }
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

bool CSnToolApp::StartStation()
{
    auto* window = new CStationWindow(*m_station);
    std::string why;
    if (!window->Start(&why)) {
        // Gone before the box: a signal meanwhile finds the box alone and ends it.
        window->Destroy();
        std::fprintf(stderr, "pellomatic: the station cannot start: %s\n", why.c_str());
        if (SignalHeard() == 0) {
            wxMessageBox(wxString::FromUTF8("The station cannot start: " + why), "Pellomatic station",
                         wxOK | wxICON_ERROR);
        }
        m_exitCode = 1;
        return false;
    }
    SetTopWindow(window);
    window->Show();
    return true;
}

// The help command goes to the toolkit's default handling; there is no help content.
void CSnToolApp::OnHelp(wxCommandEvent& event) { event.Skip(); }

} // namespace pello
