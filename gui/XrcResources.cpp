#include "gui/XrcResources.h"

#include "core/Resource.h"

#include <wx/xrc/xh_bttn.h>
#include <wx/xrc/xh_dlg.h>
#include <wx/xrc/xh_radbt.h>
#include <wx/xrc/xh_stbmp.h>
#include <wx/xrc/xh_stbox.h>
#include <wx/xrc/xh_sttxt.h>
#include <wx/xrc/xmlres.h>

#include "gui/res/pellomatic16.xpm"
#include "gui/res/pellomatic32.xpm"

void InitXmlResource(); // generated from gui/res/dialogs.xrc

namespace pello {

void InitResources()
{
    static bool done = false;
    if (done) {
        return;
    }
    done = true;
    // Only the handlers the templates use: the full set costs start-up time.
    wxXmlResource* res = wxXmlResource::Get();
    res->AddHandler(new wxDialogXmlHandler);
    res->AddHandler(new wxRadioButtonXmlHandler);
    res->AddHandler(new wxButtonXmlHandler);
    res->AddHandler(new wxStaticBoxXmlHandler);
    res->AddHandler(new wxStaticTextXmlHandler);
    res->AddHandler(new wxStaticBitmapXmlHandler);
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

wxIconBundle LoadAppIcons()
{
    wxIconBundle icons;
    icons.AddIcon(LoadAppIcon(16));
    icons.AddIcon(LoadAppIcon(32));
    return icons;
}

} // namespace pello
