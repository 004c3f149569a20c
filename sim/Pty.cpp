#include "sim/Pty.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace pello {

namespace {

bool SetRaw(int fd)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

} // namespace

bool OpenRawPty(PtyPair* pty)
{
    CUniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!master || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) {
        return false;
    }
    char name[128];
    if (::ptsname_r(master.Get(), name, sizeof name) != 0) {
        return false;
    }
    CUniqueFd slave(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!slave || !SetRaw(slave.Get()) || !SetRaw(master.Get())) {
        return false;
    }
    pty->master = std::move(master);
    pty->slaveHold = std::move(slave);
    pty->slavePath = name;
    return true;
}

bool WriteAll(int fd, const void* data, size_t length)
{
    const auto* p = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t rc = ::write(fd, p, length);
        if (rc > 0) {
            p += rc;
            length -= static_cast<size_t>(rc);
            continue;
        }
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0 && errno == EAGAIN) {
            pollfd pfd {fd, POLLOUT, 0};
            const int ready = ::poll(&pfd, 1, 1000);
            if (ready == 0 || (ready < 0 && errno != EINTR)) {
                return false; // nobody has drained the tty for a second
            }
            continue;
        }
        return false;
    }
    return true;
}

} // namespace pello
