#pragma once
// `pellomatic-cli ports`: what each COM name resolves to and whether it can be
// used, and which USB HID interfaces of the device are present.

#include "link/HidLink.h"
#include "link/PortNames.h"

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pello::cli {

struct SerialPortInfo {
    std::string name;    // "COMn"
    std::string path;    // what the name resolves to
    std::string source;  // why, in words
    std::string real;    // the device behind links, when it differs
    bool present = false;
    std::string problem; // why it cannot be used; empty when it can
};

struct HidInterfaceInfo {
    std::string node;
    int inputReport = -1;  // bytes, -1 when unreadable
    int outputReport = -1;
    std::string problem;   // why it cannot be opened; empty when it can
};

struct PortsInfo {
    std::vector<SerialPortInfo> serial;
    std::vector<HidInterfaceInfo> usb;
};

PortsInfo CollectPorts(const CPortResolver& resolver, const HidLinkPaths& hid);
// The report's lines, and the report as JSON; the caller prints them
// (Print, PrintJson), which shows every name by the text rule.
std::vector<std::string> PortsText(const PortsInfo& info);
nlohmann::json PortsJson(const PortsInfo& info);

// Why a device cannot be used as the tool would use it, in words with the
// fix; empty when it can.
std::string SerialOpenProblem(const std::string& path);

// Name and pid of the process that holds the exclusive lock on `path`, from
// /proc/locks, or "".
std::string ProcessHolding(const std::string& path);

} // namespace pello::cli
