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
bool SendInputReport(int fd, const uint8_t* data, size_t length)
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
std::vector<DeviceReply> HandleOutput(const uhid_output_req& out, const FrameResponder& respond)
{
    const uint8_t* data = out.data;
    size_t size = out.size < sizeof out.data ? out.size : sizeof out.data;
    if (size == device::kReportPayloadBytes + 1) {
        ++data;
        --size;
    }
    return respond(data, FrameBytesInReport(data, size));
}

} // namespace

int ServeUhid(int sigfd, const FrameResponder& respond, const ReplySender& send)
{
    CUniqueFd fd(::open(kUhidPath, O_RDWR | O_CLOEXEC));
    if (!fd) {
        std::fprintf(stderr, "pellomatic-devsim: cannot open %s (%s): this system offers no virtual HID devices\n",
                     kUhidPath, std::strerror(errno));
        return 1;
    }
    if (!CreateDevice(fd.Get())) {
        std::fprintf(stderr, "pellomatic-devsim: cannot create the virtual HID device: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", kUhidPath);
    std::fflush(stdout);
    const auto writeReport = [&](const uint8_t* data, size_t length) { return SendInputReport(fd.Get(), data, length); };
    pollfd fds[2] = {{fd.Get(), POLLIN, 0}, {sigfd, POLLIN, 0}};
    int rc = 0;
    while (rc == 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            rc = 1;
            break;
        }
        if (fds[1].revents != 0) {
            break;
        }
        uhid_event ev {};
        if (::read(fd.Get(), &ev, sizeof ev) <= 0) {
            continue;
        }
        if (ev.type == UHID_OUTPUT) {
            for (const auto& reply : HandleOutput(ev.u.output, respond)) {
                if (!send(writeReport, reply)) {
                    return 0;
                }
            }
        } else if (ev.type == UHID_GET_REPORT || ev.type == UHID_SET_REPORT) {
            RefuseReportRequest(fd.Get(), ev);
        }
    }
    uhid_event destroy {};
    destroy.type = UHID_DESTROY;
    WriteEvent(fd.Get(), destroy);
    return rc;
}

} // namespace pello
