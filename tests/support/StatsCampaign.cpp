#include "tests/support/StatsCampaign.h"

#include "storage/Store.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>
#include <random>
#include <set>
#include <tuple>

namespace pello {

namespace {

const std::string kNew = storage::kFactoryField;
const std::vector<std::string> kStations = {"S1", "S2", "S3"};
const std::vector<std::string> kOperators = {"Ann", "Bob", "Cy"};
constexpr time_t kFirst = 1772409600; // 2026-03-02T00:00:00Z

std::string Utc(time_t t)
{
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// One generated row, and what a plain count makes of it.
struct Row {
    std::string station, op, batch, outcome, before, written, serial, detail, verify = "matched";
    time_t started = 0, ended = 0;
    std::string step, why; // the failure counted, for attempts not programmed
    bool Attempt() const { return outcome == "programmed" || outcome == "failed" || outcome == "verify failed"; }
};

struct History {
    std::vector<Row> rows;             // in the order they went in
    std::set<std::string> inDoubtNow;  // serials in doubt at the end
};

class CGenerator {
public:
    CGenerator(storage::CStore& store, uint64_t seed) : m_store(store), m_rng(seed) {}

    History Run(int rows)
    {
        std::string why;
        const storage::Station maker {"office", "h", 1, "m", "Sue"};
        for (const char* batch : {"A", "B"}) {
            m_store.CreateBatch(batch, *storage::MakeRange(std::string(batch) + "000001", 2000, &why), "ABCDEFGH_123",
                                maker);
        }
        for (size_t i = 0; i < kStations.size(); ++i) m_stations.push_back({kFirst + Pick(0, 3600), kNew});
        while (static_cast<int>(m_history.rows.size()) < rows) {
            // The station whose next attempt begins first: rows go in as a line writes them.
            const size_t s = static_cast<size_t>(
                std::min_element(m_stations.begin(), m_stations.end(),
                                 [](const Bench& a, const Bench& b) { return a.at < b.at; }) -
                m_stations.begin());
            Next(s);
        }
        for (const auto& [serial, inDoubt] : m_serialInDoubt) {
            if (inDoubt) m_history.inDoubtNow.insert(serial);
        }
        return m_history;
    }

private:
    struct Bench {
        time_t at;        // when its next attempt begins
        std::string unit; // the field its next unit reads
    };

    int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(m_rng); }
    bool Chance(int percent) { return Pick(1, 100) <= percent; }

    int Cycle()
    {
        const int kind = Pick(1, 100);
        return kind <= 20 ? Pick(0, 4) : kind <= 80 ? Pick(5, 40) : kind <= 95 ? Pick(41, 120) : Pick(121, 400);
    }

    // Around the few minutes in which a failed unit counts as tried again.
    int Gap()
    {
        const int kind = Pick(1, 100);
        if (kind <= 65) return Pick(3, 120);
        if (kind <= 85) return storage::kRetestWithinSeconds + Pick(-3, 3);
        if (kind <= 95) return Pick(600, 3600);
        return Pick(4, 20) * 3600 + Pick(0, 3599);
    }

    void Next(size_t s)
    {
        Bench& bench = m_stations[s];
        Row r;
        r.station = kStations[s];
        r.op = kOperators[static_cast<size_t>(Pick(0, 2))];
        r.before = bench.unit;
        r.started = bench.at;
        r.ended = r.started + Cycle();
        if (Chance(8)) {
            NotAnAttempt(r);
            bench.at = r.ended + Gap();
            return;
        }
        Outcome(&r);
        if (Chance(55)) {
            Claimed(&r);
        } else {
            FromFile(&r);
        }
        m_history.rows.push_back(r);
        m_written.push_back(r.written);
        // What the next unit at this bench reads: a unit that failed may come
        // back (carrying the field unless SID failed), a unit may come that
        // carries what an earlier attempt wrote, or a new one.
        if (r.outcome != "programmed" && Chance(60)) {
            bench.unit = r.step == "SID" ? r.before : r.written;
        } else if (Chance(7)) {
            bench.unit = m_written[static_cast<size_t>(Pick(0, static_cast<int>(m_written.size()) - 1))];
        } else {
            bench.unit = kNew;
        }
        bench.at = r.ended + Gap();
    }

    void Outcome(Row* r)
    {
        const int kind = Pick(1, 100);
        if (kind <= 72) {
            r->outcome = "programmed";
            return;
        }
        if (kind <= 92) {
            static const char* const steps[] = {"SID", "PABC", "QBOOT"};
            static const char* const reasons[] = {"refused by the device (NAK)", "no reply within the deadline"};
            r->outcome = "failed";
            r->step = steps[Pick(0, 2)];
            r->why = reasons[Pick(0, 1)];
            r->verify = "not done";
            // What the read-back found is no part of why it failed.
            r->detail = r->step + ": " + r->why + (Chance(50) ? "; the unit carries 08X" + std::to_string(Pick(0, 9)) : "");
            return;
        }
        r->outcome = "verify failed";
        r->step = "verify";
        r->verify = Chance(50) ? "differs" : "nothing read";
        r->why = r->verify == "differs" ? "the field read back differs" : "the unit did not answer the read-back";
    }

    storage::ProgrammingRecord RecordOf(const Row& r)
    {
        storage::ProgrammingRecord p;
        p.station = r.station;
        p.operatorName = r.op;
        p.outcome = r.outcome;
        p.fieldBefore = r.before;
        p.fieldWritten = r.written;
        p.batch = r.batch;
        p.serial = r.serial;
        p.detail = r.detail;
        p.verify = r.verify;
        p.started = Utc(r.started);
        p.time = Utc(r.ended);
        p.link = "rs232";
        return p;
    }

    void Claimed(Row* r)
    {
        r->batch = Chance(50) ? "A" : "B";
        const storage::Station who {r->station, "h", 1, "m", r->op};
        std::optional<storage::Claim> claim = m_store.ClaimNext(r->batch, who);
        claim->started = Utc(r->started);
        r->written = claim->field;
        r->serial = claim->serial;
        const storage::SerialState state = r->outcome == "programmed" ? storage::SerialState::Programmed
                                           : Chance(40)               ? storage::SerialState::InDoubt
                                                                      : storage::SerialState::Free;
        m_serialInDoubt[r->serial] = state == storage::SerialState::InDoubt;
        m_store.Settle(*claim, state, RecordOf(*r), who);
        // Notes added afterwards change nothing that is counted.
        if (Chance(10)) m_store.AddNote(claim->token, "label not printed: the printer is out of paper");
    }

    void FromFile(Row* r)
    {
        r->written = "10SNTXT" + std::to_string(100000 + m_history.rows.size()) + "00000000000";
        if (r->outcome == "programmed" && Chance(20)) r->detail = "written with --allow-duplicate";
        storage::ProgrammingRecord p = RecordOf(*r);
        p.token = storage::RandomToken();
        m_store.AddRecord(p);
    }

    void NotAnAttempt(Row& r)
    {
        static const char* const outcomes[] = {"no device", "refused: duplicate", "interrupted", "in progress"};
        r.outcome = outcomes[Pick(0, 3)];
        r.written = "10SNNONE" + std::to_string(100000 + m_history.rows.size()) + "0000000000";
        r.batch = Chance(50) ? "A" : "";
        storage::ProgrammingRecord p = RecordOf(r);
        p.token = storage::RandomToken();
        m_store.AddRecord(p);
        m_history.rows.push_back(r);
    }

    storage::CStore& m_store;
    std::mt19937_64 m_rng;
    std::vector<Bench> m_stations;
    History m_history;
    std::vector<std::string> m_written;
    std::map<std::string, bool> m_serialInDoubt;
};

// What a plain count gives, group by group.
struct Counted {
    uint64_t attempts = 0, programmed = 0, units = 0, firstPass = 0, retests = 0;
    std::vector<int64_t> cycles;
    std::set<std::string> minutes, inDoubt;
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
};

// Retests as the README defines them, by going through the rows in order.
std::vector<bool> Retests(const std::vector<Row>& rows)
{
    std::vector<bool> retest(rows.size(), false);
    std::map<std::string, size_t> lastAt; // the station's latest attempt
    std::set<std::string> written;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        if (!r.Attempt()) continue;
        bool again = r.before != kNew && written.count(r.before) > 0;
        if (const auto last = lastAt.find(r.station); last != lastAt.end()) {
            const Row& p = rows[last->second];
            again = again || (p.outcome != "programmed" && p.before == r.before &&
                              r.started >= p.ended && r.started - p.ended <= storage::kRetestWithinSeconds);
        }
        retest[i] = again;
        lastAt[r.station] = i;
        written.insert(r.written);
    }
    return retest;
}

std::string KeyOf(const Row& r, const std::string& by)
{
    if (by == "station") return r.station;
    if (by == "batch") return r.batch;
    if (by == "operator") return r.op;
    if (by == "hour") return Utc(r.ended).substr(0, 13);
    if (by == "day") return Utc(r.ended).substr(0, 10);
    return "";
}

std::map<std::string, Counted> Count(const History& h, const std::vector<bool>& retest, const storage::StatsQuery& q)
{
    std::map<std::string, Counted> groups;
    for (size_t i = 0; i < h.rows.size(); ++i) {
        const Row& r = h.rows[i];
        const std::string time = Utc(r.ended);
        if ((!q.since.empty() && time < q.since) || (!q.until.empty() && time >= q.until) ||
            (!q.batch.empty() && r.batch != q.batch)) {
            continue;
        }
        const std::string key = KeyOf(r, q.by);
        if (!r.serial.empty() && h.inDoubtNow.count(r.serial) > 0) groups[key].inDoubt.insert(r.serial);
        if (!r.Attempt()) continue;
        Counted& c = groups[key];
        const bool programmed = r.outcome == "programmed";
        ++c.attempts;
        c.programmed += programmed;
        c.retests += retest[i];
        c.units += !retest[i];
        c.firstPass += programmed && !retest[i];
        c.cycles.push_back(r.ended - r.started);
        c.minutes.insert(time.substr(0, 16));
        if (!programmed) ++c.failures[{r.step, r.why}];
    }
    Counted total;
    for (const auto& [key, c] : groups) {
        total.attempts += c.attempts;
        total.programmed += c.programmed;
        total.units += c.units;
        total.firstPass += c.firstPass;
        total.retests += c.retests;
        total.cycles.insert(total.cycles.end(), c.cycles.begin(), c.cycles.end());
        total.minutes.insert(c.minutes.begin(), c.minutes.end());
        total.inDoubt.insert(c.inDoubt.begin(), c.inDoubt.end());
        for (const auto& [why, n] : c.failures) total.failures[why] += n;
    }
    groups[std::string(1, '\0')] = total;
    return groups;
}

// The smallest cycle that at least `percent` % of the attempts did not exceed.
double Percentile(std::vector<int64_t> cycles, size_t percent)
{
    if (cycles.empty()) return 0;
    std::sort(cycles.begin(), cycles.end());
    const size_t rank = (percent * cycles.size() + 99) / 100; // rounded up, 1 for the first
    return static_cast<double>(cycles[std::max<size_t>(rank, 1) - 1]);
}

void Compare(const std::string& where, const Counted& c, const storage::LineFigures& f, std::vector<std::string>* out)
{
    const auto share = [](uint64_t a, uint64_t b) { return b == 0 ? 0.0 : static_cast<double>(a) / static_cast<double>(b); };
    const std::vector<std::tuple<const char*, double, double>> figures = {
        {"attempts", static_cast<double>(c.attempts), static_cast<double>(f.attempts)},
        {"programmed", static_cast<double>(c.programmed), static_cast<double>(f.programmed)},
        {"failed", static_cast<double>(c.attempts - c.programmed), static_cast<double>(f.failed)},
        {"units", static_cast<double>(c.units), static_cast<double>(f.units)},
        {"retested", static_cast<double>(c.retests), static_cast<double>(f.retested)},
        {"in_doubt", static_cast<double>(c.inDoubt.size()), static_cast<double>(f.inDoubt)},
        {"yield", share(c.programmed, c.attempts), f.yield},
        {"first_pass_yield", share(c.firstPass, c.units), f.firstPassYield},
        {"retest_rate", share(c.retests, c.units), f.retestRate},
        {"cycle_p50_s", Percentile(c.cycles, 50), f.cycleP50},
        {"cycle_p90_s", Percentile(c.cycles, 90), f.cycleP90},
        {"units_per_hour", c.minutes.empty() ? 0 : static_cast<double>(c.programmed) * 60 / static_cast<double>(c.minutes.size()),
         f.unitsPerHour}};
    for (const auto& [name, want, got] : figures) {
        if (std::fabs(want - got) > 1e-9) {
            out->push_back(where + ": " + name + " " + std::to_string(got) + ", counted " + std::to_string(want));
        }
    }
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
    for (const storage::FailureCount& x : f.failures) failures[{x.step, x.reason}] += x.count;
    if (failures != c.failures) out->push_back(where + ": failures by step differ");
}

std::vector<std::string> Check(storage::CStore& store, const History& h, const std::vector<storage::StatsQuery>& queries)
{
    const std::vector<bool> retest = Retests(h.rows);
    std::vector<std::string> out;
    for (const storage::StatsQuery& q : queries) {
        const std::string asked = "stats --batch '" + q.batch + "' --since '" + q.since + "' --until '" + q.until +
                                  "' --by '" + q.by + "'";
        std::map<std::string, Counted> counted = Count(h, retest, q);
        const storage::LineStats stats = store.Stats(q);
        Compare(asked + " total", counted[std::string(1, '\0')], stats.total, &out);
        counted.erase(std::string(1, '\0'));
        std::set<std::string> shown;
        for (const storage::LineFigures& g : stats.groups) {
            shown.insert(g.group);
            Compare(asked + " group '" + g.group + "'", counted[g.group], g, &out);
        }
        for (const auto& [key, c] : counted) {
            if (!q.by.empty() && shown.count(key) == 0) out.push_back(asked + ": group '" + key + "' missing");
        }
    }
    return out;
}

// Bounds at whole hours, at odd seconds, at a row's own end (kept by since,
// left out by until), or none.
std::string Bound(std::mt19937_64& rng, const History& h)
{
    const auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    const time_t last = h.rows.back().ended + 7200;
    switch (pick(0, 3)) {
    case 0: return "";
    case 1: return Utc(kFirst + pick(0, static_cast<int>((last - kFirst) / 3600)) * 3600);
    case 2: return Utc(kFirst + pick(0, static_cast<int>(last - kFirst)));
    default: return Utc(h.rows[static_cast<size_t>(pick(0, static_cast<int>(h.rows.size()) - 1))].ended);
    }
}

std::vector<storage::StatsQuery> Queries(uint64_t seed, const History& h)
{
    std::mt19937_64 rng(seed * 7919 + 1);
    static const std::vector<std::string> bys = {"", "station", "batch", "operator", "hour", "day"};
    static const std::vector<std::string> batches = {"", "", "A", "B", "nope"};
    std::vector<storage::StatsQuery> queries;
    for (const std::string& by : bys) queries.push_back({"", "", "", by});
    for (int i = 0; i < 24; ++i) {
        storage::StatsQuery q {batches[rng() % batches.size()], Bound(rng, h), Bound(rng, h), bys[rng() % bys.size()]};
        if (i % 4 == 0) { // within an hour or two
            const time_t end = h.rows[rng() % h.rows.size()].ended;
            q.until = Utc(end);
            q.since = Utc(end - static_cast<time_t>(rng() % 5400));
        }
        queries.push_back(q);
    }
    return queries;
}

// The record as schema 2 left it: the tallies by minute, no retest or failure of rows.
void BackToSchema2(const std::string& where)
{
    auto db = storage::OpenDatabase(where);
    db->Begin();
    for (const char* sql : {"DROP TABLE hour_tallies", "DROP TABLE hour_failures", "DROP INDEX records_by_station",
                            "ALTER TABLE records DROP COLUMN retest", "ALTER TABLE records DROP COLUMN failure",
                            "CREATE TABLE tallies (minute TEXT NOT NULL, station TEXT NOT NULL, batch TEXT NOT NULL, "
                            "operator TEXT NOT NULL, outcome TEXT NOT NULL, retest INTEGER NOT NULL, seconds BIGINT NOT "
                            "NULL, why TEXT NOT NULL, n BIGINT NOT NULL, PRIMARY KEY (minute, station, batch, "
                            "operator, outcome, retest, seconds, why))",
                            "UPDATE meta SET value = '2' WHERE key = 'schema_version'"}) {
        db->Query(sql);
    }
    db->Commit();
}

} // namespace

std::vector<std::string> RunStatsCampaign(const std::string& where, uint64_t seed)
{
    History history;
    std::vector<storage::StatsQuery> queries;
    std::vector<std::string> out;
    {
        storage::CStore store(storage::OpenDatabase(where));
        history = CGenerator(store, seed).Run(260);
        queries = Queries(seed, history);
        out = Check(store, history, queries);
    }
    BackToSchema2(where);
    storage::CStore upgraded(storage::OpenDatabase(where));
    for (const std::string& line : Check(upgraded, history, queries)) out.push_back("after the upgrade: " + line);
    return out;
}

} // namespace pello
