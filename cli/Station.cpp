// `pellomatic-cli station`: unit after unit from a batch, and how the
// operator (or a line-control system, with --json) hears about each.

#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Record.h"
#include "cli/Session.h"
#include "station/Book.h"
#include "station/Station.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace pello::cli {

namespace {

using station::StationTally;
using station::UnitReport;

std::string LocalClock()
{
    const time_t now = ::time(nullptr);
    tm local {};
    ::localtime_r(&now, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

long PerHour(const StationTally& t) { return t.seconds > 0 ? static_cast<long>(t.done * 3600.0 / t.seconds) : 0; }

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", s);
    return text;
}

// A line per unit, a live status line and a bell on a failure, on a terminal.
class CTerminalEvents final : public station::CStationEvents {
public:
    void Waiting(const StationTally& t) override { ShowStatus(t, "waiting for a unit"); }
    void Arrived(int unit, const SearchResult& found) override
    {
        m_last = "unit " + std::to_string(unit) + " connected: " + found.field;
        ShowStatus(m_tally, m_last);
    }
    void Finished(const UnitReport& r, const StationTally& t) override
    {
        ClearStatus();
        std::string line = LocalClock() + "  unit " + std::to_string(r.unit) + "  " +
                           (r.serial.empty() ? std::string("-") : r.serial) + "  " + r.outcome;
        if (!r.detail.empty()) line += ": " + r.detail;
        if (!r.serial.empty() && r.state != "programmed") line += "; serial " + r.state;
        if (!r.labelProblem.empty()) line += "; label not printed: " + r.labelProblem;
        Print(line + "  " + Seconds(r.seconds));
        std::fflush(stdout);
        if (r.outcome != "programmed" && r.outcome != "skipped" && Live()) {
            std::fputs("\a", stdout); // a failure: look up
        }
        ShowStatus(t, r.outcome == "skipped" ? "remove the unit" : "waiting for the unit to be removed");
    }
    void Left(int) override {}
    void OnStep(const std::string&) override {}
    void Notice(const std::string& what) override
    {
        ClearStatus();
        Print(LocalClock() + "  " + what);
        ShowStatus(m_tally, what);
    }
    void Stopped(const std::string& why, const StationTally& t) override
    {
        ClearStatus();
        Print("station stopped (" + why + "): " + std::to_string(t.done) + " done, " + std::to_string(t.failed) +
              " failed, " + std::to_string(t.skipped) + " skipped in " + std::to_string(static_cast<long>(t.seconds)) +
              " s (" + std::to_string(PerHour(t)) + " per hour); " + std::to_string(t.left) +
              " serial numbers left");
    }

private:
    void ShowStatus(const StationTally& t, const std::string& what)
    {
        m_tally = t;
        if (!Live()) return;
        std::fprintf(stdout, "\r\033[Kdone %d  failed %d  skipped %d  |  %s per hour  |  %llu left  |  %s", t.done,
                     t.failed, t.skipped, station::PerHourText(t).c_str(), static_cast<unsigned long long>(t.left),
                     text::Show(what).c_str());
        std::fflush(stdout);
    }
    void ClearStatus()
    {
        if (Live()) std::fputs("\r\033[K", stdout);
    }
    bool Live() const { return m_tty && !TerminalGone(stdout); }

    bool m_tty = ::isatty(STDOUT_FILENO) == 1;
    StationTally m_tally;
    std::string m_last;
};

// One JSON object per event on stdout, for line-control systems.
class CJsonEvents final : public station::CStationEvents {
public:
    void Waiting(const StationTally& t) override { Emit({{"event", "waiting"}, {"left", t.left}}); }
    void Arrived(int unit, const SearchResult& found) override
    {
        Emit({{"event", "arrived"}, {"unit", unit}, {"field", found.field},
              {"node", found.node}});
    }
    void Finished(const UnitReport& r, const StationTally& t) override
    {
        nlohmann::json event {{"event", "unit"}, {"unit", r.unit}, {"serial", r.serial}, {"outcome", r.outcome},
                              {"state", r.state}, {"detail", r.detail}, {"field_before", r.fieldBefore},
                              {"seconds", r.seconds}, {"done", t.done}, {"failed", t.failed}, {"skipped", t.skipped},
                              {"left", t.left}};
        if (!r.labelProblem.empty()) event["label"] = "not printed: " + r.labelProblem;
        Emit(event);
    }
    void Left(int unit) override { Emit({{"event", "left"}, {"unit", unit}}); }
    void Notice(const std::string& what) override { Emit({{"event", "notice"}, {"text", what}}); }
    void OnStep(const std::string&) override {}
    void Stopped(const std::string& why, const StationTally& t) override
    {
        Emit({{"event", "summary"}, {"reason", why}, {"done", t.done}, {"failed", t.failed}, {"skipped", t.skipped},
              {"seconds", t.seconds}, {"per_hour", PerHour(t)}, {"left", t.left}});
    }

    // The line-control system reading the events has gone: the station stops
    // after the unit it is on.
    bool ReaderGone() const { return m_bGone; }

private:
    void Emit(nlohmann::json event)
    {
        event["time"] = storage::UtcNow();
        PrintJson(event);
        m_bGone = m_bGone || std::fflush(stdout) != 0 || std::ferror(stdout) != 0;
    }
    bool m_bGone = false;
};

std::unique_ptr<station::CUnitWatcher> MakeWatcher(const StationCliOptions& o)
{
    if (o.device.link == Link::Rs232) {
        return std::make_unique<station::CTimerWatcher>(static_cast<int>(o.interval * 1000));
    }
    return station::MakeHidrawWatcher();
}

} // namespace

namespace {

// "--operator -": the operator's name as a badge scanner types it, a line on stdin.
std::optional<std::string> AskOperator()
{
    if (::isatty(STDIN_FILENO) == 1) {
        std::fputs("operator: ", stderr);
    }
    char line[256] = {};
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return std::nullopt;
    }
    std::string name = line;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    return name.empty() ? std::nullopt : std::optional<std::string>(name);
}

} // namespace

