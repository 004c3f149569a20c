#include "web/PageData.h"

#include "text/Json.h"
#include "text/Text.h"

#include <cstdio>
#include <ctime>

namespace pello::web {

namespace {

using nlohmann::json;

std::string UtcHoursAgo(int hours)
{
    const time_t t = ::time(nullptr) - hours * 3600;
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
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

json Batches(storage::CStore& store)
{
    json out = json::array();
    for (const storage::BatchInfo& b : store.ListBatches()) {
        json doubts = json::array();
        for (const storage::InDoubtSerial& d : store.InDoubt(b.name)) {
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
    storage::StatsQuery day;
    day.since = UtcHoursAgo(24);
    day.by = "hour";
    const storage::LineStats stats = store.Stats(day);
    json hours = json::array();
    for (const storage::LineFigures& h : stats.groups) hours.push_back(Figures(h));
    return text::Shown({{"generated", UtcHoursAgo(0)},
                        {"batches", Batches(store)},
                        {"stations", Stations(store, offlineAfterSeconds)},
                        {"day", Figures(stats.total)},
                        {"hours", hours}});
}

storage::RecordFilter FilterOf(const std::map<std::string, std::string>& query)
{
    const auto get = [&](const char* key) {
        const auto it = query.find(key);
        return it == query.end() ? std::string() : it->second;
    };
    storage::RecordFilter f;
    f.station = get("station");
    f.batch = get("batch");
    f.outcome = get("outcome");
    f.since = get("since");
    f.until = get("until");
    f.serial = get("serial");
    return f;
}

json Records(storage::CStore& store, const storage::RecordFilter& filter, int limit)
{
    json rows = json::array();
    for (const storage::ProgrammingRecord& r : store.LatestRecords(filter, limit)) rows.push_back(RecordJson(r));
    return text::Shown(std::move(rows));
}

std::string RecordsCsv(storage::CStore& store, const storage::RecordFilter& filter, int limit)
{
    const std::vector<std::string> columns = {"time",  "station", "operator", "link",    "port",   "field_before",
                                              "field_written", "batch", "serial", "outcome", "verify", "step",
                                              "detail"};
    std::string csv = text::CsvLine(columns) + "\r\n";
    for (const storage::ProgrammingRecord& r : store.LatestRecords(filter, limit)) {
        const json row = RecordJson(r);
        std::vector<std::string> cells;
        for (const std::string& column : columns) cells.push_back(row[column].get<std::string>());
        csv += text::CsvLine(cells) + "\r\n";
    }
    return csv;
}

} // namespace pello::web
