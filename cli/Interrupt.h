#pragma once
// Signals that would end the process (HUP, INT, TERM, QUIT, USR1, USR2, ALRM)
// are held back while a programming sequence may run: the first is noted, the
// sequence finishes (or fails through its own path) and is recorded, the port
// is released, then the program ends with 128 + that signal. A second Ctrl+C
// or SIGTERM, a person's or a supervisor's insistence, ends it at once. A
// broken pipe never ends it. A wait for a database server to answer ends
// at the first signal (nothing is on the wire then).

namespace pello::cli {

// For commands that program units: the first signal is noted, not obeyed at once.
void InstallInterruptHandlers();
// For every command: a closed output pipe is a write error, not the end.
void IgnoreBrokenPipes();
// Whether a first signal has come.
bool Interrupted();
// Whether the terminal hung up (SIGHUP): nothing more goes to it.
bool HungUp();
// 128 + the first signal's number.
int InterruptedExitCode();

} // namespace pello::cli
