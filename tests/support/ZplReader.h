#pragma once
// A label read as a ZPL printer reads it, written apart from the product's
// filler: its commands in order (^FH left out: it only says how a field's
// data is written) and each field's data with ^FH's hex escapes decoded.

#include <cctype>
#include <string>
#include <vector>

namespace pello {

struct ZplLabel {
    std::vector<std::string> commands; // "^XA", "^FO", "^FD", ...
    std::vector<std::string> fields;   // the data of each ^FD and ^FV, decoded
    bool badEscape = false;            // an indicator not followed by two hex digits
};

inline ZplLabel ReadZplLabel(const std::string& label)
{
    ZplLabel out;
    bool hex = false;
    char indicator = '_';
    size_t start = 0;
    while (start < label.size()) {
        size_t end = label.find_first_of("^~", start + 1);
        if (end == std::string::npos) end = label.size();
        const std::string piece = label.substr(start, end - start);
        start = end;
        if (piece.size() < 3 || (piece[0] != '^' && piece[0] != '~')) continue;
        std::string name = piece.substr(0, 3);
        for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name == "^FH") {
            hex = true;
            indicator = piece.size() > 3 ? piece[3] : '_';
            continue;
        }
        if (name == "^FS" || name == "^XA" || name == "^XZ") hex = false;
        out.commands.push_back(name);
        if (name != "^FD" && name != "^FV") continue;
        std::string data;
        for (size_t i = 3; i < piece.size(); ++i) {
            if (!hex || piece[i] != indicator) {
                data += piece[i];
            } else if (i + 2 < piece.size() && std::isxdigit(static_cast<unsigned char>(piece[i + 1])) &&
                       std::isxdigit(static_cast<unsigned char>(piece[i + 2]))) {
                data += static_cast<char>(std::stoi(piece.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out.badEscape = true;
            }
        }
        out.fields.push_back(data);
    }
    return out;
}

} // namespace pello
