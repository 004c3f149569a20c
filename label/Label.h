#pragma once
// Labels for programmed units: a template (ZPL, or any text the printer
// takes) with {serial}, {field}, {code}, {batch}, {time}, {station} and
// {operator}, sent raw to a label printer: tcp://HOST:PORT (9100 is the
// usual port), a device file (/dev/usb/lp0), or cups:QUEUE (lp -d QUEUE -o raw).
// Values are shown by the text rule (text/Text.h), so no control byte of a
// name reaches the printer; in ZPL they never add or end a command (Zpl.h).

#include <string>

namespace pello::label {

struct LabelValues {
    std::string serial, field, code, batch, time, station, operatorName;
};

// A filled template: its bytes, or why it cannot be printed.
struct FilledLabel {
    std::string bytes;
    std::string problem;
};

// The template with every placeholder filled; unknown braces stay as they are.
FilledLabel FillLabel(const std::string& templateText, const LabelValues& values);

// Why `printer` cannot be used as written ("" when it can).
std::string CheckPrinter(const std::string& printer);

// Sends `bytes` to the printer within 5 s: "" when it took them, else why
// not. Over TCP the printer took them when its TCP stack acknowledged every
// byte and it did not reset the connection. Never throws, never waits
// without end.
std::string SendToPrinter(const std::string& printer, const std::string& bytes);

// A template read once, and where its labels go.
class CLabelPrinter {
public:
    // Reads the template: a regular file, not empty, at most 1 MiB, looked at
    // before it is read. Problem() says why it cannot be used.
    CLabelPrinter(const std::string& templatePath, std::string printer);
    const std::string& Problem() const { return m_problem; }
    // "" when the label was printed, else why not.
    std::string Print(const LabelValues& values) const;

private:
    std::string m_template, m_printer, m_problem;
};

} // namespace pello::label
