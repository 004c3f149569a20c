#include "link/Process.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace pello {

void EnsureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // open() takes the lowest free descriptor: this one.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::close(opened);
        }
    }
}

} // namespace pello
