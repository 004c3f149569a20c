// `pellomatic-cli stats`: the line's numbers from the record, as text, CSV
// or JSON (README: "The line's numbers" defines each figure).

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Output.h"
#include "cli/Record.h"

#include <cstdio>

#include <nlohmann/json.hpp>

namespace pello::cli {

namespace {

using nlohmann::json;

std::string Fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Failures(const storage::LineFigures& f)
{
    std::string out;
    for (const storage::FailureCount& c : f.failures) {
        out += (out.empty() ? "" : "; ") + c.step + ": " + c.reason + " (" + std::to_string(c.count) + ")";
    }
    return out;
}

json ToJson(const storage::LineFigures& f)
{
    json failures = json::array();
    for (const storage::FailureCount& c : f.failures) {
        failures.push_back({{"step", c.step}, {"reason", c.reason}, {"count", c.count}});
    }
    return {{"attempts", f.attempts},        {"programmed", f.programmed},     {"failed", f.failed},
            {"yield", f.yield},              {"first_pass_yield", f.firstPassYield}, {"retest_rate", f.retestRate},
            {"units", f.units},              {"in_doubt", f.inDoubt},          {"failures", failures},
            {"cycle_p50_s", f.cycleP50},     {"cycle_p90_s", f.cycleP90},      {"units_per_hour", f.unitsPerHour}};
}

std::vector<std::string> CsvCells(const std::string& group, const storage::LineFigures& f)
{
    return {group,           std::to_string(f.attempts), std::to_string(f.programmed), std::to_string(f.failed),
            Fixed(f.yield, 4), Fixed(f.firstPassYield, 4),   Fixed(f.retestRate, 4),      std::to_string(f.inDoubt),
            Fixed(f.cycleP50, 1), Fixed(f.cycleP90, 1),    Fixed(f.unitsPerHour, 1),    Failures(f)};
}

std::string TextLine(const std::string& group, const storage::LineFigures& f)
{
    return group + "  " + std::to_string(f.attempts) + " attempts, " + std::to_string(f.programmed) +
           " programmed, " + std::to_string(f.failed) + " failed; yield " + Fixed(100 * f.yield, 1) +
           " %, first pass " + Fixed(100 * f.firstPassYield, 1) + " %, retests " + Fixed(100 * f.retestRate, 1) +
           " %; " + std::to_string(f.inDoubt) + " in doubt; cycle " + Fixed(f.cycleP50, 0) + " s (p90 " +
           Fixed(f.cycleP90, 0) + " s); " + Fixed(f.unitsPerHour, 1) + " units per hour";
}

// The line of a group, and a second line with its failures when it has any.
void PrintText(const std::string& group, const storage::LineFigures& f)
{
    Print(TextLine(group, f));
    if (!f.failures.empty()) Print("    failures: " + Failures(f));
}

void PrintStats(const storage::LineStats& stats, const std::string& format)
{
    if (format == "json") {
        json groups = json::array();
        for (const storage::LineFigures& g : stats.groups) {
            json j = ToJson(g);
            j["group"] = g.group;
            groups.push_back(j);
        }
        PrintJson({{"total", ToJson(stats.total)}, {"groups", groups}});
    } else if (format == "csv") {
        Print(CsvLine({"group", "attempts", "programmed", "failed", "yield", "first_pass_yield", "retest_rate",
                       "in_doubt", "cycle_p50_s", "cycle_p90_s", "units_per_hour", "failures"}));
        Print(CsvLine(CsvCells("total", stats.total)));
        for (const storage::LineFigures& g : stats.groups) Print(CsvLine(CsvCells(g.group, g)));
    } else {
        PrintText("total", stats.total);
        for (const storage::LineFigures& g : stats.groups) PrintText(g.group, g);
    }
}

} // namespace

int RunStats(const StatsOptions& options, const CommonOptions& common)
{
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(true); rc != kOk) {
        return rc;
    }
    try {
        PrintStats(keeper.Store().Stats({options.batch, options.since, options.until, options.by}), options.format);
        return kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

} // namespace pello::cli
