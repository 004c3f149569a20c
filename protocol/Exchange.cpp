#include "Exchange.h"

#include "FrameCrc.h"

#include <cstring>

namespace {

bool StartsWith(const uint8_t* reply, size_t length, std::string_view prefix)
{
    return length >= prefix.size() && std::memcmp(reply, prefix.data(), prefix.size()) == 0;
}

} // namespace

bool ReplyAccepted(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix)
{
    if (!CheckFrameCrc(reply, length)) {
        return false;
    }
    return bStrict ? StartsWith(reply, length, strictPrefix) : !StartsWith(reply, length, kNakPrefix);
}

bool RunExchange(const ExchangeAttempt& attempt, uint8_t* reply, size_t capacity, bool bStrict,
                 std::string_view strictPrefix, size_t* replyLength)
{
    for (int i = 0; i < kExchangeAttempts; ++i) {
        std::memset(reply, 0, capacity);
        const int received = attempt(reply, capacity);
        if (replyLength != nullptr) {
            *replyLength = received > 0 ? static_cast<size_t>(received) : 0;
        }
        if (received > 0 && ReplyAccepted(reply, static_cast<size_t>(received), bStrict, strictPrefix)) {
            return true;
        }
    }
    return false;
}
