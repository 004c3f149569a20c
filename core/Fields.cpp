#include "core/Fields.h"

#include "protocol/Device.h"

#include <cstdio>

namespace pello {

FieldCheck CheckField(const std::string& field, bool serial)
{
    FieldCheck check;
    const size_t need = serial ? device::kSerialFieldLength : device::kCodeFieldLength;
    if (field.size() != need) {
        check.problem = serial ? FieldProblem::SerialLength : FieldProblem::CodeLength;
        check.length = field.size();
        return check;
    }
    for (size_t i = 0; i < field.size(); ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c > 0x7E) {
            check.problem = serial ? FieldProblem::SerialByte : FieldProblem::CodeByte;
            check.position = i + 1;
            check.byte = c;
            return check;
        }
    }
    return check;
}

FieldCheck CheckFields(const ProgramFields& fields)
{
    const FieldCheck serial = CheckField(fields.serial, true);
    const FieldCheck code = CheckField(fields.code, false);
    // Lengths first, then bytes: a short line is the likelier mistake.
    if (serial.problem == FieldProblem::SerialLength) return serial;
    if (code.problem == FieldProblem::CodeLength) return code;
    return serial.Ok() ? code : serial;
}

std::string ByteName(unsigned char byte)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

} // namespace pello
