#include "tests/support/FakeHid.h"
#include "protocol/Frames.h"
#include "link/HidDescriptor.h"
#include "link/HidLink.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

using namespace pello;

namespace {

constexpr uint16_t kVid = 0x0665, kPid = 0x5161;

std::vector<uint8_t> Payload(std::initializer_list<uint8_t> bytes)
{
    std::vector<uint8_t> p(255, 0);
    std::copy(bytes.begin(), bytes.end(), p.begin());
    return p;
}

class HidLink : public ::testing::Test {
protected:
    CFakeHid m_hid;
    CHidLink m_link {&m_hid, m_hid.Paths()};
    uint8_t m_reply[256];
    size_t m_len = 0;

    FakeHidNode& AddDevice(int n = 0) { return m_hid.AddNode(n, kVid, kPid, VendorDescriptor8()); }
    std::string Reply() const { return std::string(reinterpret_cast<const char*>(m_reply), m_len); }
};

} // namespace

TEST(HidDescriptor, VendorDefinedEightByteInOut)
{
    const auto d = VendorDescriptor8();
    const auto caps = ParseReportDescriptor(d.data(), d.size());
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->input, 9);
    EXPECT_EQ(caps->output, 9);
    EXPECT_FALSE(caps->numbered);
}

TEST(HidDescriptor, NumberedReportsTakeTheLongest)
{
    // Input id 1: 4 bytes; input id 2: 16 bytes; output id 1: 8 bytes.
    const std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                                    0x85, 0x01, 0x95, 0x04, 0x81, 0x02, 0x95, 0x08, 0x91, 0x02,
                                    0x85, 0x02, 0x95, 0x10, 0x81, 0x02, 0xC0};
    const auto caps = ParseReportDescriptor(d.data(), d.size());
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->input, 17);
    EXPECT_EQ(caps->output, 9);
    EXPECT_TRUE(caps->numbered);
}

