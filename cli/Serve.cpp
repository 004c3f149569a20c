// `pellomatic-cli serve`: the supervisor's page over the record, read-only.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "link/UniqueFd.h"
#include "web/Server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace pello::cli {

namespace {

constexpr size_t kShortestToken = 16;

// Until Ctrl+C, SIGTERM or SIGHUP: waited for, not polled.
void WaitForStopSignal()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    int sig = 0;
    sigwait(&set, &sig);
}

// A whole small file; nullopt after saying why it cannot be read. `secret`:
// refused when other users may read or write it.
std::optional<std::string> ReadSmallFile(const std::string& path, const char* option, bool secret)
{
    // Not blocked by a FIFO put in its place: only a regular file is read.
    const CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.Get(), &st) != 0) {
        Complain(std::string("serve: ") + option + " " + path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    if (!S_ISREG(st.st_mode) || st.st_size > 1024 * 1024) {
        Complain(std::string("serve: ") + option + " " + path + ": not a small regular file");
        return std::nullopt;
    }
    if (secret && (st.st_mode & 077) != 0) {
        Complain(std::string("serve: ") + option + " " + path +
                 ": other users can read or change it; make it yours alone (chmod 600)");
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    const ssize_t got = ::read(fd.Get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return text;
}

// The token from --token-file, --token or PELLOMATIC_TOKEN, its trailing
// white space and line end dropped; "" for none; nullopt after saying why it
// cannot be used.
std::optional<std::string> ReadToken(const ServeOptions& options)
{
    std::string token, from;
    if (!options.tokenFile.empty()) {
        const std::optional<std::string> text = ReadSmallFile(options.tokenFile, "--token-file", true);
        if (!text) return std::nullopt;
        token = *text;
        from = "--token-file " + options.tokenFile;
    } else if (!options.token.empty()) {
        token = options.token;
        from = "--token";
    } else if (const char* env = std::getenv("PELLOMATIC_TOKEN"); env != nullptr && env[0] != '\0') {
        token = env;
        from = "PELLOMATIC_TOKEN";
    } else {
        return std::string();
    }
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    if (token.size() < kShortestToken) {
        Complain("serve: the token of " + from + " has " + std::to_string(token.size()) + " characters; it needs at least " +
                 std::to_string(kShortestToken));
        return std::nullopt;
    }
    for (const char c : token) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            Complain("serve: the token of " + from + " holds a control character");
            return std::nullopt;
        }
    }
    return token;
}

// Who may reach the address, and whether what travels there is protected
// well enough; false after saying why not.
bool CheckExposure(const web::ListenAddress& address, const web::ServeSettings& settings, bool plainHttp)
{
    if (web::IsLoopbackName(address.host)) {
        return true;
    }
    if (settings.token.empty()) {
        Complain("serve: listening on " + address.host + " needs a token (--token-file FILE or PELLOMATIC_TOKEN); "
                 "without one only loopback addresses are served");
        return false;
    }
    if (settings.tlsCert.empty() && !plainHttp) {
        Complain("serve: " + address.host + " can be reached from the network: give --tls-cert FILE and --tls-key FILE, "
                 "or --plain-http to send the token and the record in clear");
        return false;
    }
    if (settings.tlsCert.empty()) {
        Complain("serve: WARNING: plain HTTP on " + address.host + ": the token, the session and the record travel in "
                 "clear, for anyone on the network to read");
    }
    return true;
}

// Everything the command line says, checked; nullopt after saying why not.
std::optional<web::ServeSettings> Settings(const ServeOptions& options, web::ListenAddress* address)
{
    web::ServeSettings settings;
    std::string why;
    if (!web::ParseListen(options.listen, address, &why)) {
        Complain(why);
        return std::nullopt;
    }
    const std::optional<std::string> token = ReadToken(options);
    if (!token) return std::nullopt;
    settings.token = *token;
    if (!options.tlsCert.empty()) {
        const auto cert = ReadSmallFile(options.tlsCert, "--tls-cert", false);
        const auto key = cert ? ReadSmallFile(options.tlsKey, "--tls-key", true) : std::nullopt;
        if (!key) return std::nullopt;
        settings.tlsCert = *cert;
        settings.tlsKey = *key;
    }
    settings.offlineAfterSeconds = options.offlineAfter;
    settings.log = [](const std::string& line) { Complain("serve: " + line); };
    if (!CheckExposure(*address, settings, options.plainHttp)) return std::nullopt;
    return settings;
}

} // namespace

int RunServe(const ServeOptions& options, const CommonOptions& common)
{
    web::ListenAddress address;
    const std::optional<web::ServeSettings> settings = Settings(options, &address);
    if (!settings) {
        return kUsage;
    }
    auto record = std::make_unique<web::CRecordSource>(common.db);
    try {
        record->Open();
    } catch (const std::exception& e) {
        return ReportStorageError(e, record->Describe());
    }
    web::Listener listener;
    std::string why;
    if (!web::Listen(address, &listener, &why)) {
        Complain("serve: cannot listen on " + web::HostAndPort(address.host, address.port) + ": " + why);
        return kUsage;
    }
    // Blocked in every thread, the server's included, and taken by sigwait.
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    const std::string url = std::string(settings->tlsCert.empty() ? "http" : "https") + "://" +
                            web::HostAndPort(address.host, listener.port) + "/";
    const web::ServeEnd end = web::Serve(
        std::move(listener), std::move(record), *settings, WaitForStopSignal,
        [&] {
            Print("serving the record on " + url);
            std::fflush(stdout);
        },
        &why);
    if (end == web::ServeEnd::CannotStart) {
        Complain("serve: " + why);
        return kUsage;
    }
    if (end == web::ServeEnd::RecordInHand) {
        // A database call that has not come back holds nothing of ours worth waiting for.
        ::_exit(FinishOutput(kOk));
    }
    return kOk;
}

} // namespace pello::cli
