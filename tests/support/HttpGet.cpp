#include "tests/support/HttpGet.h"

#include "link/UniqueFd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <sys/socket.h>

namespace pello {

namespace {

// Reads until the peer closes or the deadline passes.
std::string ReadAll(int fd, std::chrono::steady_clock::time_point deadline)
{
    std::string in;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p {fd, POLLIN, 0};
        const int rc = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return {};
        char buf[65536];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return in;
        in.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

HttpReply HttpGet(int port, const std::string& path, int timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    HttpReply reply;
    CUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        return reply;
    }
    // HTTP/1.0: the whole answer, never in chunks, then the end of the connection.
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    if (::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return reply;
    }
    const std::string in = ReadAll(fd.Get(), deadline);
    const size_t end = in.find("\r\n\r\n");
    if (in.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(in.substr(9, 3));
    reply.body = in.substr(end + 4);
    return reply;
}

int PortInUrl(const std::string& text)
{
    static const std::regex url(R"(http://127\.0\.0\.1:(\d+)/)");
    std::smatch m;
    return std::regex_search(text, m, url) ? std::stoi(m[1]) : 0;
}

} // namespace pello
