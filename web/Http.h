#pragma once
// The HTTP server under the page: libmicrohttpd, a thread per connection
// (a slow client holds only its own), every resource a client can take
// bounded (below), TLS through GnuTLS.

#include "link/UniqueFd.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace pello::web {

// What one client, or all of them, may take.
struct HttpLimits {
    static constexpr unsigned kConnections = 128;        // at once, in all
    static constexpr unsigned kConnectionsPerAddress = 32;
    static constexpr size_t kConnectionMemory = 32 * 1024; // request line and headers must fit
    static constexpr size_t kBody = 1024;                // the sign-in form is the only body
    static constexpr unsigned kIdleSeconds = 20;         // no byte read or written: closed
    static constexpr int kRequestsPerConnection = 100;   // then "Connection: close"
    static constexpr size_t kThreadStack = 1024 * 1024;
};

struct HttpRequest {
    std::string method, path;                 // the path without its query
    std::map<std::string, std::string> query; // decoded
    std::string body;
    std::string host, cookie, authorization, acceptEncoding;
    std::string peer; // the client's address
};

struct HttpResponse {
    int status = 200;
    std::string type = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, the body comes in pieces from here instead: true and a
    // piece, or false at the end; throws when it cannot go on.
    std::function<bool(std::string* piece)> stream;
    bool compress = true; // gzip for clients that take it
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

class CHttpServer {
public:
    // Serves `listening` (a listening socket) until destroyed. `tlsCert` and
    // `tlsKey` (PEM text) make it HTTPS. Throws, saying why, when it cannot start.
    CHttpServer(CUniqueFd listening, HttpHandler handler, const std::string& tlsCert = {}, const std::string& tlsKey = {});
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

private:
    struct Context;
    std::unique_ptr<Context> m_context;
    MHD_Daemon* m_daemon = nullptr;
};

// A value of an application/x-www-form-urlencoded body.
std::string FormValue(const std::string& body, const std::string& name);

// A cookie's value from a Cookie header; "" when it is not there.
std::string CookieValue(const std::string& header, const std::string& name);

} // namespace pello::web
