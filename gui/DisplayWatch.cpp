#include "gui/DisplayWatch.h"

#include "link/UniqueFd.h"

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/window.h>

#include <X11/Xlib.h>
#include <gtk/gtk.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <map>
#include <cstdint>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

namespace pello {

namespace {

std::map<GdkWindow*, std::function<bool()>>& Catchers()
{
    static std::map<GdkWindow*, std::function<bool()>> catchers;
    return catchers;
}

// Every event passes here before the toolkit's own dispatch, which drops a
// close request for a window that another window's grab holds.
void OnGdkEvent(GdkEvent* event, gpointer)
{
    if (event->type == GDK_DELETE) {
        const auto it = Catchers().find(event->any.window);
        if (it != Catchers().end() && it->second()) {
            return;
        }
    }
    gtk_main_do_event(event);
}

std::function<void()>& LostHandler()
{
    static std::function<void()> handler;
    return handler;
}

int OnIoError(Display*)
{
    if (LostHandler()) {
        LostHandler()();
    }
    ::_exit(1);
}

} // namespace

void CatchWindowManagerClose(wxWindow* window, std::function<bool()> take)
{
    auto* widget = static_cast<GtkWidget*>(window->GetHandle());
    gtk_widget_realize(widget); // its window exists from here on
    GdkWindow* gdk = gtk_widget_get_window(widget);
    const bool known = Catchers().count(gdk) > 0;
    Catchers()[gdk] = std::move(take);
    RenewCloseCatch();
    if (known) {
        return;
    }
    window->Bind(wxEVT_DESTROY, [gdk](wxWindowDestroyEvent& e) {
        Catchers().erase(gdk);
        e.Skip();
    });
}

void RenewCloseCatch() { gdk_event_handler_set(OnGdkEvent, nullptr, nullptr); }

void OnDisplayLost(std::function<void()> onLost)
{
    LostHandler() = std::move(onLost);
    XSetIOErrorHandler(OnIoError);
}

void CloseMessageBoxes(wxWindow* keep)
{
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w != nullptr; w = w->next) {
        if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) {
            gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_DELETE_EVENT);
        }
    }
    g_list_free(windows);
    for (wxWindow* w : wxTopLevelWindows) {
        auto* dialog = dynamic_cast<wxDialog*>(w);
        if (dialog != nullptr && dialog != keep && dialog->IsModal()) {
            dialog->EndModal(wxID_CANCEL);
        }
    }
}

namespace {

std::atomic<int> g_firstSignal {0};

} // namespace

int SignalHeard() { return g_firstSignal.load(); }

struct CSignalWatch::Impl {
    CUniqueFd signals;
    CUniqueFd stop {::eventfd(0, EFD_CLOEXEC)};
    CUniqueFd heard {::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::thread thread;
};

int CSignalWatch::HeardFd() const { return m_pImpl->heard.Get(); }

CSignalWatch::CSignalWatch(std::function<void(int)> onSignal) : m_pImpl(std::make_unique<Impl>())
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGHUP, SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM}) sigaddset(&set, sig);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    m_pImpl->signals.Reset(::signalfd(-1, &set, SFD_CLOEXEC));
    m_pImpl->thread = std::thread([impl = m_pImpl.get(), onSignal = std::move(onSignal)] {
        pollfd fds[2] = {{impl->signals.Get(), POLLIN, 0}, {impl->stop.Get(), POLLIN, 0}};
        while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if (fds[1].revents != 0) return;
            signalfd_siginfo info {};
            if (fds[0].revents != 0 && ::read(impl->signals.Get(), &info, sizeof info) == sizeof info) {
                const int sig = static_cast<int>(info.ssi_signo);
                if (wxTheApp == nullptr) {
                    ::_exit(128 + sig); // no window yet, so nothing on the wire
                }
                int none = 0;
                g_firstSignal.compare_exchange_strong(none, sig);
                const uint64_t one = 1;
                (void)!::write(impl->heard.Get(), &one, sizeof one);
                wxTheApp->CallAfter([onSignal, sig] { onSignal(sig); });
            }
        }
    });
}

CSignalWatch::~CSignalWatch()
{
    const uint64_t one = 1;
    (void)!::write(m_pImpl->stop.Get(), &one, sizeof one);
    m_pImpl->thread.join();
}

} // namespace pello
