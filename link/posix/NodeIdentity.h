#pragma once
// Which device a node is: a name or a path can come to point elsewhere (a
// link re-pointed, a unit replugged), the identity of what was opened cannot.

#include <cstdint>
#include <optional>
#include <string>

namespace pello {

struct NodeIdentity {
    uint64_t filesystem = 0; // st_dev of the node
    uint64_t inode = 0;      // a node made anew for a replugged device gets a new one
    uint64_t device = 0;     // st_rdev: the device number behind the node
    std::string sysfs;       // the kernel's device directory, where there is one
    bool operator==(const NodeIdentity&) const = default;
};

// The identity of the node at `path`, or of an open descriptor; `sysfsDevice`
// is the sysfs "device" link of the node's class entry ("" for none).
std::optional<NodeIdentity> IdentifyPath(const std::string& path, const std::string& sysfsDevice = "");
std::optional<NodeIdentity> IdentifyFd(int fd);

} // namespace pello
