#pragma once
// `pellomatic-cli ports`: what each COM name resolves to and whether it can be
// opened, and which USB HID interfaces of the device are present.

#include "link/HidLink.h"
#include "link/PortNames.h"

#include <string>

namespace pello {

// Why a device cannot be used as the tool would use it, in words with the
// fix; empty when it can.
std::string SerialOpenProblem(const std::string& path);

// Name and pid of another process holding `path` open, from /proc, or "".
std::string ProcessHolding(const std::string& path);

// The whole report, one line per port and per HID interface.
std::string PortsReport(const CPortResolver& resolver, const HidLinkPaths& hid);

} // namespace pello
