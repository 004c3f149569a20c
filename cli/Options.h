#pragma once
// What the command line was asked to do, once parsed.

#include "core/Workflow.h"

#include <string>

namespace pello::cli {

// Which device: USB, or RS232 searched as the dialog searches (COM0..COM9),
// or RS232 on one named device and nothing else.
struct DeviceChoice {
    Link link = Link::Usb;
    std::string port;
};

struct CommonOptions {
    bool trace = false;
};

struct SearchOptions {
    DeviceChoice device;
    bool json = false;
};

struct ApplyOptions {
    DeviceChoice device;
    std::string file = "SN.txt";
    bool verify = false;
    bool dryRun = false;
};

struct FrameOptions {
    std::string kind; // qsid, ate1, sid, pabc, qboot
    std::string field;
};

struct PortsOptions {
    std::string port;
    bool json = false;
};

} // namespace pello::cli
