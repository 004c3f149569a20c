#pragma once
// The exchange rule every command follows: send, receive, verify, classify,
// at most three attempts with no pause between them.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace pello {

constexpr int kExchangeAttempts = 3;

// The reply a strict exchange requires at its start.
constexpr std::string_view kAckPrefix = "(ACK";
constexpr std::string_view kBootPrefix = "(1";
constexpr std::string_view kNakPrefix = "(NAK";

// What came back for one attempt.
enum class ReplyKind {
    None,      // nothing, or no whole reply, within the deadline
    Accepted,  // a verified reply of the kind asked for
    Refused,   // a verified "(NAK"
    Unexpected // anything else: bad check bytes, or a reply of another kind
};

// What one attempt did on the link.
struct AttemptIo {
    bool written = false;   // the whole frame went out
    bool complete = false;  // a reply ending in CR arrived in time
    size_t length = 0;      // its length
    bool outOfStep = false; // replies were found out of step with frames: stop
};

// The kind of answer a frame gets. The protocol numbers nothing, so a reply
// of another kind is the only sign on the wire that it belongs to another frame.
enum class AnswerKind {
    ProductId,       // "QSID": "(" and the field, or a refusal
    Acknowledgement, // "ATE1", "SID", "PABC": "(ACK" or "(NAK"
    Boot             // "QBOOT": a reply beginning "(1", and not shaped as a Product ID, or a refusal
};

// Whether a verified reply is of the kind a frame expects.
bool ReplyOfKind(const uint8_t* reply, size_t length, AnswerKind expected);

struct AttemptRecord {
    bool written = false;
    ReplyKind reply = ReplyKind::None;
};

struct ExchangeResult {
    bool accepted = false;
    int attempts = 0;
    AttemptRecord records[kExchangeAttempts];
    size_t replyLength = 0; // of the last attempt's whole reply, 0 when none came
    bool outOfStep = false; // stopped: replies no longer belong to their frames

    bool AnyWritten() const;
    // Every attempt wrote its frame and was refused with "(NAK".
    bool AllRefused() const;
    // Some attempt wrote its frame and got no whole reply in time.
    bool AnyTimedOut() const;
};

// When a failed attempt is followed by another.
enum class Retry {
    AfterAnyFailure,
    // Only after a whole reply came to a frame written whole (a refusal, or
    // bad check bytes): nothing of that attempt can still be on its way.
    AfterWholeReply
};

// One attempt on a link: sends the frame and stores the reply from reply[0].
using ExchangeAttempt = std::function<AttemptIo(uint8_t* reply, size_t capacity)>;

// How a whole reply of `length` bytes is judged. A reply is "(", text, two
// check bytes and CR; nothing else is accepted, whatever its check bytes say.
ReplyKind ClassifyReply(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix);
bool ReplyAccepted(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix);

// Runs the rule over `attempt`. The reply buffer is cleared before each attempt
// and holds the last attempt's reply afterwards.
ExchangeResult RunExchange(const ExchangeAttempt& attempt, uint8_t* reply, size_t capacity, bool bStrict,
                           std::string_view strictPrefix, int attempts = kExchangeAttempts,
                           Retry retry = Retry::AfterAnyFailure);

} // namespace pello
