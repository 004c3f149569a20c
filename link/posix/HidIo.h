#pragma once
// The narrow seam between the HID link and the kernel: open a hidraw node,
// write one output report, wait for and read one input report, close.

#include "link/posix/Clock.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pello {

class CHidNodeIo {
public:
    virtual ~CHidNodeIo() = default;
    // A handle (>= 0), or -1 when the node cannot be opened read-write.
    virtual int Open(const std::string& path) = 0;
    // Writes one report exactly as given (report id first); false on failure.
    virtual bool WriteReport(int handle, const uint8_t* report, size_t length) = 0;
    // Waits up to `timeoutMs` for one input report and reads it as hidraw
    // returns it. >0: its length; 0: nothing arrived; -1: the device is gone.
    virtual int ReadReport(int handle, uint8_t* buffer, size_t capacity, int timeoutMs) = 0;
    virtual void Close(int handle) = 0;
    // The clock the waits run on.
    virtual CClock& Clock() = 0;
};

// hidraw through the kernel.
class CHidrawIo final : public CHidNodeIo {
public:
    explicit CHidrawIo(CClock& clock = SystemClock()) : m_clock(clock) {}
    int Open(const std::string& path) override;
    bool WriteReport(int handle, const uint8_t* report, size_t length) override;
    int ReadReport(int handle, uint8_t* buffer, size_t capacity, int timeoutMs) override;
    void Close(int handle) override;
    CClock& Clock() override { return m_clock; }

private:
    CClock& m_clock;
};

// Closes a node handle when it goes out of scope.
class CHidHandle {
public:
    CHidHandle(CHidNodeIo& io, int handle) : m_io(io), m_handle(handle) {}
    CHidHandle(const CHidHandle&) = delete;
    CHidHandle& operator=(const CHidHandle&) = delete;
    ~CHidHandle()
    {
        if (m_handle >= 0) m_io.Close(m_handle);
    }
    int Get() const { return m_handle; }
    bool Valid() const { return m_handle >= 0; }

private:
    CHidNodeIo& m_io;
    int m_handle;
};

// One hidraw interface as sysfs lists it.
struct HidInterface {
    std::string name;       // "hidrawN"
    std::string sysfsDir;   // <class dir>/hidrawN
    std::string devicePath; // <dev dir>/hidrawN
};

// The hidraw interfaces under `classDir` (normally /sys/class/hidraw), in
// ascending N, with their nodes under `devDir`.
std::vector<HidInterface> ListHidInterfaces(const std::string& classDir, const std::string& devDir);

// Whether `path` is (or links to) a hidraw node the kernel lists under `classDir`.
bool IsHidrawNode(const std::string& path, const std::string& classDir = "/sys/class/hidraw");

// Vendor and product from the interface's device/uevent (HID_ID=bus:vendor:product).
bool ReadHidIds(const HidInterface& iface, uint16_t* vendor, uint16_t* product);
// Whether the interface's ids can be read and are these.
bool HasIds(const HidInterface& iface, uint16_t vendorId, uint16_t productId);

// The raw report descriptor from the interface's device/report_descriptor.
bool ReadReportDescriptor(const HidInterface& iface, std::vector<uint8_t>* descriptor);

} // namespace pello
