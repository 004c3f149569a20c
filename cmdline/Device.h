#pragma once
// Options the desktop tool and the command line share: which device
// (--link, --port), and labels (--label, --printer).

#include "core/Workflow.h"

#include <CLI/CLI.hpp>

#include <string>

namespace pello {

// Which device: USB, or RS232 searched as the dialog searches (COM0..COM9),
// or RS232 on one named device and nothing else.
struct DeviceChoice {
    Link link = Link::Usb;
    std::string port;
};

// --link and --port as given.
struct DeviceFlags {
    std::string link;
    std::string port;
    CLI::Option* portOption = nullptr;
};

void AddDeviceFlags(CLI::App* sub, DeviceFlags* flags);

// --port names a serial device, or a hidraw node for USB; from the
// environment (PELLOMATIC_PORT) it yields to --link usb. Throws
// CLI::ValidationError for a --port that --link usb cannot take.
DeviceChoice ResolveDevice(const DeviceFlags& flags);

// --label and --printer: each needs the other; `required` makes them so.
void AddLabelOptions(CLI::App* cmd, std::string* label, std::string* printer, bool required);

// An environment variable's value, "" when unset.
std::string Environment(const char* name);

} // namespace pello
