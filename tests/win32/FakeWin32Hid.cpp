#include "tests/win32/FakeWin32Hid.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace pello {

namespace {

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Ticks from `a` to `b` on a wrapping counter.
DWORD Between(DWORD a, DWORD b) { return b - a; }

} // namespace

FakeInterface& CFakeWin32Hid::Add(const std::string& path)
{
    m_interfaces.push_back(FakeInterface {});
    m_interfaces.back().path = path;
    m_interfaces.back().unit->m_bRecordFrames = true;
    return m_interfaces.back();
}

FakeInterface* CFakeWin32Hid::Find(const std::string& path)
{
    for (FakeInterface& i : m_interfaces) {
        if (_stricmp(i.path.c_str(), path.c_str()) == 0) return &i;
    }
    return nullptr;
}

CFakeWin32Hid::Handle* CFakeWin32Hid::Of(HANDLE h)
{
    auto it = m_handles.find(h);
    return it == m_handles.end() ? nullptr : &it->second;
}

void CFakeWin32Hid::HidD_GetHidGuid(GUID* guid) { *guid = kHidGuid; }

HDEVINFO CFakeWin32Hid::SetupDiGetClassDevsA(const GUID* guid, PCSTR, HWND, DWORD flags)
{
    if (std::memcmp(guid, &kHidGuid, sizeof kHidGuid) != 0 || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
        m_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    const auto set = reinterpret_cast<HDEVINFO>(m_next++);
    m_sets.insert(set);
    return set;
}

BOOL CFakeWin32Hid::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                                PSP_DEVICE_INTERFACE_DATA data)
{
    if (m_sets.count(set) == 0 || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || index >= m_interfaces.size()) {
        m_lastError = ERROR_NO_MORE_ITEMS;
        return FALSE;
    }
    data->Reserved = index;
    return TRUE;
}

BOOL CFakeWin32Hid::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                     PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                     PDWORD required, PSP_DEVINFO_DATA)
{
    const std::string& path = m_interfaces.at(data->Reserved).path;
    const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required != nullptr) *required = need;
    if (m_sets.count(set) == 0 || detail == nullptr || size < need) {
        m_lastError = ERROR_INSUFFICIENT_BUFFER;
        return FALSE;
    }
    // The system checks the size field against its own record.
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        m_lastError = ERROR_INVALID_USER_BUFFER;
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL CFakeWin32Hid::SetupDiDestroyDeviceInfoList(HDEVINFO set) { return m_sets.erase(set) == 1; }

HANDLE CFakeWin32Hid::CreateFileA(LPCSTR path, DWORD access, DWORD, DWORD)
{
    FakeInterface* i = Find(path);
    if (i == nullptr || (access != 0 && !i->openable)) {
        m_lastError = i == nullptr ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    const auto h = reinterpret_cast<HANDLE>(m_next++);
    m_handles[h] = Handle {i->path, false, {}};
    return h;
}

BOOLEAN CFakeWin32Hid::HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes)
{
    Handle* handle = Of(h);
    FakeInterface* i = handle != nullptr ? Find(handle->path) : nullptr;
    if (i == nullptr || attributes->Size != sizeof(HIDD_ATTRIBUTES)) return FALSE;
    attributes->VendorID = i->vendor;
    attributes->ProductID = i->product;
    return TRUE;
}

BOOLEAN CFakeWin32Hid::HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data)
{
    Handle* handle = Of(h);
    FakeInterface* i = handle != nullptr ? Find(handle->path) : nullptr;
    if (i == nullptr) return FALSE;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(i); // stands for the record
    ++m_preparsed;
    return TRUE;
}

NTSTATUS CFakeWin32Hid::HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps)
{
    const auto* i = reinterpret_cast<const FakeInterface*>(data);
    *caps = HIDP_CAPS {};
    caps->InputReportByteLength = i->inputLength;
    caps->OutputReportByteLength = i->outputLength;
    return HIDP_STATUS_SUCCESS;
}

BOOLEAN CFakeWin32Hid::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA)
{
    --m_preparsed;
    return TRUE;
}

void CFakeWin32Hid::Deliver(const std::string& path, const std::string& payload)
{
    for (auto& [h, handle] : m_handles) {
        if (!handle.event && _stricmp(handle.path.c_str(), path.c_str()) == 0) {
            handle.reports.push_back(std::string(1, '\0') + payload); // report id 0 first
        }
    }
}

void CFakeWin32Hid::DeliverDue()
{
    std::stable_sort(m_arrivals.begin(), m_arrivals.end(),
                     [this](const Arrival& a, const Arrival& b) { return Between(m_now, a.at) < Between(m_now, b.at); });
    while (!m_arrivals.empty() && static_cast<int32_t>(Between(m_arrivals.front().at, m_now)) >= 0) {
        Deliver(m_arrivals.front().path, m_arrivals.front().payload);
        m_arrivals.pop_front();
    }
}

