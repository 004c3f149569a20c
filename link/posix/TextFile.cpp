#include "link/TextFile.h"

#include "link/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pello {

BoundedFile ReadRegularFile(const std::string& path, size_t limit)
{
    BoundedFile out;
    // Non-blocking, so that a FIFO nobody writes cannot hold the open.
    CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        out.error = FileOpenError::CannotOpen;
        out.reason = std::strerror(errno);
        return out;
    }
    if (!S_ISREG(st.st_mode)) {
        out.error = FileOpenError::NotRegularFile;
        return out;
    }
    out.data.resize(limit);
    size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd.Get(), out.data.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    out.data.resize(got);
    return out;
}

} // namespace pello
