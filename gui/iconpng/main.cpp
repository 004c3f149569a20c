// Build step: writes the application icon's images as PNG files for the
// desktop (hicolor theme). Needs no display.

#include <wx/image.h>
#include <wx/init.h>

#include <cstdio>

#include "gui/res/pellomatic16.xpm"
#include "gui/res/pellomatic32.xpm"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: pello-iconpng OUT16.png OUT32.png\n");
        return 1;
    }
    wxInitializer init;
    wxImage::AddHandler(new wxPNGHandler);
    const bool ok = wxImage(pellomatic16_xpm).SaveFile(argv[1], wxBITMAP_TYPE_PNG) &&
                    wxImage(pellomatic32_xpm).SaveFile(argv[2], wxBITMAP_TYPE_PNG);
    return ok ? 0 : 1;
}
