#pragma once
// A USB HID device that this machine cannot have, behind the link's node seam.
// It behaves as hidraw does: one report per read, 8-byte payloads padded with
// zeros, no id byte on unnumbered input reports, ENODEV once unplugged. The
// sysfs side is a real temporary tree with uevent and report_descriptor.

#include "link/posix/HidIo.h"
#include "link/HidLink.h"
#include "sim/DeviceModel.h"
#include "tests/support/FakeClock.h"
#include "tests/support/VirtualDevice.h"

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pello {

// A vendor-defined device with 8-byte input and output reports.
std::vector<uint8_t> VendorDescriptor8(uint8_t reportId = 0);

struct FakeHidNode {
    CDeviceModel model;
    bool openable = true;
    uint8_t reportId = 0; // non-zero: numbered reports
    int vanishAfterReads = -1; // unplugged after this many reads (-1: never)
    std::deque<std::vector<uint8_t>> input; // as hidraw will return them
    std::vector<std::vector<uint8_t>> written; // output reports as written
    int opens = 0;
    bool vanished = false;
    // When set, this device answers in virtual time instead of `model`, and
    // reports not read before their handle closes are lost, as with hidraw.
    CVirtualDevice* virtualDevice = nullptr;
};

class CFakeHid final : public CHidNodeIo {
public:
    CFakeHid();
    ~CFakeHid() override;

    // Adds hidrawN to the sysfs tree with these ids and descriptor, served by a node.
    FakeHidNode& AddNode(int n, uint16_t vendor, uint16_t product, std::vector<uint8_t> descriptor);
    // Adds hidrawN to sysfs only (no node behind it, or no uevent).
    void AddSysfsOnly(int n, const std::string& uevent, const std::vector<uint8_t>& descriptor);
    HidLinkPaths Paths() const { return {m_root + "/class", m_root + "/dev"}; }
    FakeHidNode& Node(int n) { return *m_nodes.at(m_root + "/dev/hidraw" + std::to_string(n)); }

    // Queue a reply as the device would send it (split into 8-byte reports).
    void QueueReply(FakeHidNode& node, const std::string& reply);
    // Unplugs hidrawN: its sysfs entry goes, its open handles fail with ENODEV.
    void RemoveNode(int n);

    int Open(const std::string& path) override;
    bool WriteReport(int handle, const uint8_t* report, size_t length) override;
    int ReadReport(int handle, uint8_t* buffer, size_t capacity, int timeoutMs) override;
    void Close(int handle) override;
    CClock& Clock() override { return m_realTime ? static_cast<CClock&>(SystemClock()) : m_clock; }

    CFakeClock m_clock;
    bool m_realTime = false; // waits cost real time on the system clock
    int m_openHandles = 0;

private:
    // Replies of a virtual device due by now become input reports.
    void DeliverDue(FakeHidNode& node);
    int ReadVirtual(FakeHidNode& node, int timeoutMs);

    std::string m_root;
    std::map<std::string, std::unique_ptr<FakeHidNode>> m_nodes;
    std::map<int, FakeHidNode*> m_handles;
    int m_nextHandle = 3;
    int m_nPlugged = 0;
    // A station's thread uses the device while a test plugs and unplugs it.
    std::recursive_mutex m_mutex;
};

} // namespace pello
