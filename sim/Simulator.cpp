#include "sim/Simulator.h"

#include "link/PortNames.h"
#include "link/Serial.h"
#include "protocol/Frames.h"
#include "sim/DeviceModel.h"
#include "sim/Pty.h"
#include "sim/Uhid.h"
#include "sim/Units.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace pello {

namespace {

// 2400 baud, 11 bits per byte (start, 8 data, 2 stop).
constexpr long kWireByteUs = 11L * 1000000 / device::kBaud;

uint64_t NowMs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool LoadState(const std::string& path, CDeviceModel* model)
{
    std::ifstream in(path);
    if (!in) {
        return errno == ENOENT; // a new state file is written on first change
    }
    std::string sid, pabc;
    if (!std::getline(in, sid) || !std::getline(in, pabc) || sid.size() != device::kSerialFieldLength ||
        pabc.size() != device::kCodeFieldLength) {
        return false;
    }
    model->m_sid = sid;
    model->m_pabc = pabc;
    return true;
}

// Written to a temporary file and renamed, so a crash never leaves half a state.
bool SaveState(const std::string& path, const CDeviceModel& model)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << model.m_sid << '\n' << model.m_pabc << '\n';
        out.flush();
        if (!out) {
            return false;
        }
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

void LogHex(const char* dir, const std::string& bytes)
{
    std::fprintf(stderr, "%s %s\n", dir, ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).c_str());
}

// Waits `us` microseconds unless a signal arrives; false when one did.
bool Pause(int sigfd, long us)
{
    if (us <= 0) {
        return true;
    }
    pollfd pfd {sigfd, POLLIN, 0};
    timespec ts {us / 1000000, (us % 1000000) * 1000};
    int rc;
    do {
        rc = ::ppoll(&pfd, 1, &ts, nullptr);
    } while (rc < 0 && errno == EINTR);
    return rc == 0;
}

// A link left by a simulator that died may be replaced: it points to a
// pseudo-terminal that is gone, or to this simulator's own (its number came
// round again). Anything else belongs to someone: a technician's own alias,
// or a simulator that is still running.
bool RemoveStaleAlias(const std::string& path, const std::string& ownTerminal)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return true;
    }
    char target[512] = {};
    const ssize_t n = S_ISLNK(st.st_mode) ? ::readlink(path.c_str(), target, sizeof target - 1) : -1;
    const bool dangling = ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
    const bool leftover = dangling && std::strncmp(target, "/dev/pts/", 9) == 0;
    if (n > 0 && (leftover || ownTerminal == target)) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    std::fprintf(stderr, "pellomatic-devsim: %s already exists%s%s; not replacing it\n", path.c_str(),
                 n > 0 ? " and points to " : "", n > 0 ? target : "");
    return false;
}

