// `pellomatic-cli batch ...` and `pellomatic-cli log`: the batches and the
// record, for supervisors and line-control scripts.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"

#include <regex>

#include <nlohmann/json.hpp>

namespace pello::cli {

namespace {

using nlohmann::json;

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string CsvLine(const std::vector<std::string>& fields)
{
    std::string line;
    for (const std::string& f : fields) {
        line += (line.empty() ? "" : ",") + CsvField(f);
    }
    return line;
}

int Create(storage::CStore& store, const BatchOptions& o, const storage::Station& who)
{
    std::string why;
    const std::optional<storage::SerialRange> range = storage::MakeRange(o.first, o.count, &why);
    if (why.empty()) {
        why = storage::CheckCode(o.code);
    }
    if (!range || !why.empty()) {
        Complain("batch create: " + why);
        return kUsage;
    }
    store.CreateBatch(o.name, *range, o.code, who);
    Print("batch " + o.name + ": " + range->Serial(0) + " to " + range->Last() + ", " + std::to_string(o.count) +
          " serial numbers, code " + o.code);
    return kOk;
}

std::string Counts(const storage::BatchInfo& b)
{
    return std::to_string(b.free) + " free, " + std::to_string(b.claimed) + " claimed, " +
           std::to_string(b.programmed) + " programmed, " + std::to_string(b.inDoubt) + " in doubt, " +
           std::to_string(b.spoiled) + " spoiled";
}

int List(storage::CStore& store)
{
    const auto batches = store.ListBatches();
    for (const storage::BatchInfo& b : batches) {
        Print(b.name + "  " + b.first + " to " + b.last + "  " + Counts(b));
    }
    if (batches.empty()) {
        Print("no batches");
    }
    return kOk;
}

int Show(storage::CStore& store, const std::string& name, const storage::Station& who)
{
    const storage::BatchInfo b = store.ShowBatch(name, who);
    Print("batch " + b.name);
    Print("  serial numbers  " + b.first + " to " + b.last + " (" + std::to_string(b.count) + ")");
    Print("  code            " + b.code);
    Print("  created         " + b.created);
    Print("  states          " + Counts(b));
    Print("  next free       " + (b.nextFree.empty() ? std::string("none: the batch is used up") : b.nextFree));
    const auto doubts = store.InDoubt(name);
    Print("  in doubt        " + std::to_string(doubts.size()));
    for (const storage::InDoubtSerial& d : doubts) {
        Print("    " + d.serial + "  " + d.station + "  " + d.since + "  " + d.why);
    }
    return kOk;
}

json ExportJson(const std::vector<storage::SerialHistory>& rows)
{
    json all = json::array();
    for (const storage::SerialHistory& s : rows) {
        json events = json::array();
        for (const storage::HistoryEvent& e : s.events) {
            events.push_back({{"time", e.time}, {"event", e.event}, {"station", e.station}, {"detail", e.detail}});
        }
        all.push_back({{"serial", s.serial}, {"field", s.field}, {"state", s.state}, {"history", events}});
    }
    return all;
}

void ExportCsv(const std::vector<storage::SerialHistory>& rows)
{
    Print("serial,field,state,history");
    for (const storage::SerialHistory& s : rows) {
        std::string history;
        for (const storage::HistoryEvent& e : s.events) {
            history += (history.empty() ? "" : " | ") + e.time + " " + e.event + " " + e.station + " " + e.detail;
        }
        Print(CsvLine({s.serial, s.field, s.state, history}));
    }
}

int Export(storage::CStore& store, const std::string& name, const std::string& format)
{
    const auto rows = store.Export(name);
    if (format == "json") {
        Print(ExportJson(rows).dump(-1, ' ', false, json::error_handler_t::replace));
    } else {
        ExportCsv(rows);
    }
    return kOk;
}

int Resolve(storage::CStore& store, const BatchOptions& o, const storage::Station& who)
{
    const storage::SerialState to = o.spoiled ? storage::SerialState::Spoiled : storage::SerialState::Free;
    store.Resolve(o.name, o.serial, to, who);
    Print(o.serial + ": in doubt -> " + storage::StateName(to));
    return kOk;
}

int RunBatchAction(storage::CStore& store, const BatchOptions& o, const storage::Station& who)
{
    if (o.action == "create") return Create(store, o, who);
    if (o.action == "list") return List(store);
    if (o.action == "show") return Show(store, o.name, who);
    if (o.action == "export") return Export(store, o.name, o.format);
    return Resolve(store, o, who);
}

const std::vector<std::string> kRecordColumns = {"time",          "station",      "link",    "port",
                                                  "field_before",  "field_written", "code_written", "outcome",
                                                  "verify",        "batch",        "serial",  "detail"};

// A row's fields in the order of kRecordColumns, device text escaped.
std::vector<std::string> RecordFields(const storage::ProgrammingRecord& r)
{
    return {r.time,     r.station, r.link,   EscapeDeviceText(r.port), EscapeDeviceText(r.fieldBefore),
            EscapeDeviceText(r.fieldWritten), EscapeDeviceText(r.codeWritten), r.outcome, r.verify, r.batch,
            r.serial,   r.detail};
}

void PrintRecords(const std::vector<storage::ProgrammingRecord>& rows, const std::string& format)
{
    json all = json::array();
    if (format == "csv") {
        Print(CsvLine(kRecordColumns));
    }
    for (const auto& r : rows) {
        const std::vector<std::string> f = RecordFields(r);
        if (format == "json") {
            json row;
            for (size_t i = 0; i < f.size(); ++i) row[kRecordColumns[i]] = f[i];
            all.push_back(row);
        } else if (format == "csv") {
            Print(CsvLine(f));
        } else {
            Print(f[0] + "  " + f[1] + "  " + f[2] + " " + f[3] + "  " + f[4] + " -> " + f[5] + " " + f[6] + "  " +
                  f[7] + ", verify " + f[8] + (f[9].empty() ? "" : ", batch " + f[9] + " " + f[10]) +
                  (f[11].empty() ? "" : ", " + f[11]));
        }
    }
    if (format == "json") {
        Print(all.dump());
    }
}

} // namespace

std::optional<std::string> NormalizeSince(const std::string& text)
{
    static const std::regex form(R"((\d{4}-\d{2}-\d{2})(?:[T ](\d{2}:\d{2})(:\d{2})?)?Z?)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
        return std::nullopt;
    }
    return m[1].str() + "T" + (m[2].matched ? m[2].str() : "00:00") + (m[3].matched ? m[3].str() : ":00") + "Z";
}

int RunBatch(const BatchOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(); rc != kOk) {
        return rc;
    }
    try {
        return RunBatchAction(keeper.Store(), options, keeper.Who());
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

int RunLog(const LogOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(); rc != kOk) {
        return rc;
    }
    try {
        PrintRecords(keeper.Store().Records({options.since, options.serial}), options.format);
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

} // namespace pello::cli
