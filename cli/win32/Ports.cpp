#include "cli/Ports.h"

#include "link/Serial.h"
#include "protocol/Device.h"

#include <windows.h>

namespace pello::cli {

namespace {

SerialPortInfo DescribeSerial(const CPortResolver& resolver, int number)
{
    SerialPortInfo info;
    info.name = CPortResolver::ComName(number);
    const PortResolution r = resolver.Resolve(info.name);
    info.path = r.path;
    info.source = DescribePortSource(r.source);
    info.problem = SerialOpenProblem(r.path);
    info.present = info.problem != "not present";
    return info;
}

HidInterfaceInfo DescribeHid(const std::string& path)
{
    HidInterfaceInfo info;
    info.node = path;
    CHidLink link;
    link.UseNodeOnly(path);
    if (link.FindDevice(device::kVendorId, device::kProductId)) {
        info.inputReport = link.m_caps.InputReportByteLength;
        info.outputReport = link.m_caps.OutputReportByteLength;
    } else {
        info.problem = "cannot be opened for reading and writing, or its report lengths do not fit";
    }
    return info;
}

} // namespace

std::string SerialOpenProblem(const std::string& path)
{
    const std::string device = CPortResolver::DeviceName(path);
    if (device.empty()) {
        return "not a port name (COMn, or a device name \\\\.\\NAME)";
    }
    DWORD error = 0;
    const CWinHandle h = OpenPortHandle(device, &error);
    if (!h) {
        switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "not present";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "held by another program, or not a port";
        case ERROR_BAD_DEVICE: return "not a serial port";
        default: return SystemMessage(error);
        }
    }
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    return ::GetCommState(h.Get(), &dcb) ? std::string() : "not a serial port";
}

std::string ProcessHolding(const std::string&) { return {}; }

PortsInfo CollectPorts(const CPortResolver& resolver, const HidLinkPaths&)
{
    PortsInfo info;
    for (int n = 0; n < device::kComPortCount; ++n) {
        info.serial.push_back(DescribeSerial(resolver, n));
    }
    const CHidLink link;
    for (const std::string& path : link.MatchingNodes(device::kVendorId, device::kProductId)) {
        info.usb.push_back(DescribeHid(path));
    }
    return info;
}

} // namespace pello::cli
