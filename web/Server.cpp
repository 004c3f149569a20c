#include "web/Server.h"

#include "web/Assets.h"
#include "web/PageData.h"

#include <httplib.h>

#include <mutex>
#include <thread>

namespace pello::web {

namespace {

// Nothing but the page's own script, style and data; no framing, no inline code.
constexpr const char* kSecurityPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                        "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
constexpr int kMostRows = 100000;
constexpr const char* kCookie = "pello_token";

void Harden(httplib::Response& res)
{
    res.set_header("Content-Security-Policy", kSecurityPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
}

// Equal bytes, compared in a time that does not depend on where they differ.
bool SameSecret(const std::string& a, const std::string& b)
{
    if (a.size() != b.size() || b.empty()) {
        return false;
    }
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

std::string CookieToken(const httplib::Request& req)
{
    const std::string cookies = req.get_header_value("Cookie");
    const std::string key = std::string(kCookie) + "=";
    for (size_t at = 0; at < cookies.size();) {
        const size_t end = cookies.find(';', at);
        std::string part = cookies.substr(at, end == std::string::npos ? std::string::npos : end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.rfind(key, 0) == 0) return part.substr(key.size());
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return {};
}

bool Allowed(const httplib::Request& req, const std::string& token)
{
    if (token.empty()) {
        return true;
    }
    const std::string bearer = req.get_header_value("Authorization");
    return (bearer.rfind("Bearer ", 0) == 0 && SameSecret(bearer.substr(7), token)) ||
           SameSecret(CookieToken(req), token);
}

std::map<std::string, std::string> Query(const httplib::Request& req)
{
    std::map<std::string, std::string> q;
    for (const auto& [key, value] : req.params) q[key] = value;
    return q;
}

int Limit(const httplib::Request& req, int fallback)
{
    const std::string text = req.get_param_value("limit");
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return fallback;
    }
    return std::max(1, std::min(kMostRows, std::stoi(text)));
}

class CPage {
public:
    CPage(storage::CStore& store, const ServeSettings& settings) : m_store(store), m_settings(settings) {}

    void Route(httplib::Server& server)
    {
        server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) { Harden(res); });
        server.Get("/app.js", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(k_app_js, "text/javascript; charset=utf-8");
        });
        server.Get("/app.css", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(k_app_css, "text/css; charset=utf-8");
        });
        server.Post("/login", [this](const httplib::Request& req, httplib::Response& res) { Login(req, res); });
        server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
            res.set_content(Allowed(req, m_settings.token) ? k_index_html : k_login_html, "text/html; charset=utf-8");
        });
        Data(server, "/api/overview", "application/json", [this](const httplib::Request&) {
            return Overview(m_store, m_settings.offlineAfterSeconds).dump();
        });
        Data(server, "/api/records", "application/json", [this](const httplib::Request& req) {
            return Records(m_store, FilterOf(Query(req)), Limit(req, 100)).dump();
        });
        Data(server, "/download/records.json", "application/json", [this](const httplib::Request& req) {
            return Records(m_store, FilterOf(Query(req)), Limit(req, kMostRows)).dump();
        });
        Data(server, "/download/records.csv", "text/csv; charset=utf-8", [this](const httplib::Request& req) {
            return RecordsCsv(m_store, FilterOf(Query(req)), Limit(req, kMostRows));
        });
    }

private:
    // A route that needs the token and reads the record, one request at a time.
    template <class Fn> void Data(httplib::Server& server, const char* path, const char* type, Fn fn)
    {
        server.Get(path, [this, type, fn](const httplib::Request& req, httplib::Response& res) {
            if (!Allowed(req, m_settings.token)) {
                res.status = 401;
                res.set_content("{\"error\":\"a token is needed\"}", "application/json");
                return;
            }
            try {
                const std::lock_guard<std::mutex> lock(m_mutex);
                res.set_content(fn(req), type);
            } catch (const BadFilter& e) {
                res.status = 400;
                res.set_content(nlohmann::json {{"error", Utf8(e.what())}}.dump(), "application/json");
            } catch (const std::exception& e) {
                res.status = 503;
                res.set_content(nlohmann::json {{"error", Utf8(e.what())}}.dump(), "application/json");
            }
        });
    }
    void Login(const httplib::Request& req, httplib::Response& res)
    {
        if (m_settings.token.empty() || !SameSecret(req.get_param_value("token"), m_settings.token)) {
            res.status = 401;
            res.set_content(k_login_html, "text/html; charset=utf-8");
            return;
        }
        res.set_header("Set-Cookie", std::string(kCookie) + "=" + m_settings.token + "; HttpOnly; SameSite=Strict; Path=/");
        res.set_redirect("/", 303);
    }

    storage::CStore& m_store;
    const ServeSettings& m_settings;
    std::mutex m_mutex; // one database connection, one request at a time
};

} // namespace

bool ParseListen(const std::string& listen, ServeSettings* settings, std::string* why)
{
    const size_t colon = listen.rfind(':');
    const std::string port = colon == std::string::npos ? "" : listen.substr(colon + 1);
    if (colon == 0 || port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(port) > 65535) {
        *why = "--listen needs ADDR:PORT, such as 127.0.0.1:8080";
        return false;
    }
    settings->host = listen.substr(0, colon);
    if (settings->host.size() > 2 && settings->host.front() == '[' && settings->host.back() == ']') {
        settings->host = settings->host.substr(1, settings->host.size() - 2);
    }
    settings->port = std::stoi(port);
    return true;
}

bool Serve(storage::CStore& store, const ServeSettings& settings, const std::function<void()>& waitForStop,
           const std::function<void(int port)>& ready, std::string* why)
{
    httplib::Server server;
    CPage page(store, settings);
    page.Route(server);
    const int port = settings.port == 0 ? server.bind_to_any_port(settings.host.c_str())
                                        : (server.bind_to_port(settings.host.c_str(), settings.port) ? settings.port : -1);
    if (port <= 0) {
        *why = "cannot listen on " + settings.host + ":" + std::to_string(settings.port);
        return false;
    }
    // Bound and listening: connections wait in the backlog until accepted.
    std::thread listening([&server] { server.listen_after_bind(); });
    ready(port);
    waitForStop();
    server.stop();
    listening.join();
    return true;
}

} // namespace pello::web
