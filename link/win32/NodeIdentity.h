#pragma once
// Which device a port or HID interface is on Windows: a name can come to lead
// elsewhere (a COM number given to another adapter, a unit replugged), the
// device behind it cannot.

#include <string>

namespace pello {

struct NodeIdentity {
    // The device instance, the NT device and, where the system has them, the
    // volume and file index of the open handle; for HID, the interface path.
    std::string device;
    bool operator==(const NodeIdentity&) const = default;
};

} // namespace pello
