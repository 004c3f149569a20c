#include "core/Fields.h"

#include "protocol/Device.h"

namespace pello {

namespace {

bool PrintableAscii(const std::string& field)
{
    for (const char ch : field) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

} // namespace

FieldProblem CheckFields(const ProgramFields& fields)
{
    if (fields.serial.size() != device::kSerialFieldLength) {
        return FieldProblem::SerialShort;
    }
    if (fields.code.size() != device::kCodeFieldLength) {
        return FieldProblem::CodeShort;
    }
    if (!PrintableAscii(fields.serial)) {
        return FieldProblem::SerialNotPrintable;
    }
    if (!PrintableAscii(fields.code)) {
        return FieldProblem::CodeNotPrintable;
    }
    return FieldProblem::None;
}

} // namespace pello
