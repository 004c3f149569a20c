#include "web/PageData.h"

#include "text/Json.h"
#include "text/Text.h"
#include "text/Time.h"

#include <cstdio>
#include <ctime>
#include <set>

namespace pello::web {

namespace {

using nlohmann::json;

constexpr int kChartHours = 24;

std::string Utc(time_t t, const char* form)
{
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, form, &utc);
    return text;
}

// The last kChartHours hours on the clock, this one last ("2026-12-07T09").
std::vector<std::string> LastHours(time_t now)
{
    std::vector<std::string> hours;
    for (int ago = kChartHours - 1; ago >= 0; --ago) hours.push_back(Utc(now - now % 3600 - ago * 3600, "%Y-%m-%dT%H"));
    return hours;
}

json Figures(const storage::LineFigures& f)
{
    json failures = json::array();
    for (const storage::FailureCount& c : f.failures) {
        failures.push_back({{"step", c.step}, {"reason", c.reason}, {"count", c.count}});
    }
    return {{"group", f.group}, {"attempts", f.attempts}, {"programmed", f.programmed}, {"failed", f.failed},
            {"yield", f.yield}, {"first_pass_yield", f.firstPassYield}, {"in_doubt", f.inDoubt},
            {"cycle_p50_s", f.cycleP50}, {"units_per_hour", f.unitsPerHour}, {"failures", failures}};
}

// As `batch show` would show them, claims it would take for abandoned in
// doubt, without writing: the page only reads the record.
json Batches(storage::CStore& store)
{
    const storage::Station viewer = storage::ThisStation("", "");
    json out = json::array();
    for (const std::string& name : store.BatchNames()) {
        const storage::BatchInfo b = store.ViewBatch(name, viewer);
        json doubts = json::array();
        for (const storage::InDoubtSerial& d : store.ViewInDoubt(name, viewer)) {
            doubts.push_back({{"serial", d.serial}, {"station", d.station}, {"since", d.since},
                              {"why", d.why}});
        }
        out.push_back({{"name", b.name}, {"first", b.first}, {"last", b.last}, {"count", b.count},
                       {"free", b.free}, {"claimed", b.claimed}, {"programmed", b.programmed},
                       {"in_doubt", b.inDoubt}, {"spoiled", b.spoiled}, {"open", doubts}});
    }
    return out;
}

json Stations(storage::CStore& store, int offlineAfterSeconds)
{
    json out = json::array();
    for (const storage::StationStatus& s : store.Stations(offlineAfterSeconds)) {
        out.push_back({{"name", s.name}, {"batch", s.batch}, {"state", s.state},
                       {"operator", s.operatorName}, {"last_unit", s.lastUnit}, {"done", s.done},
                       {"failed", s.failed}, {"skipped", s.skipped}, {"last_seen", s.lastSeen}, {"online", s.online}});
    }
    return out;
}

json RecordJson(const storage::ProgrammingRecord& r)
{
    return {{"time", r.time},          {"station", r.station},  {"operator", r.operatorName},
            {"link", r.link},          {"port", r.port},        {"field_before", r.fieldBefore},
            {"field_written", r.fieldWritten}, {"batch", r.batch}, {"serial", r.serial},
            {"outcome", r.outcome},    {"verify", r.verify},          {"step", r.step},
            {"detail", r.detail}};
}

} // namespace

std::string Utf8(const std::string& bytes) { return text::Show(bytes); }

json Overview(storage::CStore& store, int offlineAfterSeconds)
{
    const time_t now = ::time(nullptr);
    const std::vector<std::string> hours = LastHours(now);
    storage::StatsQuery day;
    day.since = hours.front() + ":00:00Z";
    day.by = "hour";
    const storage::LineStats stats = store.Stats(day);
    // Every hour on the axis, those without attempts too.
    json chart = json::array();
    auto group = stats.groups.begin();
    for (const std::string& hour : hours) {
        while (group != stats.groups.end() && group->group < hour) ++group;
        storage::LineFigures none;
        none.group = hour;
        chart.push_back(Figures(group != stats.groups.end() && group->group == hour ? *group : none));
    }
    return text::Shown({{"generated", Utc(now, "%Y-%m-%dT%H:%M:%SZ")},
                        {"batches", Batches(store)},
                        {"stations", Stations(store, offlineAfterSeconds)},
                        {"day", Figures(stats.total)},
                        {"hours", chart}});
}

storage::RecordFilter FilterOf(const std::map<std::string, std::string>& query)
{
    const auto get = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    // Times as the command line takes them; anything else is said, never read as no filter.
    const auto time = [&](const char* key) {
        const std::string typed = get(key);
        if (typed.empty()) return typed;
        const std::optional<std::string> normal = text::NormalizeTime(typed);
        if (!normal) {
            throw BadFilter(std::string(key) + ": \"" + text::Show(typed) +
                            "\" is not a UTC date or time (2026-12-07, 2026-12-07T09:30 or 2026-12-07T09:30:15Z)");
        }
        return *normal;
    };
    static const std::set<std::string> outcomes = {"",       "programmed", "failed",            "verify failed",
                                                   "in progress", "no device", "refused: duplicate", "interrupted"};
    storage::RecordFilter f;
    f.station = get("station");
    f.batch = get("batch");
    f.outcome = get("outcome");
    if (outcomes.count(f.outcome) == 0) {
        throw BadFilter("outcome: \"" + text::Show(f.outcome) + "\" is not an outcome of the record");
    }
    f.since = time("since");
    f.until = time("until");
    f.serial = get("serial");
    return f;
}

json Records(storage::CStore& store, const storage::RecordFilter& filter, int limit)
{
    json rows = json::array();
    for (const storage::ProgrammingRecord& r : store.LatestRecords(filter, limit)) rows.push_back(RecordJson(r));
    return text::Shown(std::move(rows));
}

namespace {

const std::vector<std::string> kCsvColumns = {"time",  "station", "operator", "link",    "port",   "field_before",
                                              "field_written", "batch", "serial", "outcome", "verify", "step",
                                              "detail"};

} // namespace

std::string CsvHeader() { return text::CsvLine(kCsvColumns) + "\r\n"; }

std::string CsvRows(const std::vector<storage::ProgrammingRecord>& rows)
{
    std::string csv;
    for (const storage::ProgrammingRecord& r : rows) {
        const json row = RecordJson(r);
        std::vector<std::string> cells;
        for (const std::string& column : kCsvColumns) cells.push_back(row[column].get<std::string>());
        csv += text::CsvLine(cells) + "\r\n";
    }
    return csv;
}

std::string JsonItems(const std::vector<storage::ProgrammingRecord>& rows, bool first)
{
    std::string items;
    for (const storage::ProgrammingRecord& r : rows) {
        items += (first ? "" : ",") + text::Shown(RecordJson(r)).dump();
        first = false;
    }
    return items;
}

std::string RecordsCsv(storage::CStore& store, const storage::RecordFilter& filter, int limit)
{
    return CsvHeader() + CsvRows(store.LatestRecords(filter, limit));
}

} // namespace pello::web
