#include "gui/Pellomatic.h"
#include "link/Process.h"

wxIMPLEMENT_APP_NO_MAIN(pello::CSnToolApp);

int main(int argc, char** argv)
{
    // The toolkit reports an application whose start returned false as a
    // failed start; here that is the normal end, after the dialog closed.
    pello::EnsureStandardDescriptors();
    wxEntry(argc, argv);
    return 0;
}
