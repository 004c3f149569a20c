// The line's numbers and the stations' rows, aggregated by the database so
// that a record of a million rows answers in well under a second.

#include "storage/Store.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace pello::storage {

namespace {

std::string Text(const DbValue& v) { return v.value_or(""); }
uint64_t Number(const DbValue& v) { return v && !v->empty() ? std::stoull(*v) : 0; }

// The total's key among the groups' (no group is called this).
const std::string kTotal = std::string(1, '\0') + "total";

// The grouping key's SQL for `by`, over records (r) or tallies (t).
std::string KeyOf(const std::string& by, bool tallies)
{
    const std::string time = tallies ? "t.minute" : "r.time";
    if (by == "station") return tallies ? "t.station" : "r.station";
    if (by == "batch") return tallies ? "t.batch" : "COALESCE(r.batch, '')";
    if (by == "operator") return tallies ? "t.operator" : "r.operator";
    if (by == "hour") return "substr(" + time + ", 1, 13)";
    if (by == "day") return "substr(" + time + ", 1, 10)";
    return "''";
}

double Share(uint64_t part, uint64_t whole) { return whole == 0 ? 0 : static_cast<double>(part) / static_cast<double>(whole); }

// A percentile of a histogram of whole seconds.
double Percentile(const std::map<int64_t, uint64_t>& histogram, double p)
{
    uint64_t total = 0;
    for (const auto& [seconds, n] : histogram) total += n;
    uint64_t seen = 0;
    for (const auto& [seconds, n] : histogram) {
        seen += n;
        if (static_cast<double>(seen) >= p * static_cast<double>(total)) return static_cast<double>(seconds);
    }
    return 0;
}

void Finish(LineFigures* f)
{
    f->failed = f->attempts - f->programmed;
    f->yield = Share(f->programmed, f->attempts);
    f->firstPassYield = Share(f->firstPass, f->units);
    f->retestRate = Share(f->retested, f->units);
    std::sort(f->failures.begin(), f->failures.end(),
              [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
}

// What the queries bring back for one group, before the figures are made.
struct Tallies {
    LineFigures figures;
    std::map<int64_t, uint64_t> cycles;  // whole seconds: how many attempts took them
    std::set<std::string> minutes;       // in which attempts ended
    std::set<std::string> inDoubt;       // serials in doubt now
    std::map<std::pair<std::string, std::string>, uint64_t> failures;
    void Merge(const Tallies& other)
    {
        figures.attempts += other.figures.attempts;
        figures.programmed += other.figures.programmed;
        figures.units += other.figures.units;
        figures.firstPass += other.figures.firstPass;
        for (const auto& [seconds, n] : other.cycles) cycles[seconds] += n;
        figures.retested += other.figures.retested;
        minutes.insert(other.minutes.begin(), other.minutes.end());
        inDoubt.insert(other.inDoubt.begin(), other.inDoubt.end());
        for (const auto& [why, n] : other.failures) failures[why] += n;
    }
    LineFigures Made() const
    {
        LineFigures f = figures;
        f.inDoubt = inDoubt.size();
        f.cycleP50 = Percentile(cycles, 0.5);
        f.cycleP90 = Percentile(cycles, 0.9);
        f.unitsPerHour = minutes.empty() ? 0 : static_cast<double>(f.programmed) * 60.0 / static_cast<double>(minutes.size());
        for (const auto& [why, n] : failures) f.failures.push_back({why.first, why.second, n});
        Finish(&f);
        return f;
    }
};

// The step that failed and why, from a failed row's detail ("PABC: refused
// by the device (NAK)"); a read-back that differed is "verify".
std::pair<std::string, std::string> FailureOf(const std::string& outcome, const std::string& detail)
{
    if (outcome == "verify failed") {
        return {"verify", "the field read back differs"};
    }
    const size_t colon = detail.find(": ");
    return colon == std::string::npos ? std::pair<std::string, std::string>("?", detail)
                                      : std::pair<std::string, std::string>(detail.substr(0, colon), detail.substr(colon + 2));
}

} // namespace

std::string CStore::Selection(const StatsQuery& q, bool tallies, std::vector<DbValue>* params) const
{
    std::string where = "1 = 1";
    const auto bound = [&](const std::string& sql, const std::string& value) {
        if (!value.empty()) {
            where += sql;
            params->push_back(tallies && sql.find("batch") == std::string::npos ? value.substr(0, 16) : value);
        }
    };
    bound(tallies ? " AND t.minute >= ?" : " AND r.time >= ?", q.since);
    bound(tallies ? " AND t.minute < ?" : " AND r.time < ?", q.until);
    bound(tallies ? " AND t.batch = ?" : " AND r.batch = ?", q.batch);
    return where;
}

// From the tallies kept as attempts end: counts, retests, cycle times and
// failures by group, and the minutes in which stations were active; from the
// record, the few serials of the selection now in doubt.
std::map<std::string, LineFigures> CStore::Figures(const std::string& by, const StatsQuery& q)
{
    std::vector<DbValue> params;
    const std::string where = Selection(q, true, &params);
    const std::string key = KeyOf(by, true);
    std::map<std::string, Tallies> groups;
    for (const auto& r : m_db->Query("SELECT " + key + ", t.outcome, t.retest, t.seconds, t.why, SUM(t.n) FROM tallies t "
                                         "WHERE " + where + " GROUP BY 1, 2, 3, 4, 5",
                                     params)) {
        Tallies& t = groups[Text(r[0])];
        const uint64_t n = Number(r[5]);
        const bool programmed = Text(r[1]) == "programmed", retest = Text(r[2]) == "1";
        t.figures.attempts += n;
        t.figures.programmed += programmed ? n : 0;
        t.figures.units += retest ? 0 : n;
        t.figures.firstPass += programmed && !retest ? n : 0;
        t.figures.retested += retest ? n : 0;
        if (const int64_t seconds = r[3] ? std::stoll(*r[3]) : -1; seconds >= 0) t.cycles[seconds] += n;
        if (!programmed) t.failures[FailureOf(Text(r[1]), Text(r[4]))] += n;
    }
    for (const auto& r : m_db->Query("SELECT " + key + ", t.minute FROM tallies t WHERE " + where + " GROUP BY 1, 2",
                                     params)) {
        groups[Text(r[0])].minutes.insert(Text(r[1]));
    }
    std::vector<DbValue> all;
    for (const auto& r : m_db->Query("SELECT " + KeyOf(by, false) + ", r.serial FROM records r WHERE " +
                                         Selection(q, false, &all) +
                                         " AND r.serial IN (SELECT serial FROM serials WHERE state = 'in_doubt')",
                                     all)) {
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
