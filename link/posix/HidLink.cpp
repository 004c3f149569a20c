#include "link/posix/HidLink.h"

#include "link/HidDescriptor.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace pello {

using device::kHidOutputReportBufferSize;
using device::kHidReportBufferSize;

// The reply keeps a NUL behind it in its buffer.
constexpr size_t kReplyLimit = device::kReplyBufferSize - 1;

namespace {

CHidNodeIo& DefaultIo()
{
    static CHidrawIo io;
    return io;
}

} // namespace

CHidLink::CHidLink(CHidNodeIo* io, HidLinkPaths paths)
    : m_pIo(io != nullptr ? io : &DefaultIo()), m_paths(std::move(paths))
{
}

void CHidLink::SetIo(CHidNodeIo* io) { m_pIo = io != nullptr ? io : &DefaultIo(); }

bool CHidLink::GetCaps()
{
    std::vector<uint8_t> descriptor;
    if (m_pDetailData == nullptr || !ReadReportDescriptor(*m_pDetailData, &descriptor)) {
        return false;
    }
    const auto lengths = ParseReportDescriptor(descriptor.data(), descriptor.size());
    // Reports must fit the 17-byte output and 256-byte input buffers, and a
    // device that cannot carry frame bytes both ways is no use.
    if (!lengths || lengths->output < 2 || lengths->output > kHidOutputReportBufferSize || lengths->input < 2 ||
        lengths->input >= kHidReportBufferSize) {
        return false;
    }
    m_caps.InputReportByteLength = lengths->input;
    m_caps.OutputReportByteLength = lengths->output;
    m_caps.bNumberedReports = lengths->numbered;
    return true;
}

bool CHidLink::ProbeInterface(const HidInterface& iface, uint16_t vendorId, uint16_t productId)
{
    CHidHandle probe(*m_pIo, m_pIo->Open(iface.devicePath));
    if (!probe.Valid() || !HasIds(iface, vendorId, productId)) {
        return false;
    }
    // Read into a copy so that a refused match leaves the last match intact.
    const HidCaps before = m_caps;
    if (!GetCaps()) {
        m_caps = before;
        return false;
    }
    m_strDevicePath = iface.devicePath;
    return true;
}

void CHidLink::UseNodeOnly(const std::string& devicePath)
{
    char real[PATH_MAX];
    const std::string path = ::realpath(devicePath.c_str(), real) != nullptr ? real : devicePath;
    m_strOnlyNode = path.substr(path.rfind('/') + 1);
}

bool CHidLink::FindDevice(uint16_t vendorId, uint16_t productId)
{
    m_hDevInfo = ListHidInterfaces(m_paths.classDir, m_paths.devDir);
    bool found = false;
    for (const HidInterface& iface : m_hDevInfo) {
        if (!m_strOnlyNode.empty() && iface.name != m_strOnlyNode) {
            continue;
        }
        m_pDetailData = &iface;
        found = ProbeInterface(iface, vendorId, productId);
        if (found) {
            break;
        }
    }
    m_pDetailData = nullptr;
    m_hDevInfo.clear();
    return found;
}

bool CHidLink::IsPresent(uint16_t vendorId, uint16_t productId, const std::string& devicePath) const
{
    const std::vector<std::string> nodes = MatchingNodes(vendorId, productId);
    return std::find(nodes.begin(), nodes.end(), devicePath) != nodes.end();
}

std::vector<std::string> CHidLink::MatchingNodes(uint16_t vendorId, uint16_t productId) const
{
    std::vector<std::string> nodes;
    for (const HidInterface& iface : ListHidInterfaces(m_paths.classDir, m_paths.devDir)) {
        if (HasIds(iface, vendorId, productId)) {
            nodes.push_back(iface.devicePath);
        }
    }
    return nodes;
}

std::optional<NodeIdentity> CHidLink::Identify(const std::string& devicePath) const
{
    for (const HidInterface& iface : ListHidInterfaces(m_paths.classDir, m_paths.devDir)) {
        if (iface.devicePath == devicePath) {
            return IdentifyPath(devicePath, iface.sysfsDir + "/device");
        }
    }
    return std::nullopt;
}

