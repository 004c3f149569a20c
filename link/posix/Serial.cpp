#include "link/posix/Serial.h"

#include "link/posix/SerialPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace pello {

namespace {

constexpr uint32_t kWriteWaitMs = 200;

void (*g_pDiagnostic)(const char*) = nullptr;

void Diagnostic(const char* text)
{
    if (g_pDiagnostic != nullptr) {
        g_pDiagnostic(text);
    } else {
        std::fprintf(stderr, "%s\n", text);
    }
}

const CPortResolver& DefaultResolver()
{
    static const CPortResolver resolver;
    return resolver;
}

speed_t BaudConstant(uint32_t baud)
{
    switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
    }
}

bool SetDataBits(termios& tio, uint8_t dataBits)
{
    tio.c_cflag &= ~CSIZE;
    switch (dataBits) {
    case 5: tio.c_cflag |= CS5; return true;
    case 6: tio.c_cflag |= CS6; return true;
    case 7: tio.c_cflag |= CS7; return true;
    case 8: tio.c_cflag |= CS8; return true;
    default: return false;
    }
}

bool SetParity(termios& tio, uint8_t parity)
{
    tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (parity) {
    case 0: return true;
    case 1: tio.c_cflag |= PARENB | PARODD; return true;
    case 2: tio.c_cflag |= PARENB; return true;
    case 3: tio.c_cflag |= PARENB | CMSPAR | PARODD; return true;
    case 4: tio.c_cflag |= PARENB | CMSPAR; return true;
    default: return false;
    }
}

bool SetStopBits(termios& tio, uint8_t stopBits)
{
    // Linux has no 1.5 stop bits setting; CSTOPB gives 1.5 on 5-bit words in hardware.
    switch (stopBits) {
    case 0: tio.c_cflag &= ~CSTOPB; return true;
    case 1:
    case 2: tio.c_cflag |= CSTOPB; return true;
    default: return false;
    }
}

// Raw line: no canonical input, echo, signals, CR/NL translation or output
// processing; no hardware or software flow control.
void MakeRaw(termios& tio)
{
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_iflag |= INPCK; // parity checking on, as the device's tool always set it
    tio.c_oflag &= ~(OPOST | ONLCR | OCRNL);
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~CRTSCTS;
    tio.c_cflag |= CLOCAL | CREAD;
    // Reads return at once with what has arrived, even nothing.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
}