// The links this run made, removed again at its end if they still point to
// its terminal.
class CAliases {
public:
    CAliases() = default;
    CAliases(const CAliases&) = delete;
    CAliases& operator=(const CAliases&) = delete;
    ~CAliases()
    {
        for (const auto& p : m_made) {
            char target[512];
            const ssize_t n = ::readlink(p.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == m_target) {
                ::unlink(p.c_str());
            }
        }
    }
    bool Make(const std::string& path, const std::string& target)
    {
        m_target = target;
        if (!RemoveStaleAlias(path, target)) {
            return false;
        }
        if (::symlink(target.c_str(), path.c_str()) != 0) {
            std::fprintf(stderr, "pellomatic-devsim: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
            return false;
        }
        m_made.push_back(path);
        return true;
    }

private:
    std::string m_target;
    std::vector<std::string> m_made;
};

bool MakeFolder(const std::string& dir)
{
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "pellomatic-devsim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    return true;
}

bool MakeComAlias(CAliases* aliases, int number, const std::string& target)
{
    const std::string dir = CPortResolver::DefaultUserDir();
    // The runtime folder is normally made at login; a bare container may lack it.
    if (!MakeFolder(dir.substr(0, dir.rfind('/'))) || !MakeFolder(dir)) {
        return false;
    }
    if (!CPortResolver::TrustedUserDir(dir)) {
        std::fprintf(stderr, "pellomatic-devsim: %s must be yours and writable by you alone\n", dir.c_str());
        return false;
    }
    return aliases->Make(dir + "/" + CPortResolver::ComName(number), target);
}

// The device's answers and the line of units it belongs to, whatever carries them.
class CSimulatedDevice {
public:
    explicit CSimulatedDevice(const SimOptions& o)
        : m_o(o), m_line(o.units, static_cast<int>(o.gapSeconds * 1000),
                         static_cast<int>((o.holdSeconds < 0 ? o.gapSeconds : o.holdSeconds) * 1000), o.unitFields,
                         o.sid)
    {
        m_model.m_bRecordFrames = false;
        m_model.SetChaos(o.chaosPercent, o.seed);
        m_line.SetGapRange(static_cast<int>(o.gapMaxSeconds * 1000), o.seed);
        m_line.SetBlankUnits(o.blankUnits);
        m_model.m_sid = m_line.Field(1);
        m_model.m_pabc = o.pabc;
        m_line.Arrived(NowMs());
    }
    ~CSimulatedDevice()
    {
        if (m_line.Connected()) {
            WriteLedger(); // the unit still connected at the end is one of the units too
        }
    }
    CSimulatedDevice(const CSimulatedDevice&) = delete;
    CSimulatedDevice& operator=(const CSimulatedDevice&) = delete;
    bool Load()
    {
        for (const auto& f : m_o.faults) {
            m_model.AddFaults(f); // checked when the options were parsed
        }
        if (!m_o.statePath.empty() && !LoadState(m_o.statePath, &m_model)) {
            std::fprintf(stderr, "pellomatic-devsim: unreadable state file %s\n", m_o.statePath.c_str());
            return false;
        }
        return true;
    }
    // Answers frame bytes from the host (none while no unit is connected), and
    // keeps the state file current.
    std::vector<DeviceReply> Respond(const uint8_t* data, size_t length)
    {
        if (!m_line.Connected()) {
            return {};
        }
        if (m_o.verbose) LogHex("<-", std::string(reinterpret_cast<const char*>(data), length));
        auto replies = m_model.Feed(data, length);
        Save();
        for (const auto& r : replies) {
            if (m_o.verbose) LogHex("->", r.bytes);
        }
        return replies;
    }
    // After the replies went out: a programmed unit starts its hold.
    void Answered()
    {
        if (m_model.m_bBooted) {
            m_model.m_bBooted = false;
            m_line.Programmed(NowMs());
        }
    }
    // Carries out a leave or an arrival that is due; the wait until the next one.
    int Advance()
    {
        const bool wasConnected = m_line.Connected();
        if (m_line.Advance(NowMs())) {
            m_model.Unplug();
            m_model.m_sid = m_line.Field(m_line.Unit());
            m_model.m_pabc = device::kInitialCodeField;
            m_model.m_bootedSid.clear();
            m_model.m_bootedPabc.clear();
            m_model.m_bChanged = true;
            Save();
            Log("unit " + std::to_string(m_line.Unit()) + " connected: " + m_model.m_sid);
        } else if (wasConnected && !m_line.Connected()) {
            Log("unit " + std::to_string(m_line.Unit()) + " removed");
            WriteLedger();
        }
        return m_line.MsUntilNext(NowMs());
    }
    bool Connected() const { return m_line.Connected(); }

private:
    // "unit N SID PABC booted|not-booted": what a unit carries as it leaves.
    void WriteLedger() const
    {
        if (m_o.ledgerPath.empty()) {
            return;
        }
        const bool booted = !m_model.m_bootedSid.empty() && m_model.m_bootedSid == m_model.m_sid &&
                            m_model.m_bootedPabc == m_model.m_pabc;
        std::ofstream(m_o.ledgerPath, std::ios::app) << "unit " << m_line.Unit() << ' ' << m_model.m_sid << ' '
                                                     << m_model.m_pabc << ' ' << (booted ? "booted" : "not-booted")
                                                     << '\n';
    }
    void Save()
    {
        if (m_model.m_bChanged && !m_o.statePath.empty()) {
            if (!SaveState(m_o.statePath, m_model)) {
                std::fprintf(stderr, "pellomatic-devsim: cannot write %s\n", m_o.statePath.c_str());
            }
        }
        m_model.m_bChanged = false;
    }
    void Log(const std::string& text) const
    {
        if (m_o.units > 0) std::fprintf(stderr, "pellomatic-devsim: %s\n", text.c_str());
    }

