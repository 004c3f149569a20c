// pellomatic-devsim: the device on a pseudo-terminal, for tests, demonstrations
// and benches without hardware.

#include "link/PortNames.h"
#include "link/Process.h"
#include "protocol/Device.h"
#include "protocol/Frames.h"
#include "sim/DeviceModel.h"
#include "sim/Pty.h"
#include "sim/Uhid.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <fstream>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pello {

namespace {

struct Options {
    std::string linkPath;
    int comNumber = -1;
    std::string statePath;
    std::string sid = device::kInitialSerialField;
    std::string pabc = device::kInitialCodeField;
    std::vector<std::string> faults;
    long replyDelayMs = 0;
    bool wireSpeed = false;
    bool verbose = false;
    bool usb = false;
};

const char kUsage[] =
    "usage: pellomatic-devsim [--link PATH | --com N | --usb] [--sid FIELD] [--pabc FIELD]\n"
    "                         [--state FILE] [--fault CMD=B1,B2,...]... [--reply-delay MS]\n"
    "                         [--wire-speed] [--verbose]\n"
    "Simulates the device on a pseudo-terminal and prints the terminal's path.\n"
    "  --link PATH      make a symbolic link PATH to the terminal\n"
    "  --com N          make the per-user alias COMN (see pellomatic-cli ports)\n"
    "  --usb            be a virtual USB HID device through /dev/uhid instead\n"
    "  --sid FIELD      serial number field, 22 characters\n"
    "  --pabc FIELD     code field, 12 characters\n"
    "  --state FILE     keep both fields in FILE across runs\n"
    "  --fault CMD=...  answer the next frames of CMD (QSID, ATE1, SID, PABC, QBOOT)\n"
    "                   with normal, ack, nak, silent, badcrc, boot, reply:TEXT (check\n"
    "                   bytes and CR added) or raw:TEXT (sent as is; \\xHH for any byte),\n"
    "                   one behaviour per frame\n"
    "  --reply-delay MS wait MS before each reply\n"
    "  --wire-speed     pace frames and replies as a 2400-baud line, 11 bits a byte\n"
    "  --verbose        log every frame and reply in hex on stderr\n";

// A delay in milliseconds, 0 to 600000: digits only, nothing that overflows.
bool ParseDelayMs(const std::string& text, long* ms)
{
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *ms = std::stol(text);
    return *ms <= 600000;
}

bool ParseArgs(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) {
                return false;
            }
            *out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--link") {
            if (!value(&o->linkPath)) return false;
        } else if (a == "--com") {
            if (!value(&v) || v.size() != 1 || v[0] < '0' || v[0] > '9') return false;
            o->comNumber = v[0] - '0';
        } else if (a == "--state") {
            if (!value(&o->statePath)) return false;
        } else if (a == "--sid") {
            if (!value(&o->sid) || o->sid.size() != device::kSerialFieldLength) return false;
        } else if (a == "--pabc") {
            if (!value(&o->pabc) || o->pabc.size() != device::kCodeFieldLength) return false;
        } else if (a == "--fault") {
            if (!value(&v)) return false;
            o->faults.push_back(v);
        } else if (a == "--reply-delay") {
            if (!value(&v) || !ParseDelayMs(v, &o->replyDelayMs)) return false;
        } else if (a == "--wire-speed") {
            o->wireSpeed = true;
        } else if (a == "--verbose") {
            o->verbose = true;
        } else if (a == "--usb") {
            o->usb = true;
        } else {
            return false;
        }
    }
    return !(o->usb && (o->comNumber >= 0 || !o->linkPath.empty() || o->wireSpeed));
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
    std::fprintf(stderr, "%s %s\n", dir,
                 ToHex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()).c_str());
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

// 2400 baud, 11 bits per byte (start, 8 data, 2 stop).
constexpr long kWireByteUs = 11L * 1000000 / device::kBaud;

// `framedBytes`: bytes the host sent for this reply's frame. At wire speed the
// device cannot have them before the line has carried them.
bool SendReply(int fd, int sigfd, const Options& o, const DeviceReply& reply, size_t framedBytes)
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

