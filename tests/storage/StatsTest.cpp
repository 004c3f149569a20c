// The line's numbers on an SQLite file and on a PostgreSQL server of the
// test's own: one small record whose every figure is counted by hand (in the
// comments), and seeded histories checked against a plain count of what was
// generated, before and after an upgrade from schema 2.

#include "storage/Store.h"
#include "tests/support/Postgres.h"
#include "tests/support/StatsCampaign.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <memory>

using namespace pello;
using storage::ProgrammingRecord;

namespace {

std::unique_ptr<CPostgresServer> g_postgres;

class CStopPostgres : public ::testing::Environment {
public:
    void TearDown() override { g_postgres.reset(); }
};
[[maybe_unused]] ::testing::Environment* const g_stopPostgres = ::testing::AddGlobalTestEnvironment(new CStopPostgres);

std::string NewRecord(const std::string& backend, const std::string& name)
{
    static int databases = 0;
    if (backend == "sqlite") return MakeScratchDir(name) + "/record.db";
    if (!g_postgres) g_postgres = std::make_unique<CPostgresServer>();
    return g_postgres->NewDatabase(name + std::to_string(++databases));
}

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
    r.verify = outcome == "verify failed" ? "differs" : "matched";
    r.batch = "B";
    r.token = storage::RandomToken();
    return r;
}

const std::string kNew = storage::kFactoryField;

class Stats : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        m_store = std::make_unique<storage::CStore>(storage::OpenDatabase(NewRecord(GetParam(), "stats")));
        std::string why;
        const storage::Station who {"S2", "host", 1, "m", "Bob"};
        m_store->CreateBatch("B", *storage::MakeRange("B01", 9, &why), "ABCDEFGH_123", who);
        // r1 S1: programmed in 20 s. r2 S1: PABC refused in 10 s. r3 S1: the
        // unit of r2 again (it carries F2): programmed in 30 s, a retest.
        Add(Row("S1", "Ann", "programmed", kNew, "F1", "10:00:00", "10:00:20"));
        Add(Row("S1", "Ann", "failed", kNew, "F2", "10:01:00", "10:01:10",
                "PABC: refused by the device (NAK); the unit carries F2"));
        Add(Row("S1", "Ann", "programmed", "F2", "F3", "10:02:00", "10:02:30"));
        // r4 S2: its read-back differed after 40 s; the serial is in doubt.
        auto claim = m_store->ClaimNext("B", who);
        claim->started = "2026-12-07T10:03:00Z"; // its cycle begins at the claim
        ProgrammingRecord r4 = Row("S2", "Bob", "verify failed", kNew, claim->field, "10:03:00", "10:03:40");
        r4.serial = claim->serial;
        m_store->Settle(*claim, storage::SerialState::InDoubt, r4, who);
        // r5 S2: a new unit, 5 min 20 s after r4 ended: programmed in 10 s.
        // No device, and a run still going: no attempts.
        Add(Row("S2", "Bob", "programmed", kNew, "F5", "10:09:00", "10:09:10"));
        Add(Row("S2", "Bob", "no device", kNew, "F6", "10:10:00", "10:10:00"));
        Add(Row("S2", "Bob", "in progress", kNew, "F7", "10:11:00", "10:11:00"));
        // r8 S3: SID refused in 5 s, the unit keeps the field of a new unit;
        // r9 S3: that unit again within two minutes, programmed in 15 s.
        Add(Row("S3", "Cy", "failed", kNew, "F8", "10:20:00", "10:20:05", "SID: refused by the device (NAK)"));
        Add(Row("S3", "Cy", "programmed", kNew, "F9", "10:22:00", "10:22:15"));
    }
    void Add(const ProgrammingRecord& r) { m_store->AddRecord(r); }
    std::unique_ptr<storage::CStore> m_store;
};

} // namespace

INSTANTIATE_TEST_SUITE_P(Backends, Stats, ::testing::Values("sqlite", "postgres"));

