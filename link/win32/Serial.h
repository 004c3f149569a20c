#pragma once
// RS232 link to the device over the Win32 serial calls: an exclusive
// overlapped open of \\.\COMn with the device's line settings, one frame
// written, one reply read up to its carriage return.

#include "link/win32/Clock.h"
#include "link/win32/Handle.h"
#include "link/win32/NodeIdentity.h"
#include "link/win32/PortNames.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace pello {

class CComLink {
public:
    // The resolver maps "COMn" names to devices; the clock times reads and writes.
    explicit CComLink(const CPortResolver* resolver = nullptr, CClock* clock = nullptr);
    virtual ~CComLink();
    CComLink(const CComLink&) = delete;
    CComLink& operator=(const CComLink&) = delete;

    // Parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. Stop bits: 0 one,
    // 1 one and a half, 2 two. Returns 1 when ready, else 0.
    int Open(const char* port, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    // 1 if a port was held and is now closed, 0 if none was held.
    int Close();
    // 1 when the whole frame went out, 0 otherwise.
    int Write(const void* bytes, size_t length);
    // Reply up to and including the first CR: its length, or -1 when the time
    // limit passes, the port goes away, or capacity - 1 bytes came without a CR.
    int Read(void* buffer, size_t capacity, uint32_t timeLimitMs);

    // Bytes received and not yet read.
    size_t QueuedInput() const;
    // Bytes that were waiting when the port was last opened (and were discarded).
    size_t PurgedOnOpen() const { return m_nPurgedOnOpen; }
    // Whether `port` opens as Open opens it, as a serial port (it is released at once).
    bool Probe(const char* port) const;
    // Which device the open port is; nullopt when none is held.
    std::optional<NodeIdentity> Identity() const;

    void SetResolver(const CPortResolver* resolver) { m_pResolver = resolver; }
    void SetClock(CClock* clock) { m_pClock = clock; }

    CWinHandle m_hComm;    // the open port; invalid when none is held
    std::string m_strPort; // name of the last successful Open; Close keeps it
    int m_bOpened = 0;

private:
    size_t DiscardInput();
    int ReadOneByte(uint8_t* byte);
    bool WaitForInput(uint32_t waitMs);

    const CPortResolver* m_pResolver;
    CClock* m_pClock;
    CWinHandle m_hEvent; // for the overlapped calls on the open port
    size_t m_nPurgedOnOpen = 0;
};

// Where the link's one diagnostic (" write fail") goes; the debugger output by default.
void SetLinkDiagnostics(void (*sink)(const char* text));

// Opens a port name as the link does (exclusive, overlapped); an invalid
// handle, with the system's error, when it cannot be. Never opens a file.
CWinHandle OpenPortHandle(const std::string& device, DWORD* error);

// The system's words for a Win32 error code.
std::string SystemMessage(DWORD error);

} // namespace pello
