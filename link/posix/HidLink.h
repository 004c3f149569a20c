#pragma once
// USB HID link to the device over Linux hidraw: finds the device by vendor and
// product id, sends a frame as 8-byte output reports, collects the reply from
// input reports until its CR or the 2000 ms deadline.

#include "link/HidReport.h"
#include "link/posix/HidIo.h"
#include "link/posix/NodeIdentity.h"
#include "protocol/Device.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pello {

// The report lengths of the matched device, counting the report-id byte.
struct HidCaps {
    uint16_t InputReportByteLength = 0;
    uint16_t OutputReportByteLength = 0;
    bool bNumberedReports = false; // hidraw keeps the id byte on input only then
};

struct HidLinkPaths {
    std::string classDir = "/sys/class/hidraw";
    std::string devDir = "/dev";
};

// How a USB HID device is named to --port, for messages.
constexpr const char* kHidPortName = "a hidraw node /dev/hidrawN";

// Whether a --port names a USB HID device (a hidraw node) rather than a serial port.
inline bool NamesHidDevice(const std::string& port) { return IsHidrawNode(port); }

class CHidLink {
public:
    explicit CHidLink(CHidNodeIo* io = nullptr, HidLinkPaths paths = {});
    virtual ~CHidLink() = default;
    CHidLink(const CHidLink&) = delete;
    CHidLink& operator=(const CHidLink&) = delete;

    // True when a present interface has these ids (first in order wins) and
    // usable report lengths; m_strDevicePath and m_caps then describe it.
    bool FindDevice(uint16_t vendorId, uint16_t productId);
    // Whether an interface with these ids is present at `devicePath`, without
    // opening it: for noticing that a unit was unplugged.
    bool IsPresent(uint16_t vendorId, uint16_t productId, const std::string& devicePath) const;
    // The nodes of every present interface with these ids, in order.
    std::vector<std::string> MatchingNodes(uint16_t vendorId, uint16_t productId) const;
    // Which device is behind the hidraw node `devicePath` now (its node and its
    // sysfs device); nullopt when it is gone.
    std::optional<NodeIdentity> Identify(const std::string& devicePath) const;
    // FindDevice looks at this node (a hidraw node's path) and no other.
    void UseNodeOnly(const std::string& devicePath);
    // Reads the report lengths of the interface under examination; false when
    // they cannot be had.
    bool GetCaps();
    // True when every report of the frame was written.
    bool WriteFrame(const uint8_t* frame, size_t length);
    // True when the device could be opened for reading, whatever arrived; the
    // reply (NUL-terminated, at most 255 bytes) and its length are stored.
    // m_bMoreAfterReply then says whether a report was already waiting behind it.
    bool ReadReply(uint8_t* reply, size_t* replyLength);
    bool Transact(const uint8_t* frame, size_t frameLength, uint8_t* reply, size_t* replyLength);

    void SetIo(CHidNodeIo* io);

    // While a hold lives, WriteFrame and ReadReply use one handle to the
    // matched device instead of opening it each time: hidraw keeps input
    // reports per open handle, so a reply that comes between closing the
    // writer and opening the reader would be lost.
    class CHold {
    public:
        explicit CHold(CHidLink& link);
        ~CHold();
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;

    private:
        CHidLink& m_link;
    };
    void SetPaths(HidLinkPaths paths) { m_paths = std::move(paths); }

    // The interface FindDevice is examining; none outside FindDevice.
    const HidInterface* m_pDetailData = nullptr;
    // Path of the matched device; set only by a FindDevice that matches.
    std::string m_strDevicePath;
    HidCaps m_caps;
    // The last ReadReply found another report queued behind its reply: more
    // replies came than frames went out.
    bool m_bMoreAfterReply = false;
    // The interfaces present, held during FindDevice. The sysfs class
    // directory (m_paths.classDir) plays the role of the HID interface class.
    // Node handles are scoped to each operation (CHidHandle), never kept.
    std::vector<HidInterface> m_hDevInfo;

private:
    bool ProbeInterface(const HidInterface& iface, uint16_t vendorId, uint16_t productId);
    int ReadOneReport(int handle, uint8_t* report, int waitMs = device::kHidReportWaitMs);
    // The held handle, or a new one (-1 when it cannot be opened) and whether to close it.
    int Handle(bool* own);

    CHidNodeIo* m_pIo;
    HidLinkPaths m_paths;
    std::string m_strOnlyNode; // "hidrawN", or "" for any
    int m_nHeld = -1;          // the handle a CHold keeps open
};

} // namespace pello