    const SimOptions& m_o;
    CUnitLine m_line;
    CDeviceModel m_model;
};

// `framedBytes`: bytes the host sent for this reply's frame. At wire speed the
// device cannot have them before the line has carried them.
bool SendReply(int fd, int sigfd, const SimOptions& o, const DeviceReply& reply, size_t framedBytes)
{
    const long lineUs = o.wireSpeed ? static_cast<long>(framedBytes) * kWireByteUs : 0;
    if (!Pause(sigfd, (o.replyDelayMs + reply.delayMs) * 1000L + lineUs)) {
        return false;
    }
    if (!o.wireSpeed) {
        return WriteAll(fd, reply.bytes.data(), reply.bytes.size());
    }
    for (char c : reply.bytes) {
        if (!Pause(sigfd, kWireByteUs) || !WriteAll(fd, &c, 1)) {
            return false;
        }
    }
    return true;
}

// Waits for the fds or the next change of unit; false when a signal came.
bool Wait(pollfd* fds, nfds_t count, int timeoutMs)
{
    while (::poll(fds, count, timeoutMs) < 0) {
        if (errno != EINTR) return false;
    }
    return fds[count - 1].revents == 0;
}

// What is wrong with the terminal's settings for the device's line (2400
// baud, 8 data bits, no parity, two stop bits, no flow control): "" when
// nothing is, else the settings in words ("9600 8N1, RTS/CTS").
std::string LineProblem(int fd)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        return "unreadable settings";
    }
    const speed_t speed = ::cfgetospeed(&tio);
    const int bits = (tio.c_cflag & CSIZE) == CS8 ? 8 : (tio.c_cflag & CSIZE) == CS7 ? 7 : (tio.c_cflag & CSIZE) == CS6 ? 6 : 5;
    const char parity = (tio.c_cflag & PARENB) == 0 ? 'N' : (tio.c_cflag & PARODD) != 0 ? 'O' : 'E';
    const int stops = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
    const bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    const bool xonxoff = (tio.c_iflag & (IXON | IXOFF)) != 0;
    if (speed == B2400 && bits == 8 && parity == 'N' && stops == 2 && !rtscts && !xonxoff) {
        return {};
    }
    const long baud = speed == B2400 ? 2400 : speed == B9600 ? 9600 : speed == B38400 ? 38400 : speed == B4800 ? 4800
                    : speed == B19200 ? 19200 : speed == B115200 ? 115200 : speed == B1200 ? 1200 : -1;
    return (baud < 0 ? std::string("unusual speed") : std::to_string(baud)) + " " + std::to_string(bits) + parity +
           std::to_string(stops) + (rtscts ? ", RTS/CTS" : "") + (xonxoff ? ", XON/XOFF" : "");
}

// `lineFd`: the terminal whose settings the host chose, checked with --check-line.
int ServePty(int master, int lineFd, int sigfd, const SimOptions& o, CSimulatedDevice& dev)
{
    pollfd fds[2] = {{master, POLLIN, 0}, {sigfd, POLLIN, 0}};
    size_t unanswered = 0; // bytes received since the last reply
    std::string lastProblem;
    for (;;) {
        if (!Wait(fds, 2, dev.Advance())) {
            return 0;
        }
        if (fds[0].revents == 0) {
            continue;
        }
        uint8_t buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return 1;
        }
        // A unit on a line set otherwise receives noise, never a frame.
        if (const std::string problem = o.checkLine ? LineProblem(lineFd) : ""; !problem.empty()) {
            if (problem != lastProblem) {
                std::fprintf(stderr, "pellomatic-devsim: the line is at %s, not 2400 8N2: bytes dropped\n",
                             problem.c_str());
            }
            lastProblem = problem;
            continue;
        }
        lastProblem.clear();
        unanswered += static_cast<size_t>(n);
        for (const auto& reply : dev.Respond(buf, static_cast<size_t>(n))) {
            if (!SendReply(master, sigfd, o, reply, unanswered)) {
                return 0;
            }
            unanswered = 0;
        }
        dev.Answered();
    }
}

