#include "web/Http.h"

#include "web/Gzip.h"

#include <microhttpd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <stdexcept>

namespace pello::web {

namespace {

// Smaller bodies are not worth compressing.
constexpr size_t kCompressFrom = 512;
constexpr size_t kStreamBlock = 16 * 1024;

// One request while it arrives: its body, as far as it is taken.
struct Exchange {
    std::string body;
    size_t limit = 0;
};

std::string Header(MHD_Connection* c, const char* name)
{
    const char* value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

std::string Peer(MHD_Connection* c)
{
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return "?";
    }
    const sockaddr* sa = info->client_addr;
    char text[NI_MAXHOST] = "?";
    ::getnameinfo(sa, sa->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), text, sizeof text,
                  nullptr, 0, NI_NUMERICHOST);
    std::string peer = text;
    return peer.rfind("::ffff:", 0) == 0 ? peer.substr(7) : peer;
}

MHD_Result AddArgument(void* cls, MHD_ValueKind, const char* key, const char* value)
{
    (*static_cast<std::map<std::string, std::string>*>(cls))[key] = value != nullptr ? value : "";
    return MHD_YES;
}

// A body that comes in pieces, compressed on its way when asked.
struct Streamed {
    std::function<bool(std::string*)> next;
    std::unique_ptr<CGzip> gzip;
    std::string pending;
    size_t offset = 0;
    bool ended = false;
};

ssize_t ReadStreamed(void* cls, uint64_t, char* buf, size_t max)
{
    auto* s = static_cast<Streamed*>(cls);
    try {
        while (s->offset == s->pending.size()) {
            if (s->ended) {
                return MHD_CONTENT_READER_END_OF_STREAM;
            }
            std::string piece;
            s->ended = !s->next(&piece);
            s->pending = s->gzip ? s->gzip->Add(piece, s->ended) : std::move(piece);
            s->offset = 0;
        }
    } catch (const std::exception&) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const size_t n = std::min(max, s->pending.size() - s->offset);
    std::memcpy(buf, s->pending.data() + s->offset, n);
    s->offset += n;
    return static_cast<ssize_t>(n);
}

void FreeStreamed(void* cls) { delete static_cast<Streamed*>(cls); }

MHD_Response* MakeResponse(HttpResponse& r, bool gzip)
{
    MHD_Response* response;
    if (r.stream) {
        auto* s = new Streamed {std::move(r.stream), gzip ? std::make_unique<CGzip>() : nullptr, {}, 0, false};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlock, ReadStreamed, s, FreeStreamed);
        if (response == nullptr) {
            delete s;
        }
    } else {
        if (gzip) {
            r.body = CGzip().Add(r.body, true);
        }
        response = MHD_create_response_from_buffer(r.body.size(), r.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    return response;
}

} // namespace

struct CHttpServer::Context {
    HttpHandler handler;
    std::mutex logMutex;
    bool starting = true;
    std::string startProblem;

    static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                             const char* upload, size_t* uploadSize, void** requestContext);
    static void Completed(void*, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode)
    {
        delete static_cast<Exchange*>(*requestContext);
        *requestContext = nullptr;
    }
    static void Connection(void*, MHD_Connection*, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            *socketContext = new int(0); // requests served on it
        } else {
            delete static_cast<int*>(*socketContext);
        }
    }
    // libmicrohttpd's own messages: kept while starting, to say why it could
    // not; a hostile client's doings are not worth a line each later.
    static void Log(void* cls, const char* format, va_list ap)
    {
        auto* self = static_cast<Context*>(cls);
        const std::lock_guard<std::mutex> lock(self->logMutex);
        if (self->starting && self->startProblem.empty()) {
            char text[512];
            std::vsnprintf(text, sizeof text, format, ap);
            self->startProblem = text;
            while (!self->startProblem.empty() && self->startProblem.back() == '\n') self->startProblem.pop_back();
        }
    }
    MHD_Result Finish(MHD_Connection* c, const char* url, const char* method, Exchange& exchange);
};

