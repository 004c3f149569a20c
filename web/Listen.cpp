#include "web/Listen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace pello::web {

namespace {

using AddrInfoPtr = std::unique_ptr<addrinfo, decltype(&freeaddrinfo)>;

AddrInfoPtr Resolve(const std::string& host, int port, std::string* why)
{
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        *why = host + " cannot be resolved: " + ::gai_strerror(rc);
        return {nullptr, &freeaddrinfo};
    }
    return {found, &freeaddrinfo};
}

bool LoopbackAddress(const sockaddr* sa)
{
    if (sa->sa_family == AF_INET) {
        return (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127;
    }
    if (sa->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
        return IN6_IS_ADDR_LOOPBACK(&a) || (IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127);
    }
    return false;
}

// A literal address, without looking anything up.
bool LoopbackLiteral(const std::string& text)
{
    in_addr v4 {};
    in6_addr v6 {};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
    }
    return false;
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return text;
}

} // namespace

bool ParseListen(const std::string& listen, ListenAddress* address, std::string* why)
{
    const size_t colon = listen.rfind(':');
    const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (colon == 0 || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        *why = "--listen needs ADDR:PORT, such as 127.0.0.1:8080";
        return false;
    }
    address->host = listen.substr(0, colon);
    if (address->host.size() > 2 && address->host.front() == '[' && address->host.back() == ']') {
        address->host = address->host.substr(1, address->host.size() - 2);
    }
    address->port = std::stoi(port);
    return true;
}

bool IsLoopbackName(const std::string& host)
{
    if (Lower(host) == "localhost" || LoopbackLiteral(host)) {
        return true;
    }
    std::string why;
    const AddrInfoPtr found = Resolve(host, 0, &why);
    bool all = found != nullptr;
    for (const addrinfo* a = found.get(); a != nullptr; a = a->ai_next) all = all && LoopbackAddress(a->ai_addr);
    return all;
}

bool IsLoopbackHostHeader(const std::string& header)
{
    std::string host = Lower(header);
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos || (close + 1 < host.size() && host[close + 1] != ':')) {
            return false;
        }
        return LoopbackLiteral(host.substr(1, close - 1));
    }
    host = host.substr(0, host.find(':'));
    if (!host.empty() && host.back() == '.') {
        host.pop_back(); // "localhost." is the same name
    }
    // Names are never looked up here: a name that resolves to 127.0.0.1
    // today is what DNS rebinding is made of.
    return host == "localhost" || LoopbackLiteral(host);
}

std::string HostAndPort(const std::string& host, int port)
{
    return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool Listen(const ListenAddress& address, Listener* listener, std::string* why)
{
    const AddrInfoPtr found = Resolve(address.host, address.port, why);
    if (!found) {
        return false;
    }
    const addrinfo* a = found.get();
    CUniqueFd fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd) {
        *why = std::strerror(errno);
        return false;
    }
    // Lets a restarted server take its port while old connections linger in
    // TIME_WAIT; never SO_REUSEPORT, which would share it with a second server.
    const int on = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd.Get(), a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd.Get(), SOMAXCONN) != 0) {
        *why = errno == EADDRINUSE ? "address in use" : std::strerror(errno);
        return false;
    }
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&bound), &length);
    listener->port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    listener->loopback = LoopbackAddress(reinterpret_cast<sockaddr*>(&bound));
    listener->fd = std::move(fd);
    return true;
}

} // namespace pello::web
