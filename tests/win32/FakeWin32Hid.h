#pragma once
// A fake of the Windows HID calls at the link's edge (CHidNodeIo): HID
// interfaces that SetupDi lists, each a simulated unit (CDeviceModel) behind
// overlapped reads and writes, on a virtual clock that the waits advance.
// Every handle, event, device set and preparsed record is counted, so a test
// can see that the link gave back all it took.

#include "link/win32/Win32Calls.h"
#include "sim/DeviceModel.h"

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pello {

struct FakeInterface {
    std::string path;
    uint16_t vendor = 0x0665, product = 0x5161;
    USHORT inputLength = 9, outputLength = 9;
    bool openable = true;  // read-write opens succeed
    bool unplugged = false; // reads and writes fail as on a pulled cable
    std::shared_ptr<CDeviceModel> unit = std::make_shared<CDeviceModel>();
    std::vector<std::string> outputReports; // every output report written, whole
};

class CFakeWin32Hid final : public CHidNodeIo {
public:
    std::vector<FakeInterface> m_interfaces;
    DWORD m_now = 0xFFFFF000; // near the wrap: deadlines must use unsigned differences

    FakeInterface& Add(const std::string& path);
    FakeInterface* Find(const std::string& path);
    // What the link still holds: handles, events, device sets, preparsed
    // records, and overlapped reads whose end it never collected.
    size_t Outstanding() const { return m_handles.size() + m_sets.size() + m_preparsed + m_reads.size(); }
    // A report for every handle open on `path` now (as the stack buffers them per handle).
    void Deliver(const std::string& path, const std::string& payload);

    void HidD_GetHidGuid(GUID* guid) override;
    HDEVINFO SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) override;
    BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                     PSP_DEVICE_INTERFACE_DATA data) override;
    BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                          PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                          PSP_DEVINFO_DATA info) override;
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;
    HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD flags) override;
    BOOLEAN HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) override;
    BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) override;
    NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) override;
    BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) override;
    BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) override;
    BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) override;
    BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) override;
    BOOL CancelIo(HANDLE h) override;
    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override;
    BOOL ResetEvent(HANDLE event) override;
    DWORD WaitForSingleObject(HANDLE h, DWORD ms) override;
    BOOL CloseHandle(HANDLE h) override;
    DWORD GetTickCount() override { return m_now; }
    DWORD GetLastError() override { return m_lastError; }
    CClock& Clock() override { return m_clock; }

private:
    struct Handle {
        std::string path;
        bool event = false;
        std::deque<std::string> reports; // input reports, whole (id byte first)
    };
    struct Arrival {
        DWORD at;
        std::string path, payload;
    };
    struct PendingRead {
        HANDLE h;
        LPVOID buffer;
        DWORD length;
        bool done = false, cancelled = false;
        DWORD count = 0;
    };
    // The virtual clock: a pause moves it on.
    class CVirtualClock final : public CClock {
    public:
        explicit CVirtualClock(CFakeWin32Hid& calls) : m_calls(calls) {}
        uint32_t TickCount() override { return m_calls.m_now; }
        int Poll(const void*, unsigned, int timeoutMs) override
        {
            m_calls.m_now += static_cast<DWORD>(timeoutMs);
            return 0;
        }

    private:
        CFakeWin32Hid& m_calls;
    };

    Handle* Of(HANDLE h);
    // Carries out the arrivals due by now; true when one is due by `until`.
    void DeliverDue();
    bool Complete(PendingRead& read);

    CVirtualClock m_clock {*this};
    std::map<HANDLE, Handle> m_handles;
    std::set<HDEVINFO> m_sets;
    std::deque<Arrival> m_arrivals;
    std::map<LPOVERLAPPED, PendingRead> m_reads;
    size_t m_preparsed = 0;
    uintptr_t m_next = 0x1000;
    DWORD m_lastError = 0;
};

} // namespace pello
