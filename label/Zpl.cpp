#include "label/Zpl.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace pello::label {

namespace {

bool IsPrefix(char c) { return c == '^' || c == '~'; }

// The template cut where ZPL starts a command: every piece but perhaps the
// first begins with ^ or ~.
std::vector<std::string> Commands(const std::string& text)
{
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
        size_t end = start + 1;
        while (end < text.size() && !IsPrefix(text[end])) ++end;
        out.push_back(text.substr(start, end - start));
        start = end;
    }
    return out;
}

// "^FD" for "^fdText": the prefix and the two letters that name the command.
std::string Name(const std::string& command)
{
    if (command.size() < 3 || !IsPrefix(command[0])) return {};
    return {command[0], static_cast<char>(std::toupper(static_cast<unsigned char>(command[1]))),
            static_cast<char>(std::toupper(static_cast<unsigned char>(command[2])))};
}

bool HasPlaceholder(const std::string& text, const PlaceholderAt& placeholder)
{
    size_t length = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (placeholder(text, i, &length) != nullptr) return true;
    }
    return false;
}

std::string Hex(char indicator, char c)
{
    char text[8];
    std::snprintf(text, sizeof text, "%c%02X", indicator, static_cast<unsigned char>(c));
    return text;
}

// One field's data: values with ^, ~ and the indicator escaped; the
// template's own indicators too when this field's ^FH is ours.
std::string FieldData(const std::string& data, const PlaceholderAt& placeholder, char indicator, bool ours)
{
    std::string out;
    for (size_t i = 0; i < data.size();) {
        size_t length = 0;
        if (const std::string* value = placeholder(data, i, &length)) {
            for (const char c : *value) out += IsPrefix(c) || c == indicator ? Hex(indicator, c) : std::string(1, c);
            i += length;
        } else {
            out += ours && data[i] == indicator ? Hex(indicator, data[i]) : std::string(1, data[i]);
            ++i;
        }
    }
    return out;
}

// A command that is not field data: values go in as they are, unless they
// would start a command.
std::string OutsideField(const std::string& command, const PlaceholderAt& placeholder, std::string* problem)
{
    std::string out;
    for (size_t i = 0; i < command.size();) {
        size_t length = 0;
        if (const std::string* value = placeholder(command, i, &length)) {
            if (value->find_first_of("^~") != std::string::npos && problem->empty()) {
                *problem = "the value of " + command.substr(i, length) +
                           " holds ^ or ~ and the template puts it outside a field's data (^FD...^FS), where ZPL "
                           "would take it as a command";
            }
            out += *value;
            i += length;
        } else {
            out += command[i++];
        }
    }
    return out;
}

} // namespace

bool IsZpl(const std::string& templateText)
{
    for (const std::string& command : Commands(templateText)) {
        const std::string name = Name(command);
        if (name == "^XA" || name == "^XF" || name == "^FD" || name == "^FV") return true;
    }
    return false;
}

std::string ZplTemplateProblem(const std::string& templateText, const PlaceholderAt& placeholder)
{
    if (!HasPlaceholder(templateText, placeholder)) return {};
    for (const std::string& command : Commands(templateText)) {
        const std::string name = Name(command).substr(1);
        if (name == "CC" || name == "CT") {
            return "the label template changes ZPL's command characters (" + Name(command) +
                   "), so values filled into it could become commands";
        }
    }
    return {};
}

std::string FillZpl(const std::string& templateText, const PlaceholderAt& placeholder, std::string* problem)
{
    problem->clear();
    std::string out;
    bool escaped = false; // the field so far has ^FH
    char indicator = '_';
    for (const std::string& command : Commands(templateText)) {
        const std::string name = Name(command);
        if (name == "^FS" || name == "^XA" || name == "^XZ") {
            escaped = false;
        } else if (name == "^FH") {
            escaped = true;
            indicator = command.size() > 3 && command[3] != '\r' && command[3] != '\n' ? command[3] : '_';
        }
        if (!HasPlaceholder(command, placeholder)) {
            out += command;
        } else if (name == "^FD" || name == "^FV") {
            const bool ours = !escaped;
            if (ours) {
                out += "^FH";
                escaped = true;
                indicator = '_';
            }
            out += command.substr(0, 3) + FieldData(command.substr(3), placeholder, indicator, ours);
        } else {
            out += OutsideField(command, placeholder, problem);
        }
    }
    return out;
}

} // namespace pello::label