TEST_P(Stats, EveryFigureAsCountedByHand)
{
    const storage::LineStats stats = m_store->Stats({"B", "", "", "station"});
    const storage::LineFigures& t = stats.total;
    EXPECT_EQ(t.attempts, 7u);    // r1..r5, r8, r9
    EXPECT_EQ(t.programmed, 4u);  // r1, r3, r5, r9
    EXPECT_EQ(t.failed, 3u);      // r2, r4, r8
    EXPECT_DOUBLE_EQ(t.yield, 4.0 / 7);
    EXPECT_EQ(t.units, 5u);       // r1, r2+r3, r4, r5, r8+r9
    EXPECT_EQ(t.retested, 2u);    // r3, r9
    EXPECT_DOUBLE_EQ(t.firstPassYield, 0.4);  // r1, r5 of five units
    EXPECT_DOUBLE_EQ(t.retestRate, 0.4);
    EXPECT_EQ(t.inDoubt, 1u);     // r4's serial
    EXPECT_DOUBLE_EQ(t.cycleP50, 15);  // 5 10 10 [15] 20 30 40
    EXPECT_DOUBLE_EQ(t.cycleP90, 40);
    EXPECT_DOUBLE_EQ(t.unitsPerHour, 4 * 60.0 / 7);  // 4 programmed in 7 active minutes
    ASSERT_EQ(t.failures.size(), 3u);  // one each, by step: what the read-back found is not a reason
    EXPECT_EQ(t.failures[0].step, "PABC");
    EXPECT_EQ(t.failures[0].reason, "refused by the device (NAK)");
    EXPECT_EQ(t.failures[1].step, "SID");
    EXPECT_EQ(t.failures[2].step, "verify");
    EXPECT_EQ(t.failures[2].reason, "the field read back differs");

    ASSERT_EQ(stats.groups.size(), 3u);
    const storage::LineFigures& s1 = stats.groups[0];
    EXPECT_EQ(s1.group, "S1");
    EXPECT_EQ(s1.attempts, 3u);
    EXPECT_DOUBLE_EQ(s1.firstPassYield, 0.5);  // r1 of r1, r2+r3
    EXPECT_DOUBLE_EQ(s1.cycleP50, 20);  // 10 [20] 30
    EXPECT_DOUBLE_EQ(s1.cycleP90, 30);
    EXPECT_DOUBLE_EQ(s1.unitsPerHour, 40);  // 2 in 3 minutes
    const storage::LineFigures& s2 = stats.groups[1];
    EXPECT_EQ(s2.units, 2u);  // r5 came more than five minutes after r4: a unit of its own
    EXPECT_DOUBLE_EQ(s2.firstPassYield, 0.5);
    EXPECT_DOUBLE_EQ(s2.cycleP50, 10);  // [10] 40
    EXPECT_EQ(s2.inDoubt, 1u);
    const storage::LineFigures& s3 = stats.groups[2];
    EXPECT_EQ(s3.units, 1u);  // one unit whose first pass failed
    EXPECT_DOUBLE_EQ(s3.firstPassYield, 0);
    EXPECT_DOUBLE_EQ(s3.retestRate, 1);

    // Windows cut every figure at the same second: r4 ended at 10:03:40.
    const auto window = [&](const std::string& since, const std::string& until) {
        return m_store->Stats({"", "2026-12-07T" + since + "Z", "2026-12-07T" + until + "Z", ""}).total;
    };
    EXPECT_EQ(window("10:03:40", "10:03:41").attempts, 1u);
    EXPECT_EQ(window("10:03:40", "10:03:41").inDoubt, 1u);
    EXPECT_EQ(window("10:03:41", "10:04:00").attempts, 0u);
    EXPECT_EQ(window("10:03:41", "10:04:00").inDoubt, 0u);
    EXPECT_EQ(window("10:03:00", "10:03:40").attempts + window("10:03:00", "10:03:40").inDoubt, 0u);
    EXPECT_EQ(window("10:02:00", "10:09:10").attempts, 2u);   // r3, r4
    EXPECT_EQ(window("09:00:00", "11:00:00").attempts, 7u);   // whole hours, from the tallies
    EXPECT_EQ(window("10:00:21", "12:00:00").attempts, 6u);   // part of an hour from the rows, then whole ones
    const auto byOperator = m_store->Stats({"", "", "", "operator"}).groups;
    ASSERT_EQ(byOperator.size(), 3u);
    EXPECT_EQ(byOperator[0].group, "Ann");
    EXPECT_EQ(m_store->Stats({"", "", "", "hour"}).groups.at(0).group, "2026-12-07T10");
    EXPECT_EQ(m_store->Stats({"nope", "", "", ""}).total.attempts, 0u);
}

class StatsCampaign : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Backends, StatsCampaign, ::testing::Values("sqlite", "postgres"));

// Seeds 1 to 3 here; build/bin/pello_campaign --stats sqlite|postgres --runs N for more.
TEST_P(StatsCampaign, SeededHistoriesAgreeWithAPlainCount)
{
    for (uint64_t seed = 1; seed <= 3; ++seed) {
        const std::vector<std::string> wrong = RunStatsCampaign(NewRecord(GetParam(), "campaign"), seed);
        for (size_t i = 0; i < wrong.size() && i < 10; ++i) ADD_FAILURE() << "seed " << seed << ": " << wrong[i];
    }
}
