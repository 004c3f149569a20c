// The application on Windows: the main dialog, run modally; the program ends
// when it closes.

#include "win32/dialog/PellomaticDlg.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    pello::CSnToolDlg dlg;
    dlg.DoModal();
    return 0;
}
