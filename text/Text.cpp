#include "text/Text.h"

#include <cstdio>

namespace pello::text {

namespace {

// The code point of the well-formed UTF-8 sequence at `s[i]` and its length;
// length 0 when none starts there (an overlong form, a surrogate, above
// U+10FFFF, a stray continuation byte, or cut short).
struct Decoded {
    char32_t point = 0;
    size_t length = 0;
};

Decoded DecodeAt(std::string_view s, size_t i)
{
    const auto lead = static_cast<unsigned char>(s[i]);
    if (lead < 0x80) return {lead, 1};
    const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (n == 0 || lead > 0xF4 || i + n > s.size()) return {};
    char32_t point = lead & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return {};
        point = (point << 6) | (c & 0x3F);
    }
    constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kShortest[n] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {};
    return {point, n};
}

// Code points that are shown escaped although they are well-formed: controls,
// the bidi marks, embeddings, overrides and isolates, and the line and
// paragraph separators.
bool Hidden(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string Escaped(const char* format, unsigned value)
{
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Where the rule first changes `bytes`, or npos.
size_t FirstChange(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        const Decoded d = DecodeAt(bytes, i);
        if (d.length == 0 || Hidden(d.point)) return i;
        i += d.length;
    }
    return std::string_view::npos;
}

std::string CsvCell(const std::string& cell)
{
    std::string text = Show(cell);
    if (!text.empty() && std::string_view("=+-@").find(text[0]) != std::string_view::npos) {
        text = "'" + text;
    }
    if (text.find_first_of(",\"") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

} // namespace

std::string Show(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const Decoded d = DecodeAt(bytes, i);
        if (d.length == 0) {
            out += Escaped("\\x%02X", static_cast<unsigned char>(bytes[i]));
            ++i;
            continue;
        }
        if (!Hidden(d.point)) {
            out.append(bytes.substr(i, d.length));
        } else {
            out += d.length == 1 ? Escaped("\\x%02X", d.point) : Escaped("\\u%04X", d.point);
        }
        i += d.length;
    }
    return out;
}

bool IsPlain(std::string_view bytes) { return FirstChange(bytes) == std::string_view::npos; }

std::string NameProblem(std::string_view name)
{
    const size_t at = FirstChange(name);
    if (at == std::string_view::npos) {
        return {};
    }
    const Decoded d = DecodeAt(name, at);
    const std::string shown = Show(name.substr(at, d.length == 0 ? 1 : d.length));
    return d.length == 0 ? "the name is not valid UTF-8 (" + shown + " at byte " + std::to_string(at + 1) + ")"
                         : "the name holds a control character (" + shown + " at byte " + std::to_string(at + 1) + ")";
}

std::string CsvLine(const std::vector<std::string>& cells)
{
    std::string line;
    for (size_t i = 0; i < cells.size(); ++i) {
        line += (i == 0 ? "" : ",") + CsvCell(cells[i]);
    }
    return line;
}

} // namespace pello::text
