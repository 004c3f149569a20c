#pragma once
// The narrow seam between the Windows HID link and the system: the SetupDi,
// HidD/HidP and file calls the link makes, one method each, under their own
// names. CWin32Calls makes the real calls; tests put a fake device behind it.

#include <windows.h>

#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

#include "link/win32/Clock.h"

#include <cstdint>

namespace pello {

class CHidNodeIo {
public:
    virtual ~CHidNodeIo() = default;
    virtual void HidD_GetHidGuid(GUID* guid) = 0;
    virtual HDEVINFO SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags) = 0;
    virtual BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                             PSP_DEVICE_INTERFACE_DATA data) = 0;
    virtual BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                  PDWORD required, PSP_DEVINFO_DATA info) = 0;
    virtual BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) = 0;
    virtual HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD flags) = 0;
    virtual BOOLEAN HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes) = 0;
    virtual BOOLEAN HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data) = 0;
    virtual NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) = 0;
    virtual BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) = 0;
    virtual BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov) = 0;
    virtual BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov) = 0;
    virtual BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait) = 0;
    virtual BOOL CancelIo(HANDLE h) = 0;
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;
    virtual BOOL ResetEvent(HANDLE event) = 0;
    virtual DWORD WaitForSingleObject(HANDLE h, DWORD ms) = 0;
    virtual BOOL CloseHandle(HANDLE h) = 0;
    virtual DWORD GetTickCount() = 0;
    virtual DWORD GetLastError() = 0;
    // The clock the tick count comes from, for the waits of the workflow.
    virtual CClock& Clock() = 0;
};

// The real calls.
class CWin32Calls final : public CHidNodeIo {
public:
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
    DWORD GetTickCount() override;
    DWORD GetLastError() override;
    CClock& Clock() override { return SystemClock(); }
};

} // namespace pello
