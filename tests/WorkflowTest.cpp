// Search and Apply end to end: over a real pseudo-terminal with the device
// model behind it, and over the fake USB device.

#include "FakeClock.h"
#include "FakeHid.h"
#include "OpenCounter.h"
#include "PtyDevice.h"
#include "SnFile.h"
#include "TestSupport.h"
#include "Workflow.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string Str(const Frame& f) { return std::string(reinterpret_cast<const char*>(f.bytes), f.length); }

class WorkflowBase : public ::testing::Test {
protected:
    WorkflowBase()
    {
        ResetSnLines();
        m_flow.m_comLink.SetClock(&m_clock);
        AliasAllPortsNowhere(m_flow.m_portResolver);
        m_flow.m_strSnFile = m_snPath;
        WriteSn("0812345678ABCDEFGHIJKL\r\nABCDEFGH_123\r\n");
    }
    ~WorkflowBase() override
    {
        std::remove(m_snPath.c_str());
        ResetSnLines();
    }
    void WriteSn(const std::string& content) { std::ofstream(m_snPath, std::ios::binary) << content; }
    const CRecordedMessages::Box& LastBox() const { return m_messages.Last(); }

    std::string m_snPath = "/tmp/pello-wf-" + std::to_string(::getpid()) + "-SN.txt";
    CFakeClock m_clock;
    CRecordedMessages m_messages;
    CSnToolWorkflow m_flow {&m_messages};
};

class WorkflowCom : public WorkflowBase {
protected:
    CPtyDevice& DeviceOn(int n)
    {
        m_devices.push_back(std::make_unique<CPtyDevice>());
        m_flow.m_portResolver.SetAlias(n, m_devices.back()->Path());
        return *m_devices.back();
    }
    void Search()
    {
        m_flow.m_nLinkType = 1;
        m_flow.OnSearch();
    }
    std::vector<std::unique_ptr<CPtyDevice>> m_devices;
};

} // namespace

TEST_F(WorkflowCom, SearchFindsTheDeviceOnTheLowestPort)
{
    DeviceOn(2);
    Search();
    EXPECT_EQ(m_flow.m_strDevice, "COM2");
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
    EXPECT_EQ(m_flow.m_comLink.m_bOpened, 0);
    EXPECT_TRUE(m_messages.boxes.empty());
}

TEST_F(WorkflowCom, OnlyTheLowestProbedPortIsTried)
{
    CPtyDevice& silent = DeviceOn(1);
    silent.WithModel([](CDeviceModel& m) { return m.AddFaults("QSID=silent,silent,silent"); });
    CPtyDevice& dev = DeviceOn(3);
    Search();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(silent.Frames().size(), 3u); // three attempts
    EXPECT_TRUE(dev.Frames().empty());
    EXPECT_TRUE(m_messages.boxes.empty());
}

TEST_F(WorkflowCom, PortHeldByAnotherProcessIsPassedOver)
{
    CPtyDevice& held = DeviceOn(0);
    CPtyDevice& dev = DeviceOn(4);
    CUniqueFd other(::open(held.Path().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    Search();
    EXPECT_EQ(m_flow.m_strDevice, "COM4");
    EXPECT_TRUE(held.Frames().empty());
    EXPECT_EQ(dev.Frames().size(), 1u);
}

TEST_F(WorkflowCom, PortsTenAndUpAreNeverSearched)
{
    CPtyDevice dev;
    m_flow.m_portResolver.SetAlias(10, dev.Path());
    Search();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_TRUE(dev.Frames().empty());
}

TEST_F(WorkflowCom, FailedSearchEmptiesTheDeviceButKeepsTheProductId)
{
    CPtyDevice& dev = DeviceOn(0);
    Search();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("QSID=nak,nak,nak"); });
    Search();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(WorkflowCom, ApplySendsTheFourFramesOverAFreshPortEach)
{
    CPtyDevice& dev = DeviceOn(3);
    Search();
    ASSERT_EQ(m_flow.m_strDevice, "COM3");
    WriteSn("1400000000000000000000\n00000000_000\n");
    COpenCounter counter(dev.Path());
    m_flow.OnApply();
    counter.Update();
    EXPECT_EQ(counter.opens, 4);
    EXPECT_EQ(counter.closes, 4);
    ASSERT_EQ(m_messages.boxes.size(), 1u);
    EXPECT_EQ(LastBox().text, "Setting successful!");
    EXPECT_EQ(LastBox().caption, "setting");
    const auto frames = dev.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[1], Str(BuildAte1Frame()));
    EXPECT_EQ(frames[2], std::string("SID1400000000000000000000\x29\xB6\r"));
    EXPECT_EQ(frames[3], std::string("PABC00000000_000\xF7\x74\r"));
    EXPECT_EQ(frames[4], std::string("QBOOT\x0B\x88\r"));
    EXPECT_EQ(m_flow.m_strDevice, "COM3"); // Apply changes neither
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(WorkflowCom, SerialNumberWithAZeroCheckByteIsProgrammed)
{
    CPtyDevice& dev = DeviceOn(0);
    Search();
    WriteSn("1400000000000000000071\nABCDEFGH_123\n");
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting successful!");
    EXPECT_EQ(dev.Frames()[2], std::string("SID1400000000000000000071\xA1\x00\r", 28));
    EXPECT_EQ(dev.WithModel([](CDeviceModel& m) { return m.m_sid; }), "1400000000000000000071");
}

TEST_F(WorkflowCom, StopRules)
{
    CPtyDevice& dev = DeviceOn(0);
    Search();
    // ATE1 refused three times: SID still goes out. PABC refused: no QBOOT.
    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("ATE1=nak,nak,nak") && m.AddFaults("PABC=nak,nak,nak"); });
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting failed!");
    EXPECT_EQ(LastBox().caption, "setting");
    auto frames = dev.Frames();
    ASSERT_EQ(frames.size(), 1u + 3 + 1 + 3);
    EXPECT_EQ(frames[4].substr(0, 3), "SID");
    EXPECT_EQ(frames.back().substr(0, 4), "PABC");
    // QBOOT answered "(ACK": sent three times, then failure.
    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("QBOOT=ack,ack,ack"); });
    m_flow.OnApply();
    frames = dev.Frames();
    EXPECT_EQ(LastBox().text, "Setting failed!");
    ASSERT_GE(frames.size(), 3u);
    for (size_t i = frames.size() - 3; i < frames.size(); ++i) EXPECT_EQ(frames[i], Str(BuildQbootFrame()));
    EXPECT_EQ(frames.size(), 8u + 3 + 3);
}

