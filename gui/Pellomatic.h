#pragma once
// The application object: the specified dialog, or the station window when
// one was asked for.

#include "gui/StationWindow.h"

#include <wx/app.h>

#include <optional>

namespace pello {

class CSnToolApp : public wxApp {
public:
    bool OnInit() override;
    // Runs the main dialog modally and returns false, so that the application
    // ends without entering a message loop of its own.
    bool StartInstance();
    // OnInit opens the station window instead of the dialog.
    void UseStation(StationWindowOptions options) { m_station = std::move(options); }
    // What the process ends with, when not a signal's code: 1 when the
    // station could not start.
    int ExitCode() const { return m_exitCode; }

private:
    // Shows the station window and returns true to run the message loop, or
    // says why the station cannot start and returns false.
    bool StartStation();
    void OnHelp(wxCommandEvent& event);
    std::optional<StationWindowOptions> m_station;
    int m_exitCode = 0;
    wxDECLARE_EVENT_TABLE();
};

} // namespace pello

wxDECLARE_APP(pello::CSnToolApp);
