#pragma once
// The 22-character field a serial is written as, worked out here on its own
// (length in two digits, the serial, '0' to the end) so that tests do not take
// the programs' word for it.

#include <string>

namespace pello {

inline std::string ExpectedField(const std::string& serial)
{
    std::string field = (serial.size() < 10 ? "0" : "") + std::to_string(serial.size()) + serial;
    field.resize(22, '0');
    return field;
}

} // namespace pello
