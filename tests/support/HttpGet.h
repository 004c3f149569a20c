#pragma once
// A plain HTTP GET to a local server, for tests: one connection per
// request, every wait bounded.

#include <string>

namespace pello {

struct HttpReply {
    int status = 0; // 0: no answer (refused, closed, or timed out)
    std::string body;
};

HttpReply HttpGet(int port, const std::string& path, int timeoutSeconds = 30);

// The port of "http://127.0.0.1:PORT/" in `text`; 0 when there is none.
int PortInUrl(const std::string& text);

} // namespace pello