CHidLink::CHold::CHold(CHidLink& link) : m_link(link)
{
    if (m_link.m_nHeld < 0) {
        m_link.m_nHeld = m_link.m_pIo->Open(m_link.m_strDevicePath);
    }
}

CHidLink::CHold::~CHold()
{
    if (m_link.m_nHeld >= 0) {
        m_link.m_pIo->Close(m_link.m_nHeld);
        m_link.m_nHeld = -1;
    }
}

int CHidLink::Handle(bool* own)
{
    *own = m_nHeld < 0;
    return *own ? m_pIo->Open(m_strDevicePath) : m_nHeld;
}

bool CHidLink::WriteFrame(const uint8_t* frame, size_t length)
{
    bool own = false;
    const int handle = Handle(&own);
    CHidHandle device(*m_pIo, own ? handle : -1);
    if (handle < 0) {
        return false;
    }
    size_t sent = 0;
    do {
        // Zero after the frame bytes: a short last report carries no stale bytes.
        uint8_t report[kHidOutputReportBufferSize] = {};
        const size_t chunk = std::min(length - sent, device::kReportPayloadBytes);
        std::memcpy(report + 1, frame + sent, chunk);
        if (!m_pIo->WriteReport(handle, report, m_caps.OutputReportByteLength)) {
            return false;
        }
        sent += chunk;
    } while (sent < length);
    return true;
}

int CHidLink::ReadOneReport(int handle, uint8_t* report, int waitMs)
{
    // hidraw drops the id byte of unnumbered reports; put a 0 back in front so
    // the payload starts at byte 1 either way.
    if (m_caps.bNumberedReports) {
        return m_pIo->ReadReport(handle, report, m_caps.InputReportByteLength, waitMs);
    }
    return m_pIo->ReadReport(handle, report + 1, m_caps.InputReportByteLength - 1u, waitMs);
}

bool CHidLink::ReadReply(uint8_t* reply, size_t* replyLength)
{
    std::memset(reply, 0, device::kReplyBufferSize);
    *replyLength = 0;
    m_bMoreAfterReply = false;
    bool own = false;
    const int handle = Handle(&own);
    CHidHandle device(*m_pIo, own ? handle : -1);
    if (handle < 0) {
        return false;
    }
    CClock& clock = m_pIo->Clock();
    g_dwHidReadTimeout = device::kHidReplyDeadlineMs;
    g_dwHidReadStart = clock.TickCount();
    size_t collected = 0;
    bool seenCr = false;
    while (!seenCr && collected < kReplyLimit) {
        if (clock.TickCount() - g_dwHidReadStart > g_dwHidReadTimeout) {
            break;
        }
        uint8_t report[kHidReportBufferSize] = {};
        if (ReadOneReport(handle, report) < 0) {
            break; // unplugged: waiting out the deadline cannot bring more
        }
        size_t len = static_cast<size_t>(ReportPayloadLength(report + 1));
        len = std::min(len, kReplyLimit - collected);
        std::memcpy(reply + collected, report + 1, len);
        seenCr = std::memchr(reply + collected, 0x0D, len) != nullptr;
        collected += len;
    }
    *replyLength = collected;
    // hidraw forgets what a handle did not read when it closes: look, without
    // waiting, whether another reply is queued behind this one.
    uint8_t extra[kHidReportBufferSize] = {};
    m_bMoreAfterReply = seenCr && ReadOneReport(handle, extra, 0) > 0;
    return true;
}

bool CHidLink::Transact(const uint8_t* frame, size_t frameLength, uint8_t* reply, size_t* replyLength)
{
    if (!WriteFrame(frame, frameLength)) {
        std::memset(reply, 0, device::kReplyBufferSize);
        *replyLength = 0;
        return false;
    }
    return ReadReply(reply, replyLength);
}

} // namespace pello