bool SendOverUsb(CUhidDevice& uhid, int sigfd, const SimOptions& o, const DeviceReply& reply)
{
    if (!Pause(sigfd, (o.replyDelayMs + reply.delayMs) * 1000L)) {
        return false;
    }
    for (const std::string& payload : ReplyReportPayloads(reply.bytes)) {
        if (!uhid.SendInputReport(reinterpret_cast<const uint8_t*>(payload.data()), payload.size())) {
            return false;
        }
    }
    return true;
}

// A unit that leaves is a device destroyed; the next one is created anew.
int ServeUsb(CUhidDevice& uhid, int sigfd, const SimOptions& o, CSimulatedDevice& dev)
{
    pollfd fds[2] = {{uhid.Fd(), POLLIN, 0}, {sigfd, POLLIN, 0}};
    for (;;) {
        const int wait = dev.Advance();
        if (dev.Connected() != uhid.Created()) {
            if (dev.Connected() ? !uhid.Create() : (uhid.Destroy(), false)) {
                std::fprintf(stderr, "pellomatic-devsim: cannot create the virtual HID device: %s\n",
                             std::strerror(errno));
                return 1;
            }
        }
        if (!Wait(fds, 2, wait)) {
            return 0;
        }
        std::string frame;
        if (fds[0].revents == 0 || !uhid.ReadEvent(&frame) || frame.empty()) {
            continue;
        }
        for (const auto& reply : dev.Respond(reinterpret_cast<const uint8_t*>(frame.data()), frame.size())) {
            if (!SendOverUsb(uhid, sigfd, o, reply)) {
                return 0;
            }
        }
        dev.Answered();
    }
}

int RunUsb(int sigfd, const SimOptions& o, CSimulatedDevice& dev)
{
    CUhidDevice uhid;
    if (!uhid.Open()) {
        std::fprintf(stderr, "pellomatic-devsim: cannot open %s (%s): this system offers no virtual HID devices\n",
                     kUhidPath, std::strerror(errno));
        return 1;
    }
    if (!uhid.Create()) {
        std::fprintf(stderr, "pellomatic-devsim: cannot create the virtual HID device: %s\n", std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", kUhidPath);
    std::fflush(stdout);
    const int rc = ServeUsb(uhid, sigfd, o, dev);
    uhid.Destroy();
    return rc;
}

int RunPty(int sigfd, const SimOptions& o, CSimulatedDevice& dev)
{
    PtyPair pty;
    if (!OpenRawPty(&pty)) {
        std::fprintf(stderr, "pellomatic-devsim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    CAliases aliases;
    if ((!o.linkPath.empty() && !aliases.Make(o.linkPath, pty.slavePath)) ||
        (o.comNumber >= 0 && !MakeComAlias(&aliases, o.comNumber, pty.slavePath))) {
        return 1;
    }
    std::printf("%s\n", pty.slavePath.c_str());
    std::fflush(stdout);
    return ServePty(pty.master.Get(), pty.slaveHold.Get(), sigfd, o, dev);
}

// On a terminal that exists already (a serial port, a null-modem cable to a
// line PC's port, an emulator's terminal), set up as the device's own line.
int RunTty(int sigfd, const SimOptions& o, CSimulatedDevice& dev)
{
    CUniqueFd fd(::open(o.ttyPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd || !ConfigureSerialLine(fd.Get(), device::kBaud, device::kDataBits, device::kParity, device::kStopBits)) {
        std::fprintf(stderr, "pellomatic-devsim: cannot serve on %s: %s\n", o.ttyPath.c_str(),
                     fd ? "it is not a terminal" : std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", o.ttyPath.c_str());
    std::fflush(stdout);
    return ServePty(fd.Get(), fd.Get(), sigfd, o, dev);
}

} // namespace

int RunSimulator(const SimOptions& o)
{
    CSimulatedDevice dev(o);
    if (!dev.Load()) {
        return 1;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    CUniqueFd sigfd(::signalfd(-1, &set, SFD_CLOEXEC));
    if (!sigfd) {
        std::fprintf(stderr, "pellomatic-devsim: cannot watch for signals: %s\n", std::strerror(errno));
        return 1;
    }
    if (o.usb) {
        return RunUsb(sigfd.Get(), o, dev);
    }
    return o.ttyPath.empty() ? RunPty(sigfd.Get(), o, dev) : RunTty(sigfd.Get(), o, dev);
}

} // namespace pello
