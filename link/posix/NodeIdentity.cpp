#include "link/posix/NodeIdentity.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace pello {

namespace {

NodeIdentity FromStat(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_rdev),
            {}};
}

} // namespace

std::optional<NodeIdentity> IdentifyPath(const std::string& path, const std::string& sysfsDevice)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    NodeIdentity id = FromStat(st);
    if (!sysfsDevice.empty()) {
        char real[PATH_MAX];
        if (::realpath(sysfsDevice.c_str(), real) == nullptr) {
            return std::nullopt; // the device has gone from sysfs
        }
        id.sysfs = real;
    }
    return id;
}

std::optional<NodeIdentity> IdentifyFd(int fd)
{
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    return FromStat(st);
}

} // namespace pello
