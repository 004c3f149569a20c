#pragma once
// USB HID link to the device over the Windows HID stack: finds the device
// among the present HID interfaces (SetupDi) by vendor and product id
// (HidD_GetAttributes), sends a frame as 8-byte output reports, collects the
// reply from input reports (overlapped ReadFile) until its CR or the 2000 ms
// deadline.

#include "link/HidReport.h"
#include "link/win32/NodeIdentity.h"
#include "link/win32/Win32Calls.h"
#include "protocol/Device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pello {

// The report lengths of the matched device, counting the report-id byte.
struct HidCaps {
    uint16_t InputReportByteLength = 0;
    uint16_t OutputReportByteLength = 0;
};

// SetupDi finds the interfaces on Windows: there is nothing to point elsewhere.
struct HidLinkPaths {};

// How a USB HID device is named to --port, for messages.
constexpr const char* kHidPortName = "a HID interface path \\\\?\\hid#... (pellomatic-cli ports lists them)";

// Whether a --port names a USB HID interface (\\?\hid#...) rather than a serial port.
bool NamesHidDevice(const std::string& port);

class CHidLink {
public:
    explicit CHidLink(CHidNodeIo* io = nullptr, HidLinkPaths paths = {});
    virtual ~CHidLink() = default;
    CHidLink(const CHidLink&) = delete;
    CHidLink& operator=(const CHidLink&) = delete;

    // True when a present interface has these ids (first in order wins) and
    // usable report lengths; m_strDevicePath and m_caps then describe it.
    bool FindDevice(uint16_t vendorId, uint16_t productId);
    // Whether an interface with these ids is present at `devicePath`.
    bool IsPresent(uint16_t vendorId, uint16_t productId, const std::string& devicePath) const;
    // The paths of every present interface with these ids, in order.
    std::vector<std::string> MatchingNodes(uint16_t vendorId, uint16_t productId) const;
    // Which device is behind `devicePath` now; nullopt when it is gone.
    std::optional<NodeIdentity> Identify(const std::string& devicePath) const;
    // FindDevice looks at this interface path and no other.
    void UseNodeOnly(const std::string& devicePath) { m_strOnlyPath = devicePath; }
    // Reads the report lengths of the interface open as m_hDevice; false when
    // they cannot be had or do not fit the buffers.
    bool GetCaps();
    // True when every report of the frame was written.
    bool WriteFrame(const uint8_t* frame, size_t length);
    // True when the device could be opened for reading, whatever arrived; the
    // reply (NUL-terminated, at most 255 bytes) and its length are stored.
    // m_bMoreAfterReply then says whether a report was already waiting behind it.
    bool ReadReply(uint8_t* reply, size_t* replyLength);
    bool Transact(const uint8_t* frame, size_t frameLength, uint8_t* reply, size_t* replyLength);

    void SetIo(CHidNodeIo* io);
    void SetPaths(HidLinkPaths) {}

    // While a hold lives, WriteFrame and ReadReply use one handle to the
    // matched device instead of opening it each time: the HID stack keeps
    // input reports per open handle, so a reply that comes between closing
    // the writer and opening the reader would be lost.
    class CHold {
    public:
        explicit CHold(CHidLink& link);
        ~CHold();
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;

    private:
        CHidLink& m_link;
    };

    GUID m_hidGuid {};
    // Path of the matched device; set only by a FindDevice that matches.
    std::string m_strDevicePath;
    HidCaps m_caps;
    // The last ReadReply found another report queued behind its reply: more
    // replies came than frames went out.
    bool m_bMoreAfterReply = false;
    // The probe handle while FindDevice examines an interface.
    HANDLE m_hDevice = INVALID_HANDLE_VALUE;

private:
    // Calls `visit` with each present HID interface's path until it returns true.
    void ForEachInterface(const std::function<bool(const std::string&)>& visit) const;
    bool ProbeInterface(const std::string& path, uint16_t vendorId, uint16_t productId);
    bool HasIds(const std::string& path, uint16_t vendorId, uint16_t productId) const;
    // The held handle, or a new overlapped one (invalid when it cannot be
    // opened) and whether to close it.
    HANDLE Handle(bool* own);
    bool WriteReport(HANDLE h, HANDLE event, const uint8_t* report);
    // >0: a report's length; 0: none within `waitMs`; -1: the device is gone.
    int ReadOneReport(HANDLE h, HANDLE event, uint8_t* report, DWORD waitMs);

    CHidNodeIo* m_pIo;
    std::string m_strOnlyPath; // "" for any
    HANDLE m_hHeld = INVALID_HANDLE_VALUE;
};

} // namespace pello
