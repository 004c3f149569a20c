// Sending a label: raw TCP, a device file, or lp for CUPS, each within the
// printer's time limit.

#include "label/Label.h"

#include "link/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pello::label {

namespace {

// A printer gets this long to take a label; the line goes on either way.
constexpr int kPrinterMs = 5000;
const std::string kTooSlow = "the printer took no more within 5 s";
const std::string kReset = "the printer reset the connection before it took the whole label";
// How often the acknowledgement of the last bytes is looked at: the kernel
// has no event for it.
constexpr int kAckLookMs = 10;

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline)
{
    return static_cast<int>(
        std::max<long long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count(), 0));
}

// Waits for `events` on `fd` until `deadline`; false when nothing came (an
// error counts as coming: the next call on `fd` says it).
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    pollfd pfd {fd, events, 0};
    for (;;) {
        const int rc = ::poll(&pfd, 1, MsLeft(deadline));
        if (rc >= 0 || errno != EINTR) {
            return rc > 0;
        }
    }
}

// Writes all of `bytes` (a socket without SIGPIPE); "" or why not.
std::string WriteAll(int fd, const std::string& bytes, Clock::time_point deadline, bool socket)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = socket ? ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL)
                                 : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!WaitFor(fd, POLLOUT, deadline)) return kTooSlow;
        } else if (socket && n < 0 && (errno == ECONNRESET || errno == EPIPE)) {
            return kReset;
        } else if (!(n < 0 && errno == EINTR)) {
            return std::strerror(errno);
        }
    }
    return {};
}

// Bytes the printer's TCP stack has not acknowledged yet (our end of the
// connection included), or -1 when the socket cannot say.
int Unacknowledged(int fd)
{
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? queued : -1;
}

// After the label went out and our side was closed: whatever the printer
// says is read and dropped until it closes its side, resets the connection,
// or the time is up. The label was taken when every byte is acknowledged
// and the connection was not reset.
std::string AwaitAcceptance(int fd, Clock::time_point deadline)
{
    bool closed = false;
    for (;;) {
        if (!closed && WaitFor(fd, POLLIN, std::min(deadline, Clock::now() + std::chrono::milliseconds(kAckLookMs)))) {
            char drop[512];
            const ssize_t n = ::recv(fd, drop, sizeof drop, MSG_DONTWAIT);
            if (n == 0) {
                closed = true;
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return errno == ECONNRESET || errno == EPIPE ? kReset : std::strerror(errno);
            }
        } else if (closed) {
            ::poll(nullptr, 0, std::min(kAckLookMs, MsLeft(deadline))); // the printer said all it will
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0) {
            return error == ECONNRESET || error == EPIPE ? kReset : std::strerror(error);
        }
        const int left = Unacknowledged(fd);
        if (left == 0 && closed) return {};
        if (Clock::now() >= deadline) {
            if (left == 0) return {}; // all taken; the printer keeps the connection open
            return left < 0 ? std::string("cannot tell whether the printer took the label")
                            : "the printer did not acknowledge " + std::to_string(left) + " bytes within 5 s";
        }
    }
}

// A non-blocking connection to HOST:PORT, within the time limit.
std::string SendTcp(const std::string& hostPort, const std::string& bytes)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPrinterMs);
    const size_t colon = hostPort.rfind(':');
    std::string host = hostPort.substr(0, colon);
    if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), hostPort.substr(colon + 1).c_str(), &hints, &found) != 0 || found == nullptr) {
        return "cannot find " + host;
    }
    CUniqueFd fd(::socket(found->ai_family, found->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, found->ai_protocol));
    const int rc = fd ? ::connect(fd.Get(), found->ai_addr, found->ai_addrlen) : -1;
    const int connectError = errno;
    ::freeaddrinfo(found);
    if (rc != 0 && connectError != EINPROGRESS) {
        return std::string("cannot connect: ") + std::strerror(connectError);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (rc != 0 && (!WaitFor(fd.Get(), POLLOUT, deadline) || ::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
                    error != 0)) {
        return std::string("cannot connect: ") + (error != 0 ? std::strerror(error) : "no answer within 5 s");
    }
    if (const std::string wrote = WriteAll(fd.Get(), bytes, deadline, true); !wrote.empty()) {
        return wrote;
    }
    ::shutdown(fd.Get(), SHUT_WR); // the label is whole: printers take this as the end of the job
    return AwaitAcceptance(fd.Get(), deadline);
}

std::string SendToDevice(const std::string& path, const std::string& bytes)
{
    CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        return "cannot open " + path + ": " + std::strerror(errno);
    }
    return WriteAll(fd.Get(), bytes, Clock::now() + std::chrono::milliseconds(kPrinterMs), false);
}

// Waits for `pid` to end until `deadline`, and ends it when it has not: its
// exit status, or -1.
int WaitForChild(pid_t pid, Clock::time_point deadline)
{
    CUniqueFd ended(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (ended && !WaitFor(ended.Get(), POLLIN, deadline)) {
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return status;
}

// lp -d QUEUE -o raw, the label on its standard input.
std::string SendToCups(const std::string& queue, const std::string& bytes)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kPrinterMs);
    int in[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return std::strerror(errno);
    }
    CUniqueFd readEnd(in[0]), writeEnd(in[1]);
    ::fcntl(writeEnd.Get(), F_SETFL, O_NONBLOCK); // a stuck lp must not hold the station
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::string d = "-d" + queue;
    char lp[] = "lp", o[] = "-o", raw[] = "raw";
    char* argv[] = {lp, d.data(), o, raw, nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "lp", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    readEnd.Reset();
    if (spawned != 0) {
        return "cannot run lp: " + std::string(std::strerror(spawned));
    }
    const std::string wrote = WriteAll(writeEnd.Get(), bytes, deadline, false);
    writeEnd.Reset();
    const int status = WaitForChild(pid, deadline);
    if (!wrote.empty()) return wrote;
    if (WIFSIGNALED(status)) return "lp did not finish within 5 s";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::string() : "lp refused the label";
}

} // namespace

std::string CheckPrinter(const std::string& printer)
{
    if (printer.rfind("tcp://", 0) == 0) {
        const std::string hostPort = printer.substr(6);
        const size_t colon = hostPort.rfind(':');
        const std::string port = colon == std::string::npos ? "" : hostPort.substr(colon + 1);
        const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
        if (colon == std::string::npos || colon == 0 || !digits) {
            return "a tcp printer is tcp://HOST:PORT (9100 is the usual port)";
        }
        const unsigned long number = std::stoul(port);
        return number >= 1 && number <= 65535 ? std::string() : "the printer's port " + port + " is not 1 to 65535";
    }
    if (printer.rfind("cups:", 0) == 0) {
        return printer.size() > 5 ? std::string() : "a CUPS printer is cups:QUEUE";
    }
    return printer.rfind("/", 0) == 0 ? std::string() : "a printer is tcp://HOST:PORT, a device file, or cups:QUEUE";
}

std::string SendToPrinter(const std::string& printer, const std::string& bytes)
{
    if (const std::string problem = CheckPrinter(printer); !problem.empty()) {
        return problem;
    }
    if (printer.rfind("tcp://", 0) == 0) return SendTcp(printer.substr(6), bytes);
    if (printer.rfind("cups:", 0) == 0) return SendToCups(printer.substr(5), bytes);
    return SendToDevice(printer, bytes);
}

} // namespace pello::label
