#include "link/win32/HidLink.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace pello {

using device::kHidOutputReportBufferSize;
using device::kHidReportBufferSize;

namespace {

// The reply keeps a NUL behind it in its buffer.
constexpr size_t kReplyLimit = device::kReplyBufferSize - 1;
// A report the device does not take within this has failed (the stack
// would otherwise wait for it without end).
constexpr DWORD kReportWriteWaitMs = 1000;

CHidNodeIo& DefaultIo()
{
    static CWin32Calls calls;
    return calls;
}

bool SamePath(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x >= 'a' && x <= 'z' ? x - 32 : x) == (y >= 'a' && y <= 'z' ? y - 32 : y);
           });
}

// Closes a handle the link opened through the seam when it goes out of scope.
class CIoHandle {
public:
    CIoHandle(CHidNodeIo& io, HANDLE h) : m_io(io), m_h(h == nullptr ? INVALID_HANDLE_VALUE : h) {}
    CIoHandle(const CIoHandle&) = delete;
    CIoHandle& operator=(const CIoHandle&) = delete;
    ~CIoHandle()
    {
        if (m_h != INVALID_HANDLE_VALUE) m_io.CloseHandle(m_h);
    }
    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }

private:
    CHidNodeIo& m_io;
    HANDLE m_h;
};

} // namespace

bool NamesHidDevice(const std::string& port)
{
    return port.size() > 8 && (SamePath(port.substr(0, 8), "\\\\?\\HID#") || SamePath(port.substr(0, 8), "\\\\.\\HID#"));
}

CHidLink::CHidLink(CHidNodeIo* io, HidLinkPaths) : m_pIo(io != nullptr ? io : &DefaultIo()) {}

void CHidLink::SetIo(CHidNodeIo* io) { m_pIo = io != nullptr ? io : &DefaultIo(); }

void CHidLink::ForEachInterface(const std::function<bool(const std::string&)>& visit) const
{
    GUID guid {};
    m_pIo->HidD_GetHidGuid(&guid);
    const HDEVINFO set = m_pIo->SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data {};
        data.cbSize = sizeof data;
        if (!m_pIo->SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data)) {
            break;
        }
        DWORD size = 0;
        (void)m_pIo->SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
        // An interface whose detail record cannot be had does not match.
        constexpr size_t kPathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (size <= kPathAt || size > 64 * 1024) {
            continue;
        }
        std::vector<uint8_t> buffer(size);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!m_pIo->SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, &size, nullptr)) {
            continue;
        }
        const char* path = detail->DevicePath;
        if (visit(std::string(path, strnlen(path, buffer.size() - kPathAt)))) {
            break;
        }
    }
    m_pIo->SetupDiDestroyDeviceInfoList(set);
}

bool CHidLink::GetCaps()
{
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!m_pIo->HidD_GetPreparsedData(m_hDevice, &preparsed)) {
        return false;
    }
    HIDP_CAPS caps {};
    const NTSTATUS status = m_pIo->HidP_GetCaps(preparsed, &caps);
    m_pIo->HidD_FreePreparsedData(preparsed);
    // Reports must fit the 17-byte output and 256-byte input buffers, and a
    // device that cannot carry frame bytes both ways is no use.
    if (status != HIDP_STATUS_SUCCESS || caps.OutputReportByteLength < 2 ||
        caps.OutputReportByteLength > kHidOutputReportBufferSize || caps.InputReportByteLength < 2 ||
        caps.InputReportByteLength >= kHidReportBufferSize) {
        return false;
    }
    m_caps.InputReportByteLength = caps.InputReportByteLength;
    m_caps.OutputReportByteLength = caps.OutputReportByteLength;
    return true;
}

