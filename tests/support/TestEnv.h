#pragma once
// Every test process works in a scratch folder under the build folder: HOME,
// TMPDIR and the XDG folders point into it, and every PELLOMATIC_* and libpq
// PG* variable is cleared, so that no test reads or writes the user's own
// set-up (a bench's exported PELLOMATIC_DB above all) or the source tree.

#include <string>

namespace pello {

// The folder of the running test program, where the programs it runs are
// built beside it; found at run time, so the build tree may be moved (the VM
// stage puts it at a path of the guest's own).
const std::string& BinDir();

// Makes the scratch folder and points the environment at it. Called once
// from the test main, before anything else runs.
void IsolateEnvironment();

// Takes "--NAME=VALUE" out of the command line, for a test main's own options.
std::string TakeOption(int* argc, char** argv, const std::string& name);

// A new empty folder under the scratch folder, named after `name`.
std::string MakeScratchDir(const std::string& name);

// Removes the scratch folder (the test main does this at the end).
void RemoveScratch();

} // namespace pello
