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

// A chunked body, joined.
std::string Unchunk(const std::string& body)
{
    std::string out;
    for (size_t at = 0; at < body.size();) {
        const size_t eol = body.find("\r\n", at);
        if (eol == std::string::npos) break;
        const size_t size = std::stoul(body.substr(at, eol - at), nullptr, 16);
        if (size == 0) break;
        out += body.substr(eol + 2, size);
        at = eol + 2 + size + 2;
    }
    return out;
}

} // namespace

HttpReply HttpGet(int port, const std::string& path, const std::map<std::string, std::string>& headers,
                  int timeoutSeconds)
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
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
    for (const auto& [name, value] : headers) request += name + ": " + value + "\r\n";
    request += "\r\n";
    if (::send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return reply;
    }
    const std::string in = ReadAll(fd.Get(), deadline);
    const size_t end = in.find("\r\n\r\n");
    if (in.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(in.substr(9, 3));
    for (size_t at = in.find("\r\n") + 2; at < end;) {
        const size_t eol = in.find("\r\n", at);
        const std::string line = in.substr(at, eol - at);
        std::string name = line.substr(0, line.find(':'));
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        reply.headers[name] = line.substr(std::min(line.size(), line.find(':') + 2));
        at = eol + 2;
    }
    reply.body = in.substr(end + 4);
    if (reply.headers["transfer-encoding"] == "chunked") {
        reply.body = Unchunk(reply.body);
    }
    return reply;
}

int PortInUrl(const std::string& text)
{
    static const std::regex url(R"(http://127\.0\.0\.1:(\d+)/)");
    std::smatch m;
    return std::regex_search(text, m, url) ? std::stoi(m[1]) : 0;
}

} // namespace pello
