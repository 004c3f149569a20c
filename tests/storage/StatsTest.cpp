// The line's numbers on one small record made by hand: every figure is
// checked against a count done by hand (in the comments).

#include "storage/Store.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

using namespace pello;
using storage::ProgrammingRecord;

namespace {

ProgrammingRecord Row(const std::string& station, const std::string& op, const std::string& outcome,
                      const std::string& before, const std::string& written, const std::string& started,
                      const std::string& ended, const std::string& detail = "")
{
    ProgrammingRecord r;
    r.station = station;
    r.operatorName = op;
    r.outcome = outcome;
    r.fieldBefore = before;
    r.fieldWritten = written;
    r.started = "2026-12-07T" + started + "Z";
    r.time = "2026-12-07T" + ended + "Z";
    r.detail = detail;
    r.batch = "B";
    r.token = storage::RandomToken();
    return r;
}

const std::string kNew = storage::kFactoryField;

class Stats : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        const storage::Station who {"S2", "host", 1, "m", "Bob"};
        m_store.CreateBatch("B", *storage::MakeRange("B01", 9, &why), "ABCDEFGH_123", who);
        // r1 S1: programmed in 20 s. r2 S1: PABC refused in 10 s. r3 S1: the
        // unit of r2 again (it carries F2): programmed in 30 s, a retest.
        m_store.AddRecord(Row("S1", "Ann", "programmed", kNew, "F1", "10:00:00", "10:00:20"));
        m_store.AddRecord(Row("S1", "Ann", "failed", kNew, "F2", "10:01:00", "10:01:10", "PABC: refused by the device (NAK)"));
        m_store.AddRecord(Row("S1", "Ann", "programmed", "F2", "F3", "10:02:00", "10:02:30"));
        // r4 S2: its read-back differed after 40 s; the serial is in doubt.
        auto claim = m_store.ClaimNext("B", who);
        claim->started = "2026-12-07T10:03:00Z"; // its cycle begins at the claim
        ProgrammingRecord r4 = Row("S2", "Bob", "verify failed", kNew, claim->field, "10:03:00", "10:03:40");
        r4.serial = claim->serial;
        m_store.Settle(*claim, storage::SerialState::InDoubt, r4, who);
        // r5 S2: programmed in 10 s. No device, and a run still going: no attempts.
        m_store.AddRecord(Row("S2", "Bob", "programmed", kNew, "F5", "10:05:00", "10:05:10"));
        m_store.AddRecord(Row("S2", "Bob", "no device", kNew, "F6", "10:06:00", "10:06:00"));
        m_store.AddRecord(Row("S2", "Bob", "in progress", kNew, "F7", "10:07:00", "10:07:00"));
    }
    storage::CStore m_store {storage::OpenDatabase(MakeScratchDir("stats") + "/record.db")};
};

} // namespace

TEST_F(Stats, EveryFigureAsCountedByHand)
{
    const storage::LineStats stats = m_store.Stats({"B", "", "", "station"});
    const storage::LineFigures& t = stats.total;
    EXPECT_EQ(t.attempts, 5u);    // r1..r5
    EXPECT_EQ(t.programmed, 3u);  // r1, r3, r5
    EXPECT_EQ(t.failed, 2u);      // r2, r4
    EXPECT_DOUBLE_EQ(t.yield, 0.6);
    EXPECT_EQ(t.units, 4u);       // r1, r2+r3, r4, r5
    EXPECT_DOUBLE_EQ(t.firstPassYield, 0.5);  // r1, r5 of four units
    EXPECT_DOUBLE_EQ(t.retestRate, 0.25);     // the unit of r2
    EXPECT_EQ(t.inDoubt, 1u);     // r4's serial
    EXPECT_DOUBLE_EQ(t.cycleP50, 20);  // 10 10 [20] 30 40
    EXPECT_DOUBLE_EQ(t.cycleP90, 40);
    EXPECT_DOUBLE_EQ(t.unitsPerHour, 36);  // 3 programmed in 5 active minutes
    ASSERT_EQ(t.failures.size(), 2u);
    EXPECT_EQ(t.failures[0].count + t.failures[1].count, 2u);
    const bool pabcFirst = t.failures[0].step == "PABC";
    EXPECT_EQ(t.failures[pabcFirst ? 0 : 1].reason, "refused by the device (NAK)");
    EXPECT_EQ(t.failures[pabcFirst ? 1 : 0].step, "verify");

    ASSERT_EQ(stats.groups.size(), 2u);
    const storage::LineFigures& s1 = stats.groups[0];
    EXPECT_EQ(s1.group, "S1");
    EXPECT_EQ(s1.attempts, 3u);
    EXPECT_EQ(s1.programmed, 2u);
    EXPECT_DOUBLE_EQ(s1.firstPassYield, 0.5);  // r1 of r1, r2+r3
    EXPECT_DOUBLE_EQ(s1.retestRate, 0.5);
    EXPECT_DOUBLE_EQ(s1.cycleP50, 20);  // 10 [20] 30
    EXPECT_DOUBLE_EQ(s1.cycleP90, 30);
    EXPECT_DOUBLE_EQ(s1.unitsPerHour, 40);  // 2 in 3 minutes
    EXPECT_EQ(s1.inDoubt, 0u);
    const storage::LineFigures& s2 = stats.groups[1];
    EXPECT_EQ(s2.group, "S2");
    EXPECT_EQ(s2.attempts, 2u);
    EXPECT_DOUBLE_EQ(s2.yield, 0.5);
    EXPECT_DOUBLE_EQ(s2.cycleP50, 10);  // [10] 40
    EXPECT_DOUBLE_EQ(s2.cycleP90, 40);
    EXPECT_DOUBLE_EQ(s2.unitsPerHour, 30);  // 1 in 2 minutes
    EXPECT_EQ(s2.inDoubt, 1u);

    // A time window and other groupings.
    EXPECT_EQ(m_store.Stats({"", "2026-12-07T10:02:00Z", "2026-12-07T10:05:00Z", ""}).total.attempts, 2u);  // r3, r4
    const auto byOperator = m_store.Stats({"", "", "", "operator"}).groups;
    ASSERT_EQ(byOperator.size(), 2u);
    EXPECT_EQ(byOperator[0].group, "Ann");
    EXPECT_EQ(m_store.Stats({"", "", "", "hour"}).groups.at(0).group, "2026-12-07T10");
    EXPECT_EQ(m_store.Stats({"nope", "", "", ""}).total.attempts, 0u);
}
