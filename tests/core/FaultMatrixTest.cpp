// Faults no one wrote down: what the links and workflows do when the device,
// the port or "SN.txt" misbehave. Each case states its outcome and bounds the
// time it may take (on the fake clock).

#include "tests/support/WorkflowRig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/file.h>

using namespace pello;

namespace {

constexpr uint32_t kComExchangeWorstMs = 3 * 3000 + 3 * 250; // three reads, three writes' waits

class Faults : public WorkflowFixture {
protected:
    Faults() { m_dev = &m_rig.DeviceOn(0); }
    void Fault(const std::string& rule)
    {
        ASSERT_TRUE(m_dev->WithModel([&](CDeviceModel& m) { return m.AddFaults(rule); }));
    }
    size_t FramesSeen() { return m_dev->Frames().size(); }
    std::string Sid() { return m_dev->WithModel([](CDeviceModel& m) { return m.m_sid; }); }
    void OnSearch()
    {
        m_flow.m_nLinkType = 1;
        m_flow.OnSearch();
    }
    template <class Fn> uint32_t Timed(Fn fn) { return m_rig.Timed(fn); }
    CFakeClock& Clock() { return m_rig.Clock(); }

    CPtyDevice* m_dev = nullptr;
};

} // namespace

TEST_F(Faults, DeviceVanishesMidReply)
{
    m_dev->m_hangUpAfterBytes = 5; // five bytes of the QSID reply, then gone
    const uint32_t took = Timed([&] { OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LT(took, 1000u); // no read waits out its limit on a port that hung up
}

TEST_F(Faults, GarbageBeforeAReplyFailsThatAttemptOnly)
{
    Fault("QSID=raw:xyz(ACK\\x39\\x20\\x0D");
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(FramesSeen(), 2u);
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(Faults, EndlessReplyWithoutCr)
{
    Fault("QSID=raw:" + std::string(300, 'x') + ",raw:" + std::string(300, 'y') + ",raw:" + std::string(300, 'z'));
    const uint32_t took = Timed([&] { OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(FramesSeen(), 3u);
    EXPECT_LE(took, kComExchangeWorstMs);
}

TEST_F(Faults, ReplySplitByteByByteWithPauses)
{
    m_dev->m_byteGapMs = 20;
    Clock().m_realSliceMs = 1000;
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(FramesSeen(), 1u);
}

TEST_F(Faults, ReplyJustAfterTheDeadlineIsReadByTheNextAttempt)
{
    // The first reply comes after the first read has given up (in fake time);
    // nothing purges between attempts, so the second read takes it.
    Clock().m_realSliceMs = 300; // each read waits 300 ms of real time, then times out
    m_dev->m_replyDelayMs = 450; // so the reply lands inside the second read
    const uint32_t took = Timed([&] { OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_GE(took, 3000u);
    EXPECT_LE(took, kComExchangeWorstMs);
}

TEST_F(Faults, NulBytesInsideAReply)
{
    // A NUL inside the text: the check by length still holds; the Product ID
    // is cut at the NUL, as the reply is read as text.
    Fault(std::string("QSID=reply:(0812\\x0034567890000000000"));
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(m_flow.m_strProductId, "12");
    // A NUL that breaks the check bytes: refused.
    Fault("QSID=raw:(ACK\\x00\\x20\\x0D,raw:(ACK\\x00\\x20\\x0D,raw:(ACK\\x00\\x20\\x0D");
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
}

TEST_F(Faults, PortRemovedBetweenSearchAndApply)
{
    OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    m_rig.Alias(0, "/nonexistent/tty");
    const uint32_t took = Timed([&] { m_flow.OnApply(); });
    EXPECT_EQ(LastBox().text, "Setting failed!");
    EXPECT_LT(took, 1000u);
}

TEST_F(Faults, PortTakenByAnotherProcessBetweenSearchAndApply)
{
    OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    const size_t before = FramesSeen();
    CUniqueFd other(::open(m_dev->Path().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting failed!");
    EXPECT_EQ(FramesSeen(), before);
}

TEST_F(Faults, BadSnFilesSendNothing)
{
    OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    const size_t before = FramesSeen();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Invalid SN.txt: line 1 has 0 characters, needs 22"},
        {"0812345678ABCDEFGHIJKL", "Invalid SN.txt: line 2 has 0 characters, needs 12"},
        {std::string("0812345678ABC\0EFGHIJKL\nABCDEFGH_123\n", 36),
         "Invalid SN.txt: line 1, character 14 is 0x00; only printable ASCII characters are allowed"},
        {"0812345678ABCDEFGHIJKL\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0b\x0c\x0e\n",
         "Invalid SN.txt: line 2, character 1 is 0x01; only printable ASCII characters are allowed"},
        {"\xff\xfe" "0\0" "8\0" "1\0", "Invalid SN.txt: line 1 has 3 characters, needs 22"},
        {std::string(10 * 1024 * 1024, 'A') + "\nABCDEFGH_123\n", "Invalid SN.txt: line 1 is longer than 4096 bytes"},
    };
    for (const auto& [content, message] : cases) {
        m_rig.WriteSn(content);
        m_flow.OnApply();
        EXPECT_EQ(LastBox().text, message);
        EXPECT_EQ(LastBox().caption, "File");
    }
    // Not a regular file: never opened for reading, never waited on.
    m_rig.RemoveSn();
    ASSERT_EQ(::mkfifo(m_rig.m_snPath.c_str(), 0600), 0);
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Cannot Open File");
    EXPECT_EQ(FramesSeen(), before);
}

TEST_F(Faults, LateRepliesNeverGiveAFalseSuccess)
{
    Clock().m_realSliceMs = 300; // each read waits 300 ms of real time, then times out
    OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    // Every "SID" answered after its deadline, every "PABC" refused: the late
    // acknowledgements would otherwise be taken for the retries' and PABC's.
    Fault("SID=late:450,late:450,late:450");
    Fault("PABC=nak,nak,nak,nak,nak,nak");
    ApplyResult r = m_flow.Apply(fields);
    EXPECT_EQ(r.outcome, ApplyOutcome::Failure);
    // A late "ATE1" alone: its acknowledgement arrives while "SID" waits.
    m_dev->HangUp();
    m_dev = &m_rig.DeviceOn(0);
    OnSearch();
    Fault("ATE1=late:450");
    r = m_flow.Apply(fields);
    EXPECT_EQ(r.outcome, ApplyOutcome::Failure);
    ASSERT_NE(r.Failed(), nullptr);
    EXPECT_EQ(r.Failed()->failure, StepFailure::OutOfStep);
    // Without a time-out nothing extra is waited for.
    m_dev->HangUp();
    m_dev = &m_rig.DeviceOn(0);
    OnSearch();
    const uint32_t took = Timed([&] { r = m_flow.Apply(fields); });
    EXPECT_EQ(r.outcome, ApplyOutcome::Success);
    EXPECT_EQ(took, 0u);
}

namespace {

// Fake time that, when a read first waits out a whole reply deadline, puts
// `bytes` on the host's side of the port at that moment: they are waiting,
// unread, when the next attempt is about to write.
class CBytesAfterTimeOut final : public CClock {
public:
    CBytesAfterTimeOut(int master, std::string bytes) : m_master(master), m_bytes(std::move(bytes)) {}
    uint32_t TickCount() override { return m_now; }
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override
    {
        const int rc = ::poll(fds, count, std::min(timeoutMs, 200));
        if (rc != 0) {
            return rc;
        }
        m_now += static_cast<uint32_t>(timeoutMs);
        if (!m_bytes.empty() && timeoutMs >= static_cast<int>(device::kComReplyTimeLimitMs)) {
            WriteAll(m_master, m_bytes.data(), m_bytes.size());
            m_bytes.clear();
            ::poll(nullptr, 0, 100); // through the pty to the host's side
        }
        return 0;
    }

private:
    int m_master;
    std::string m_bytes;
    uint32_t m_now = 1000;
};

} // namespace

// Bytes found waiting before a frame is written answer no frame of this
// exchange: the search says so, and nothing is programmed after it.
TEST_F(Faults, BytesWaitingBeforeAWritePutRepliesOutOfStep)
{
    CBytesAfterTimeOut clock(m_dev->Master(), MakeReply("(0812345678ABCDEFGHIJKL"));
    m_flow.SetClock(&clock);
    Fault("QSID=silent");
    const SearchResult found = m_flow.Search(Link::Rs232);
    EXPECT_NE(found.outOfStep.find("were waiting before QSID was sent"), std::string::npos) << found.outOfStep;
    const size_t before = FramesSeen();
    EXPECT_EQ(m_flow.Apply({"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"}).outcome, ApplyOutcome::Failure);
    EXPECT_EQ(FramesSeen(), before);
}

TEST_F(Faults, OnlyARepliesFormIsAccepted)
{
    // A loopback plug echoes the frame, check bytes and all; a NUL before "("
    // leaves the check value as it was.
    Fault("QSID=raw:QSID\\xbb\\x05\\x0d,raw:QSID\\xbb\\x05\\x0d,raw:QSID\\xbb\\x05\\x0d");
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    const std::string nulFirst = "raw:\\x00(1400000000000000000000\\x21\\xeb\\x0d";
    Fault("QSID=" + nulFirst + "," + nulFirst + "," + nulFirst);
    OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
}

TEST_F(Faults, SnFileChangedBetweenTwoPresses)
{
    OnSearch();
    m_flow.OnApply();
    EXPECT_EQ(Sid(), "0812345678ABCDEFGHIJKL");
    m_rig.WriteSn("1099999999990000000000\nZZZZZZZZ_999\n");
    m_flow.OnApply();
    EXPECT_EQ(m_dev->WithModel([](CDeviceModel& m) { return m.m_pabc; }), "ZZZZZZZZ_999");
    EXPECT_EQ(Sid(), "1099999999990000000000");
}

namespace {

class UsbFaults : public WorkflowFixture {
protected:
    UsbFaults() { m_flow.m_nLinkType = 0; }
    FakeHidNode& m_node = m_rig.UsbDevice();
};

} // namespace

TEST_F(UsbFaults, DeviceVanishesMidReadWithEnodev)
{
    m_node.vanishAfterReads = 2; // two reports of the QSID reply, then ENODEV
    const uint32_t start = m_rig.Clock().m_now;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LT(m_rig.Clock().m_now - start, 2000u); // never waits out a deadline
}

TEST_F(UsbFaults, GarbageNulsAndEndlessReports)
{
    m_node.model.AddFaults("QSID=raw:\\x00\\x00junk,raw:" + std::string(400, 'q') + ",raw:(A\\x00\\x00\\x0D");
    const uint32_t start = m_rig.Clock().m_now;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LE(m_rig.Clock().m_now - start, 3u * 2250u);
    m_flow.OnSearch(); // and it recovers once the device behaves
    EXPECT_EQ(m_flow.m_strDevice, "usb");
}
