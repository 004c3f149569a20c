#include "protocol/Device.h"
#include "sim/DeviceModel.h"
#include "protocol/Frames.h"

#include <gtest/gtest.h>

using namespace pello;

namespace {

std::string Str(const Frame& f) { return std::string(reinterpret_cast<const char*>(f.bytes), f.length); }

std::optional<std::string> Ask(CDeviceModel& m, const Frame& f) { return m.HandleFrame(Str(f)); }

} // namespace

TEST(DeviceModel, AnswersEachCommand)
{
    CDeviceModel m;
    EXPECT_EQ(Ask(m, BuildQsidFrame()), MakeReply("(1400000000000000000000"));
    EXPECT_EQ(Ask(m, BuildAte1Frame()), MakeReply("(ACK"));
    EXPECT_EQ(Ask(m, BuildSidFrame("0812345678ABCDEFGHIJKL")), MakeReply("(ACK"));
    EXPECT_EQ(m.m_sid, "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(Ask(m, BuildPabcFrame("ABCDEFGH_123")), MakeReply("(ACK"));
    EXPECT_EQ(m.m_pabc, "ABCDEFGH_123");
    EXPECT_EQ(Ask(m, BuildQbootFrame()), MakeReply("(1"));
    EXPECT_EQ(MakeReply("(ACK"), std::string("(ACK\x39\x20\r"));
}

TEST(DeviceModel, RefusesBadCheckAndUnknownCommands)
{
    CDeviceModel m;
    Frame f = BuildQsidFrame();
    f.bytes[5] ^= 1;
    EXPECT_EQ(Ask(m, f), MakeReply("(NAK"));
    EXPECT_EQ(m.HandleFrame(MakeReply("HELLO")), MakeReply("(NAK"));
    EXPECT_EQ(m.HandleFrame("\r"), MakeReply("(NAK"));
}

TEST(DeviceModel, FaultsAreUsedOncePerFrameInOrder)
{
    CDeviceModel m;
    ASSERT_TRUE(m.AddFaults("SID=nak,silent,ack,badcrc,reply:(0\\x2c,late:450"));
    const Frame sid = BuildSidFrame("1400000000000000000071");
    EXPECT_EQ(Ask(m, sid), MakeReply("(NAK"));
    EXPECT_EQ(Ask(m, sid), std::nullopt);
    EXPECT_EQ(Ask(m, sid), MakeReply("(ACK"));
    EXPECT_EQ(m.m_sid, device::kInitialSerialField); // "ack" acknowledges without storing
    auto bad = Ask(m, sid);
    ASSERT_TRUE(bad);
    EXPECT_NE(*bad, MakeReply("(ACK"));
    EXPECT_EQ(m.m_sid, "1400000000000000000071"); // badcrc still acts on the frame
    EXPECT_EQ(Ask(m, sid), MakeReply("(0,"));
    EXPECT_EQ(Ask(m, sid), MakeReply("(ACK"));
    EXPECT_EQ(m.m_nLastDelayMs, 450);
    EXPECT_EQ(Ask(m, sid), MakeReply("(ACK"));
    EXPECT_EQ(m.m_nLastDelayMs, 0);
}

TEST(DeviceModel, RejectsMalformedFaults)
{
    CDeviceModel m;
    EXPECT_FALSE(m.AddFaults("SID"));
    EXPECT_FALSE(m.AddFaults("FOO=ack"));
    EXPECT_FALSE(m.AddFaults("SID=ack,wobble"));
    EXPECT_FALSE(m.AddFaults("SID=reply:\\xZZ"));
    EXPECT_FALSE(m.AddFaults("SID=late:"));
    EXPECT_FALSE(m.AddFaults("SID=late:99999999999"));
    EXPECT_TRUE(m.AddFaults("QBOOT=boot"));
}

TEST(DeviceModel, FeedSplitsFramesAtCrAndDropsNoise)
{
    CDeviceModel m;
    const Frame q = BuildQsidFrame();
    std::string stream = std::string(100, 'z') + Str(q) + Str(BuildAte1Frame());
    std::vector<DeviceReply> replies;
    for (char c : stream) {
        auto r = m.Feed(reinterpret_cast<const uint8_t*>(&c), 1);
        replies.insert(replies.end(), r.begin(), r.end());
    }
    // The noise is dropped once too long; what remains before QSID garbles it.
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].bytes, MakeReply("(ACK"));
}
