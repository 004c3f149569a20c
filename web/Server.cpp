#include "web/Server.h"

#include "web/Assets.h"
#include "web/Http.h"
#include "web/PageData.h"
#include "web/Sessions.h"

#include <atomic>
#include <stdexcept>

namespace pello::web {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Nothing but the page's own script, style and data; no framing, no inline code.
constexpr const char* kSecurityPolicy = "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                        "connect-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
constexpr int kMostRows = 100000;
constexpr int kPageRows = 1000;        // a download reads the record this many rows at a time
constexpr int kMostDownloads = 4;      // at once
constexpr auto kRecordWait = 10000ms;  // then the request is answered 503

HttpResponse Text(int status, const std::string& text)
{
    HttpResponse r;
    r.status = status;
    r.body = text + "\n";
    return r;
}

HttpResponse Json(int status, std::string body)
{
    HttpResponse r;
    r.status = status;
    r.type = "application/json";
    r.body = std::move(body);
    return r;
}

HttpResponse Problem(int status, const std::string& why)
{
    return Json(status, json {{"error", Utf8(why)}}.dump());
}

HttpResponse Html(const char* page, int status = 200)
{
    HttpResponse r;
    r.status = status;
    r.type = "text/html; charset=utf-8";
    r.body = page;
    return r;
}

HttpResponse Redirect(const std::string& where)
{
    HttpResponse r;
    r.status = 303;
    r.headers.emplace_back("Location", where);
    return r;
}

// The sign-in form, with one of our own messages above it.
HttpResponse SignInPage(int status, const std::string& message = {})
{
    HttpResponse r = Html(k_login_html, status);
    const size_t at = r.body.find("<!--message-->");
    if (at != std::string::npos && !message.empty()) {
        r.body.replace(at, 14, "<p class=\"message\" role=\"alert\">" + message + "</p>");
    }
    return r;
}

// The query's "limit", within 1 and `most`.
int Limit(const HttpRequest& req, int fallback, int most)
{
    const auto it = req.query.find("limit");
    const std::string text = it == req.query.end() ? "" : it->second;
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
        return fallback;
    }
    return std::max(1, std::min(most, std::stoi(text)));
}

// A download under way: what is left to read, and where the reading got to.
struct DownloadState {
    DownloadState(storage::RecordFilter f, int rows, bool asCsv, std::atomic<int>& under)
        : filter(std::move(f)), left(rows), csv(asCsv), count(under)
    {
        ++count;
    }
    ~DownloadState() { --count; }
    DownloadState(const DownloadState&) = delete;
    DownloadState& operator=(const DownloadState&) = delete;

    storage::RecordFilter filter;
    int left;
    bool csv;
    bool first = true;  // no JSON item has gone yet
    bool closed = false;
    std::atomic<int>& count;
};

class CPage {
public:
    CPage(CRecordWorker& worker, const ServeSettings& settings, bool tls)
        : m_worker(worker), m_settings(settings), m_sessions(settings.token), m_tls(tls),
          m_cookie(tls ? "__Host-pello_session" : "pello_session")
    {
    }

    HttpResponse Handle(const HttpRequest& req)
    {
        HttpResponse r = Route(req);
        r.headers.emplace_back("Content-Security-Policy", kSecurityPolicy);
        r.headers.emplace_back("X-Content-Type-Options", "nosniff");
        r.headers.emplace_back("Referrer-Policy", "no-referrer");
        r.headers.emplace_back("Cache-Control", "no-store");
        r.headers.emplace_back("Accept-Ranges", "none");
        return r;
    }

private:
    enum class Access { Yes, No, Wait };

