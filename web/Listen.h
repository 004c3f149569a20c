#pragma once
// Where the page listens: the address given to --listen, the socket bound
// there (never shared with another process), and what counts as loopback.

#include "link/UniqueFd.h"

#include <string>

namespace pello::web {

struct ListenAddress {
    std::string host = "127.0.0.1";
    int port = 8080;
};

// "ADDR:PORT" (an IPv6 address in brackets); false, with the reason in `why`.
bool ParseListen(const std::string& listen, ListenAddress* address, std::string* why);

struct Listener {
    CUniqueFd fd;
    int port = 0;        // the port bound (the kernel's choice for port 0)
    bool loopback = false;
};

// Resolves `address` and listens there with the system's default backlog.
// A port another socket listens on is refused ("address in use"), never
// shared. False, with the reason in `why`.
bool Listen(const ListenAddress& address, Listener* listener, std::string* why);

// Whether `host` names only this machine: localhost or a loopback address.
bool IsLoopbackName(const std::string& host);

// Whether a Host header (a name or address, with or without a port) is a
// loopback name or address.
bool IsLoopbackHostHeader(const std::string& header);

// "host:port" for a URL: an IPv6 address in brackets.
std::string HostAndPort(const std::string& host, int port);

} // namespace pello::web
