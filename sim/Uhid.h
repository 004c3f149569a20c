#pragma once
// The device as a virtual USB HID device (vendor 0x0665, product 0x5161,
// 8-byte input and output reports, no report ids) through /dev/uhid, so the
// tool's real hidraw path runs end to end. Creating and destroying it is
// plugging and unplugging it.

#include "link/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pello {

constexpr const char* kUhidPath = "/dev/uhid";

class CUhidDevice {
public:
    // Opens /dev/uhid; false (errno set) where the kernel offers no virtual HID devices.
    bool Open();
    bool Create();
    void Destroy();
    bool Created() const { return m_created; }
    int Fd() const { return m_fd.Get(); }
    // Reads one event from the kernel. Frame bytes the host wrote come back in
    // `frame`, which stays empty for any other event.
    bool ReadEvent(std::string* frame);
    // One input report: 8 payload bytes.
    bool SendInputReport(const uint8_t* data, size_t length);

private:
    CUniqueFd m_fd;
    bool m_created = false;
};

} // namespace pello
