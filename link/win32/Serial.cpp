#include "link/win32/Serial.h"

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace pello {

namespace {

constexpr DWORD kQueueSize = 2048;
constexpr DWORD kWriteWaitMs = 200;
constexpr DWORD kByteWaitMs = 100;
// A byte whose arrival fell between looking at the queue and starting the
// wait for it costs at most this before the queue is looked at again.
constexpr DWORD kInputRecheckMs = 100;

void (*g_pDiagnostic)(const char*) = nullptr;

void Diagnostic(const char* text)
{
    if (g_pDiagnostic != nullptr) {
        g_pDiagnostic(text);
    } else {
        ::OutputDebugStringA(text);
    }
}

const CPortResolver& DefaultResolver()
{
    static const CPortResolver resolver;
    return resolver;
}

// The overlapped record of one call, with an unnamed manual-reset event of its own.
struct Overlapped {
    CWinHandle event {::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED ov {};
    Overlapped() { ov.hEvent = event.Get(); }
};

// Waits up to `waitMs` for an overlapped call; one still pending then is
// cancelled, and its end awaited so that nothing is outstanding. True when
// it completed (with its count in `*count`).
bool FinishOverlapped(HANDLE h, Overlapped& o, DWORD waitMs, DWORD* count, DWORD* waitResult = nullptr)
{
    const DWORD w = ::WaitForSingleObject(o.ov.hEvent, waitMs);
    if (waitResult != nullptr) {
        *waitResult = w;
    }
    if (w != WAIT_OBJECT_0) {
        ::CancelIo(h);
    }
    // A call that completed while it was being cancelled keeps its result.
    return ::GetOverlappedResult(h, &o.ov, count, TRUE) != 0;
}

bool Configure(HANDLE h, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    (void)::SetupComm(h, kQueueSize, kQueueSize);
    // A read returns at once with whatever has been received, even nothing.
    COMMTIMEOUTS timeouts {MAXDWORD, 0, 0, 100, 10000};
    (void)::SetCommTimeouts(h, &timeouts);
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) {
        return false;
    }
    dcb.BaudRate = baud;
    dcb.ByteSize = dataBits;
    dcb.Parity = parity;
    dcb.StopBits = stopBits;
    dcb.fBinary = 1;
    dcb.fParity = 1; // parity checking on, as the device's tool always set it
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 50;
    dcb.XoffLim = 50;
    return ::SetCommState(h, &dcb) != 0;
}

// "COM3" of "\\.\COM3": the name the system's device map knows.
std::string DosName(const std::string& device)
{
    return device.compare(0, 4, "\\\\.\\") == 0 ? device.substr(4) : device;
}

// The device instance that carries this COM name (its PortName), as the
// device manager lists ports: "" when none does.
std::string PortInstance(const std::string& dosName)
{
    HDEVINFO set = ::SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return {};
    }
    const std::unique_ptr<void, BOOL(WINAPI*)(HDEVINFO)> release(set, ::SetupDiDestroyDeviceInfoList);
    SP_DEVINFO_DATA info {};
    info.cbSize = sizeof info;
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set, i, &info); ++i) {
        HKEY key = ::SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        char name[64] = {};
        DWORD size = sizeof name - 1;
        DWORD type = 0;
        const bool named = ::RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size) ==
                               ERROR_SUCCESS &&
                           type == REG_SZ && ::lstrcmpiA(name, dosName.c_str()) == 0;
        ::RegCloseKey(key);
        char instance[512] = {};
        if (named && ::SetupDiGetDeviceInstanceIdA(set, &info, instance, sizeof instance, nullptr)) {
            return instance;
        }
    }
    return {};
}

} // namespace

void SetLinkDiagnostics(void (*sink)(const char* text)) { g_pDiagnostic = sink; }

