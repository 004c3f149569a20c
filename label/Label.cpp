#include "label/Label.h"

#include "link/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sstream>
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

using Clock = std::chrono::steady_clock;

// Waits for `events` on `fd` until `deadline`; false when nothing came (an
// error counts as coming: the next call on `fd` says it).
bool WaitFor(int fd, short events, Clock::time_point deadline)
{
    pollfd pfd {fd, events, 0};
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int rc = ::poll(&pfd, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (rc >= 0 || errno != EINTR) {
            return rc > 0;
        }
    }
}

std::string WriteAll(int fd, const std::string& bytes, Clock::time_point deadline)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            if (!WaitFor(fd, POLLOUT, deadline)) return kTooSlow;
        } else if (!(n < 0 && errno == EINTR)) {
            return std::strerror(errno);
        }
    }
    return {};
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
    return WriteAll(fd.Get(), bytes, deadline);
}

std::string SendToDevice(const std::string& path, const std::string& bytes)
{
    CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        return "cannot open " + path + ": " + std::strerror(errno);
    }
    return WriteAll(fd.Get(), bytes, Clock::now() + std::chrono::milliseconds(kPrinterMs));
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
    const std::string wrote = WriteAll(writeEnd.Get(), bytes, deadline);
    writeEnd.Reset();
    const int status = WaitForChild(pid, deadline);
    if (!wrote.empty()) return wrote;
    if (WIFSIGNALED(status)) return "lp did not finish within 5 s";
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::string() : "lp refused the label";
}

} // namespace

std::string FillLabel(const std::string& templateText, const LabelValues& v)
{
    const std::pair<const char*, const std::string*> fields[] = {
        {"{serial}", &v.serial}, {"{field}", &v.field},     {"{code}", &v.code},         {"{batch}", &v.batch},
        {"{time}", &v.time},     {"{station}", &v.station}, {"{operator}", &v.operatorName}};
    std::string out;
    for (size_t i = 0; i < templateText.size();) {
        bool replaced = false;
        for (const auto& [name, value] : fields) {
            if (templateText.compare(i, std::strlen(name), name) == 0) {
                out += *value;
                i += std::strlen(name);
                replaced = true;
                break;
            }
        }
        if (!replaced) out += templateText[i++];
    }
    return out;
}

std::string CheckPrinter(const std::string& printer)
{
    if (printer.rfind("tcp://", 0) == 0) {
        const std::string hostPort = printer.substr(6);
        const size_t colon = hostPort.rfind(':');
        const std::string port = colon == std::string::npos ? "" : hostPort.substr(colon + 1);
        return colon > 0 && !port.empty() && port.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : "a tcp printer is tcp://HOST:PORT (9100 is the usual port)";
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

CLabelPrinter::CLabelPrinter(const std::string& templatePath, std::string printer) : m_printer(std::move(printer))
{
    std::ifstream in(templatePath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    m_template = text.str();
    if (!in) {
        m_problem = "cannot read the label template " + templatePath;
    } else if (m_template.size() > 1024 * 1024) {
        m_problem = "the label template " + templatePath + " is larger than 1 MiB";
    } else {
        m_problem = CheckPrinter(m_printer);
    }
}

std::string CLabelPrinter::Print(const LabelValues& values) const
{
    return m_problem.empty() ? SendToPrinter(m_printer, FillLabel(m_template, values)) : m_problem;
}

} // namespace pello::label
