#pragma once
// How the PostgreSQL backend connects: libpq's blocking connect hears no
// signal, so this one waits on the socket and on the descriptor given to
// EndConnectingWhenReadable, against the connection's connect_timeout (10 s
// unless the connection string or PGCONNECT_TIMEOUT sets one).

#include <libpq-fe.h>

#include <memory>
#include <string>

namespace pello::storage {

using ConnPtr = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// A connection made, or one that failed (PQstatus says why); throws DbError
// (CannotOpen) when the time limit passes or the end descriptor turns readable.
ConnPtr Connect(const std::string& conninfo);

} // namespace pello::storage