int RunStation(const StationCliOptions& options, const CommonOptions& given)
{
    CommonOptions common = given;
    if (common.operatorName == "-") {
        const std::optional<std::string> name = AskOperator();
        if (!name) {
            Complain("station: no operator name was given");
            return kUsage;
        }
        if (const std::string why = text::NameProblem(*name); !why.empty()) {
            Complain("station: operator: " + why);
            return kUsage;
        }
        common.operatorName = *name;
    }
    CRecordKeeper keeper(common);
    if (const int rc = keeper.Open(); rc != kOk) {
        return rc;
    }
    CDeviceSession session(options.device, common);
    std::optional<label::CLabelPrinter> labels;
    if (!options.label.empty()) {
        labels.emplace(options.label, options.printer);
        if (!labels->Problem().empty()) {
            Complain("station: " + labels->Problem());
            return kUsage;
        }
    }
    station::CStationBook book(keeper.Store(), keeper.Who(), options.batch, Complain);
    CTerminalEvents terminal;
    CJsonEvents json;
    station::CStationEvents& events = options.json ? static_cast<station::CStationEvents&>(json) : terminal;
    const std::unique_ptr<station::CUnitWatcher> watcher = MakeWatcher(options);
    station::CStation line(session.Flow(), book, *watcher, events,
                           {options.device.link, options.count, static_cast<int>(options.interval * 1000),
                            !options.device.port.empty(), labels ? &*labels : nullptr, keeper.Who().name,
                            keeper.Who().operatorName});
    try {
        book.SerialsLeft(); // an unknown batch is said before any unit is looked for
        const StationTally tally = line.Run([&json] { return Interrupted() || json.ReaderGone(); });
        if (tally.unrecorded > 0) {
            return kNotRecorded;
        }
        if (Interrupted()) {
            return InterruptedExitCode();
        }
        if (json.ReaderGone()) {
            return kOutputFailed;
        }
        return tally.failed > 0 ? kSettingFailed : kOk;
    } catch (const std::exception& e) {
        return ReportStorageError(e, keeper.Store().Describe());
    }
}

} // namespace pello::cli
