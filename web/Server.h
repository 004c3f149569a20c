#pragma once
// `pellomatic-cli serve`: a read-only web page over the record for the line's
// supervisor, on 127.0.0.1:8080 by default; any other address only with a
// token (sent as a bearer token, or through the login form as a cookie).

#include "storage/Store.h"

#include <functional>
#include <string>

namespace pello::web {

struct ServeSettings {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string token;
    int offlineAfterSeconds = 30;
};

// "ADDR:PORT" into `settings`; false, with the reason in `why`, when it cannot be read.
bool ParseListen(const std::string& listen, ServeSettings* settings, std::string* why);

// Serves until `waitForStop` returns. `ready` is told the port once it
// listens (port 0: any free one). False, with the reason in `why`, when it
// cannot listen.
bool Serve(storage::CStore& store, const ServeSettings& settings, const std::function<void()>& waitForStop,
           const std::function<void(int port)>& ready, std::string* why);

} // namespace pello::web
