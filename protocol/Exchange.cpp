#include "protocol/Exchange.h"

#include "protocol/Device.h"
#include "protocol/FrameCrc.h"

#include <algorithm>
#include <cstring>

namespace pello {

namespace {

bool StartsWith(const uint8_t* reply, size_t length, std::string_view prefix)
{
    return length >= prefix.size() && std::memcmp(reply, prefix.data(), prefix.size()) == 0;
}

} // namespace

bool ExchangeResult::AnyWritten() const
{
    for (int i = 0; i < attempts; ++i) {
        if (records[i].written) return true;
    }
    return false;
}

bool ExchangeResult::AllRefused() const
{
    for (int i = 0; i < attempts; ++i) {
        if (!records[i].written || records[i].reply != ReplyKind::Refused) return false;
    }
    return attempts > 0;
}

bool ExchangeResult::AnyTimedOut() const
{
    for (int i = 0; i < attempts; ++i) {
        if (records[i].written && records[i].reply == ReplyKind::None) return true;
    }
    return false;
}

ReplyKind ClassifyReply(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix)
{
    if (length == 0 || reply[0] != '(' || reply[length - 1] != 0x0D || !CheckFrameCrc(reply, length)) {
        return ReplyKind::Unexpected;
    }
    if (StartsWith(reply, length, kNakPrefix)) {
        return ReplyKind::Refused;
    }
    if (bStrict && !StartsWith(reply, length, strictPrefix)) {
        return ReplyKind::Unexpected;
    }
    return ReplyKind::Accepted;
}

bool ReplyOfKind(const uint8_t* reply, size_t length, AnswerKind expected)
{
    const bool ack = StartsWith(reply, length, kAckPrefix);
    const bool nak = StartsWith(reply, length, kNakPrefix);
    // The bare boot answer: "(", "1", two check bytes, CR.
    const bool bareBoot = length == 5 && StartsWith(reply, length, kBootPrefix);
    // A Product ID answer carries the whole field, and its length field
    // often begins with "1" ("14...").
    const bool productId = length == 1 + device::kSerialFieldLength + 3;
    switch (expected) {
    case AnswerKind::ProductId: return !ack && !bareBoot;
    case AnswerKind::Acknowledgement: return ack || nak;
    // Any frame may be refused.
    case AnswerKind::Boot: return nak || (StartsWith(reply, length, kBootPrefix) && !productId);
    }
    return false;
}

bool ReplyAccepted(const uint8_t* reply, size_t length, bool bStrict, std::string_view strictPrefix)
{
    return ClassifyReply(reply, length, bStrict, strictPrefix) == ReplyKind::Accepted;
}

ExchangeResult RunExchange(const ExchangeAttempt& attempt, uint8_t* reply, size_t capacity, bool bStrict,
                           std::string_view strictPrefix, int attempts, Retry retry)
{
    ExchangeResult r;
    while (r.attempts < std::min(attempts, kExchangeAttempts) && !r.accepted) {
        std::memset(reply, 0, capacity);
        const AttemptIo io = attempt(reply, capacity);
        AttemptRecord& record = r.records[r.attempts++];
        record.written = io.written;
        const bool whole = io.written && io.complete && io.length > 0;
        r.replyLength = whole ? io.length : 0;
        record.reply = whole ? ClassifyReply(reply, io.length, bStrict, strictPrefix) : ReplyKind::None;
        // Once replies are out of step no reply can be trusted, this one included.
        if (io.outOfStep) {
            r.outOfStep = true;
            break;
        }
        r.accepted = record.reply == ReplyKind::Accepted;
        // Shaped as a reply ("(", text, two check bytes, CR), whatever its
        // check bytes say: noise is no sign that the frame was answered.
        const bool shaped = whole && io.length >= 4 && reply[0] == '(';
        if (retry == Retry::AfterWholeReply && !shaped) {
            break;
        }
    }
    return r;
}

} // namespace pello
