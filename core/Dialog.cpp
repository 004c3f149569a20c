#include "core/Dialog.h"

#include "core/Resource.h"

#include <algorithm>
#include <cstdio>

namespace pello {

std::string ProductIdShown(const std::string& productId)
{
    std::string shown;
    for (unsigned char c : productId) {
        if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            shown += esc;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string ProductIdFromShown(const std::u32string& shown)
{
    std::string out;
    for (char32_t c : shown) {
        out += c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return out;
}

std::string PulledProductId(const std::u32string& fieldText, const std::string& member)
{
    const std::string shown = ProductIdShown(member);
    const bool unchanged = fieldText.size() == shown.size() &&
                           std::equal(shown.begin(), shown.end(), fieldText.begin(),
                                      [](char a, char32_t b) { return static_cast<unsigned char>(a) == b; });
    return unchanged ? member : ProductIdFromShown(fieldText);
}

bool IsAboutCommand(unsigned id) { return (id & 0xFFF0) == ID_SYSMENU_ABOUT; }

} // namespace pello
