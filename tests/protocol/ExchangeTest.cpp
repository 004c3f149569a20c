#include "sim/DeviceModel.h"
#include "protocol/Exchange.h"
#include "protocol/ProductId.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>

using namespace pello;

namespace {

// A scripted link: each attempt takes the next scripted reply; "" means the
// write failed (nothing is read), "timeout" a read that timed out.
struct Script {
    std::deque<std::string> replies;
    int attempts = 0;
    int reads = 0;
    ExchangeAttempt Attempt()
    {
        return [this](uint8_t* reply, size_t capacity) {
            ++attempts;
            EXPECT_EQ(reply[0], 0) << "cleared before every attempt";
            const std::string r = replies.empty() ? "timeout" : replies.front();
            if (!replies.empty()) replies.pop_front();
            AttemptIo io;
            if (r.empty()) return io;
            io.written = true;
            ++reads;
            if (r == "timeout") return io;
            std::memcpy(reply, r.data(), std::min(r.size(), capacity));
            io.complete = true;
            io.length = r.size();
            return io;
        };
    }
};

bool RunScript(Script& s, bool strict, std::string_view prefix = kAckPrefix)
{
    uint8_t reply[256];
    return RunExchange(s.Attempt(), reply, sizeof reply, strict, prefix).accepted;
}

std::string WithBadCheck(std::string r)
{
    r[r.size() - 2] ^= 1;
    return r;
}

} // namespace

TEST(Exchange, ThreeNaksFail)
{
    Script s {{MakeReply("(NAK"), MakeReply("(NAK"), MakeReply("(NAK"), MakeReply("(ACK")}};
    EXPECT_FALSE(RunScript(s, true));
    EXPECT_EQ(s.attempts, 3);
}

TEST(Exchange, BadCheckThenAckSucceedsOnSecondAttempt)
{
    Script s {{WithBadCheck(MakeReply("(ACK")), MakeReply("(ACK")}};
    EXPECT_TRUE(RunScript(s, true));
    EXPECT_EQ(s.attempts, 2);
}

TEST(Exchange, FailedWriteSkipsTheReadAndShortRepliesFail)
{
    Script s {{"", "(AC", "timeout", MakeReply("(ACK")}};
    EXPECT_FALSE(RunScript(s, true));
    EXPECT_EQ(s.attempts, 3);
    EXPECT_EQ(s.reads, 2);
}

TEST(Exchange, Classification)
{
    const std::string ack = MakeReply("(ACK"), nak = MakeReply("(NAK"), data = MakeReply("(1400000000");
    auto accepted = [](const std::string& r, bool strict, std::string_view prefix) {
        return ReplyAccepted(reinterpret_cast<const uint8_t*>(r.data()), r.size(), strict, prefix);
    };
    EXPECT_TRUE(accepted(ack, false, kAckPrefix));
    EXPECT_TRUE(accepted(data, false, kAckPrefix));
    EXPECT_FALSE(accepted(nak, false, kAckPrefix));
    EXPECT_FALSE(accepted(nak, false, kBootPrefix));
    EXPECT_FALSE(accepted(data, true, kAckPrefix));
    EXPECT_TRUE(accepted(MakeReply("(1"), true, kBootPrefix));
    EXPECT_TRUE(accepted(MakeReply("(1 booting"), true, kBootPrefix));
    EXPECT_FALSE(accepted(MakeReply("(0"), true, kBootPrefix));
    EXPECT_FALSE(accepted(ack, true, kBootPrefix));
    EXPECT_FALSE(accepted(MakeReply("(ack"), true, kAckPrefix)); // case matters
    EXPECT_FALSE(accepted(WithBadCheck(ack), true, kAckPrefix));
    EXPECT_FALSE(accepted(WithBadCheck(ack), false, kAckPrefix));
}

TEST(Exchange, ReplyWithZeroCheckByteIsJudgedByItsLength)
{
    for (int i = 0; i < 100000; ++i) {
        const std::string r = MakeReply("(" + std::to_string(i));
        if (r.find('\0') == std::string::npos) continue;
        Script s {{r}};
        EXPECT_TRUE(RunScript(s, false));
        EXPECT_EQ(s.attempts, 1);
        return;
    }
    FAIL();
}

TEST(ProductId, LengthFieldRules)
{
    auto pid = [](const std::string& text) { return ExtractProductId(MakeReply(text).c_str()); };
    EXPECT_EQ(pid("(14ABCDEFGHIJKLMN"), "ABCDEFGHIJKLMN");
    EXPECT_EQ(pid("(0812345678ABCDEFGHIJKL"), "12345678");
    for (const char* field : {"00", "21", "XY", "-3"}) {
        EXPECT_EQ(pid(std::string("(") + field + "ABCDEFGHIJKLMNOPQRST"), "ABCDEFGHIJKLMN") << field;
    }
    EXPECT_EQ(pid("( 7ABCDEFGHIJ"), "ABCDEFG");
    EXPECT_EQ(pid("(7xABCDEFGHIJ"), "ABCDEFG");
    // Longer than what is there: the check bytes and CR come along.
    const std::string shortReply = MakeReply("(20ABC");
    EXPECT_EQ(ExtractProductId(shortReply.c_str()), shortReply.substr(3));
    EXPECT_EQ(ExtractProductId("("), "");
}
