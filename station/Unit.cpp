#include "station/Unit.h"

namespace pello::station {

UnitOutcome ProgramUnit(CSnToolWorkflow& flow, Link link, const ProgramFields& fields,
                        const std::function<bool()>& giveUp)
{
    UnitOutcome out;
    out.applied = flow.Apply(fields);
    if (out.applied.outcome == ApplyOutcome::Success) {
        out.verify = flow.VerifyField(link, fields.serial, giveUp);
    }
    out.state = AfterSequence(out.applied, out.verify.outcome);
    return out;
}

storage::SerialState AfterSequence(const ApplyResult& applied, VerifyOutcome verify)
{
    if (applied.outcome == ApplyOutcome::Success && verify == VerifyOutcome::Matched) {
        return storage::SerialState::Programmed;
    }
    const StepResult* sid = applied.Find(Step::Sid);
    if (sid == nullptr || !sid->exchange.AnyWritten() || sid->exchange.AllRefused()) {
        return storage::SerialState::Free;
    }
    return storage::SerialState::InDoubt;
}

std::string OutcomeName(const ApplyResult& applied, VerifyOutcome verify)
{
    if (applied.outcome != ApplyOutcome::Success) {
        return "failed";
    }
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

void EndRow(storage::ProgrammingRecord* row, const ApplyResult& applied, VerifyOutcome verify)
{
    row->outcome = OutcomeName(applied, verify);
    for (const StepResult& s : applied.steps) {
        if (s.step != Step::Ate1 && s.exchange.AnyWritten()) row->step = StepName(s.step); // the last frame sent
    }
    row->verify = VerifyName(verify);
    if (const StepResult* failed = applied.Failed()) {
        row->detail = DescribeFailure(*failed);
    }
}

} // namespace pello::station
