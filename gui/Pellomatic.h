#pragma once
// The application object.

#include <wx/app.h>

namespace pello {

class CSnToolApp : public wxApp {
public:
    bool OnInit() override;
    // Runs the main dialog modally and returns false, so that the application
    // ends without entering a message loop of its own.
    bool StartInstance();

private:
    void OnHelp(wxCommandEvent& event);
    wxDECLARE_EVENT_TABLE();
};

} // namespace pello

wxDECLARE_APP(pello::CSnToolApp);
