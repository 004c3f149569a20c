// Reply checking and classification, as the exchange applies them.
#include "protocol/Exchange.h"
#include "protocol/FrameCrc.h"

#include <cstdlib>
#include <cstring>
#include <string>

using namespace pello;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    for (bool strict : {false, true}) {
        for (std::string_view prefix : {kAckPrefix, kBootPrefix}) {
            const bool accepted = ReplyAccepted(data, size, strict, prefix);
            // Nothing shorter than "(" plus check bytes plus one byte passes.
            if (accepted && (size < 4 || !CheckFrameCrc(data, size))) std::abort();
            if (accepted && !strict && size >= 4 && std::memcmp(data, "(NAK", 4) == 0) std::abort();
        }
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)CheckFrameCrc(text.c_str());
    // The whole rule over a link that returns these bytes each time.
    uint8_t reply[256];
    int attempts = 0;
    const auto attempt = [&](uint8_t* buf, size_t capacity) {
        ++attempts;
        const size_t n = size < capacity - 1 ? size : capacity - 1;
        std::memcpy(buf, data, n);
        AttemptIo io;
        io.written = true;
        io.complete = n > 0;
        io.length = n;
        return io;
    };
    const bool ok = RunExchange(attempt, reply, sizeof reply, true, kAckPrefix).accepted;
    if (attempts < 1 || attempts > 3 || (ok && attempts != 1)) std::abort();
    return 0;
}