TEST(HidDescriptor, BootKeyboardAndBrokenInput)
{
    const std::vector<uint8_t> kbd = {
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
        0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
        0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
        0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
    const auto caps = ParseReportDescriptor(kbd.data(), kbd.size());
    ASSERT_TRUE(caps);
    EXPECT_EQ(caps->input, 9);  // modifiers, reserved, 6 keys
    EXPECT_EQ(caps->output, 2); // 5 LEDs and padding
    // Push/Pop restore the global state.
    const std::vector<uint8_t> pushed = {0x75, 0x08, 0x95, 0x02, 0xA4, 0x95, 0x10, 0x91, 0x02, 0xB4, 0x81, 0x02};
    const auto p = ParseReportDescriptor(pushed.data(), pushed.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->output, 17);
    EXPECT_EQ(p->input, 3);
    const std::vector<uint8_t> truncated = {0x75, 0x08, 0x96, 0x01};
    EXPECT_FALSE(ParseReportDescriptor(truncated.data(), truncated.size()));
    const std::vector<uint8_t> popEmpty = {0xB4};
    EXPECT_FALSE(ParseReportDescriptor(popEmpty.data(), popEmpty.size()));
}

TEST(ReportPayloadLength, Rules)
{
    EXPECT_EQ(ReportPayloadLength(Payload({'(', 'A', 'C', 'K', 0x39, 0x20, 0x0D}).data()), 7);
    EXPECT_EQ(ReportPayloadLength(Payload({'a', 0x0D, 'b', 0x0D}).data()), 2);
    EXPECT_EQ(ReportPayloadLength(Payload({0x41, 0x42, 0x00, 0x43, 0x0D}).data()), 5);
    EXPECT_EQ(ReportPayloadLength(Payload({0x41, 0x42, 0x00, 0x43, 0x44}).data()), 2);
    EXPECT_EQ(ReportPayloadLength(Payload({0x41, 0x00, 0x0D, 0x43, 0x0D}).data()), 5); // to the last CR of the run
    EXPECT_EQ(ReportPayloadLength(Payload({}).data()), 0);
    EXPECT_EQ(ReportPayloadLength(Payload({0x00, 0x0D}).data()), 2);
    std::vector<uint8_t> full(255, 'x');
    EXPECT_EQ(ReportPayloadLength(full.data()), 255); // no scan past the buffer
    full[254] = 0;
    EXPECT_EQ(ReportPayloadLength(full.data()), 254);
}

TEST_F(HidLink, FramesGoOutAsEightByteReports)
{
    FakeHidNode& node = AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    const uint8_t frame28[28] = {'S', 'I', 'D', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'a',
                                 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 0x11, 0x22, 0x0D};
    for (size_t len : {7u, 16u, 28u, 0u}) {
        node.written.clear();
        ASSERT_TRUE(m_link.WriteFrame(frame28, len));
        const size_t reports = len == 0 ? 1 : (len + 7) / 8;
        ASSERT_EQ(node.written.size(), reports) << len;
        for (size_t r = 0; r < reports; ++r) {
            const auto& rep = node.written[r];
            ASSERT_EQ(rep.size(), 9u);
            EXPECT_EQ(rep[0], 0);
            const size_t carried = std::min<size_t>(8, len - r * 8);
            EXPECT_EQ(std::memcmp(rep.data() + 1, frame28 + r * 8, carried), 0);
            for (size_t i = 1 + carried; i < 9; ++i) {
                EXPECT_EQ(rep[i], 0) << "padding is zero";
            }
        }
    }
    EXPECT_EQ(m_hid.m_openHandles, 0);
}

TEST_F(HidLink, ReplyOverSeveralReportsEndsAtCr)
{
    FakeHidNode& node = AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    const Frame q = BuildQsidFrame();
    ASSERT_TRUE(m_link.Transact(q.bytes, q.length, m_reply, &m_len));
    EXPECT_EQ(Reply(), MakeReply("(1400000000000000000000"));
    EXPECT_EQ(m_reply[m_len], 0);
    // Bytes after the first CR in a report are not part of the reply.
    node.input.push_back({'(', 'A', 'C', 'K', 0x39, 0x20, 0x0D, 'Z'});
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    EXPECT_EQ(Reply(), MakeReply("(ACK"));
}

TEST_F(HidLink, NumberedReportsKeepTheirIdByte)
{
    FakeHidNode& node = m_hid.AddNode(0, kVid, kPid, VendorDescriptor8(5));
    node.reportId = 5;
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    EXPECT_TRUE(m_link.m_caps.bNumberedReports);
    const Frame a = BuildAte1Frame();
    // The device wants its id first; our report id 0 is refused, as on the wire.
    EXPECT_FALSE(m_link.Transact(a.bytes, a.length, m_reply, &m_len));
    m_hid.QueueReply(node, MakeReply("(ACK"));
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    EXPECT_EQ(Reply(), MakeReply("(ACK"));
}

TEST_F(HidLink, ZeroByteBeforeCrStaysInTheReply)
{
    FakeHidNode& node = AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    node.input.push_back({'(', 'X', 0xA1, 0x00, 0x0D, 0, 0, 0});
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    EXPECT_EQ(m_len, 5u);
}

TEST_F(HidLink, SilentDeviceReturnsTrueEmptyWithinTheDeadline)
{
    AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    m_hid.m_clock.m_now = 0xFFFFF000u; // the tick counter wraps during the read
    const uint32_t start = m_hid.m_clock.m_now;
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    const uint32_t took = m_hid.m_clock.m_now - start;
    EXPECT_GE(took, 2000u);
    EXPECT_LE(took, 2250u);
    EXPECT_EQ(m_len, 0u);
    EXPECT_EQ(g_dwHidReadTimeout, 2000u);
}

TEST_F(HidLink, SilentDeviceRealTime)
{
    AddDevice();
    m_hid.m_realTime = true;
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(ms, 2000);
    EXPECT_LT(ms, 5000);
}

TEST_F(HidLink, VanishingDeviceEndsTheReadAtOnce)
{
    FakeHidNode& node = AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    node.input.push_back({'(', 'A', 'C', 0, 0, 0, 0, 0});
    node.vanishAfterReads = 1;
    const uint32_t start = m_hid.m_clock.m_now;
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    EXPECT_EQ(Reply(), "(AC");
    EXPECT_LT(m_hid.m_clock.m_now - start, 250u);
    EXPECT_FALSE(m_link.ReadReply(m_reply, &m_len)); // gone for good
}

TEST_F(HidLink, EndlessReplyStopsAtTheBufferEnd)
{
    FakeHidNode& node = AddDevice();
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    for (int i = 0; i < 40; ++i) {
        node.input.push_back(std::vector<uint8_t>(8, 'y'));
    }
    ASSERT_TRUE(m_link.ReadReply(m_reply, &m_len));
    EXPECT_EQ(m_len, 255u);
    EXPECT_EQ(m_reply[255], 0);
}

TEST_F(HidLink, FirstMatchWinsAndUnopenableIsPassedOver)
{
    m_hid.AddNode(0, 0x046D, 0xC52B, VendorDescriptor8()); // someone's mouse receiver
    m_hid.AddNode(2, kVid, kPid, VendorDescriptor8()).openable = false;
    m_hid.AddNode(10, kVid, kPid, VendorDescriptor8());
    m_hid.AddNode(3, kVid, kPid, VendorDescriptor8());
    m_hid.AddSysfsOnly(1, "", VendorDescriptor8()); // no ids to read
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    EXPECT_EQ(m_link.m_strDevicePath, m_hid.Paths().devDir + "/hidraw3"); // 3 before 10
    EXPECT_EQ(m_link.m_caps.InputReportByteLength, 9);
    EXPECT_EQ(m_link.m_caps.OutputReportByteLength, 9);
    EXPECT_EQ(m_hid.m_openHandles, 0);
    EXPECT_EQ(m_link.m_pDetailData, nullptr);
}

TEST_F(HidLink, RefusedMatchesAndFailedSearchKeepTheLastMatch)
{
    AddDevice(4);
    ASSERT_TRUE(m_link.FindDevice(kVid, kPid));
    const std::string path = m_link.m_strDevicePath;
    // Remove the good one; leave only matches that cannot be used.
    m_hid.Node(4).openable = false;
    std::vector<uint8_t> big = {0x75, 0x08, 0x95, 0x20, 0x91, 0x02, 0x95, 0x08, 0x81, 0x02}; // 32-byte output
    m_hid.AddNode(5, kVid, kPid, big);
    m_hid.AddNode(6, kVid, kPid, {0x75, 0x08, 0x96, 0x00, 0x01, 0x81, 0x02, 0x91, 0x02}); // 256-byte input
    m_hid.AddNode(7, kVid, kPid, {0x05}); // unreadable descriptor
    m_link.m_caps.InputReportByteLength = 9;
    EXPECT_FALSE(m_link.FindDevice(kVid, kPid));
    EXPECT_EQ(m_link.m_strDevicePath, path);
    EXPECT_EQ(m_link.m_caps.InputReportByteLength, 9);
    EXPECT_EQ(m_link.m_caps.OutputReportByteLength, 9);
}

TEST_F(HidLink, NothingPresent)
{
    EXPECT_FALSE(m_link.FindDevice(kVid, kPid));
    CHidLink elsewhere(&m_hid, {"/nonexistent/class", "/dev"});
    EXPECT_FALSE(elsewhere.FindDevice(kVid, kPid));
}