// A link left by a simulator that died (it points to a pseudo-terminal that
// is gone) may be replaced; anything else belongs to someone: a technician's
// own alias, or a simulator that is still running.
bool RemoveStaleAlias(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return true;
    }
    char target[512] = {};
    const ssize_t n = S_ISLNK(st.st_mode) ? ::readlink(path.c_str(), target, sizeof target - 1) : -1;
    const bool dangling = ::stat(path.c_str(), &st) != 0 && errno == ENOENT;
    if (n > 0 && dangling && std::strncmp(target, "/dev/pts/", 9) == 0) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    std::fprintf(stderr, "pellomatic-devsim: %s already exists%s%s; not replacing it\n", path.c_str(),
                 n > 0 ? " and points to " : "", n > 0 ? target : "");
    return false;
}

class CAliases {
public:
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
        if (!RemoveStaleAlias(path)) {
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

bool MakeComAlias(CAliases* aliases, int number, const std::string& target)
{
    const std::string dir = CPortResolver::DefaultUserDir();
    // The runtime folder is normally made at login; a bare container may lack it.
    const std::string runtimeDir = dir.substr(0, dir.rfind('/'));
    if (::mkdir(runtimeDir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "pellomatic-devsim: cannot create %s: %s\n", runtimeDir.c_str(), std::strerror(errno));
        return false;
    }
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "pellomatic-devsim: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
        return false;
    }
    if (!CPortResolver::TrustedUserDir(dir)) {
        std::fprintf(stderr, "pellomatic-devsim: %s must be yours and writable by you alone\n", dir.c_str());
        return false;
    }
    return aliases->Make(dir + "/COM" + std::to_string(number), target);
}

// Answers frame bytes from the host, and keeps the state file current.
std::vector<DeviceReply> Respond(const Options& o, CDeviceModel* model, const uint8_t* data, size_t length)
{
    if (o.verbose) LogHex("<-", std::string(reinterpret_cast<const char*>(data), length));
    auto replies = model->Feed(data, length);
    if (model->m_bChanged && !o.statePath.empty()) {
        if (!SaveState(o.statePath, *model)) {
            std::fprintf(stderr, "pellomatic-devsim: cannot write %s\n", o.statePath.c_str());
        }
        model->m_bChanged = false;
    }
    for (const auto& r : replies) {
        if (o.verbose) LogHex("->", r.bytes);
    }
    return replies;
}

int ServeUsb(int sigfd, const Options& o, CDeviceModel* model)
{
    const auto respond = [&](const uint8_t* data, size_t length) { return Respond(o, model, data, length); };
    const auto send = [&](const std::function<bool(const uint8_t*, size_t)>& write, const DeviceReply& reply) {
        if (!Pause(sigfd, (o.replyDelayMs + reply.delayMs) * 1000L)) {
            return false;
        }
        for (const std::string& payload : ReplyReportPayloads(reply.bytes)) {
            if (!write(reinterpret_cast<const uint8_t*>(payload.data()), payload.size())) {
                return false;
            }
        }
        return true;
    };
    return ServeUhid(sigfd, respond, send);
}

int Serve(int master, int sigfd, const Options& o, CDeviceModel* model)
{
    pollfd fds[2] = {{master, POLLIN, 0}, {sigfd, POLLIN, 0}};
    size_t unanswered = 0; // bytes received since the last reply
    for (;;) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[1].revents != 0) {
            return 0;
        }
        uint8_t buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            return 1;
        }
        unanswered += static_cast<size_t>(n);
        for (const auto& reply : Respond(o, model, buf, static_cast<size_t>(n))) {
            if (!SendReply(master, sigfd, o, reply, unanswered)) {
                return 0;
            }
            unanswered = 0;
        }
    }
}

} // namespace

} // namespace pello

int main(int argc, char** argv)
{
    using namespace pello;
    EnsureStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    Options o;
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!ParseArgs(argc, argv, &o)) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    CDeviceModel model;
    model.m_bRecordFrames = false;
    model.m_sid = o.sid;
    model.m_pabc = o.pabc;
    for (const auto& f : o.faults) {
        if (!model.AddFaults(f)) {
            std::fprintf(stderr, "pellomatic-devsim: bad --fault %s\n", f.c_str());
            return 1;
        }
    }
    if (!o.statePath.empty() && !LoadState(o.statePath, &model)) {
        std::fprintf(stderr, "pellomatic-devsim: unreadable state file %s\n", o.statePath.c_str());
        return 1;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    CUniqueFd sigfd(::signalfd(-1, &set, SFD_CLOEXEC));
    if (o.usb) {
        return sigfd ? ServeUsb(sigfd.Get(), o, &model) : 1;
    }
    PtyPair pty;
    if (!sigfd || !OpenRawPty(&pty)) {
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
    return Serve(pty.master.Get(), sigfd.Get(), o, &model);
}
