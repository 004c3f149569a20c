#pragma once
// What the two dialog shells (wxWidgets on Linux, Win32 on Windows) share
// beyond OnSearch and OnApply: how the Product ID field shows a text, and
// which system-menu commands open the About box.

#include <string>

namespace pello {

// The Product ID as the field shows it: bytes as Latin-1, control bytes
// (below 0x20, and 0x7F) as \xHH so a reply's CR or check bytes stay visible.
std::string ProductIdShown(const std::string& productId);

// The field's text back to the bytes it stands for, Latin-1 code points to
// bytes (anything beyond Latin-1 as "?").
std::string ProductIdFromShown(const std::u32string& shown);

// The Product ID member after pulling the field's text: kept while the field
// still shows it (the escapes are not undone into other bytes), else the text.
std::string PulledProductId(const std::u32string& fieldText, const std::string& member);

// A system-menu command id from 0x10 to 0x1F opens the About box (the four
// low bits are masked off).
bool IsAboutCommand(unsigned id);

} // namespace pello
