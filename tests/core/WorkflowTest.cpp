// Search and Apply end to end: over a real pseudo-terminal with the device
// model behind it, and over the fake USB device.

#include "tests/support/OpenCounter.h"
#include "tests/support/WorkflowRig.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

using namespace pello;

namespace {

std::string Str(const Frame& f) { return std::string(reinterpret_cast<const char*>(f.bytes), f.length); }

using WorkflowCom = WorkflowFixture;
using WorkflowUsb = WorkflowFixture;

} // namespace

TEST_F(WorkflowCom, SearchFindsTheDeviceOnTheLowestPort)
{
    CPtyDevice& dev = m_rig.DeviceOn(2);
    const SearchResult r = SearchCom();
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.device, "COM2");
    EXPECT_EQ(r.node, dev.Path());
    EXPECT_EQ(r.field, "1400000000000000000000");
    EXPECT_EQ(r.productId, "00000000000000");
    EXPECT_EQ(m_flow.m_strDevice, "COM2");
    EXPECT_EQ(m_flow.m_comLink.m_bOpened, 0);
    EXPECT_TRUE(m_msg.boxes.empty());
}

TEST_F(WorkflowCom, OnlyTheLowestProbedPortIsTried)
{
    CPtyDevice& silent = m_rig.DeviceOn(1);
    silent.WithModel([](CDeviceModel& m) { return m.AddFaults("QSID=silent,silent,silent"); });
    CPtyDevice& dev = m_rig.DeviceOn(3);
    EXPECT_FALSE(SearchCom().found);
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(silent.Frames().size(), 3u); // three attempts
    EXPECT_TRUE(dev.Frames().empty());
    EXPECT_TRUE(m_msg.boxes.empty());
}

TEST_F(WorkflowCom, PortHeldByAnotherProcessIsPassedOver)
{
    CPtyDevice& held = m_rig.DeviceOn(0);
    CPtyDevice& dev = m_rig.DeviceOn(4);
    CUniqueFd other(::open(held.Path().c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(SearchCom().device, "COM4");
    EXPECT_TRUE(held.Frames().empty());
    EXPECT_EQ(dev.Frames().size(), 1u);
}

TEST_F(WorkflowCom, PortsTenAndUpAreNeverSearched)
{
    CPtyDevice dev;
    m_rig.Alias(10, dev.Path());
    EXPECT_FALSE(SearchCom().found);
    EXPECT_TRUE(dev.Frames().empty());
}

TEST_F(WorkflowCom, FailedSearchEmptiesTheDeviceButKeepsTheProductId)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    m_flow.m_nLinkType = 1;
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM0");
    dev.WithModel([](CDeviceModel& m) { return m.AddFaults("QSID=nak,nak,nak"); });
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(WorkflowCom, ApplySendsTheFourFramesOverAFreshPortEach)
{
    CPtyDevice& dev = m_rig.DeviceOn(3);
    m_flow.m_nLinkType = 1;
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "COM3");
    m_rig.WriteSn("1400000000000000000000\n00000000_000\n");
    COpenCounter counter(dev.Path());
    m_flow.OnApply();
    counter.Update();
    // Four frames over a port opened for each, then the read-back's search
    // (a probe, then its own open).
    EXPECT_EQ(counter.opens, 4 + 2);
    EXPECT_EQ(counter.closes, 4 + 2);
    ASSERT_EQ(m_msg.boxes.size(), 1u);
    EXPECT_EQ(LastBox().text, "Setting successful!");
    EXPECT_EQ(LastBox().caption, "setting");
    const auto frames = dev.Frames();
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[1], Str(BuildAte1Frame()));
    EXPECT_EQ(frames[2], std::string("SID1400000000000000000000\x29\xB6\r"));
    EXPECT_EQ(frames[3], std::string("PABC00000000_000\xF7\x74\r"));
    EXPECT_EQ(frames[4], std::string("QBOOT\x0B\x88\r"));
    EXPECT_EQ(frames[5], Str(BuildQsidFrame()));
    EXPECT_EQ(m_flow.m_strDevice, "COM3"); // Apply changes neither
    EXPECT_EQ(m_flow.m_strProductId, "00000000000000");
}