    HttpResponse Route(const HttpRequest& req)
    {
        // A page that answers to any name can be read through DNS rebinding.
        if (m_settings.token.empty() && !IsLoopbackHostHeader(req.host)) {
            return Text(421, "This server answers only to localhost or a loopback address.");
        }
        const bool get = req.method == "GET" || req.method == "HEAD";
        if (req.path == "/login") {
            return req.method == "POST" ? SignIn(req) : Redirect("/");
        }
        if (!get) {
            HttpResponse r = Text(405, "Only GET and HEAD here.");
            r.headers.emplace_back("Allow", "GET, HEAD");
            return r;
        }
        if (req.path == "/app.js" || req.path == "/app.css") {
            HttpResponse r = Html(req.path == "/app.js" ? k_app_js : k_app_css);
            r.type = req.path == "/app.js" ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8";
            return r;
        }
        const bool data = req.path.rfind("/api/", 0) == 0 || req.path.rfind("/download/", 0) == 0;
        if (req.path != "/" && !data) {
            return Text(404, "Nothing here.");
        }
        std::chrono::seconds wait {0};
        const Access access = Allowed(req, &wait);
        if (req.path == "/") {
            return access == Access::Yes ? Html(k_index_html) : SignInPage(200);
        }
        if (access != Access::Yes) {
            return Refused(access, wait);
        }
        try {
            return Data(req);
        } catch (const BadFilter& e) {
            return Problem(400, e.what());
        }
    }

    static HttpResponse Refused(Access access, std::chrono::seconds wait)
    {
        if (access == Access::Wait) {
            HttpResponse r = Problem(429, "too many wrong tokens from this address: wait " +
                                              std::to_string(wait.count()) + " s");
            r.headers.emplace_back("Retry-After", std::to_string(wait.count()));
            return r;
        }
        return Problem(401, "sign in first");
    }

    HttpResponse Data(const HttpRequest& req)
    {
        if (req.path == "/api/overview") {
            const int offline = m_settings.offlineAfterSeconds;
            return FromRecord([offline](storage::CStore& store) { return Overview(store, offline).dump(); });
        }
        if (req.path == "/api/records") {
            const storage::RecordFilter filter = FilterOf(req.query);
            const int limit = Limit(req, 100, kPageRows); // built whole: never more than a page
            return FromRecord([filter, limit](storage::CStore& store) { return Records(store, filter, limit).dump(); });
        }
        if (req.path == "/download/records.csv" || req.path == "/download/records.json") {
            return Download(req, req.path.ends_with(".csv"));
        }
        return Text(404, "Nothing here.");
    }

    HttpResponse FromRecord(RecordJob job)
    {
        const JobResult result = m_worker.Run(std::move(job), kRecordWait);
        return result.ok ? Json(200, result.text) : Problem(503, result.text);
    }

    // The rows of a download, read a page at a time while the client takes
    // them: however large the download, it holds one page.
    HttpResponse Download(const HttpRequest& req, bool csv)
    {
        if (m_downloads.load() >= kMostDownloads) {
            return Problem(503, std::to_string(kMostDownloads) + " downloads are under way: try again when one ends");
        }
        auto d = std::make_shared<DownloadState>(FilterOf(req.query), Limit(req, kMostRows, kMostRows), csv,
                                                 m_downloads);
        JobResult first = NextPage(d);
        if (!first.ok) {
            return Problem(503, first.text);
        }
        HttpResponse r;
        r.type = csv ? "text/csv; charset=utf-8" : "application/json";
        r.headers.emplace_back("Content-Disposition",
                               std::string("attachment; filename=\"records.") + (csv ? "csv" : "json") + "\"");
        std::string head = (csv ? CsvHeader() : "[") + first.text;
        r.stream = [this, d, head = std::move(head)](std::string* piece) mutable {
            if (!head.empty()) {
                *piece = std::move(head);
                head.clear();
                return true;
            }
            if (d->left > 0) {
                const JobResult next = NextPage(d);
                if (!next.ok) {
                    throw std::runtime_error(next.text); // the client sees a download cut short
                }
                *piece = next.text;
                return true;
            }
            if (!d->closed) {
                d->closed = true;
                *piece = d->csv ? "" : "]";
                return true;
            }
            return false;
        };
        return r;
    }

