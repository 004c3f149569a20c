#pragma once
// The exchange rule every command follows: send, receive, verify, classify,
// at most three attempts with no pause between them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

constexpr int kExchangeAttempts = 3;

// The reply a strict exchange requires at its start.
constexpr std::string_view kAckPrefix = "(ACK";
constexpr std::string_view kBootPrefix = "(1";
constexpr std::string_view kNakPrefix = "(NAK";

// One attempt on a link: sends the frame and stores the reply from reply[0].
// Returns the number of reply bytes received, or a negative value when the
// attempt failed before a reply could be judged (write failed, read timed out).
using ExchangeAttempt = std::function<int(uint8_t* reply, size_t capacity)>;

// Whether a received reply passes verification and classification.
bool ReplyAccepted(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix);

// Runs the rule over `attempt`. The reply buffer is cleared before each attempt
// and holds the last attempt's reply afterwards; `replyLength` gets its length.
bool RunExchange(const ExchangeAttempt& attempt, uint8_t* reply, size_t capacity, bool bStrict,
                 std::string_view strictPrefix, size_t* replyLength = nullptr);
