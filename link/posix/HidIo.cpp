#include "link/posix/HidIo.h"

#include <climits>
#include <cstdlib>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace pello {

int CHidrawIo::Open(const std::string& path)
{
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool CHidrawIo::WriteReport(int handle, const uint8_t* report, size_t length)
{
    // hidraw sends an output report per write: report id, then the data.
    ssize_t rc;
    do {
        rc = ::write(handle, report, length);
    } while (rc < 0 && errno == EINTR);
    return rc == static_cast<ssize_t>(length);
}

int CHidrawIo::ReadReport(int handle, uint8_t* buffer, size_t capacity, int timeoutMs)
{
    pollfd pfd {handle, POLLIN, 0};
    const int ready = m_clock.Poll(&pfd, 1, timeoutMs);
    if (ready < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        return -1;
    }
    if (ready == 0) {
        return 0;
    }
    ssize_t rc;
    do {
        rc = ::read(handle, buffer, capacity);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        return errno == EAGAIN ? 0 : -1; // ENODEV, EIO: unplugged
    }
    return static_cast<int>(rc);
}

void CHidrawIo::Close(int handle) { ::close(handle); }

namespace {

bool ParseHidrawNumber(const std::string& name, long* n)
{
    if (name.rfind("hidraw", 0) != 0 || name.size() == 6) {
        return false;
    }
    char* end = nullptr;
    *n = std::strtol(name.c_str() + 6, &end, 10);
    return *end == '\0';
}

} // namespace

std::vector<HidInterface> ListHidInterfaces(const std::string& classDir, const std::string& devDir)
{
    std::vector<std::pair<long, std::string>> found;
    if (DIR* d = ::opendir(classDir.c_str())) {
        while (const dirent* e = ::readdir(d)) {
            long n = 0;
            if (ParseHidrawNumber(e->d_name, &n)) {
                found.emplace_back(n, e->d_name);
            }
        }
        ::closedir(d);
    }
    std::sort(found.begin(), found.end());
    std::vector<HidInterface> out;
    for (const auto& [n, name] : found) {
        out.push_back({name, classDir + "/" + name, devDir + "/" + name});
    }
    return out;
}

bool ReadHidIds(const HidInterface& iface, uint16_t* vendor, uint16_t* product)
{
    std::ifstream in(iface.sysfsDir + "/device/uevent");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("HID_ID=", 0) != 0) {
            continue;
        }
        unsigned bus = 0;
        unsigned long v = 0, p = 0;
        if (std::sscanf(line.c_str() + 7, "%x:%lx:%lx", &bus, &v, &p) != 3 || v > 0xFFFF || p > 0xFFFF) {
            return false;
        }
        *vendor = static_cast<uint16_t>(v);
        *product = static_cast<uint16_t>(p);
        return true;
    }
    return false;
}

bool HasIds(const HidInterface& iface, uint16_t vendorId, uint16_t productId)
{
    uint16_t vendor = 0, product = 0;
    return ReadHidIds(iface, &vendor, &product) && vendor == vendorId && product == productId;
}

bool IsHidrawNode(const std::string& path, const std::string& classDir)
{
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) {
        return false;
    }
    const std::string name = std::string(real).substr(std::string(real).rfind('/') + 1);
    return name.rfind("hidraw", 0) == 0 && ::access((classDir + "/" + name).c_str(), F_OK) == 0;
}

bool ReadReportDescriptor(const HidInterface& iface, std::vector<uint8_t>* descriptor)
{
    std::ifstream in(iface.sysfsDir + "/device/report_descriptor", std::ios::binary);
    if (!in) {
        return false;
    }
    descriptor->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    // HID_MAX_DESCRIPTOR_SIZE is 4096; anything empty or larger is not a descriptor.
    return !descriptor->empty() && descriptor->size() <= 4096;
}

} // namespace pello
