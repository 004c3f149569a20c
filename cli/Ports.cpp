#include "cli/Ports.h"

#include "cli/Output.h"
#include "protocol/Device.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace pello::cli {

std::string PortsText(const PortsInfo& info)
{
    std::string out = "RS232 ports:\n";
    for (const SerialPortInfo& p : info.serial) {
        out += "  " + p.name + " -> " + p.path + " (" + p.source + ")";
        if (!p.real.empty()) {
            out += " -> " + p.real;
        }
        if (!p.present) {
            out += ": not present\n";
        } else {
            out += p.problem.empty() ? ": present, can be opened\n" : ": present, cannot be used: " + p.problem + "\n";
        }
    }
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor 0x%04x, product 0x%04x", device::kVendorId, device::kProductId);
    out += std::string("USB HID interfaces (") + ids + "):\n";
    for (const HidInterfaceInfo& h : info.usb) {
        out += "  " + h.node + ": ";
        out += h.inputReport >= 0 ? "input report " + std::to_string(h.inputReport) + " bytes, output report " +
                                        std::to_string(h.outputReport) + " bytes"
                                  : std::string("report lengths unreadable");
        out += h.problem.empty() ? "; can be opened\n" : "; cannot be opened: " + h.problem + "\n";
    }
    if (info.usb.empty()) {
        out += "  none found\n";
    }
    return out;
}

std::string PortsJson(const PortsInfo& info)
{
    nlohmann::json serial = nlohmann::json::array();
    for (const SerialPortInfo& p : info.serial) {
        serial.push_back({{"name", p.name}, {"path", EscapeDeviceText(p.path)}, {"source", p.source},
                          {"device", EscapeDeviceText(p.real.empty() ? p.path : p.real)}, {"present", p.present},
                          {"usable", p.present && p.problem.empty()}, {"problem", p.problem}});
    }
    nlohmann::json usb = nlohmann::json::array();
    for (const HidInterfaceInfo& h : info.usb) {
        usb.push_back({{"node", EscapeDeviceText(h.node)}, {"input_report_bytes", h.inputReport},
                       {"output_report_bytes", h.outputReport}, {"usable", h.problem.empty()}, {"problem", h.problem}});
    }
    return nlohmann::json {{"rs232", serial}, {"usb", usb}}.dump();
}

} // namespace pello::cli
