// Faults no one wrote down: what the links and workflows do when the device,
// the port or "SN.txt" misbehave. Each case states its outcome and bounds the
// time it may take (on the fake clock).

#include "FakeClock.h"
#include "FakeHid.h"
#include "PtyDevice.h"
#include "SnFile.h"
#include "TestSupport.h"
#include "Workflow.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr uint32_t kComExchangeWorstMs = 3 * 3000 + 3 * 250; // three reads, three writes' waits

class Faults : public ::testing::Test {
protected:
    Faults()
    {
        ResetSnLines();
        m_flow.m_comLink.SetClock(&m_clock);
        AliasAllPortsNowhere(m_flow.m_portResolver, 1);
        m_flow.m_portResolver.SetAlias(0, m_dev->Path());
        m_flow.m_strSnFile = m_sn;
        WriteSn("0812345678ABCDEFGHIJKL\nABCDEFGH_123\n");
        m_flow.m_nLinkType = 1;
    }
    ~Faults() override
    {
        std::remove(m_sn.c_str());
        ResetSnLines();
    }
    void WriteSn(const std::string& s) { std::ofstream(m_sn, std::ios::binary) << s; }
    void Fault(const std::string& spec)
    {
        ASSERT_TRUE(m_dev->WithModel([&](CDeviceModel& m) { return m.AddFaults(spec); }));
    }
    size_t FramesSeen() { return m_dev->Frames().size(); }
    // Runs `fn` and returns the fake time it took.
    template <class Fn> uint32_t Timed(Fn fn)
    {
        const uint32_t start = m_clock.m_now;
        fn();
        return m_clock.m_now - start;
    }

    std::unique_ptr<CPtyDevice> m_dev = std::make_unique<CPtyDevice>();
    CFakeClock m_clock;
    CRecordedMessages m_msg;
    CSnToolWorkflow m_flow {&m_msg};
    std::string m_sn = "/tmp/pello-fault-" + std::to_string(::getpid()) + "-SN.txt";
};

} // namespace

