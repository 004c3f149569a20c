#include "Resources.h"

#include "Resource.h"

#include <wx/xrc/xmlres.h>

#include "pellomatic16.xpm"
#include "pellomatic32.xpm"

void InitXmlResource(); // generated from res/dialogs.xrc

void InitResources()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    wxXmlResource::Get()->InitAllHandlers();
    // Fixed ids first: the templates name them, and the code routes by them.
    wxXmlResource::GetXRCID("IDC_SEARCH", IDC_SEARCH);
    wxXmlResource::GetXRCID("IDC_USB", IDC_USB);
    wxXmlResource::GetXRCID("IDC_RS232", IDC_RS232);
    wxXmlResource::GetXRCID("IDC_PRODUCT_ID", IDC_PRODUCT_ID);
    wxXmlResource::GetXRCID("IDOK", IDOK);
    wxXmlResource::GetXRCID("IDCANCEL", IDCANCEL);
    wxXmlResource::GetXRCID("IDC_STATIC", wxID_ANY);
    InitXmlResource();
}

wxIcon LoadAppIcon(int size) { return wxIcon(size <= 16 ? pellomatic16_xpm : pellomatic32_xpm); }
