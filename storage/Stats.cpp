// The line's numbers and the stations' rows, aggregated by the database from
// tallies by the hour (storage/Tallies.cpp), so that a line's record of a
// million rows answers in well under a second.

#include "storage/StoreCommon.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <tuple>

namespace pello::storage {

namespace {

// The total's key among the groups' (no group is called this).
const std::string kTotal = std::string(1, '\0') + "total";

// The grouping key's SQL for `by`, over tallies (hour) or records (time), of
// the table named `table` ("" for the only one).
std::string KeyOf(const std::string& by, const std::string& time, const std::string& table = "")
{
    if (by == "station") return table + "station";
    if (by == "batch") return "COALESCE(" + table + "batch, '')";
    if (by == "operator") return table + "operator";
    if (by == "hour") return "substr(" + table + time + ", 1, 13)";
    if (by == "day") return "substr(" + table + time + ", 1, 10)";
    return "''";
}

double Share(uint64_t part, uint64_t whole) { return whole == 0 ? 0 : static_cast<double>(part) / static_cast<double>(whole); }

// The smallest cycle that `percent` % of the attempts did not exceed, from a
// histogram of whole seconds; in whole numbers, so no rounding moves it.
double Percentile(const std::map<int64_t, uint64_t>& histogram, uint64_t percent)
{
    uint64_t total = 0;
    for (const auto& [seconds, n] : histogram) total += n;
    uint64_t seen = 0;
    for (const auto& [seconds, n] : histogram) {
        seen += n;
        if (seen * 100 >= percent * total) return static_cast<double>(seconds);
    }
    return 0;
}

void Finish(LineFigures* f)
{
    f->failed = f->attempts - f->programmed;
    f->yield = Share(f->programmed, f->attempts);
    f->firstPassYield = Share(f->firstPass, f->units);
    f->retestRate = Share(f->retested, f->units);
    std::sort(f->failures.begin(), f->failures.end(), [](const FailureCount& a, const FailureCount& b) {
        return a.count != b.count ? a.count > b.count : std::tie(a.step, a.reason) < std::tie(b.step, b.reason);
    });
}

int Popcount(uint64_t bits)
{
    int n = 0;
    for (; bits != 0; bits &= bits - 1) ++n;
    return n;
}

// The step that failed and why, from a row's failure ("PABC: refused by the
// device (NAK)").
std::pair<std::string, std::string> StepAndWhy(const std::string& failure)
{
    const size_t colon = failure.find(": ");
    return colon == std::string::npos ? std::pair<std::string, std::string>("?", failure)
                                      : std::pair<std::string, std::string>(failure.substr(0, colon),
                                                                            failure.substr(colon + 2));
}

// What the queries bring back for one group, before the figures are made.
struct Tallies {
    LineFigures figures;
    std::map<int64_t, uint64_t> cycles;       // whole seconds: how many attempts took them
    std::map<std::string, uint64_t> minutes;  // by hour, the minutes in which attempts ended, as bits
    std::set<std::string> inDoubt;            // serials in doubt now
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
    // A tally: hour, attempts, programmed, retests, first passes, minutes, cycles.
    void AddTally(const DbRow& r)
    {
        figures.attempts += Number(r[2]);
        figures.programmed += Number(r[3]);
        figures.retested += Number(r[4]);
        figures.units += Number(r[2]) - Number(r[4]);
        figures.firstPass += Number(r[5]);
        minutes[Text(r[1])] |= Number(r[6]);
        for (const auto& [seconds, n] : ParseCycles(Text(r[7]))) cycles[seconds] += n;
    }
    // An attempt's row: outcome, retest, seconds, failure, time.
    void AddRow(const DbRow& r)
    {
        const bool programmed = Text(r[1]) == "programmed", retest = Text(r[2]) == "1";
        ++figures.attempts;
        figures.programmed += programmed;
        figures.retested += retest;
        figures.units += !retest;
        figures.firstPass += programmed && !retest;
        if (const int64_t seconds = r[3] ? std::stoll(*r[3]) : -1; seconds >= 0) ++cycles[seconds];
        if (!programmed) ++failures[StepAndWhy(Text(r[4]))];
        const std::string time = Text(r[5]), minute = time.size() >= 16 ? time.substr(14, 2) : "";
        if (minute.size() == 2 && minute >= "00" && minute <= "59") {
            minutes[HourOf(time)] |= uint64_t {1} << std::stoi(minute);
        }
    }
    void Merge(const Tallies& other)
    {
        figures.attempts += other.figures.attempts;
        figures.programmed += other.figures.programmed;
        figures.units += other.figures.units;
        figures.firstPass += other.figures.firstPass;
        figures.retested += other.figures.retested;
        for (const auto& [seconds, n] : other.cycles) cycles[seconds] += n;
        for (const auto& [hour, bits] : other.minutes) minutes[hour] |= bits;
        inDoubt.insert(other.inDoubt.begin(), other.inDoubt.end());
        for (const auto& [why, n] : other.failures) failures[why] += n;
    }
    LineFigures Made() const
    {
        LineFigures f = figures;
        f.inDoubt = inDoubt.size();
        f.cycleP50 = Percentile(cycles, 50);
        f.cycleP90 = Percentile(cycles, 90);
        int active = 0;
        for (const auto& [hour, bits] : minutes) active += Popcount(bits);
        f.unitsPerHour = active == 0 ? 0 : static_cast<double>(f.programmed) * 60.0 / active;
        for (const auto& [why, n] : failures) f.failures.push_back({why.first, why.second, n});
        Finish(&f);
        return f;
    }
};

// A cut of the record by the time attempts ended, [from, to), "" for no bound.
struct Span {
    std::string from, to;
};

// How a selection is read: the whole hours in it from the tallies, the parts
// of an hour at its ends from the rows themselves. Every figure is cut at the
// same second.
struct Plan {
    std::optional<Span> hours;   // hours, "2026-12-07T09"
    std::vector<Span> rows;      // record times
};

Plan PlanOf(const StatsQuery& q)
{
    const std::string first = q.since.empty() ? "" : HourFrom(q.since), end = q.until.empty() ? "" : HourOf(q.until);
    Plan plan;
    if (!q.since.empty() && !q.until.empty() && first >= end) {
        plan.rows.push_back({q.since, q.until}); // less than an hour's span of whole hours
        return plan;
    }
    plan.hours = Span {first, end};
    if (!q.since.empty() && q.since != first + ":00:00Z") plan.rows.push_back({q.since, first + ":00:00Z"});
    if (!q.until.empty() && q.until != end + ":00:00Z") plan.rows.push_back({end + ":00:00Z", q.until});
    return plan;
}

// "WHERE" conditions on `column` for a span and a batch, with their parameters.
std::string Within(const std::string& column, const Span& span, const std::string& batch, std::vector<DbValue>* params)
{
    std::string where = "1 = 1";
    for (const auto& [op, value] : {std::pair<const char*, std::string> {" >= ?", span.from}, {" < ?", span.to}}) {
        if (!value.empty()) {
            where += " AND " + column + op;
            params->push_back(value);
        }
    }
    if (!batch.empty()) {
        where += " AND batch = ?";
        params->push_back(batch);
    }
    return where;
}

} // namespace

// From the tallies for the whole hours of the selection and from the rows
// for the parts of an hour at its ends: counts, retests, cycle times,
// failures and the minutes in which attempts ended, by group; from the
// record, the few serials of the selection now in doubt.
std::map<std::string, LineFigures> CStore::Figures(const std::string& by, const StatsQuery& q)
{
    std::map<std::string, Tallies> groups;
    const Plan plan = PlanOf(q);
    if (plan.hours) {
        std::vector<DbValue> params;
        const std::string where = Within("hour", *plan.hours, q.batch, &params), key = KeyOf(by, "hour");
        for (const auto& r : m_db->Query("SELECT " + key + ", hour, attempts, programmed, retests, first_pass, minutes, "
                                         "cycles FROM hour_tallies WHERE " + where,
                                         params)) {
            groups[Text(r[0])].AddTally(r);
        }
        for (const auto& r : m_db->Query("SELECT " + key + ", failure, SUM(n) FROM hour_failures WHERE " + where +
                                             " GROUP BY 1, 2",
                                         params)) {
            groups[Text(r[0])].failures[StepAndWhy(Text(r[1]))] += Number(r[2]);
        }
    }
    for (const Span& span : plan.rows) {
        std::vector<DbValue> params;
        const std::string where = Within("time", span, q.batch, &params);
        for (const auto& r : m_db->Query("SELECT " + KeyOf(by, "time") + ", outcome, retest, seconds, failure, time "
                                         "FROM records WHERE " + where +
                                             " AND outcome IN ('programmed', 'failed', 'verify failed')",
                                         params)) {
            groups[Text(r[0])].AddRow(r);
        }
    }
    std::vector<DbValue> params;
    const std::string where = Within("r.time", {q.since, q.until}, "", &params) +
                              (q.batch.empty() ? "" : " AND r.batch = ?");
    if (!q.batch.empty()) params.push_back(q.batch);
    for (const auto& r : m_db->Query("SELECT DISTINCT " + KeyOf(by, "time", "r.") + ", r.serial FROM serials s JOIN "
                                     "records r ON r.serial = s.serial WHERE s.state = 'in_doubt' AND " + where,
                                     params)) {
        groups[Text(r[0])].inDoubt.insert(Text(r[1]));
    }
    std::map<std::string, LineFigures> figures;
    Tallies total;
    for (const auto& [group, t] : groups) {
        figures[group] = t.Made();
        figures[group].group = group;
        total.Merge(t);
    }
    figures[kTotal] = total.Made();
    return figures;
}

LineStats CStore::Stats(const StatsQuery& query)
{
    std::map<std::string, LineFigures> figures = Figures(query.by, query);
    LineStats stats;
    stats.total = figures[kTotal];
    stats.total.group.clear();
    figures.erase(kTotal);
    if (!query.by.empty()) {
        for (auto& [group, f] : figures) stats.groups.push_back(f);
    }
    return stats;
}

void CStore::ReportStation(const StationStatus& s)
{
    const std::vector<DbValue> values = {s.batch,          s.state,   s.operatorName,
                                         s.lastUnit,       std::to_string(s.done), std::to_string(s.failed),
                                         std::to_string(s.skipped), s.name};
    if (m_db->Query("UPDATE stations SET batch = ?, state = ?, operator = ?, last_unit = ?, done = ?, failed = ?, "
                    "skipped = ?, last_seen = " + DbTime() + " WHERE name = ? RETURNING name",
                    values)
            .empty()) {
        std::vector<DbValue> insert = values;
        m_db->Query("INSERT INTO stations (batch, state, operator, last_unit, done, failed, skipped, name, started, "
                    "last_seen) VALUES (?, ?, ?, ?, ?, ?, ?, ?, " + DbTime() + ", " + DbTime() + ")",
                    insert);
    }
}

std::vector<StationStatus> CStore::Stations(int offlineAfterSeconds)
{
    std::vector<StationStatus> out;
    for (const auto& r : m_db->Query("SELECT name, batch, state, operator, last_unit, started, last_seen, done, "
                                     "failed, skipped, CASE WHEN last_seen >= " + DbTime(-offlineAfterSeconds) +
                                     " THEN 1 ELSE 0 END FROM stations ORDER BY name")) {
        out.push_back({Text(r[0]), Text(r[1]), Text(r[2]), Text(r[3]), Text(r[4]), Text(r[5]), Text(r[6]),
                       Number(r[7]), Number(r[8]), Number(r[9]), Text(r[10]) == "1"});
    }
    return out;
}

} // namespace pello::storage
