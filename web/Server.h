#pragma once
// `pellomatic-cli serve`: a read-only web page over the record for the line's
// supervisor. Without a token it answers only on loopback, and only to
// requests for a loopback name (no DNS rebinding); with one, a browser signs
// in once and keeps a session id in a cookie, a script may give the token as
// a bearer token.

#include "web/Listen.h"
#include "web/RecordWorker.h"

#include <functional>
#include <memory>
#include <string>

namespace pello::web {

struct ServeSettings {
    std::string token;          // "" for none: loopback only
    std::string tlsCert, tlsKey; // PEM text; "" for plain HTTP
    int offlineAfterSeconds = 30;
    // Sign-ins, wrong tokens and the record's comings and goings, a line each.
    std::function<void(const std::string&)> log = [](const std::string&) {};
};

enum class ServeEnd {
    Stopped,       // everything ended
    RecordInHand,  // stopped, but the record's thread is still inside a database call
    CannotStart    // the reason is in `why`
};

// Serves `record` on `listener` until `waitForStop` returns; `ready` is
// called once it answers.
ServeEnd Serve(Listener listener, std::unique_ptr<CRecordSource> record, const ServeSettings& settings,
               const std::function<void()>& waitForStop, const std::function<void()>& ready, std::string* why);

} // namespace pello::web
