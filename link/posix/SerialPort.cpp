#include "link/posix/SerialPort.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>

namespace pello {

namespace {

PortProblem ProblemOfOpen(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR: return PortProblem::NotPresent;
    case EACCES:
    case EPERM: return PortProblem::PermissionDenied;
    case EBUSY: return PortProblem::HeldExclusively;
    case ENXIO:
    case EIO:
    case ENODEV: return PortProblem::NoHardware;
    default: return PortProblem::Other;
    }
}

int OpenRetrying(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

PortOpening OpenLockedPort(const std::string& path)
{
    PortOpening out;
    CUniqueFd fd(OpenRetrying(path));
    if (!fd) {
        out.error = errno;
        out.problem = ProblemOfOpen(out.error);
        return out;
    }
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        out.error = errno;
        out.problem = PortProblem::Locked;
        return out;
    }
    out.fd = std::move(fd);
    return out;
}

PortOpening ProbeSerialPort(const std::string& path)
{
    PortOpening out = OpenLockedPort(path);
    termios tio {};
    if (out.fd && ::tcgetattr(out.fd.Get(), &tio) != 0) {
        out.error = errno;
        out.problem = PortProblem::NotASerialPort;
    }
    out.fd.Reset();
    return out;
}

} // namespace pello