MHD_Result CHttpServer::Context::Access(void* cls, MHD_Connection* c, const char* url, const char* method,
                                        const char*, const char* upload, size_t* uploadSize, void** requestContext)
{
    auto* self = static_cast<Context*>(cls);
    auto* exchange = static_cast<Exchange*>(*requestContext);
    if (exchange == nullptr) {
        exchange = new Exchange;
        *requestContext = exchange;
        exchange->limit = std::strcmp(method, "POST") == 0 ? HttpLimits::kBody : 0;
        const std::string length = Header(c, "Content-Length");
        if (!length.empty() && (length.size() > 9 || std::strtoul(length.c_str(), nullptr, 10) > exchange->limit)) {
            static const char kTooLarge[] = "That request is too large.\n";
            MHD_Response* r = MHD_create_response_from_buffer(sizeof kTooLarge - 1, const_cast<char*>(kTooLarge),
                                                              MHD_RESPMEM_PERSISTENT);
            MHD_add_response_header(r, "Connection", "close");
            const MHD_Result queued = MHD_queue_response(c, MHD_HTTP_CONTENT_TOO_LARGE, r);
            MHD_destroy_response(r);
            return queued;
        }
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (exchange->body.size() + *uploadSize > exchange->limit) {
            return MHD_NO; // a body larger than it said, or than any this server takes: the connection ends
        }
        exchange->body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    return self->Finish(c, url, method, *exchange);
}

MHD_Result CHttpServer::Context::Finish(MHD_Connection* c, const char* url, const char* method, Exchange& exchange)
{
    HttpRequest request;
    request.method = method;
    request.path = url;
    MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, AddArgument, &request.query);
    request.body = std::move(exchange.body);
    request.host = Header(c, "Host");
    request.cookie = Header(c, "Cookie");
    request.authorization = Header(c, "Authorization");
    request.acceptEncoding = Header(c, "Accept-Encoding");
    request.peer = Peer(c);
    HttpResponse answer;
    try {
        answer = handler(request);
    } catch (const std::exception& e) {
        answer = HttpResponse {};
        answer.status = 500;
        answer.body = std::string("The server could not answer: ") + e.what() + "\n";
    }
    const bool gzip = answer.compress && (answer.stream || answer.body.size() >= kCompressFrom) &&
                      AcceptsGzip(request.acceptEncoding);
    MHD_Response* response = MakeResponse(answer, gzip);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", answer.type.c_str());
    for (const auto& [name, value] : answer.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    if (answer.compress) {
        MHD_add_response_header(response, "Vary", "Accept-Encoding");
    }
    if (gzip) {
        MHD_add_response_header(response, "Content-Encoding", "gzip");
    }
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (info != nullptr && info->socket_context != nullptr &&
        ++*static_cast<int*>(info->socket_context) >= HttpLimits::kRequestsPerConnection) {
        MHD_add_response_header(response, "Connection", "close");
    }
    const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

CHttpServer::CHttpServer(CUniqueFd listening, HttpHandler handler, const std::string& tlsCert, const std::string& tlsKey)
    : m_context(std::make_unique<Context>())
{
    m_context->handler = std::move(handler);
    const bool tls = !tlsCert.empty();
    unsigned flags = MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ERROR_LOG;
    if (tls) {
        flags |= MHD_USE_TLS;
    }
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&Context::Log), m_context.get()},
        {MHD_OPTION_LISTEN_SOCKET, listening.Get(), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, HttpLimits::kConnections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, HttpLimits::kConnectionsPerAddress, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(HttpLimits::kConnectionMemory), nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, HttpLimits::kIdleSeconds, nullptr},
        {MHD_OPTION_THREAD_STACK_SIZE, static_cast<intptr_t>(HttpLimits::kThreadStack), nullptr},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Context::Completed), nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Context::Connection), nullptr},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(tlsCert.c_str())});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(tlsKey.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    m_daemon = MHD_start_daemon(flags, 0, nullptr, nullptr, &Context::Access, m_context.get(), MHD_OPTION_ARRAY,
                                options.data(), MHD_OPTION_END);
    const std::lock_guard<std::mutex> lock(m_context->logMutex);
    m_context->starting = false;
    if (m_daemon == nullptr) {
        throw std::runtime_error(m_context->startProblem.empty() ? "the web server did not start"
                                                                 : m_context->startProblem);
    }
    listening.Release(); // the server closes it when it stops
}

CHttpServer::~CHttpServer()
{
    if (m_daemon != nullptr) {
        MHD_stop_daemon(m_daemon);
    }
}

std::string FormValue(const std::string& body, const std::string& name)
{
    const auto decode = [](const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '+') {
                out += ' ';
            } else if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                       std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    for (size_t at = 0; at <= body.size();) {
        const size_t end = std::min(body.find('&', at), body.size());
        const std::string pair = body.substr(at, end - at);
        const size_t equals = pair.find('=');
        if (decode(pair.substr(0, equals)) == name) {
            return equals == std::string::npos ? "" : decode(pair.substr(equals + 1));
        }
        at = end + 1;
    }
    return {};
}

std::string CookieValue(const std::string& header, const std::string& name)
{
    for (size_t at = 0; at < header.size();) {
        const size_t end = std::min(header.find(';', at), header.size());
        std::string part = header.substr(at, end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.size() > name.size() && part.compare(0, name.size(), name) == 0 && part[name.size()] == '=') {
            return part.substr(name.size() + 1);
        }
        at = end + 1;
    }
    return {};
}

} // namespace pello::web