TEST_F(WorkflowCom, FileProblemsComeFirstAndSendNothing)
{
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "No device found");
    EXPECT_EQ(LastBox().caption, "Setting");
    std::remove(m_snPath.c_str());
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Cannot Open File");
    EXPECT_EQ(LastBox().caption, "File");
    EXPECT_EQ(m_flow.m_lastApply, ApplyOutcome::FileError);

    CPtyDevice& dev = DeviceOn(0);
    Search();
    const size_t before = dev.Frames().size();
    for (const char* bad : {"081234\nABCDEFGH_123\n", "0812345678ABCDEFGHIJKL\n", "\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n"}) {
        WriteSn(bad);
        m_flow.OnApply();
        EXPECT_EQ(LastBox().caption, "File");
        EXPECT_EQ(LastBox().text.rfind("Invalid SN.txt: ", 0), 0u) << LastBox().text;
    }
    EXPECT_EQ(dev.Frames().size(), before);
    // The file is read again on every press: fixed, it programs.
    WriteSn("0599999000000000000000\nABCDEFGH_123\n");
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting successful!");
    EXPECT_EQ(dev.WithModel([](CDeviceModel& m) { return m.m_sid; }), "0599999000000000000000");
}

TEST_F(WorkflowCom, PortGoneBetweenSearchAndApply)
{
    auto dev = std::make_unique<CPtyDevice>();
    m_flow.m_portResolver.SetAlias(0, dev->Path());
    Search();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    dev.reset();
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting failed!");
}

namespace {

class WorkflowUsb : public WorkflowBase {
protected:
    WorkflowUsb()
    {
        m_flow.m_hidLink.SetIo(&m_hid);
        m_flow.m_hidLink.SetPaths(m_hid.Paths());
    }
    CFakeHid m_hid;
};

} // namespace

TEST_F(WorkflowUsb, SearchAndApplyOverUsb)
{
    FakeHidNode& node = m_hid.AddNode(0, 0x0665, 0x5161, VendorDescriptor8());
    node.model.m_sid = "14ABCDEFGHIJKLMN000000";
    m_flow.m_nLinkType = 0;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "usb");
    EXPECT_EQ(m_flow.m_strProductId, "ABCDEFGHIJKLMN");
    node.opens = 0;
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting successful!");
    // Four look-ups (one probe open each) and four write+read opens.
    EXPECT_EQ(node.opens, 4 + 4 * 2);
    EXPECT_EQ(node.model.m_sid, "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(node.model.m_pabc, "ABCDEFGH_123");
    EXPECT_EQ(m_hid.m_openHandles, 0);
}

TEST_F(WorkflowUsb, SilentDeviceFailsAfterThreeDeadlines)
{
    FakeHidNode& node = m_hid.AddNode(0, 0x0665, 0x5161, VendorDescriptor8());
    node.model.AddFaults("QSID=silent,silent,silent");
    m_flow.m_nLinkType = -1; // no radio button: USB
    const uint32_t start = m_hid.m_clock.m_now;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    const uint32_t took = m_hid.m_clock.m_now - start;
    EXPECT_GE(took, 3 * 2000u);
    EXPECT_LE(took, 3 * 2250u);
}

TEST_F(WorkflowUsb, DeviceUnpluggedBeforeApply)
{
    m_hid.AddNode(0, 0x0665, 0x5161, VendorDescriptor8());
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "usb");
    m_hid.Node(0).openable = false;
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting failed!");
}
