#include "protocol/ProductId.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace pello {

std::string ExtractProductId(const char* reply)
{
    const std::string text(reply);
    if (text.size() <= 3) {
        return {};
    }
    int n = std::atoi(text.substr(1, 2).c_str());
    if (n < 1 || n > 20) {
        n = 14;
    }
    return text.substr(3, static_cast<size_t>(n));
}

std::string EscapeDeviceText(const std::string& bytes)
{
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c <= 0x7E) {
            out += ch;
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            out += esc;
        }
    }
    return out;
}

} // namespace pello
