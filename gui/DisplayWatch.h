#pragma once
// What can end the dialog from outside its window: the window manager's close
// while a modal box holds the toolkit's grab (the toolkit would drop it), a
// signal, and the display going away. None may cut a programming sequence.

#include <functional>
#include <memory>

class wxWindow;

namespace pello {

// The window manager's close for `window` is offered to `take` first, also
// while a modal box holds the toolkit's grab (the toolkit drops it then);
// when `take` returns true the close is consumed.
void CatchWindowManagerClose(wxWindow* window, std::function<bool()> take);
// The toolkit puts its own event dispatch back after every yield: call this
// before a modal box is shown, so that the catch holds while it is up.
void RenewCloseCatch();

// When the display goes away, `onLost` runs (on the window's thread) and the
// process then ends with exit code 1, as the toolkit would end it.
void OnDisplayLost(std::function<void()> onLost);

// Ends every message box that is up, and any modal dialog but `keep`, as if
// dismissed: a program asked to end is not held by a box nobody will click.
void CloseMessageBoxes(wxWindow* keep = nullptr);

// The signals that would end the program (HUP, INT, TERM, QUIT, USR1, USR2,
// ALRM) become calls of `onSignal(signal)` on the window's thread (before the
// application exists they end the process). Blocks them in the calling thread
// first: make it before any other thread starts (the toolkit's own included),
// so that every thread inherits the mask.
class CSignalWatch {
public:
    explicit CSignalWatch(std::function<void(int)> onSignal);
    ~CSignalWatch();
    CSignalWatch(const CSignalWatch&) = delete;
    CSignalWatch& operator=(const CSignalWatch&) = delete;
    // Readable from the first signal on, for waits that cannot run the
    // window's events (connecting to the record's server).
    int HeardFd() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

// The first signal a CSignalWatch heard, 0 for none: the process ends with
// 128 + it.
int SignalHeard();

} // namespace pello
