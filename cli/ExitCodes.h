#pragma once
// The command line's exit codes; the README and the man page list them.

namespace pello::cli {

enum ExitCode {
    kOk = 0,
    kUsage = 1,          // also a malformed --first, --count or --code
    kFileProblem = 2,    // "Cannot Open File", an invalid SN.txt
    kNoDevice = 3,       // "No device found"
    kSettingFailed = 4,  // "Setting failed!"
    kVerifyFailed = 5,   // the field read back differs
    kDuplicate = 6,      // the record shows this field programmed into another unit
    kOutputFailed = 7,   // stdout or stderr could not be written
    kUnknownBatch = 8,   // no batch of that name
    kBatchExhausted = 9, // no free serial number left in the batch
    kBatchRefused = 10,  // batch create: the name exists or the range overlaps another batch
    kDbUnreachable = 11, // the database cannot be opened, or its server reached
    kDbBusy = 12,        // the database stayed locked by another writer
    kDbReadOnly = 13,    // the database refuses writes
    kDbUnusable = 14,    // not a database, damaged, or written by a newer Pellomatic
    kNotRecorded = 15,   // the unit was programmed but the record could not be written
    kResolveRefused = 16, // batch resolve: the serial is unknown or not in doubt
    kSeveralUnits = 17,   // more than one unit connected over USB, and --port names none
    kLabelNotPrinted = 18 // label: no programmed row for the serial, or the printer did not take it
    // 128 + the signal number when a signal ended the run (130 for Ctrl+C).
};

} // namespace pello::cli