bool CHidLink::ProbeInterface(const std::string& path, uint16_t vendorId, uint16_t productId)
{
    CIoHandle probe(*m_pIo, m_pIo->CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    if (!probe.Valid()) {
        return false;
    }
    HIDD_ATTRIBUTES attributes {};
    attributes.Size = sizeof attributes;
    if (!m_pIo->HidD_GetAttributes(probe.Get(), &attributes) || attributes.VendorID != vendorId ||
        attributes.ProductID != productId) {
        return false;
    }
    // Read into a copy so that a refused match leaves the last match intact.
    const HidCaps before = m_caps;
    m_hDevice = probe.Get();
    const bool usable = GetCaps();
    m_hDevice = INVALID_HANDLE_VALUE;
    if (!usable) {
        m_caps = before;
        return false;
    }
    m_strDevicePath = path;
    return true;
}

bool CHidLink::FindDevice(uint16_t vendorId, uint16_t productId)
{
    m_pIo->HidD_GetHidGuid(&m_hidGuid);
    bool found = false;
    ForEachInterface([&](const std::string& path) {
        if (!m_strOnlyPath.empty() && !SamePath(path, m_strOnlyPath)) {
            return false;
        }
        found = ProbeInterface(path, vendorId, productId);
        return found;
    });
    return found;
}

// The ids of an interface, read through a handle that asks for no access, so
// that a unit another program holds still counts.
bool CHidLink::HasIds(const std::string& path, uint16_t vendorId, uint16_t productId) const
{
    CIoHandle h(*m_pIo, m_pIo->CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    HIDD_ATTRIBUTES attributes {};
    attributes.Size = sizeof attributes;
    return h.Valid() && m_pIo->HidD_GetAttributes(h.Get(), &attributes) && attributes.VendorID == vendorId &&
           attributes.ProductID == productId;
}

std::vector<std::string> CHidLink::MatchingNodes(uint16_t vendorId, uint16_t productId) const
{
    std::vector<std::string> paths;
    ForEachInterface([&](const std::string& path) {
        if (HasIds(path, vendorId, productId)) {
            paths.push_back(path);
        }
        return false;
    });
    return paths;
}

bool CHidLink::IsPresent(uint16_t vendorId, uint16_t productId, const std::string& devicePath) const
{
    bool present = false;
    ForEachInterface([&](const std::string& path) {
        present = SamePath(path, devicePath) && HasIds(path, vendorId, productId);
        return present;
    });
    return present;
}

std::optional<NodeIdentity> CHidLink::Identify(const std::string& devicePath) const
{
    // The interface path carries the device instance: the same path is the same device.
    std::optional<NodeIdentity> id;
    ForEachInterface([&](const std::string& path) {
        if (SamePath(path, devicePath)) {
            std::string upper = path;
            std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
            id = NodeIdentity {upper};
        }
        return id.has_value();
    });
    return id;
}

CHidLink::CHold::CHold(CHidLink& link) : m_link(link)
{
    if (m_link.m_hHeld == INVALID_HANDLE_VALUE) {
        const HANDLE h = m_link.m_pIo->CreateFileA(m_link.m_strDevicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OVERLAPPED);
        m_link.m_hHeld = h == nullptr ? INVALID_HANDLE_VALUE : h;
    }
}

CHidLink::CHold::~CHold()
{
    if (m_link.m_hHeld != INVALID_HANDLE_VALUE) {
        m_link.m_pIo->CloseHandle(m_link.m_hHeld);
        m_link.m_hHeld = INVALID_HANDLE_VALUE;
    }
}

HANDLE CHidLink::Handle(bool* own)
{
    *own = m_hHeld == INVALID_HANDLE_VALUE;
    if (!*own) {
        return m_hHeld;
    }
    const HANDLE h = m_pIo->CreateFileA(m_strDevicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_OVERLAPPED);
    return h == nullptr ? INVALID_HANDLE_VALUE : h;
}

bool CHidLink::WriteReport(HANDLE h, HANDLE event, const uint8_t* report)
{
    m_pIo->ResetEvent(event);
    OVERLAPPED ov {};
    ov.hEvent = event;
    DWORD written = 0;
    if (m_pIo->WriteFile(h, report, m_caps.OutputReportByteLength, &written, &ov)) {
        return true;
    }
    if (m_pIo->GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    if (m_pIo->WaitForSingleObject(event, kReportWriteWaitMs) != WAIT_OBJECT_0) {
        m_pIo->CancelIo(h);
    }
    // A write that completed while it was being cancelled was sent.
    return m_pIo->GetOverlappedResult(h, &ov, &written, TRUE) != 0;
}

bool CHidLink::WriteFrame(const uint8_t* frame, size_t length)
{
    bool own = false;
    const HANDLE h = Handle(&own);
    const CIoHandle device(*m_pIo, own ? h : INVALID_HANDLE_VALUE);
    const CIoHandle event(*m_pIo, m_pIo->CreateEventA(TRUE, FALSE));
    if (h == INVALID_HANDLE_VALUE || !event.Valid()) {
        return false;
    }
    size_t sent = 0;
    do {
        // Zero after the frame bytes: a short last report carries no stale bytes.
        uint8_t report[kHidOutputReportBufferSize] = {};
        const size_t chunk = std::min(length - sent, device::kReportPayloadBytes);
        std::memcpy(report + 1, frame + sent, chunk);
        if (!WriteReport(h, event.Get(), report)) {
            return false;
        }
        sent += chunk;
    } while (sent < length);
    return true;
}

int CHidLink::ReadOneReport(HANDLE h, HANDLE event, uint8_t* report, DWORD waitMs)
{
    m_pIo->ResetEvent(event);
    OVERLAPPED ov {};
    ov.hEvent = event;
    DWORD n = 0;
    if (m_pIo->ReadFile(h, report, m_caps.InputReportByteLength, &n, &ov)) {
        return static_cast<int>(n);
    }
    if (m_pIo->GetLastError() != ERROR_IO_PENDING) {
        return -1; // unplugged: waiting out the deadline cannot bring more
    }
    if (m_pIo->WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0) {
        m_pIo->CancelIo(h);
    }
    // The read is over either way before its buffer is looked at or reused; a
    // report that came while it was being cancelled is kept.
    if (m_pIo->GetOverlappedResult(h, &ov, &n, TRUE)) {
        return static_cast<int>(n);
    }
    return m_pIo->GetLastError() == ERROR_OPERATION_ABORTED ? 0 : -1;
}

bool CHidLink::ReadReply(uint8_t* reply, size_t* replyLength)
{
    std::memset(reply, 0, device::kReplyBufferSize);
    *replyLength = 0;
    m_bMoreAfterReply = false;
    bool own = false;
    const HANDLE h = Handle(&own);
    const CIoHandle device(*m_pIo, own ? h : INVALID_HANDLE_VALUE);
    const CIoHandle event(*m_pIo, m_pIo->CreateEventA(TRUE, TRUE));
    if (h == INVALID_HANDLE_VALUE || !event.Valid()) {
        return false;
    }
    g_dwHidReadTimeout = device::kHidReplyDeadlineMs;
    g_dwHidReadStart = m_pIo->GetTickCount();
    size_t collected = 0;
    bool seenCr = false;
    while (!seenCr && collected < kReplyLimit) {
        if (m_pIo->GetTickCount() - g_dwHidReadStart > g_dwHidReadTimeout) {
            break;
        }
        uint8_t report[kHidReportBufferSize] = {};
        if (ReadOneReport(h, event.Get(), report, device::kHidReportWaitMs) < 0) {
            break;
        }
        size_t len = static_cast<size_t>(ReportPayloadLength(report + 1));
        len = std::min(len, kReplyLimit - collected);
        std::memcpy(reply + collected, report + 1, len);
        seenCr = std::memchr(reply + collected, 0x0D, len) != nullptr;
        collected += len;
    }
    *replyLength = collected;
    // Look, without waiting, whether another reply is queued behind this one.
    uint8_t extra[kHidReportBufferSize] = {};
    m_bMoreAfterReply = seenCr && ReadOneReport(h, event.Get(), extra, 0) > 0;
    m_pIo->ResetEvent(event.Get());
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
