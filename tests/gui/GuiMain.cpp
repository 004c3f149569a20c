// Runs the dialog tests inside an initialised wxWidgets application.

#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstdlib>

// A failed toolkit assertion would open a modal box and hang the run.
static void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                         const wxString& msg)
{
    std::fprintf(stderr, "wx assertion failed: %s:%d %s: %s %s\n", file.utf8_str().data(), line,
                 func.utf8_str().data(), cond.utf8_str().data(), msg.utf8_str().data());
    std::abort();
}

namespace pello {
std::string g_strDocsDir; // --docs-dir=DIR: where Dialog.RendersForTheReadme writes (scripts/render-docs.sh)
}

int main(int argc, char** argv)
{
    pello::g_strDocsDir = pello::TakeOption(&argc, argv, "docs-dir");
    pello::IsolateEnvironment();
    // Silent sounds: a test machine without a sound card would fill the log with ALSA's complaints.
    ::setenv("CANBERRA_DRIVER", "null", 1);
    ::testing::InitGoogleTest(&argc, argv);
    wxSetAssertHandler(FailOnAssert);
    wxApp::SetInstance(new wxApp());
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
        return 2;
    }
    // The toolkit's complaints on stderr: a log box at the end would hang the run.
    delete wxLog::SetActiveTarget(new wxLogStderr);
    const int rc = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    pello::RemoveScratch();
    return rc;
}
