#pragma once
// RS232 link to the device over a Linux tty: exclusive open with the device's
// line settings, one frame written, one reply read up to its carriage return.

#include "link/posix/Clock.h"
#include "link/posix/NodeIdentity.h"
#include "link/posix/PortNames.h"
#include "link/UniqueFd.h"

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
    // 1 one and a half (two on Linux), 2 two. Returns 1 when ready, else 0.
    int Open(const char* port, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits);
    // 1 if a port was held and is now closed, 0 if none was held.
    int Close();
    // 1 when the bytes went out, 0 otherwise.
    int Write(const void* bytes, size_t length);
    // Reply up to and including the first CR: its length, or -1 when the time
    // limit passes, the port hangs up, or capacity - 1 bytes came without a CR.
    int Read(void* buffer, size_t capacity, uint32_t timeLimitMs);

    // Bytes received and not yet read.
    size_t QueuedInput() const;
    // Bytes that were waiting when the port was last opened (and were purged).
    size_t PurgedOnOpen() const { return m_nPurgedOnOpen; }
    // Whether any byte arrives within `limitMs` (or is already waiting).
    bool InputArrives(uint32_t limitMs);
    // Whether `port` can be opened as Open opens it (and is released at once):
    // how Search tells which ports are there.
    bool Probe(const char* port) const;
    // Which device the open port is; nullopt when none is held.
    std::optional<NodeIdentity> Identity() const { return IdentifyFd(m_hComm.Get()); }

    void SetResolver(const CPortResolver* resolver) { m_pResolver = resolver; }
    void SetClock(CClock* clock) { m_pClock = clock; }
    int Fd() const { return m_hComm.Get(); }

    CUniqueFd m_hComm;     // the open port; invalid when none is held
    std::string m_strPort; // name of the last successful Open; Close keeps it
    int m_bOpened = 0;

private:
    enum class ByteResult { Byte, NoData, HangUp };
    ByteResult ReadOneByte(uint8_t* byte);
    size_t DiscardInput();
    bool WaitWritable(uint32_t start, uint32_t limitMs);
    int FinishPendingWrite(const uint8_t* bytes, size_t length, size_t written);

    const CPortResolver* m_pResolver;
    CClock* m_pClock;
    size_t m_nPurgedOnOpen = 0;
};

// Where the link's one diagnostic (" write fail") goes; stderr by default.
void SetLinkDiagnostics(void (*sink)(const char* text));

// Applies the device's line settings to an open tty; false if the termios
// cannot be read or written, or the baud rate or codes are not supported.
bool ConfigureSerialLine(int fd, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits);

} // namespace pello
