#pragma once
// Counts opens and closes of a file (a pty slave, say) through inotify.

#include "link/UniqueFd.h"

#include <string>
#include <sys/inotify.h>

namespace pello {

class COpenCounter {
public:
    explicit COpenCounter(const std::string& path) : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        ::inotify_add_watch(m_fd.Get(), path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    }
    // Drains pending events into the counts.
    void Update()
    {
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = ::read(m_fd.Get(), buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                if (e->mask & IN_OPEN) ++opens;
                if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) ++closes;
                p += sizeof(inotify_event) + e->len;
            }
        }
    }
    int opens = 0;
    int closes = 0;

private:
    CUniqueFd m_fd;
};

} // namespace pello
