#include "cli/Ports.h"

#include "link/HidDescriptor.h"
#include "link/HidIo.h"
#include "link/SerialPort.h"
#include "link/UniqueFd.h"
#include "protocol/Device.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pello {

namespace {

std::string RealPath(const std::string& path)
{
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) != nullptr ? std::string(buf) : std::string();
}

std::string Comm(const std::string& pid)
{
    std::ifstream in("/proc/" + pid + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

bool HoldsOpen(const std::string& pid, const std::string& target)
{
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* d = ::opendir(fdDir.c_str());
    if (d == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] != '.' && RealPath(fdDir + "/" + e->d_name) == target) {
            found = true;
            break;
        }
    }
    ::closedir(d);
    return found;
}

std::string HidLine(const HidInterface& iface)
{
    std::string line = "  " + iface.devicePath + ": ";
    std::vector<uint8_t> descriptor;
    const auto lengths = ReadReportDescriptor(iface, &descriptor)
                             ? ParseReportDescriptor(descriptor.data(), descriptor.size())
                             : std::nullopt;
    if (lengths) {
        line += "input report " + std::to_string(lengths->input) + " bytes, output report " +
                std::to_string(lengths->output) + " bytes";
    } else {
        line += "report lengths unreadable";
    }
    CUniqueFd fd(::open(iface.devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (fd) {
        return line + "; can be opened\n";
    }
    if (errno == EACCES || errno == EPERM) {
        return line + "; cannot be opened: permission denied (install the udev rule " +
               "70-pellomatic.rules, see the README)\n";
    }
    return line + "; cannot be opened: " + std::strerror(errno) + "\n";
}

std::string HeldBy(const std::string& path)
{
    const std::string who = ProcessHolding(path);
    return who.empty() ? std::string() : " (" + who + ")";
}

} // namespace

std::string ProcessHolding(const std::string& path)
{
    const std::string target = RealPath(path);
    const std::string self = std::to_string(::getpid());
    DIR* d = ::opendir("/proc");
    if (target.empty() || d == nullptr) {
        return {};
    }
    std::string who;
    while (const dirent* e = ::readdir(d)) {
        const std::string pid = e->d_name;
        if (pid.find_first_not_of("0123456789") == std::string::npos && pid != self && HoldsOpen(pid, target)) {
            who = Comm(pid) + ", pid " + pid;
            break;
        }
    }
    ::closedir(d);
    return who;
}

std::string SerialOpenProblem(const std::string& path)
{
    const PortOpening probe = ProbeSerialPort(path);
    switch (probe.problem) {
    case PortProblem::None: return {};
    case PortProblem::PermissionDenied:
        return "permission denied (join the dialout group: sudo adduser $USER dialout, then log in again)";
    case PortProblem::HeldExclusively: return "held by another process in exclusive mode" + HeldBy(path);
    case PortProblem::Locked: return "held by another process" + HeldBy(path);
    case PortProblem::NoHardware: return "no hardware answers behind this device";
    case PortProblem::NotASerialPort: return "not a serial port";
    case PortProblem::NotPresent:
    case PortProblem::Other: break;
    }
    return std::strerror(probe.error);
}

std::string PortsReport(const CPortResolver& resolver, const HidLinkPaths& hid)
{
    std::string out = "RS232 ports:\n";
    for (int n = 0; n < device::kComPortCount; ++n) {
        const std::string name = CPortResolver::ComName(n);
        const PortResolution r = resolver.Resolve(name);
        out += "  " + name + " -> " + r.path + " (" + std::string(DescribePortSource(r.source)) + ")";
        const std::string real = RealPath(r.path);
        if (!real.empty() && real != r.path) {
            out += " -> " + real;
        }
        struct stat st {};
        if (::stat(r.path.c_str(), &st) != 0) {
            out += ": not present\n";
            continue;
        }
        const std::string problem = SerialOpenProblem(r.path);
        out += problem.empty() ? ": present, can be opened\n" : ": present, cannot be used: " + problem + "\n";
    }
    char ids[64];
    std::snprintf(ids, sizeof ids, "vendor 0x%04x, product 0x%04x", device::kVendorId, device::kProductId);
    out += std::string("USB HID interfaces (") + ids + "):\n";
    bool any = false;
    for (const HidInterface& iface : ListHidInterfaces(hid.classDir, hid.devDir)) {
        uint16_t vendor = 0, product = 0;
        if (ReadHidIds(iface, &vendor, &product) && vendor == device::kVendorId && product == device::kProductId) {
            out += HidLine(iface);
            any = true;
        }
    }
    if (!any) {
        out += "  none found\n";
    }
    return out;
}

} // namespace pello