TEST_F(Faults, DeviceVanishesMidReply)
{
    m_dev->m_hangUpAfterBytes = 5; // five bytes of the QSID reply, then gone
    const uint32_t took = Timed([&] { m_flow.OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LT(took, 1000u); // no read waits out its limit on a port that hung up
}

TEST_F(Faults, GarbageBeforeAReplyFailsThatAttemptOnly)
{
    Fault("QSID=raw:xyz(ACK\\x39\\x20\\x0D");
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(FramesSeen(), 2u);
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(Faults, EndlessReplyWithoutCr)
{
    Fault("QSID=raw:" + std::string(300, 'x') + ",raw:" + std::string(300, 'y') + ",raw:" + std::string(300, 'z'));
    const uint32_t took = Timed([&] { m_flow.OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(FramesSeen(), 3u);
    EXPECT_LE(took, kComExchangeWorstMs);
}

TEST_F(Faults, ReplySplitByteByByteWithPauses)
{
    m_dev->m_byteGapMs = 20;
    m_clock.m_realSliceMs = 1000;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(FramesSeen(), 1u);
}

TEST_F(Faults, ReplyJustAfterTheDeadlineIsReadByTheNextAttempt)
{
    // The first reply comes after the first read has given up (in fake time);
    // nothing purges between attempts, so the second read takes it.
    m_clock.m_realSliceMs = 300; // each read waits 300 ms of real time, then times out
    m_dev->m_replyDelayMs = 450; // so the reply lands inside the second read
    const uint32_t took = Timed([&] { m_flow.OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_GE(took, 3000u);
    EXPECT_LE(took, kComExchangeWorstMs);
}

TEST_F(Faults, NulBytesInsideAReply)
{
    // A NUL inside the text: the check by length still holds; the Product ID
    // is cut at the NUL, as the reply is read as text.
    Fault(std::string("QSID=reply:(0812\\x0034567890000000000"));
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "COM0");
    EXPECT_EQ(m_flow.m_strProductId, "12");
    // A NUL that breaks the check bytes: refused.
    Fault("QSID=raw:(ACK\\x00\\x20\\x0D,raw:(ACK\\x00\\x20\\x0D,raw:(ACK\\x00\\x20\\x0D");
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
}

TEST_F(Faults, PortRemovedBetweenSearchAndApply)
{
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    m_dev.reset();
    const uint32_t took = Timed([&] { m_flow.OnApply(); });
    EXPECT_EQ(m_msg.Last().text, "Setting failed!");
    EXPECT_LT(took, 1000u);
}

TEST_F(Faults, PortTakenByAnotherProcessBetweenSearchAndApply)
{
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    const size_t before = FramesSeen();
    CUniqueFd other(::open(m_dev->Path().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    m_flow.OnApply();
    EXPECT_EQ(m_msg.Last().text, "Setting failed!");
    EXPECT_EQ(FramesSeen(), before);
}

TEST_F(Faults, BadSnFilesSendNothing)
{
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    const size_t before = FramesSeen();
    const std::string big = std::string(10 * 1024 * 1024, 'A') + "\nABCDEFGH_123\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "Invalid SN.txt: line 1 needs 22 characters"},
        {"0812345678ABCDEFGHIJKL", "Invalid SN.txt: line 2 needs 12 characters"},
        {std::string("0812345678ABC\0EFGHIJKL\nABCDEFGH_123\n", 36), "Invalid SN.txt: line 1 needs 22 characters"},
        {"0812345678ABCDEFGHIJKL\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0b\x0c\x0e\n",
         "Invalid SN.txt: only printable ASCII characters are allowed"},
        {"\xff\xfe" "0\0" "8\0" "1\0", "Invalid SN.txt: line 1 needs 22 characters"},
    };
    for (const auto& [content, message] : cases) {
        WriteSn(content);
        m_flow.OnApply();
        EXPECT_EQ(m_msg.Last().text, message);
        EXPECT_EQ(m_msg.Last().caption, "File");
    }
    WriteSn(big); // 10 MB: line 1 is cut, its rest skipped; line 2 is good
    m_flow.OnApply();
    EXPECT_EQ(m_msg.Last().text, "Setting successful!");
    EXPECT_EQ(m_dev->WithModel([](CDeviceModel& m) { return m.m_sid; }), std::string(22, 'A'));
    EXPECT_EQ(FramesSeen(), before + 4);
}

TEST_F(Faults, SnFileChangedBetweenTwoPresses)
{
    m_flow.OnSearch();
    m_flow.OnApply();
    EXPECT_EQ(m_dev->WithModel([](CDeviceModel& m) { return m.m_sid; }), "0812345678ABCDEFGHIJKL");
    WriteSn("1099999999990000000000\nZZZZZZZZ_999\n");
    m_flow.OnApply();
    EXPECT_EQ(m_dev->WithModel([](CDeviceModel& m) { return m.m_pabc; }), "ZZZZZZZZ_999");
    EXPECT_EQ(m_dev->WithModel([](CDeviceModel& m) { return m.m_sid; }), "1099999999990000000000");
}

namespace {

class UsbFaults : public ::testing::Test {
protected:
    UsbFaults()
    {
        m_flow.m_hidLink.SetIo(&m_hid);
        m_flow.m_hidLink.SetPaths(m_hid.Paths());
        m_flow.m_nLinkType = 0;
    }
    CFakeHid m_hid;
    FakeHidNode& m_node = m_hid.AddNode(0, 0x0665, 0x5161, VendorDescriptor8());
    CRecordedMessages m_msg;
    CSnToolWorkflow m_flow {&m_msg};
};

} // namespace

TEST_F(UsbFaults, DeviceVanishesMidReadWithEnodev)
{
    m_node.vanishAfterReads = 2; // two reports of the QSID reply, then ENODEV
    const uint32_t start = m_hid.m_clock.m_now;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LT(m_hid.m_clock.m_now - start, 2000u); // never waits out a deadline
}

TEST_F(UsbFaults, GarbageNulsAndEndlessReports)
{
    m_node.model.AddFaults("QSID=raw:\\x00\\x00junk,raw:" + std::string(400, 'q') + ",raw:(A\\x00\\x00\\x0D");
    const uint32_t start = m_hid.m_clock.m_now;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_LE(m_hid.m_clock.m_now - start, 3u * 2250u);
    m_flow.OnSearch(); // and it recovers once the device behaves
    EXPECT_EQ(m_flow.m_strDevice, "usb");
}
