#include "link/win32/Win32Calls.h"

namespace pello {

void CWin32Calls::HidD_GetHidGuid(GUID* guid) { ::HidD_GetHidGuid(guid); }

HDEVINFO CWin32Calls::SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags)
{
    return ::SetupDiGetClassDevsA(guid, enumerator, parent, flags);
}

BOOL CWin32Calls::SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                              PSP_DEVICE_INTERFACE_DATA data)
{
    return ::SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
}

BOOL CWin32Calls::SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                   PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                   PDWORD required, PSP_DEVINFO_DATA info)
{
    return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
}

BOOL CWin32Calls::SetupDiDestroyDeviceInfoList(HDEVINFO set) { return ::SetupDiDestroyDeviceInfoList(set); }

HANDLE CWin32Calls::CreateFileA(LPCSTR path, DWORD access, DWORD share, DWORD flags)
{
    return ::CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

BOOLEAN CWin32Calls::HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attributes)
{
    return ::HidD_GetAttributes(h, attributes);
}

BOOLEAN CWin32Calls::HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* data)
{
    return ::HidD_GetPreparsedData(h, data);
}

NTSTATUS CWin32Calls::HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) { return ::HidP_GetCaps(data, caps); }

BOOLEAN CWin32Calls::HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) { return ::HidD_FreePreparsedData(data); }

BOOL CWin32Calls::WriteFile(HANDLE h, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED ov)
{
    return ::WriteFile(h, buffer, length, written, ov);
}

BOOL CWin32Calls::ReadFile(HANDLE h, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED ov)
{
    return ::ReadFile(h, buffer, length, read, ov);
}

BOOL CWin32Calls::GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD count, BOOL wait)
{
    return ::GetOverlappedResult(h, ov, count, wait);
}

BOOL CWin32Calls::CancelIo(HANDLE h) { return ::CancelIo(h); }

HANDLE CWin32Calls::CreateEventA(BOOL manualReset, BOOL initialState)
{
    return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

BOOL CWin32Calls::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

DWORD CWin32Calls::WaitForSingleObject(HANDLE h, DWORD ms) { return ::WaitForSingleObject(h, ms); }

BOOL CWin32Calls::CloseHandle(HANDLE h) { return ::CloseHandle(h); }

DWORD CWin32Calls::GetTickCount() { return ::GetTickCount(); }

DWORD CWin32Calls::GetLastError() { return ::GetLastError(); }

} // namespace pello