std::string SystemMessage(DWORD error)
{
    char text[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                     text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out.empty() ? std::string("error ").append(std::to_string(error)) : out;
}

CWinHandle OpenPortHandle(const std::string& device, DWORD* error)
{
    *error = ERROR_INVALID_NAME;
    if (device.empty()) {
        return {};
    }
    CWinHandle h(::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) {
        *error = ::GetLastError();
        return {};
    }
    // A port is a character device; nothing else is opened as one.
    if (::GetFileType(h.Get()) != FILE_TYPE_CHAR) {
        *error = ERROR_BAD_DEVICE;
        return {};
    }
    *error = ERROR_SUCCESS;
    return h;
}

CComLink::CComLink(const CPortResolver* resolver, CClock* clock)
    : m_pResolver(resolver != nullptr ? resolver : &DefaultResolver()),
      m_pClock(clock != nullptr ? clock : &SystemClock())
{
}

CComLink::~CComLink() { Close(); }

int CComLink::Open(const char* port, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    DWORD error = 0;
    CWinHandle h = OpenPortHandle(m_pResolver->Resolve(port).path, &error);
    if (!h || !Configure(h.Get(), baud, dataBits, parity, stopBits)) {
        return 0;
    }
    (void)::SetCommMask(h.Get(), EV_RXCHAR);
    m_hComm = std::move(h);
    m_strPort = port;
    m_bOpened = 1;
    (void)::PurgeComm(m_hComm.Get(), PURGE_TXCLEAR);
    m_nPurgedOnOpen = DiscardInput();
    return 1;
}

// Empties the input by reading it, so that every byte thrown away is counted:
// a byte that arrives during the purge is either counted or still queued.
size_t CComLink::DiscardInput()
{
    constexpr size_t kMostToDiscard = 64 * 1024; // a line that never stops talking is emptied once
    size_t discarded = 0;
    uint8_t chunk[256];
    while (discarded < kMostToDiscard) {
        const size_t queued = QueuedInput();
        if (queued == 0) {
            break;
        }
        Overlapped o;
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min(queued, sizeof chunk));
        const bool done = ::ReadFile(m_hComm.Get(), chunk, want, &n, &o.ov) ||
                          (::GetLastError() == ERROR_IO_PENDING && FinishOverlapped(m_hComm.Get(), o, kByteWaitMs, &n));
        if (!done || n == 0) {
            break;
        }
        discarded += n;
    }
    return discarded;
}

int CComLink::Close()
{
    if (!m_hComm) {
        return 0;
    }
    m_hComm.Reset();
    m_bOpened = 0;
    return 1;
}

bool CComLink::Probe(const char* port) const
{
    DWORD error = 0;
    const CWinHandle h = OpenPortHandle(m_pResolver->Resolve(port).path, &error);
    DCB dcb {};
    dcb.DCBlength = sizeof dcb;
    // A name that opens but has no line settings is no serial port.
    return h && ::GetCommState(h.Get(), &dcb);
}

std::optional<NodeIdentity> CComLink::Identity() const
{
    if (!m_hComm) {
        return std::nullopt;
    }
    const std::string dosName = DosName(m_pResolver->Resolve(m_strPort).path);
    NodeIdentity id;
    char target[1024] = {};
    if (::QueryDosDeviceA(dosName.c_str(), target, sizeof target) != 0) {
        id.device = target;
    }
    id.device.append("|").append(PortInstance(dosName));
    // The object the handle reached, where the system names one (Wine: the
    // terminal behind the COM link).
    char final[1024] = {};
    if (::GetFinalPathNameByHandleA(m_hComm.Get(), final, sizeof final, FILE_NAME_NORMALIZED) - 1u < sizeof final - 1) {
        id.device.append("|").append(final);
    }
    BY_HANDLE_FILE_INFORMATION info {};
    if (::GetFileInformationByHandle(m_hComm.Get(), &info)) {
        id.device.append("|").append(std::to_string(info.dwVolumeSerialNumber)).append(":");
        id.device.append(std::to_string(info.nFileIndexHigh)).append(":").append(std::to_string(info.nFileIndexLow));
    }
    return id;
}

