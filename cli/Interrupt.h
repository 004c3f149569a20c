#pragma once
// Ctrl+C and SIGTERM: the first lets the running programming sequence finish
// (or fail through its own path) and the port be released, then the program
// ends; a second ends it at once. A broken pipe never ends it.

namespace pello::cli {

// For commands that program units: the first signal is noted, not obeyed at once.
void InstallInterruptHandlers();
// For every command: a closed output pipe is a write error, not the end.
void IgnoreBrokenPipes();
// Whether a first signal has come.
bool Interrupted();
// 128 + the signal's number.
int InterruptedExitCode();

} // namespace pello::cli