TEST_F(WorkflowCom, SerialNumberWithAZeroCheckByteIsProgrammed)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    SearchCom();
    const ApplyResult r = m_flow.Apply({"1400000000000000000071", "ABCDEFGH_123"});
    EXPECT_EQ(r.outcome, ApplyOutcome::Success);
    EXPECT_EQ(dev.Frames()[2], std::string("SID1400000000000000000071\xA1\x00\r", 28));
    EXPECT_EQ(dev.WithModel([](CDeviceModel& m) { return m.m_sid; }), "1400000000000000000071");
}

// Which frames are sent again, and when the sequence stops. A frame that
// changes the unit is tried again only after a whole reply in step (a
// refusal, bad check bytes); silence or a reply of another kind ends it.
TEST_F(WorkflowCom, RetryAndStopRules)
{
    CPtyDevice& dev = m_rig.DeviceOn(0);
    SearchCom();
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    // The ACK reply with its high check byte wrong (0x39 is right).
    const std::string wrongHigh = "raw:(ACK\\x38\\x20\\x0D";
    struct Case {
        std::string faults;
        ApplyOutcome outcome;
        Step failedAt;
        StepFailure failure;
        std::map<std::string, size_t> sent; // frames of each command sent
    };
    const Case cases[] = {
        {"ATE1=nak,nak,nak", ApplyOutcome::Success, Step::Ate1, StepFailure::None, {{"ATE1", 3}, {"SID", 1}}},
        {"PABC=nak,nak", ApplyOutcome::Success, Step::Ate1, StepFailure::None, {{"PABC", 3}, {"QBOOT", 1}}},
        {"PABC=nak,nak,nak", ApplyOutcome::Failure, Step::Pabc, StepFailure::Refused, {{"PABC", 3}, {"QBOOT", 0}}},
        {"PABC=silent", ApplyOutcome::Failure, Step::Pabc, StepFailure::OutOfStep, {{"PABC", 1}, {"QBOOT", 0}}},
        {"SID=storenak", ApplyOutcome::Success, Step::Ate1, StepFailure::None, {{"SID", 2}}},
        {"SID=" + wrongHigh, ApplyOutcome::Success, Step::Ate1, StepFailure::None, {{"SID", 2}}},
        {"SID=raw:noise\\x0D", ApplyOutcome::Failure, Step::Sid, StepFailure::Unexpected, {{"SID", 1}}},
        {"QBOOT=nak", ApplyOutcome::Success, Step::Ate1, StepFailure::None, {{"QBOOT", 2}}},
        {"QBOOT=ack,ack,ack", ApplyOutcome::Failure, Step::Qboot, StepFailure::OutOfStep, {{"QBOOT", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        ASSERT_TRUE(dev.WithModel([&](CDeviceModel& m) { m.m_frames.clear(); return m.AddFaults(c.faults); }));
        const ApplyResult r = m_flow.Apply(fields);
        EXPECT_EQ(r.outcome, c.outcome);
        if (c.outcome == ApplyOutcome::Failure) {
            ASSERT_NE(r.Failed(), nullptr);
            EXPECT_EQ(r.Failed()->step, c.failedAt);
            EXPECT_EQ(r.Failed()->failure, c.failure);
        }
        std::map<std::string, size_t> sent;
        for (const std::string& f : dev.Frames()) ++sent[CommandOf(f.substr(0, f.size() - 3))];
        for (const auto& [command, count] : c.sent) EXPECT_EQ(sent[command], count) << command;
        // A sequence that timed out leaves a late reply behind: search again.
        ASSERT_TRUE(SearchCom().found);
    }
}

TEST_F(WorkflowCom, FileProblemsComeFirstAndSendNothing)
{
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "No device found");
    EXPECT_EQ(LastBox().caption, "Setting");
    EXPECT_EQ(m_flow.Apply({"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"}).outcome, ApplyOutcome::NoDevice);
    m_rig.RemoveSn();
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Cannot Open File");
    EXPECT_EQ(LastBox().caption, "File");

    CPtyDevice& dev = m_rig.DeviceOn(0);
    SearchCom();
    const size_t before = dev.Frames().size();
    for (const char* bad : {"081234\nABCDEFGH_123\n", "0812345678ABCDEFGHIJKL\n", "\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n"}) {
        m_rig.WriteSn(bad);
        m_flow.OnApply();
        EXPECT_EQ(LastBox().caption, "File");
        EXPECT_EQ(LastBox().text.rfind("Invalid SN.txt: ", 0), 0u) << LastBox().text;
    }
    EXPECT_EQ(m_flow.Apply({"0812\n", "ABCDEFGH_123"}).outcome, ApplyOutcome::InvalidFields);
    EXPECT_EQ(dev.Frames().size(), before);
    // The file is read again on every press: fixed, it programs.
    m_rig.WriteSn("0599999000000000000000\nABCDEFGH_123\n");
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting successful!");
    EXPECT_EQ(dev.WithModel([](CDeviceModel& m) { return m.m_sid; }), "0599999000000000000000");
}

TEST_F(WorkflowCom, PortGoneBetweenSearchAndApply)
{
    auto dev = std::make_unique<CPtyDevice>();
    m_rig.Alias(0, dev->Path());
    ASSERT_TRUE(SearchCom().found);
    dev.reset();
    const ApplyResult r = m_flow.Apply({"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"});
    EXPECT_EQ(r.outcome, ApplyOutcome::Failure);
    EXPECT_EQ(r.Failed()->failure, StepFailure::PortNotOpened);
    EXPECT_FALSE(r.Failed()->exchange.AnyWritten());
}

TEST_F(WorkflowUsb, SearchAndApplyOverUsb)
{
    FakeHidNode& node = m_rig.UsbDevice();
    node.model.m_sid = "14ABCDEFGHIJKLMN000000";
    m_flow.m_nLinkType = 0;
    m_flow.OnSearch();
    EXPECT_EQ(m_flow.m_strDevice, "usb");
    EXPECT_EQ(m_flow.m_strProductId, "ABCDEFGHIJKLMN");
    node.opens = 0;
    m_flow.OnApply();
    EXPECT_EQ(LastBox().text, "Setting successful!");
    // The node Search found, opened once for each frame's write and read,
    // then by the read-back's search (its look, then its exchange).
    EXPECT_EQ(node.opens, 4 + 2);
    EXPECT_EQ(node.model.m_sid, "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(node.model.m_pabc, "ABCDEFGH_123");
    EXPECT_EQ(m_rig.m_hid.m_openHandles, 0);
}

// The dialog says "Setting successful!" only when the field reads back: a
// unit that acknowledges without storing fails; one that restarts after
// "QBOOT" and answers late is given the time; a reply queued behind another
// puts the sequence out of step.
TEST_F(WorkflowUsb, SuccessOnlyWhenTheFieldReadsBack)
{
    FakeHidNode& node = m_rig.UsbDevice();
    m_flow.m_nLinkType = 0;
    m_flow.OnSearch();
    ASSERT_EQ(m_flow.m_strDevice, "usb");
    const auto applyWith = [&](const std::string& faults) {
        node.model.AddFaults(faults);
        m_flow.OnApply();
        return LastBox().text;
    };
    EXPECT_EQ(applyWith("SID=ack"), "Setting failed!");
    EXPECT_EQ(node.model.m_sid, device::kInitialSerialField);
    const uint32_t took = m_rig.Timed([&] { EXPECT_EQ(applyWith("QSID=silent,silent,silent,silent"), "Setting successful!"); });
    EXPECT_GE(took, 4 * 2000u); // it waited for the restarting unit
    node.model.m_frames.clear();
    EXPECT_EQ(applyWith("SID=raw:(ACK\\x39\\x20\\x0D(ACK\\x39\\x20\\x0D"), "Setting failed!");
    for (const std::string& frame : node.model.m_frames) EXPECT_NE(frame.substr(0, 4), "PABC");
}

TEST_F(WorkflowUsb, SilentDeviceFailsAfterThreeDeadlines)
{
    FakeHidNode& node = m_rig.UsbDevice();
    node.model.AddFaults("QSID=silent,silent,silent");
    m_flow.m_nLinkType = -1; // no radio button: USB
    const uint32_t took = m_rig.Timed([&] { m_flow.OnSearch(); });
    EXPECT_EQ(m_flow.m_strDevice, "");
    EXPECT_GE(took, 3 * 2000u);
    EXPECT_LE(took, 3 * 2250u);
}

TEST_F(WorkflowUsb, DeviceUnpluggedBeforeApply)
{
    FakeHidNode& node = m_rig.UsbDevice();
    ASSERT_EQ(SearchUsb().device, "usb");
    node.openable = false;
    ApplyResult r = m_flow.Apply({"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"});
    EXPECT_EQ(r.outcome, ApplyOutcome::Failure);
    EXPECT_EQ(r.Failed()->failure, StepFailure::WriteFailed);
    m_rig.m_hid.RemoveNode(0);
    r = m_flow.Apply({"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"});
    EXPECT_EQ(r.Failed()->failure, StepFailure::DeviceNotFound);
}

// Every step of a sequence reaches the unit Search found, or none: a name
// that comes to point elsewhere, a replugged unit, a second unit connected.
TEST_F(WorkflowCom, OneUnitPerSequence)
{
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    CPtyDevice unitA, unitB;
    // COM0 is a link, as the README makes one, re-pointed while ATE1 waits.
    const std::string link = m_rig.m_dir + "/COM0";
    ASSERT_EQ(::symlink(unitA.Path().c_str(), link.c_str()), 0);
    m_rig.Alias(0, link);
    ASSERT_TRUE(SearchCom().found);
    m_rig.Clock().m_realSliceMs = 1000;
    unitA.WithModel([](CDeviceModel& m) { return m.AddFaults("ATE1=late:300"); });
    std::thread repoint([&] {
        for (int i = 0; i < 500 && unitA.Frames().size() < 2; ++i) ::usleep(2000);
        const std::string next = link + ".new";
        EXPECT_EQ(::symlink(unitB.Path().c_str(), next.c_str()), 0);
        EXPECT_EQ(::rename(next.c_str(), link.c_str()), 0);
    });
    const ApplyResult r = m_flow.Apply(fields);
    repoint.join();
    EXPECT_EQ(r.outcome, ApplyOutcome::Failure);
    ASSERT_NE(r.Failed(), nullptr);
    EXPECT_EQ(r.Failed()->step, Step::Sid);
    EXPECT_EQ(DescribeFailure(*r.Failed()), "SID: the device changed during programming");
    EXPECT_EQ(unitA.Frames().size(), 2u) << "QSID and ATE1";
    EXPECT_TRUE(unitB.Frames().empty());
}

TEST_F(WorkflowUsb, OneUnitPerSequence)
{
    const ProgramFields fields {"0812345678ABCDEFGHIJKL", "ABCDEFGH_123"};
    FakeHidNode& first = m_rig.UsbDevice();
    ASSERT_TRUE(SearchUsb().found);
    // A second unit connected after Search: counted, and never written.
    FakeHidNode& second = m_rig.m_hid.AddNode(1, device::kVendorId, device::kProductId, VendorDescriptor8());
    EXPECT_EQ(m_flow.UsbUnits().size(), 2u);
    EXPECT_EQ(m_flow.Apply(fields).outcome, ApplyOutcome::Success);
    EXPECT_EQ(first.model.m_sid, fields.serial);
    EXPECT_TRUE(second.written.empty());
    // The unit replugged after Search (the same node, another device): nothing goes out.
    ASSERT_TRUE(SearchUsb().found);
    m_rig.m_hid.RemoveNode(0);
    FakeHidNode& replugged = m_rig.UsbDevice();
    const ApplyResult r = m_flow.Apply({"0899999999ABCDEFGHIJKL", "ZZZZZZZZ_999"});
    ASSERT_NE(r.Failed(), nullptr);
    EXPECT_EQ(r.Failed()->failure, StepFailure::DeviceChanged);
    EXPECT_TRUE(replugged.written.empty());
    // Searching again finds the unit now connected, and pins that one.
    ASSERT_TRUE(SearchUsb().found);
    EXPECT_EQ(m_flow.Apply(fields).outcome, ApplyOutcome::Success);
    EXPECT_EQ(replugged.model.m_sid, fields.serial);
}
