#pragma once
#include <wx/icon.h>

// Loads the dialog templates and registers the fixed control ids; once.
void InitResources();
// Icon 128 at 32 or 16 pixels.
wxIcon LoadAppIcon(int size);
