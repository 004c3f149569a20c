#include "station/Unit.h"

namespace pello::station {

UnitOutcome ProgramUnit(CSnToolWorkflow& flow, const ProgramFields& fields, const std::function<bool()>& giveUp)
{
    UnitOutcome out;
    out.program = flow.Program(fields, ReadBack::Yes, giveUp);
    out.state = AfterSequence(out.program);
    return out;
}

storage::SerialState AfterSequence(const ProgramResult& program)
{
    if (program.applied.outcome == ApplyOutcome::Success && program.verify.outcome == VerifyOutcome::Matched) {
        return storage::SerialState::Programmed;
    }
    const bool readAnother = program.verify.outcome == VerifyOutcome::Differs && program.verify.sameUnit;
    if (!program.applied.SidWentOut() || readAnother) {
        return storage::SerialState::Free;
    }
    return storage::SerialState::InDoubt;
}

std::string OutcomeName(const ProgramResult& program)
{
    if (program.applied.outcome != ApplyOutcome::Success) {
        return "failed";
    }
    const VerifyOutcome verify = program.verify.outcome;
    return verify == VerifyOutcome::Differs || verify == VerifyOutcome::NothingRead ? "verify failed" : "programmed";
}

void DescribeUnit(storage::ProgrammingRecord* row, Link link, const SearchResult& found, const ProgramFields& fields)
{
    row->link = LinkName(link);
    row->port = found.node;
    row->fieldBefore = found.field;
    row->fieldWritten = fields.serial;
    row->codeWritten = fields.code;
}

void EndRow(storage::ProgrammingRecord* row, const ProgramResult& program)
{
    row->outcome = OutcomeName(program);
    for (const StepResult& s : program.applied.steps) {
        if (s.step != Step::Ate1 && s.exchange.AnyWritten()) row->step = StepName(s.step); // the last frame sent
    }
    row->verify = VerifyName(program.verify.outcome);
    if (const StepResult* failed = program.applied.Failed()) {
        const std::string readBack = DescribeReadBack(program.verify);
        row->detail = DescribeFailure(*failed) + (readBack.empty() ? "" : "; " + readBack);
    }
}

} // namespace pello::station