    JobResult NextPage(const std::shared_ptr<DownloadState>& d)
    {
        return m_worker.Run(
            [d](storage::CStore& store) {
                const int asked = std::min(d->left, kPageRows);
                const auto rows = store.LatestRecords(d->filter, asked);
                d->left = static_cast<int>(rows.size()) < asked ? 0 : d->left - asked;
                if (!rows.empty()) {
                    d->filter.beforeId = rows.back().id;
                }
                const std::string text = d->csv ? CsvRows(rows) : JsonItems(rows, d->first);
                d->first = d->first && rows.empty();
                return text;
            },
            kRecordWait);
    }

    Access Allowed(const HttpRequest& req, std::chrono::seconds* wait)
    {
        if (m_settings.token.empty() || m_sessions.Valid(CookieValue(req.cookie, m_cookie))) {
            return Access::Yes;
        }
        if (req.authorization.rfind("Bearer ", 0) != 0) {
            return Access::No;
        }
        const CSessions::Check check = m_sessions.TryToken(req.authorization.substr(7), req.peer);
        *wait = check.wait;
        if (check.verdict == CSessions::Verdict::Wrong) {
            LogWrong(req.peer, check);
        }
        return check.verdict == CSessions::Verdict::Right ? Access::Yes
               : check.verdict == CSessions::Verdict::Wait ? Access::Wait
                                                           : Access::No;
    }

    // The token from the form's body only: never from the URL, where logs
    // and the browser's history would keep it.
    HttpResponse SignIn(const HttpRequest& req)
    {
        if (m_settings.token.empty()) {
            return Redirect("/");
        }
        const CSessions::Check check = m_sessions.TryToken(FormValue(req.body, "token"), req.peer);
        if (check.verdict == CSessions::Verdict::Wait) {
            HttpResponse r = SignInPage(429, "Too many wrong tokens came from your address: try again in " +
                                                 std::to_string(check.wait.count()) + " s.");
            r.headers.emplace_back("Retry-After", std::to_string(check.wait.count()));
            return r;
        }
        if (check.verdict == CSessions::Verdict::Wrong) {
            LogWrong(req.peer, check);
            return SignInPage(401, "That token is wrong.");
        }
        m_settings.log("signed in from " + req.peer);
        HttpResponse r = Redirect("/");
        r.headers.emplace_back("Set-Cookie", m_cookie + "=" + m_sessions.Open() + "; Path=/; Max-Age=" +
                                                 std::to_string(std::chrono::seconds(CSessions::kLifetime).count()) +
                                                 "; HttpOnly; SameSite=Strict" + (m_tls ? "; Secure" : ""));
        return r;
    }

    void LogWrong(const std::string& peer, const CSessions::Check& check)
    {
        m_settings.log("a wrong token from " + peer + " (" + std::to_string(check.failures) +
                       " in a row); its next try waits " + std::to_string(check.wait.count()) + " s");
    }

    CRecordWorker& m_worker;
    const ServeSettings& m_settings;
    CSessions m_sessions;
    bool m_tls;
    std::string m_cookie;
    std::atomic<int> m_downloads {0};
};

} // namespace

ServeEnd Serve(Listener listener, std::unique_ptr<CRecordSource> record, const ServeSettings& settings,
               const std::function<void()>& waitForStop, const std::function<void()>& ready, std::string* why)
{
    record->OnChange(settings.log);
    CRecordWorker worker(std::move(record));
    CPage page(worker, settings, !settings.tlsCert.empty());
    bool inHand = false;
    {
        std::unique_ptr<CHttpServer> server;
        try {
            server = std::make_unique<CHttpServer>(
                std::move(listener.fd), [&page](const HttpRequest& req) { return page.Handle(req); }, settings.tlsCert,
                settings.tlsKey);
        } catch (const std::exception& e) {
            *why = e.what();
            worker.Stop(0ms);
            return ServeEnd::CannotStart;
        }
        ready();
        waitForStop();
        // Requests that wait for the record are answered first, so that the
        // server's threads can end; the record's own thread may be in the
        // database's hands, and is not waited for.
        inHand = !worker.Stop(200ms);
    }
    return inHand ? ServeEnd::RecordInHand : ServeEnd::Stopped;
}

} // namespace pello::web
