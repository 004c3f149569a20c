// Types keys into a window of another process, as a person at the keyboard
// would (XTest), for display-loss.sh: pello_xkeys TITLE KEY... where TITLE is
// part of the window's title and each KEY an X key name ("Tab", "space").

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

Window FindWindow(Display* display, Window window, const char* title)
{
    char* name = nullptr;
    if (XFetchName(display, window, &name) != 0 && name != nullptr) {
        const bool found = std::strstr(name, title) != nullptr;
        XFree(name);
        if (found) return window;
    }
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) return 0;
    Window found = 0;
    for (unsigned i = 0; i < count && found == 0; ++i) found = FindWindow(display, children[i], title);
    if (children != nullptr) XFree(children);
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    Display* display = argc > 1 ? XOpenDisplay(nullptr) : nullptr;
    if (display == nullptr) {
        std::fprintf(stderr, "usage: %s TITLE KEY... (with DISPLAY set)\n", argv[0]);
        return 2;
    }
    const Window window = FindWindow(display, DefaultRootWindow(display), argv[1]);
    if (window == 0) {
        std::fprintf(stderr, "no window titled \"%s\"\n", argv[1]);
        return 3;
    }
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    for (int i = 2; i < argc; ++i) {
        const KeyCode key = XKeysymToKeycode(display, XStringToKeysym(argv[i]));
        XTestFakeKeyEvent(display, key, True, 0);
        XTestFakeKeyEvent(display, key, False, 0);
        XSync(display, False);
        ::usleep(200000); // the toolkit takes each key before the next
    }
    XCloseDisplay(display);
    return 0;
}