int RetryIoctl(int fd, unsigned long request, void* arg)
{
    int rc;
    do {
        rc = ::ioctl(fd, request, arg);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

void RaiseRts(int fd)
{
    // A pseudo-terminal has no modem lines; that is fine.
    int bits = TIOCM_RTS;
    (void)RetryIoctl(fd, TIOCMBIS, &bits);
}

// Blocks until the driver has sent its output; false if it could not wait.
bool Drain(int fd)
{
    int rc;
    do {
        rc = ::tcdrain(fd);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

} // namespace

void SetLinkDiagnostics(void (*sink)(const char* text)) { g_pDiagnostic = sink; }

bool ConfigureSerialLine(int fd, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        return false;
    }
    const speed_t speed = BaudConstant(baud);
    if (speed == B0 || !SetDataBits(tio, dataBits) || !SetParity(tio, parity) || !SetStopBits(tio, stopBits)) {
        return false;
    }
    MakeRaw(tio);
    ::cfsetispeed(&tio, speed);
    ::cfsetospeed(&tio, speed);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

CComLink::CComLink(const CPortResolver* resolver, CClock* clock)
    : m_pResolver(resolver != nullptr ? resolver : &DefaultResolver()),
      m_pClock(clock != nullptr ? clock : &SystemClock())
{
}

CComLink::~CComLink() { Close(); }

int CComLink::Open(const char* port, uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    PortOpening opening = OpenLockedPort(m_pResolver->Resolve(port).path);
    CUniqueFd fd = std::move(opening.fd);
    // TIOCEXCL keeps out programs that do not lock; the flock alone would not.
    if (!fd || RetryIoctl(fd.Get(), TIOCEXCL, nullptr) != 0) {
        return 0;
    }
    // The driver's queue sizes (2048 each way) have no Linux counterpart: the
    // tty layer sizes its own buffers.
    if (!ConfigureSerialLine(fd.Get(), baud, dataBits, parity, stopBits)) {
        (void)RetryIoctl(fd.Get(), TIOCNXCL, nullptr);
        return 0;
    }
    RaiseRts(fd.Get());
    m_hComm = std::move(fd);
    m_strPort = port;
    m_bOpened = 1;
    ::tcflush(m_hComm.Get(), TCOFLUSH);
    m_nPurgedOnOpen = DiscardInput();
    return 1;
}

// Empties the input by reading it, so that every byte thrown away is counted:
// a byte that arrives during the purge is either counted or still queued.
size_t CComLink::DiscardInput()
{
    // A line that never stops talking is emptied once, not forever.
    constexpr size_t kMostToDiscard = 64 * 1024;
    size_t discarded = 0;
    uint8_t chunk[256];
    while (discarded < kMostToDiscard) {
        const ssize_t n = ::read(m_hComm.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        discarded += static_cast<size_t>(n);
    }
    return discarded;
}

bool CComLink::Probe(const char* port) const
{
    return OpenLockedPort(m_pResolver->Resolve(port).path).problem == PortProblem::None;
}

int CComLink::Close()
{
    if (!m_hComm) {
        return 0;
    }
    // Clear exclusive mode so another user can open the tty once we are gone,
    // even while some other descriptor keeps the tty itself open.
    (void)RetryIoctl(m_hComm.Get(), TIOCNXCL, nullptr);
    m_hComm.Reset();
    m_bOpened = 0;
    return 1;
}

bool CComLink::WaitWritable(uint32_t start, uint32_t limitMs)
{
    pollfd pfd {m_hComm.Get(), POLLOUT, 0};
    const uint32_t left = RemainingMs(m_pClock->TickCount(), start, limitMs);
    const int rc = m_pClock->Poll(&pfd, 1, static_cast<int>(left));
    return rc >= 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
}

// The rest of a write the driver could not take at once gets up to 200 ms.
// A frame that has not left whole by then has failed: half a frame is no frame.
int CComLink::FinishPendingWrite(const uint8_t* bytes, size_t length, size_t written)
{
    const uint32_t start = m_pClock->TickCount();
    while (written < length && RemainingMs(m_pClock->TickCount(), start, kWriteWaitMs) > 0) {
        if (!WaitWritable(start, kWriteWaitMs)) {
            Diagnostic(" write fail");
            return 0;
        }
        const ssize_t rc = ::write(m_hComm.Get(), bytes + written, length - written);
        if (rc > 0) {
            written += static_cast<size_t>(rc);
        }
    }
    return written == length ? 1 : 0;
}

int CComLink::Write(const void* bytes, size_t length)
{
    const int fd = m_hComm.Get();
    const auto* p = static_cast<const uint8_t*>(bytes);
    ssize_t rc;
    do {
        rc = ::write(fd, p, length);
    } while (rc < 0 && errno == EINTR);
    int result = 0;
    if (rc >= 0 && static_cast<size_t>(rc) == length) {
        result = 1;
    } else if (rc >= 0 || errno == EAGAIN) {
        result = FinishPendingWrite(p, length, rc > 0 ? static_cast<size_t>(rc) : 0);
    }
    // A failed frame's queued part is aborted. After a good drain nothing is
    // left to abort; purging anyway would reach, on a pseudo-terminal, into
    // the peer's unread input and destroy the frame.
    if (result == 0 || !Drain(fd)) {
        ::tcflush(fd, TCOFLUSH);
    }
    return result;
}

CComLink::ByteResult CComLink::ReadOneByte(uint8_t* byte)
{
    for (;;) {
        const ssize_t rc = ::read(m_hComm.Get(), byte, 1);
        if (rc == 1) {
            return ByteResult::Byte;
        }
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ByteResult::NoData;
        }
        return ByteResult::HangUp; // EOF or EIO: the other end is gone
    }
}

size_t CComLink::QueuedInput() const
{
    int queued = 0;
    if (!m_hComm || RetryIoctl(m_hComm.Get(), TIOCINQ, &queued) != 0 || queued < 0) {
        return 0;
    }
    return static_cast<size_t>(queued);
}

bool CComLink::InputArrives(uint32_t limitMs)
{
    const uint32_t start = m_pClock->TickCount();
    for (;;) {
        const uint32_t left = RemainingMs(m_pClock->TickCount(), start, limitMs);
        if (QueuedInput() > 0) {
            return true;
        }
        if (!m_hComm || left == 0) {
            return false;
        }
        pollfd pfd {m_hComm.Get(), POLLIN, 0};
        const int rc = m_pClock->Poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return false;
        }
    }
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
        pollfd pfd {m_hComm.Get(), POLLIN, 0};
        const int rc = m_pClock->Poll(&pfd, 1, static_cast<int>(left));
        if (rc < 0 || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return -1;
        }
        if (rc == 0) {
            continue;
        }
        // Take the queued bytes one at a time so bytes after the CR stay queued.
        int queued = 0;
        if (RetryIoctl(m_hComm.Get(), TIOCINQ, &queued) != 0 || queued < 1) {
            queued = 1;
        }
        for (int i = 0; i < queued; ++i) {
            uint8_t b = 0;
            const ByteResult r = ReadOneByte(&b);
            if (r == ByteResult::HangUp) {
                return -1;
            }
            if (r == ByteResult::NoData) {
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
