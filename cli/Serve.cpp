// `pellomatic-cli serve`: the supervisor's page over the record, read-only.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "web/Server.h"

#include <csignal>
#include <cstdio>

namespace pello::cli {

namespace {

// Until Ctrl+C, SIGTERM or SIGHUP: waited for, not polled.
void WaitForStopSignal()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    int sig = 0;
    sigwait(&set, &sig);
}

} // namespace

int RunServe(const ServeOptions& options, const CommonOptions& common)
{
    web::ServeSettings settings;
    std::string why;
    if (!web::ParseListen(options.listen, &settings, &why)) {
        Complain(why);
        return kUsage;
    }
    settings.token = options.token;
    settings.offlineAfterSeconds = options.offlineAfter;
    // Anyone who can reach another address could read the record.
    if (settings.host != "127.0.0.1" && settings.host != "localhost" && settings.host != "::1" && settings.token.empty()) {
        Complain("serve: listening on " + settings.host + " needs --token; without one only 127.0.0.1 is served");
        return kUsage;
    }
    // Blocked in every thread, the server's included, and taken by sigwait.
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    CRecordKeeper keeper(common);
    if (const int rc = keeper.OpenForServing(); rc != kOk) {
        return rc;
    }
    const bool served = web::Serve(
        keeper.Store(), settings, WaitForStopSignal,
        [&](int port) {
            Print("serving the record on http://" + (settings.host.find(':') != std::string::npos ? "[" + settings.host + "]" : settings.host) +
                  ":" + std::to_string(port) + "/");
            std::fflush(stdout);
        },
        &why);
    if (!served) {
        Complain("serve: " + why);
        return kUsage;
    }
    return kOk;
}

} // namespace pello::cli