size_t CComLink::QueuedInput() const
{
    DWORD errors = 0;
    COMSTAT status {};
    if (!m_hComm || !::ClearCommError(m_hComm.Get(), &errors, &status)) {
        return 0;
    }
    return status.cbInQue;
}

int CComLink::Write(const void* bytes, size_t length)
{
    const HANDLE h = m_hComm.Get();
    DWORD errors = 0;
    COMSTAT status {};
    (void)::ClearCommError(h, &errors, &status);
    Overlapped o;
    DWORD written = 0;
    int result = 0;
    if (::WriteFile(h, bytes, static_cast<DWORD>(length), &written, &o.ov)) {
        result = written == length ? 1 : 0;
    } else if (::GetLastError() == ERROR_IO_PENDING) {
        // The frame gets 200 ms to leave; one that has not left whole by then
        // has failed: half a frame is no frame.
        DWORD waited = 0;
        const bool done = FinishOverlapped(h, o, kWriteWaitMs, &written, &waited);
        result = done && written == length ? 1 : 0;
        if (waited == WAIT_FAILED) {
            Diagnostic(" write fail");
        }
    }
    // A failed frame's queued part is aborted. After a good flush nothing is
    // left to abort; purging anyway would reach, on a pseudo-terminal behind
    // the port, into the peer's unread input and destroy the frame.
    if (result == 0 || !::FlushFileBuffers(h)) {
        (void)::PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    return result;
}

// 1: a byte was taken; 0: none came; -1: the port has gone.
int CComLink::ReadOneByte(uint8_t* byte)
{
    Overlapped o;
    DWORD n = 0;
    if (::ReadFile(m_hComm.Get(), byte, 1, &n, &o.ov)) {
        return n == 1 ? 1 : 0;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    return FinishOverlapped(m_hComm.Get(), o, kByteWaitMs, &n) && n == 1 ? 1 : 0;
}

// Waits up to `waitMs` for a character to arrive; false when the port has gone.
bool CComLink::WaitForInput(uint32_t waitMs)
{
    Overlapped o;
    DWORD mask = 0;
    if (::WaitCommEvent(m_hComm.Get(), &mask, &o.ov)) {
        return true;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    DWORD n = 0;
    (void)FinishOverlapped(m_hComm.Get(), o, waitMs, &n);
    return true;
}

int CComLink::Read(void* buffer, size_t capacity, uint32_t timeLimitMs)
{
    auto* out = static_cast<uint8_t*>(buffer);
    std::memset(out, 0, capacity);
    if (!m_hComm || capacity < 2) {
        return -1;
    }
    size_t count = 0;
    const uint32_t start = m_pClock->TickCount();
    for (;;) {
        const uint32_t left = RemainingMs(m_pClock->TickCount(), start, timeLimitMs);
        if (left == 0) {
            return -1;
        }
        DWORD errors = 0;
        COMSTAT status {};
        if (!::ClearCommError(m_hComm.Get(), &errors, &status)) {
            return -1; // the port has gone
        }
        if (status.cbInQue == 0) {
            if (!WaitForInput(std::min<uint32_t>(left, kInputRecheckMs))) {
                return -1;
            }
            continue;
        }
        // Take the queued bytes one at a time so bytes after the CR stay queued.
        for (DWORD i = 0; i < status.cbInQue; ++i) {
            uint8_t b = 0;
            const int r = ReadOneByte(&b);
            if (r < 0) {
                return -1;
            }
            if (r == 0) {
                // Counted but not there to take: wait a little rather than ask again at once.
                if (i == 0 && !WaitForInput(std::min<uint32_t>(left, kInputRecheckMs))) {
                    return -1;
                }
                break;
            }
            out[count++] = b;
            if (b == 0x0D) {
                return static_cast<int>(count);
            }
            // Keep a NUL behind the reply; a full buffer without CR is no reply.
            if (count >= capacity - 1) {
                return -1;
            }
        }
    }
}

} // namespace pello
