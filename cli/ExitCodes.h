#pragma once
// The command line's exit codes; the README and the man page list them.

namespace pello::cli {

enum ExitCode {
    kOk = 0,
    kUsage = 1,
    kFileProblem = 2,   // "Cannot Open File", an invalid SN.txt
    kNoDevice = 3,      // "No device found"
    kSettingFailed = 4, // "Setting failed!"
    kVerifyFailed = 5,  // the field read back differs
    kDuplicate = 6,     // the record shows this field programmed into another unit
    kOutputFailed = 7,  // stdout or stderr could not be written
    // 128 + the signal number when a signal ended the run (130 for Ctrl+C).
};

} // namespace pello::cli
