#include "tests/support/FakeHid.h"

#include "tests/support/TestEnv.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace pello {

std::vector<uint8_t> VendorDescriptor8(uint8_t reportId)
{
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    if (reportId != 0) {
        d.insert(d.end(), {0x85, reportId});
    }
    d.insert(d.end(), {0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x08, 0x09, 0x01, 0x81, 0x02,
                       0x95, 0x08, 0x09, 0x01, 0x91, 0x02, 0xC0});
    return d;
}

CFakeHid::CFakeHid()
{
    m_root = MakeScratchDir("hid");
    fs::create_directories(m_root + "/class");
    fs::create_directories(m_root + "/dev");
}

CFakeHid::~CFakeHid() { fs::remove_all(m_root); }

void CFakeHid::AddSysfsOnly(int n, const std::string& uevent, const std::vector<uint8_t>& descriptor)
{
    // As the kernel does it: class/hidrawN/device links to a device directory
    // whose name gets a new number every time a device is plugged in.
    const std::string dir = m_root + "/devices/hid." + std::to_string(++m_nPlugged);
    fs::create_directories(dir);
    fs::create_directories(m_root + "/class/hidraw" + std::to_string(n));
    fs::create_directory_symlink(dir, m_root + "/class/hidraw" + std::to_string(n) + "/device");
    if (!uevent.empty()) {
        std::ofstream(dir + "/uevent") << "DRIVER=hid-generic\n" << uevent << "\nHID_NAME=Fake\n";
    }
    std::ofstream(dir + "/report_descriptor", std::ios::binary)
        .write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
}

FakeHidNode& CFakeHid::AddNode(int n, uint16_t vendor, uint16_t product, std::vector<uint8_t> descriptor)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    char uevent[64];
    std::snprintf(uevent, sizeof uevent, "HID_ID=0003:%08X:%08X", vendor, product);
    AddSysfsOnly(n, uevent, descriptor);
    const std::string path = m_root + "/dev/hidraw" + std::to_string(n);
    std::ofstream(path).flush();
    auto& node = m_nodes[path];
    node = std::make_unique<FakeHidNode>();
    return *node;
}

void CFakeHid::QueueReply(FakeHidNode& node, const std::string& reply)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (const std::string& payload : ReplyReportPayloads(reply)) {
        std::vector<uint8_t> report;
        if (node.reportId != 0) {
            report.push_back(node.reportId); // hidraw keeps the id of numbered reports
        }
        report.insert(report.end(), payload.begin(), payload.end());
        node.input.push_back(std::move(report));
    }
}

void CFakeHid::RemoveNode(int n)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    const std::string link = m_root + "/class/hidraw" + std::to_string(n) + "/device";
    std::error_code ec;
    fs::remove_all(fs::read_symlink(link, ec), ec);
    fs::remove_all(m_root + "/class/hidraw" + std::to_string(n));
    Node(n).vanished = true;
}

int CFakeHid::Open(const std::string& path)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_nodes.find(path);
    if (it == m_nodes.end() || !it->second->openable || it->second->vanished) {
        return -1;
    }
    ++it->second->opens;
    ++m_openHandles;
    m_handles[m_nextHandle] = it->second.get();
    return m_nextHandle++;
}

bool CFakeHid::WriteReport(int handle, const uint8_t* report, size_t length)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FakeHidNode& node = *m_handles.at(handle);
    // hidraw takes report id then data; this device has 8-byte output reports.
    if (node.vanished || length != 9 || report[0] != node.reportId) {
        return false;
    }
    node.written.emplace_back(report, report + length);
    if (node.virtualDevice != nullptr) {
        node.virtualDevice->Receive(report + 1, FrameBytesInReport(report + 1, 8), m_clock.m_now);
        return true;
    }
    for (const auto& reply : node.model.Feed(report + 1, FrameBytesInReport(report + 1, 8))) {
        QueueReply(node, reply.bytes);
    }
    return true;
}

int CFakeHid::ReadReport(int handle, uint8_t* buffer, size_t capacity, int timeoutMs)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    FakeHidNode& node = *m_handles.at(handle);
    if (node.vanishAfterReads == 0) {
        node.vanished = true;
    }
    if (node.vanished) {
        return -1; // ENODEV
    }
    if (node.vanishAfterReads > 0) {
        --node.vanishAfterReads;
    }
    if (node.virtualDevice != nullptr && ReadVirtual(node, timeoutMs) == 0) {
        return 0;
    }
    if (node.input.empty()) {
        if (m_realTime) {
            ::poll(nullptr, 0, timeoutMs);
        } else {
            m_clock.Advance(static_cast<uint32_t>(timeoutMs));
        }
        return 0;
    }
    std::vector<uint8_t> report = std::move(node.input.front());
    node.input.pop_front();
    // hidraw copies at most the count asked for.
    const size_t n = std::min(capacity, report.size());
    std::memcpy(buffer, report.data(), n);
    return static_cast<int>(n);
}

void CFakeHid::DeliverDue(FakeHidNode& node)
{
    if (const std::string due = node.virtualDevice->TakeDue(m_clock.m_now); !due.empty()) {
        QueueReply(node, due);
    }
}

// Waits in virtual time for the next report: 0 when none came in time.
int CFakeHid::ReadVirtual(FakeHidNode& node, int timeoutMs)
{
    DeliverDue(node);
    if (node.input.empty()) {
        const std::optional<uint64_t> next = node.virtualDevice->NextDue();
        if (!next || *next > m_clock.m_now + static_cast<uint64_t>(timeoutMs)) {
            m_clock.Advance(static_cast<uint32_t>(timeoutMs));
            return 0;
        }
        m_clock.m_now = static_cast<uint32_t>(std::max<uint64_t>(*next, m_clock.m_now));
        DeliverDue(node);
    }
    return node.input.empty() ? 0 : 1;
}

void CFakeHid::Close(int handle)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (FakeHidNode* node = m_handles.at(handle); node->virtualDevice != nullptr) {
        node->input.clear(); // hidraw keeps reports per open handle
    }
    m_handles.erase(handle);
    --m_openHandles;
}

} // namespace pello
