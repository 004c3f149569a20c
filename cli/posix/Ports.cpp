#include "cli/Ports.h"

#include "link/HidDescriptor.h"
#include "link/posix/HidIo.h"
#include "link/posix/SerialPort.h"
#include "link/UniqueFd.h"
#include "protocol/Device.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <grp.h>
#include <sstream>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pello::cli {

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

HidInterfaceInfo DescribeHid(const HidInterface& iface)
{
    HidInterfaceInfo info;
    info.node = iface.devicePath;
    std::vector<uint8_t> descriptor;
    const auto lengths = ReadReportDescriptor(iface, &descriptor)
                             ? ParseReportDescriptor(descriptor.data(), descriptor.size())
                             : std::nullopt;
    if (lengths) {
        info.inputReport = lengths->input;
        info.outputReport = lengths->output;
    }
    CUniqueFd fd(::open(iface.devicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        info.problem = errno == EACCES || errno == EPERM
                           ? "permission denied (install the udev rule 70-pellomatic.rules, see the README)"
                           : std::strerror(errno);
    }
    return info;
}

SerialPortInfo DescribeSerial(const CPortResolver& resolver, int number)
{
    SerialPortInfo info;
    info.name = CPortResolver::ComName(number);
    const PortResolution r = resolver.Resolve(info.name);
    info.path = r.path;
    info.source = DescribePortSource(r.source);
    const std::string real = RealPath(r.path);
    info.real = real != r.path ? real : std::string();
    struct stat st {};
    info.present = ::stat(r.path.c_str(), &st) == 0;
    info.problem = info.present ? SerialOpenProblem(r.path) : "not present";
    return info;
}

// " (name, pid N)" of a process, or "".
std::string Named(const std::string& pid) { return pid.empty() ? std::string() : " (" + Comm(pid) + ", pid " + pid + ")"; }

// The process that holds open the device at `path` (it may have put it in
// exclusive mode): the first one found.
std::string HoldingOpen(const std::string& path)
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
            who = pid;
            break;
        }
    }
    ::closedir(d);
    return who;
}

// The group that may open the node, for the permission hint.
std::string GroupOf(const std::string& path)
{
    struct stat st {};
    const group* g = ::stat(path.c_str(), &st) == 0 ? ::getgrgid(st.st_gid) : nullptr;
    return g != nullptr ? g->gr_name : "dialout";
}

} // namespace

std::string ProcessHolding(const std::string& path)
{
    // /proc/locks: "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF", the file
    // as major:minor (hex) of its filesystem and its inode.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {};
    }
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        fields >> number >> kind >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == file) {
            return Comm(pid) + ", pid " + pid;
        }
    }
    return {};
}

std::string SerialOpenProblem(const std::string& path)
{
    const PortOpening probe = ProbeSerialPort(path);
    switch (probe.problem) {
    case PortProblem::None: return {};
    case PortProblem::PermissionDenied: {
        const std::string group = GroupOf(path);
        return "permission denied (join the " + group + " group: sudo adduser $USER " + group +
               ", then log in again)";
    }
    case PortProblem::HeldExclusively: return "held by another process in exclusive mode" + Named(HoldingOpen(path));
    case PortProblem::Locked: {
        const std::string who = ProcessHolding(path);
        return "held by another process" + (who.empty() ? std::string() : " (" + who + ")");
    }
    case PortProblem::NoHardware: return "no hardware answers behind this device";
    case PortProblem::NotASerialPort: return "not a serial port";
    case PortProblem::NotPresent: return "not present";
    case PortProblem::Other: break;
    }
    return std::strerror(probe.error);
}

PortsInfo CollectPorts(const CPortResolver& resolver, const HidLinkPaths& hid)
{
    PortsInfo info;
    for (int n = 0; n < device::kComPortCount; ++n) {
        info.serial.push_back(DescribeSerial(resolver, n));
    }
    for (const HidInterface& iface : ListHidInterfaces(hid.classDir, hid.devDir)) {
        if (HasIds(iface, device::kVendorId, device::kProductId)) {
            info.usb.push_back(DescribeHid(iface));
        }
    }
    return info;
}

} // namespace pello::cli
