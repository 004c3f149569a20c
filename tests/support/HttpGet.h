#pragma once
// A plain HTTP/1.1 GET to a local server, for tests: one connection per
// request, every wait bounded.

#include <map>
#include <string>

namespace pello {

struct HttpReply {
    int status = 0; // 0: no answer (refused, closed, or timed out)
    std::map<std::string, std::string> headers; // names in lower case
    std::string body;
};

HttpReply HttpGet(int port, const std::string& path, const std::map<std::string, std::string>& headers = {},
                  int timeoutSeconds = 30);

// The port of "http://127.0.0.1:PORT/" in `text`; 0 when there is none.
int PortInUrl(const std::string& text);

} // namespace pello
