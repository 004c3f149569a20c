#include "cmdline/CommandLine.h"
#include "cmdline/Device.h"
#include "gui/DisplayWatch.h"
#include "gui/Pellomatic.h"
#include "gui/PellomaticDlg.h"
#include "link/Process.h"

#include <wx/log.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

wxIMPLEMENT_APP_NO_MAIN(pello::CSnToolApp);

namespace {

// --help and --version need no window: they are read before the display is
// opened. An exit code when the program ends here; the station's options
// when it is asked for.
std::optional<int> ReadCommandLine(int argc, char** argv, std::optional<pello::StationWindowOptions>* wanted)
{
    CLI::App app("Program a device's serial number from a desktop window; with --station, program unit after "
                 "unit from a batch in a station window.",
                 "pellomatic");
    app.set_version_flag("-V,--version", pello::VersionLine("pellomatic"));
    pello::StationWindowOptions station;
    pello::DeviceFlags device;
    bool wantsStation = false;
    CLI::Option* asked = app.add_flag("--station", wantsStation, "open the station window instead of the dialog");
    CLI::Option* batch =
        app.add_option("--batch", station.batch, "station: the batch to draw from")->option_text("NAME")->check(pello::kNonEmpty)->check(pello::kName);
    pello::AddDeviceFlags(&app, &device);
    app.add_option("--db", station.db, "station: the record, an SQLite file or postgresql://... (default: "
                                       "$PELLOMATIC_DB, else ~/.local/share/pellomatic/record.db)")
        ->option_text("WHERE");
    app.add_option("--operator", station.operatorName, "station: who works here (default: $PELLOMATIC_OPERATOR)")
        ->option_text("NAME")
        ->check(pello::kName);
    app.add_option("--name", station.name, "station: its name in the record (default: the host name)")
        ->option_text("NAME")
        ->check(pello::kName);
    pello::AddLabelOptions(&app, &station.label, &station.printer, false);
    asked->needs(batch);
    for (CLI::Option* option : app.get_options()) {
        if (option != asked && option->get_name() != "--help" && option->get_name() != "--version") {
            option->needs(asked);
        }
    }
    app.get_option("--link")->option_text("usb|rs232");
    app.get_option("--port")->option_text("DEVICE");
    app.final_callback([&] {
        if (!wantsStation) return;
        const pello::DeviceChoice choice = pello::ResolveDevice(device); // says a --port that --link cannot take
        station.link = choice.link;
        station.port = choice.port;
        station.db = station.db.empty() ? pello::Environment("PELLOMATIC_DB") : station.db;
        if (station.operatorName.empty()) {
            station.operatorName = pello::Environment("PELLOMATIC_OPERATOR");
            if (const std::string why = pello::kName(station.operatorName); !why.empty()) {
                throw CLI::ValidationError("PELLOMATIC_OPERATOR: " + why);
            }
        }
        *wanted = station;
    });
    if (const std::optional<int> end = pello::ParseCommandLine(app, argc, argv)) {
        return end;
    }
    return std::nullopt;
}

// The signal that asked the dialog to close, if one did.
int g_closingSignal = 0;

// A signal is a close request: the dialog carries it out once nothing is on
// the wire, the station window once the unit on hand is done.
void CloseOnSignal(int sig)
{
    g_closingSignal = g_closingSignal != 0 ? g_closingSignal : sig;
    if (auto* dlg = dynamic_cast<pello::CSnToolDlg*>(wxTheApp->GetTopWindow())) {
        dlg->RequestClose();
    } else if (auto* station = dynamic_cast<pello::CStationWindow*>(wxTheApp->GetTopWindow())) {
        station->Close();
    }
}

void FinishOnLostDisplay()
{
    pello::CSnToolDlg::FinishOnLostDisplay();
    pello::CStationWindow::FinishOnLostDisplay();
}

} // namespace

int main(int argc, char** argv)
{
    pello::EnsureStandardDescriptors();
    std::optional<pello::StationWindowOptions> station;
    if (const std::optional<int> end = ReadCommandLine(argc, argv, &station)) {
        return *end;
    }
    // Before the toolkit starts threads of its own, so that none takes them.
    std::optional<pello::CSignalWatch> signals(std::in_place, CloseOnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // One clear line instead of the toolkit's own when there is no display.
    wxLog::EnableLogging(false);
    if (!wxEntryStart(argc, argv)) {
        const char* display = std::getenv("DISPLAY");
        const bool named = display != nullptr && display[0] != '\0';
        std::fprintf(stderr, "pellomatic: cannot open the display %s\n",
                     named ? display : "(DISPLAY is not set)");
        return 1;
    }
    wxLog::EnableLogging(true);
    pello::OnDisplayLost(FinishOnLostDisplay);
    if (station) {
        wxGetApp().UseStation(*station);
    }
    // StartInstance runs the dialog and returns false: the normal end. The
    // station window runs the loop until it is closed.
    if (wxTheApp->CallOnInit()) {
        wxTheApp->OnRun();
    }
    wxTheApp->OnExit();
    const int exitCode = wxGetApp().ExitCode();
    signals.reset();
    wxEntryCleanup();
    return g_closingSignal != 0 ? 128 + g_closingSignal : exitCode;
}
