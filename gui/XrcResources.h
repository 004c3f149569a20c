#pragma once
#include <wx/icon.h>
#include <wx/iconbndl.h>

namespace pello {

// Loads the dialog templates and registers the fixed control ids; once.
void InitResources();
// Icon 128 at 32 or 16 pixels.
wxIcon LoadAppIcon(int size);
// Icon 128 at both sizes, for the window.
wxIconBundle LoadAppIcons();

} // namespace pello
