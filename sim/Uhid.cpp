#include "sim/Uhid.h"

#include "link/UniqueFd.h"
#include "protocol/Device.h"
#include "sim/DeviceModel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

namespace pello {

namespace {

// Vendor-defined page, one collection, 8-byte input and output reports.
constexpr uint8_t kDescriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
                                   0x75, 0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02, 0x95, 0x08, 0x09, 0x01,
                                   0x91, 0x02, 0xC0};

bool WriteEvent(int fd, const uhid_event& ev)
{
    ssize_t rc;
    do {
        rc = ::write(fd, &ev, sizeof ev);
    } while (rc < 0 && errno == EINTR);
    return rc == static_cast<ssize_t>(sizeof ev);
}

bool CreateDevice(int fd)
{
    uhid_event ev {};
    ev.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.name), sizeof ev.u.create2.name, "Pellomatic device simulator");
    std::snprintf(reinterpret_cast<char*>(ev.u.create2.phys), sizeof ev.u.create2.phys, "pellomatic-devsim");
    std::memcpy(ev.u.create2.rd_data, kDescriptor, sizeof kDescriptor);
    ev.u.create2.rd_size = sizeof kDescriptor;
    ev.u.create2.bus = 0x03; // USB
    ev.u.create2.vendor = device::kVendorId;
    ev.u.create2.product = device::kProductId;
    return WriteEvent(fd, ev);
}

// One input report: 8 payload bytes, no report id.
bool WriteInputReport(int fd, const uint8_t* data, size_t length)
{
    uhid_event ev {};
    ev.type = UHID_INPUT2;
    ev.u.input2.size = device::kReportPayloadBytes;
    std::memcpy(ev.u.input2.data, data, length < device::kReportPayloadBytes ? length : device::kReportPayloadBytes);
    return WriteEvent(fd, ev);
}

// This device has no feature reports: refuse requests at once rather than let
// the kernel wait for an answer.
bool RefuseReportRequest(int fd, const uhid_event& req)
{
    uhid_event ev {};
    if (req.type == UHID_GET_REPORT) {
        ev.type = UHID_GET_REPORT_REPLY;
        ev.u.get_report_reply.id = req.u.get_report.id;
        ev.u.get_report_reply.err = EIO;
    } else {
        ev.type = UHID_SET_REPORT_REPLY;
        ev.u.set_report_reply.id = req.u.set_report.id;
        ev.u.set_report_reply.err = EIO;
    }
    return WriteEvent(fd, ev);
}

// An output report as hidraw passes it on: report id 0, then the frame bytes.
std::string FrameBytes(const uhid_output_req& out)
{
    const uint8_t* data = out.data;
    size_t size = out.size < sizeof out.data ? out.size : sizeof out.data;
    if (size == device::kReportPayloadBytes + 1) {
        ++data;
        --size;
    }
    return std::string(reinterpret_cast<const char*>(data), FrameBytesInReport(data, size));
}

} // namespace

bool CUhidDevice::Open()
{
    m_fd.Reset(::open(kUhidPath, O_RDWR | O_CLOEXEC));
    return m_fd.Valid();
}

bool CUhidDevice::Create()
{
    m_created = CreateDevice(m_fd.Get());
    return m_created;
}

void CUhidDevice::Destroy()
{
    if (m_created) {
        uhid_event destroy {};
        destroy.type = UHID_DESTROY;
        WriteEvent(m_fd.Get(), destroy);
        m_created = false;
    }
}

bool CUhidDevice::ReadEvent(std::string* frame)
{
    frame->clear();
    uhid_event ev {};
    ssize_t n;
    do {
        n = ::read(m_fd.Get(), &ev, sizeof ev);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        return false;
    }
    if (ev.type == UHID_OUTPUT) {
        *frame = FrameBytes(ev.u.output);
    } else if (ev.type == UHID_GET_REPORT || ev.type == UHID_SET_REPORT) {
        RefuseReportRequest(m_fd.Get(), ev);
    }
    return true;
}

bool CUhidDevice::SendInputReport(const uint8_t* data, size_t length)
{
    return WriteInputReport(m_fd.Get(), data, length);
}

} // namespace pello
