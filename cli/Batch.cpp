// `pellomatic-cli batch ...` and `pellomatic-cli log`: the batches and the
// record, for supervisors and line-control scripts.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "core/Fields.h"

#include <pwd.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace pello::cli {

namespace {

using nlohmann::json;

std::string LoginName()
{
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? pw->pw_name : std::to_string(::geteuid());
}

int Create(storage::CStore& store, const BatchOptions& o, const storage::Station& who)
{
    std::string why;
    const std::optional<storage::SerialRange> range = storage::MakeRange(o.first, o.count, &why);
    if (why.empty()) {
        why = storage::CheckCode(o.code);
    }
    if (why.empty() && !CheckField(o.blank, true).Ok()) {
        why = "--blank needs 22 printable characters";
    }
    if (!range || !why.empty()) {
        Complain("batch create: " + why);
        return kUsage;
    }
    store.CreateBatch(o.name, *range, o.code, who, o.blank);
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
    Print("  created         " + b.created + " by " + b.createdBy);
    if (b.blank != storage::kFactoryField) {
        Print("  new units carry " + b.blank);
    }
    Print("  states          " + Counts(b));
    Print("  next free       " + (b.nextFree.empty() ? std::string("none: the batch is used up") : b.nextFree));
    const auto open = store.InDoubt(name); // claimed, then in doubt
    Print("  in doubt        " + std::to_string(b.inDoubt));
    for (const storage::InDoubtSerial& d : open) {
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
            events.push_back({{"time", e.time}, {"event", e.event}, {"station", e.station},
                              {"detail", e.detail}});
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
        PrintJson(ExportJson(rows));
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

int RunBatchAction(storage::CStore& store, const BatchOptions& o, const storage::Station& who, bool readOnly)
{
    if (o.action == "create") return Create(store, o, who);
    if (o.action == "list") return List(store);
    if (o.action == "show") {
        if (readOnly) Complain("the record is read-only: abandoned claims are not looked for");
        return Show(store, o.name, readOnly ? storage::Station {} : who);
    }
    if (o.action == "export") return Export(store, o.name, o.format);
    return Resolve(store, o, who);
}

const std::vector<std::string> kRecordColumns = {"time",         "station",      "link",          "port",
                                                  "field_before", "field_written", "code_written", "outcome",
                                                  "verify",       "batch",        "serial",        "detail",
                                                  "step",         "operator"};

// A row's fields in the order of kRecordColumns, as the record holds them:
// Print, CsvLine and PrintJson show them by the text rule.
std::vector<std::string> RecordFields(const storage::ProgrammingRecord& r)
{
    return {r.time,    r.station, r.link,   r.port,   r.fieldBefore, r.fieldWritten, r.codeWritten,
            r.outcome, r.verify,  r.batch,  r.serial, r.detail,      r.step,         r.operatorName};
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
            row["attempt"] = r.token;
            all.push_back(row);
        } else if (format == "csv") {
            Print(CsvLine(f));
        } else {
            Print(f[0] + "  " + f[1] + "  " + f[2] + " " + f[3] + "  " + f[4] + " -> " + f[5] + " " + f[6] + "  " +
                  f[7] + (r.outcome == "in progress" && !f[12].empty() ? " (" + f[12] + " sent)" : "") +
                  ", verify " + f[8] + (f[9].empty() ? "" : ", batch " + f[9] + " " + f[10]) +
                  (f[11].empty() ? "" : ", " + f[11]) + (f[13].empty() ? "" : ", operator " + f[13]));
        }
    }
    if (format == "json") {
        PrintJson(all);
    }
}

} // namespace

int RunBatch(const BatchOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    const bool reads = options.action == "list" || options.action == "show" || options.action == "export";
    if (const int rc = keeper.Open(reads); rc != kOk) {
        return rc;
    }
    // Who created or resolved: the operator given, else the login.
    storage::Station who = keeper.Who();
    if (who.operatorName.empty()) {
        who.operatorName = LoginName();
    }
    try {
        return RunBatchAction(keeper.Store(), options, who, keeper.ReadOnly());
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

int RunLog(const LogOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(true); rc != kOk) {
        return rc;
    }
    try {
        storage::RecordFilter filter;
        filter.since = options.since;
        filter.serial = options.serial;
        PrintRecords(keeper.Store().Records(filter), options.format);
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

} // namespace pello::cli
