#pragma once
// One unit programmed from a batch, as `apply --batch` and the station both
// do it: the sequence, the whole field read back, and where the serial
// stands afterwards.

#include "core/Workflow.h"
#include "storage/Store.h"

#include <functional>
#include <string>

namespace pello::station {

struct UnitOutcome {
    ApplyResult applied;
    VerifyResult verify;
    storage::SerialState state = storage::SerialState::InDoubt;
};

// Programs `fields` where the latest Search found the device, then reads them back.
UnitOutcome ProgramUnit(CSnToolWorkflow& flow, Link link, const ProgramFields& fields,
                        const std::function<bool()>& giveUp);

// Where a claimed serial stands after its sequence: programmed when the
// read-back matched; back to free only when the unit cannot carry it (no
// "SID" reached it, or it refused every one); in doubt otherwise.
storage::SerialState AfterSequence(const ApplyResult& applied, VerifyOutcome verify);

// The record's word for a sequence: programmed, verify failed, failed.
std::string OutcomeName(const ApplyResult& applied, VerifyOutcome verify);

// Fills a record row with the unit as Search found it and the fields written.
void DescribeUnit(storage::ProgrammingRecord* row, Link link, const SearchResult& found, const ProgramFields& fields);

// Fills a record row's outcome, verify result and detail.
void EndRow(storage::ProgrammingRecord* row, const ApplyResult& applied, VerifyOutcome verify);

} // namespace pello::station
