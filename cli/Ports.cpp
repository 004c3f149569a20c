#include "cli/Ports.h"

#include "cli/Output.h"
#include "protocol/Device.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace pello::cli {

std::vector<std::string> PortsText(const PortsInfo& info)
{
    std::vector<std::string> lines = {"RS232 ports:"};
    for (const SerialPortInfo& p : info.serial) {
        std::string line = "  " + p.name + " -> " + p.path + " (" + p.source + ")";
        if (!p.real.empty()) {
            line += " -> " + p.real;
        }
        if (!p.present) {
            line += ": not present";
        } else {
            line += p.problem.empty() ? ": present, can be opened" : ": present, cannot be used: " + p.problem;
        }
        lines.push_back(line);
    }
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor 0x%04x, product 0x%04x", device::kVendorId, device::kProductId);
    lines.push_back(std::string("USB HID interfaces (") + ids + "):");
    for (const HidInterfaceInfo& h : info.usb) {
        std::string line = "  " + h.node + ": ";
        line += h.inputReport >= 0 ? "input report " + std::to_string(h.inputReport) + " bytes, output report " +
                                         std::to_string(h.outputReport) + " bytes"
                                   : std::string("report lengths unreadable");
        lines.push_back(line + (h.problem.empty() ? "; can be opened" : "; cannot be opened: " + h.problem));
    }
    if (info.usb.empty()) {
        lines.push_back("  none found");
    }
    return lines;
}

nlohmann::json PortsJson(const PortsInfo& info)
{
    nlohmann::json serial = nlohmann::json::array();
    for (const SerialPortInfo& p : info.serial) {
        serial.push_back({{"name", p.name}, {"path", p.path}, {"source", p.source},
                          {"device", p.real.empty() ? p.path : p.real}, {"present", p.present},
                          {"usable", p.present && p.problem.empty()}, {"problem", p.problem}});
    }
    nlohmann::json usb = nlohmann::json::array();
    for (const HidInterfaceInfo& h : info.usb) {
        usb.push_back({{"node", h.node}, {"input_report_bytes", h.inputReport},
                       {"output_report_bytes", h.outputReport}, {"usable", h.problem.empty()}, {"problem", h.problem}});
    }
    return {{"rs232", serial}, {"usb", usb}};
}

} // namespace pello::cli
