#include "web/PageData.h"

#include "storage/Text.h"

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
        failures.push_back({{"step", Utf8(c.step)}, {"reason", Utf8(c.reason)}, {"count", c.count}});
    }
    return {{"group", Utf8(f.group)}, {"attempts", f.attempts}, {"programmed", f.programmed}, {"failed", f.failed},
            {"yield", f.yield}, {"first_pass_yield", f.firstPassYield}, {"in_doubt", f.inDoubt},
            {"cycle_p50_s", f.cycleP50}, {"units_per_hour", f.unitsPerHour}, {"failures", failures}};
}

json Batches(storage::CStore& store)
{
    json out = json::array();
    for (const storage::BatchInfo& b : store.ListBatches()) {
        json doubts = json::array();
        for (const storage::InDoubtSerial& d : store.InDoubt(b.name)) {
            doubts.push_back({{"serial", Utf8(d.serial)}, {"station", Utf8(d.station)}, {"since", d.since},
                              {"why", Utf8(d.why)}});
        }
        out.push_back({{"name", Utf8(b.name)}, {"first", Utf8(b.first)}, {"last", Utf8(b.last)}, {"count", b.count},
                       {"free", b.free}, {"claimed", b.claimed}, {"programmed", b.programmed},
                       {"in_doubt", b.inDoubt}, {"spoiled", b.spoiled}, {"open", doubts}});
    }
    return out;
}

json Stations(storage::CStore& store, int offlineAfterSeconds)
{
    json out = json::array();
    for (const storage::StationStatus& s : store.Stations(offlineAfterSeconds)) {
        out.push_back({{"name", Utf8(s.name)}, {"batch", Utf8(s.batch)}, {"state", Utf8(s.state)},
                       {"operator", Utf8(s.operatorName)}, {"last_unit", Utf8(s.lastUnit)}, {"done", s.done},
                       {"failed", s.failed}, {"skipped", s.skipped}, {"last_seen", s.lastSeen}, {"online", s.online}});
    }
    return out;
}

json RecordJson(const storage::ProgrammingRecord& r)
{
    return {{"time", r.time},          {"station", Utf8(r.station)},  {"operator", Utf8(r.operatorName)},
            {"link", r.link},          {"port", Utf8(r.port)},        {"field_before", Utf8(r.fieldBefore)},
            {"field_written", Utf8(r.fieldWritten)}, {"batch", Utf8(r.batch)}, {"serial", Utf8(r.serial)},
            {"outcome", r.outcome},    {"verify", r.verify},          {"step", r.step},
            {"detail", Utf8(r.detail)}};
}

} // namespace

std::string Utf8(const std::string& text) { return storage::EscapeText(text); }

json Overview(storage::CStore& store, int offlineAfterSeconds)
{
    storage::StatsQuery day;
    day.since = UtcHoursAgo(24);
    day.by = "hour";
    const storage::LineStats stats = store.Stats(day);
    json hours = json::array();
    for (const storage::LineFigures& h : stats.groups) hours.push_back(Figures(h));
    return {{"generated", UtcHoursAgo(0)},
            {"batches", Batches(store)},
            {"stations", Stations(store, offlineAfterSeconds)},
            {"day", Figures(stats.total)},
            {"hours", hours}};
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
    return rows;
}

namespace {

const std::vector<std::string> kCsvColumns = {"time",  "station", "operator", "link",    "port",   "field_before",
                                              "field_written", "batch", "serial", "outcome", "verify", "step",
                                              "detail"};

} // namespace

std::string CsvHeader() { return storage::CsvLine(kCsvColumns) + "\r\n"; }

std::string CsvRows(const std::vector<storage::ProgrammingRecord>& rows)
{
    std::string csv;
    for (const storage::ProgrammingRecord& r : rows) {
        const json row = RecordJson(r);
        std::vector<std::string> cells;
        for (const std::string& column : kCsvColumns) cells.push_back(row[column].get<std::string>());
        csv += storage::CsvLine(cells) + "\r\n";
    }
    return csv;
}

std::string JsonItems(const std::vector<storage::ProgrammingRecord>& rows, bool first)
{
    std::string items;
    for (const storage::ProgrammingRecord& r : rows) {
        items += (first ? "" : ",") + RecordJson(r).dump();
        first = false;
    }
    return items;
}

std::string RecordsCsv(storage::CStore& store, const storage::RecordFilter& filter, int limit)
{
    return CsvHeader() + CsvRows(store.LatestRecords(filter, limit));
}

} // namespace pello::web
