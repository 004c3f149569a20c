// Connecting to a PostgreSQL server within a time limit, and giving up at
// once when the program is asked to end.

#include "storage/PostgresConnect.h"

#include "storage/Database.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace pello::storage {

namespace {

// libpq's connect_timeout when neither the connection string nor
// PGCONNECT_TIMEOUT gives one: an address that accepts and never answers
// ends the wait instead of holding the program for ever.
constexpr const char* kConnectTimeout = "10";

std::atomic<int> g_endConnecting {-1};

// The connection's own connect_timeout in seconds, as libpq reads it: 0 for
// none, and never below 2.
int ConnectSeconds(PGconn* conn)
{
    int seconds = 0;
    PQconninfoOption* options = PQconninfo(conn);
    for (PQconninfoOption* o = options; o != nullptr && o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "connect_timeout") == 0 && o->val != nullptr) {
            seconds = std::atoi(o->val);
        }
    }
    PQconninfoFree(options);
    return seconds <= 0 ? 0 : std::max(seconds, 2);
}

std::string ServerOf(PGconn* conn)
{
    const char* host = PQhost(conn);
    const char* port = PQport(conn);
    return std::string(host ? host : "") + ":" + (port ? port : "");
}

} // namespace

void EndConnectingWhenReadable(int fd) { g_endConnecting = fd; }

ConnPtr Connect(const std::string& conninfo)
{
    const char* env = std::getenv("PGCONNECT_TIMEOUT");
    // Given first, so that the connection string's own value wins.
    const char* keys[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {env != nullptr && env[0] != '\0' ? env : kConnectTimeout, conninfo.c_str(), nullptr};
    ConnPtr conn(PQconnectStartParams(keys, values, 1), &PQfinish);
    if (!conn || PQstatus(conn.get()) == CONNECTION_BAD) {
        return conn;
    }
    const int seconds = ConnectSeconds(conn.get());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (state != PGRES_POLLING_OK && state != PGRES_POLLING_FAILED) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd fds[2] = {{PQsocket(conn.get()), static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0},
                         {g_endConnecting.load(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, seconds == 0 ? -1 : static_cast<int>(std::max<long long>(0, left.count())));
        if (fds[1].revents != 0) {
            throw DbError(DbProblem::CannotOpen, "stopped waiting for the server at " + ServerOf(conn.get()));
        }
        if (ready == 0) {
            throw DbError(DbProblem::CannotOpen, "the server at " + ServerOf(conn.get()) + " did not answer within " +
                                                     std::to_string(seconds) + " s");
        }
        if (ready < 0 && errno != EINTR) {
            throw DbError(DbProblem::CannotOpen, std::string("cannot wait for the server: ") + std::strerror(errno));
        }
        state = ready > 0 ? PQconnectPoll(conn.get()) : state;
    }
    return conn;
}

} // namespace pello::storage
