// The station's USB side through the same seam the hidraw link uses: a unit
// is a node that appears in the (fake) sysfs tree and goes again.

#include "station/Station.h"
#include "storage/Store.h"
#include "tests/support/FakeHid.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace pello;

namespace {

// The record as the station sees it, on a real SQLite file.
class CBook final : public station::CStationRecord {
public:
    explicit CBook(const std::string& path) : m_store(storage::OpenDatabase(path))
    {
        std::string why;
        m_store.CreateBatch("USB", *storage::MakeRange("U01", 3, &why), "ABCDEFGH_123", m_who);
    }
    std::optional<storage::ProgrammingRecord> LastWritten(const std::string& field) override
    {
        return m_store.LastWritten(field);
    }
    std::optional<storage::Claim> Claim() override { return m_store.ClaimNext("USB", m_who); }
    std::optional<storage::Claim> Reclaim(const std::string& field) override
    {
        return m_store.Reclaim("USB", field, m_who);
    }
    bool NoteStep(const storage::Claim& claim, const char* step) override
    {
        m_store.NoteStep(claim.token, step);
        return true;
    }
    std::string Blank() override { return storage::kFactoryField; }
    void Report(const std::string&, const std::string&, const station::StationTally&) override {}
    void NoteLabel(const storage::Claim&, const std::string&) override {}
    bool Keep(const storage::Claim& claim, storage::SerialState state, const storage::ProgrammingRecord& row) override
    {
        m_store.Settle(claim, state, row, m_who);
        return true;
    }
    storage::ProgrammingRecord NewRecord() override
    {
        storage::ProgrammingRecord row;
        row.time = storage::UtcNow();
        row.station = "usb-bench";
        return row;
    }
    uint64_t SerialsLeft() override { return m_store.ShowBatch("USB", storage::Station {}).free; }
    storage::CStore m_store;
    storage::Station m_who {"usb-bench", "host", 1, {}, {}};
};

// Counts what the station says.
class CTally final : public station::CStationEvents {
public:
    void Waiting(const station::StationTally&) override {}
    void Arrived(int, const SearchResult&) override { ++arrived; }
    void Finished(const station::UnitReport& r, const station::StationTally&) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        outcomes.push_back(r.outcome + " " + r.serial);
    }
    void Left(int) override { ++left; }
    void Stopped(const std::string&, const station::StationTally&) override {}
    void OnStep(const std::string&) override {}
    void Notice(const std::string& what) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        notices.push_back(what);
    }
    std::vector<std::string> Outcomes()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return outcomes;
    }
    std::atomic<int> arrived {0}, left {0};
    std::mutex mutex;
    std::vector<std::string> outcomes;
    std::vector<std::string> notices;
};

template <class Fn> bool WaitUntil(Fn fn)
{
    for (int i = 0; i < 1000 && !fn(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fn();
}

} // namespace

TEST(UsbStation, ANodeThatAppearsIsProgrammedOnceAndItsLeavingIsSeen)
{
    CFakeHid hid;
    CSnToolWorkflow flow;
    flow.SetHid(&hid, hid.Paths());
    CBook book(MakeScratchDir("usb-station") + "/record.db");
    station::CTimerWatcher rescan(20);
    CTally events;
    station::CStation line(flow, book, rescan, events, {Link::Usb, 2, 1000});
    std::atomic<bool> stop {false};
    station::StationTally tally;
    std::thread run([&] { tally = line.Run([&] { return stop.load(); }); });

    FakeHidNode& first = hid.AddNode(0, 0x0665, 0x5161, VendorDescriptor8());
    ASSERT_TRUE(WaitUntil([&] { return events.Outcomes().size() == 1; }));
    // Left connected: looked at again and again, never written again.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(events.Outcomes().size(), 1u);
    EXPECT_EQ(events.left, 0);
    hid.RemoveNode(0);
    ASSERT_TRUE(WaitUntil([&] { return events.left == 1; }));
    // The next unit takes the next node number.
    FakeHidNode& second = hid.AddNode(1, 0x0665, 0x5161, VendorDescriptor8());
    run.join(); // --count 2
    EXPECT_EQ(events.Outcomes(), (std::vector<std::string> {"programmed U01", "programmed U02"}));
    EXPECT_EQ(first.model.m_sid, "03U0100000000000000000");
    EXPECT_EQ(second.model.m_sid, "03U0200000000000000000");
    EXPECT_EQ(tally.done, 2);
    EXPECT_EQ(hid.m_openHandles, 0);
}
