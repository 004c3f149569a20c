#include "cmdline/Version.h"
#include "gui/DisplayWatch.h"
#include "gui/Pellomatic.h"
#include "gui/PellomaticDlg.h"
#include "link/Process.h"

#include <wx/cmdline.h>
#include <wx/log.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

wxIMPLEMENT_APP_NO_MAIN(pello::CSnToolApp);

namespace {

// The parser's complaints, as one line with the program's name.
class CPrefixedStderr final : public wxMessageOutput {
public:
    void Output(const wxString& text) override
    {
        std::fprintf(stderr, "pellomatic: %s%s", text.utf8_str().data(), text.EndsWith("\n") ? "" : "\n");
    }
};

// --help and --version need no window: the toolkit's own parser reads them
// before the display is opened. An exit code when the program ends here.
int ParseCommandLine(int argc, char** argv)
{
    static const wxCmdLineEntryDesc kOptions[] = {
        {wxCMD_LINE_SWITCH, "h", "help", "print this help and exit", wxCMD_LINE_VAL_NONE, wxCMD_LINE_OPTION_HELP},
        {wxCMD_LINE_SWITCH, "V", "version", "print the version and exit", wxCMD_LINE_VAL_NONE, 0},
        {wxCMD_LINE_NONE, nullptr, nullptr, nullptr, wxCMD_LINE_VAL_NONE, 0},
    };
    CPrefixedStderr errors;
    wxMessageOutput* previous = wxMessageOutput::Set(&errors);
    wxCmdLineParser parser(kOptions, argc, argv);
    parser.SetLogo("pellomatic: program a device's serial number from a desktop window.");
    const int parsed = parser.Parse(false);
    wxMessageOutput::Set(previous);
    switch (parsed) {
    case -1:
        std::fputs(parser.GetUsageString().utf8_str(), stdout);
        return 0;
    case 0:
        break;
    default:
        std::fputs("Try 'pellomatic --help' for more information.\n", stderr);
        return 1;
    }
    if (parser.Found("V")) {
        std::printf("pellomatic %s\n", pello::version::kFileVersion);
        return 0;
    }
    return -1;
}

// The signal that asked the dialog to close, if one did.
int g_closingSignal = 0;

// A signal is a close request: the dialog carries it out once nothing is on the wire.
void CloseOnSignal(int sig)
{
    g_closingSignal = g_closingSignal != 0 ? g_closingSignal : sig;
    if (auto* dlg = dynamic_cast<pello::CSnToolDlg*>(wxTheApp->GetTopWindow())) {
        dlg->RequestClose();
    }
}

} // namespace

int main(int argc, char** argv)
{
    pello::EnsureStandardDescriptors();
    if (const int end = ParseCommandLine(argc, argv); end >= 0) {
        return end;
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
    pello::OnDisplayLost(pello::CSnToolDlg::FinishOnLostDisplay);
    // StartInstance runs the dialog and returns false: the normal end.
    wxTheApp->CallOnInit();
    wxTheApp->OnExit();
    signals.reset();
    wxEntryCleanup();
    return g_closingSignal != 0 ? 128 + g_closingSignal : 0;
}