BOOL CFakeWin32Hid::WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED)
{
    Handle* handle = Of(h);
    FakeInterface* i = handle != nullptr ? Find(handle->path) : nullptr;
    if (i == nullptr || i->unplugged || length != i->outputLength) {
        m_lastError = i == nullptr || i->unplugged ? ERROR_DEVICE_NOT_CONNECTED : ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const auto* report = static_cast<const uint8_t*>(buffer);
    i->outputReports.emplace_back(reinterpret_cast<const char*>(report), length);
    const size_t frameBytes = FrameBytesInReport(report + 1, length - 1u);
    for (const DeviceReply& reply : i->unit->Feed(report + 1, frameBytes)) {
        // A reply's reports come one right behind the other.
        const DWORD at = m_now + 1 + static_cast<DWORD>(reply.delayMs);
        for (const std::string& payload : ReplyReportPayloads(reply.bytes)) {
            std::string padded = payload;
            padded.resize(i->inputLength - 1u, '\0');
            m_arrivals.push_back({at, i->path, padded});
        }
    }
    *written = length;
    return TRUE;
}

BOOL CFakeWin32Hid::ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov)
{
    DeliverDue();
    Handle* handle = Of(h);
    FakeInterface* i = handle != nullptr ? Find(handle->path) : nullptr;
    if (i == nullptr || i->unplugged || ov == nullptr) {
        m_lastError = ERROR_DEVICE_NOT_CONNECTED;
        return FALSE;
    }
    PendingRead pending {h, buffer, length};
    if (Complete(pending)) {
        *read = pending.count;
        return TRUE;
    }
    m_reads[ov] = pending;
    m_lastError = ERROR_IO_PENDING;
    return FALSE;
}

bool CFakeWin32Hid::Complete(PendingRead& read)
{
    Handle* handle = Of(read.h);
    if (handle == nullptr || handle->reports.empty()) return false;
    const std::string report = handle->reports.front();
    handle->reports.pop_front();
    read.count = static_cast<DWORD>(std::min<size_t>(report.size(), read.length));
    std::memcpy(read.buffer, report.data(), read.count);
    read.done = true;
    return true;
}

DWORD CFakeWin32Hid::WaitForSingleObject(HANDLE event, DWORD ms)
{
    auto it = std::find_if(m_reads.begin(), m_reads.end(),
                           [event](const auto& r) { return r.first->hEvent == event && !r.second.done; });
    if (it == m_reads.end()) {
        return WAIT_OBJECT_0;
    }
    const DWORD until = m_now + ms;
    for (;;) {
        DeliverDue();
        if (Complete(it->second)) return WAIT_OBJECT_0;
        // The next arrival on this handle's interface within the wait, if any.
        const std::string path = Of(it->second.h)->path;
        DWORD next = until;
        bool found = false;
        for (const Arrival& a : m_arrivals) {
            if (a.path == path && Between(m_now, a.at) <= Between(m_now, until) &&
                (!found || Between(m_now, a.at) < Between(m_now, next))) {
                next = a.at;
                found = true;
            }
        }
        m_now = next;
        if (!found) {
            DeliverDue();
            return Complete(it->second) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
        }
    }
}

BOOL CFakeWin32Hid::CancelIo(HANDLE h)
{
    for (auto& [ov, read] : m_reads) {
        if (read.h == h && !read.done) read.cancelled = true;
    }
    return TRUE;
}

BOOL CFakeWin32Hid::GetOverlappedResult(HANDLE, LPOVERLAPPED ov, LPDWORD count, BOOL)
{
    auto it = m_reads.find(ov);
    if (it == m_reads.end()) {
        *count = 0;
        return TRUE; // a write: completed when it was made
    }
    const PendingRead read = it->second;
    m_reads.erase(it);
    *count = read.count;
    if (!read.done) {
        m_lastError = ERROR_OPERATION_ABORTED;
        return FALSE;
    }
    return TRUE;
}

HANDLE CFakeWin32Hid::CreateEventA(BOOL, BOOL)
{
    const auto h = reinterpret_cast<HANDLE>(m_next++);
    m_handles[h] = Handle {"", true, {}};
    return h;
}

BOOL CFakeWin32Hid::ResetEvent(HANDLE event) { return Of(event) != nullptr; }

BOOL CFakeWin32Hid::CloseHandle(HANDLE h)
{
    // A read whose end the link never collected stays counted in Outstanding().
    return m_handles.erase(h) == 1;
}

} // namespace pello
