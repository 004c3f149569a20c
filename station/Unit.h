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
    ProgramResult program;
    storage::SerialState state = storage::SerialState::InDoubt;
};

// Programs `fields` where the latest Search found the device, then reads the
// field back (after a failure too, once a "SID" went out).
UnitOutcome ProgramUnit(CSnToolWorkflow& flow, const ProgramFields& fields, const std::function<bool()>& giveUp);

// Where a claimed serial stands after its sequence, by what the unit was read
// to carry, never by its answers alone: programmed when the sequence was
// accepted and the field read back matched; back to free when no "SID" went
// out, or the same unit read back another field; in doubt when the unit
// carries it after a failed sequence (its code or restart unknown), did not
// answer, or may have been swapped for another before it was read.
storage::SerialState AfterSequence(const ProgramResult& program);

// The record's word for a sequence: programmed, verify failed, failed.
std::string OutcomeName(const ProgramResult& program);

// Fills a record row with the unit as Search found it and the fields written.
void DescribeUnit(storage::ProgrammingRecord* row, Link link, const SearchResult& found, const ProgramFields& fields);

// Fills a record row's outcome, verify result and detail.
void EndRow(storage::ProgrammingRecord* row, const ProgramResult& program);

} // namespace pello::station
