#include "station/Station.h"

#include "station/Unit.h"

#include <algorithm>

namespace pello::station {

namespace {

// Two probes in a row unanswered: the unit has left.
constexpr int kMissesForLeave = 2;

double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

std::string PerHourText(const StationTally& t)
{
    return t.seconds >= 60 ? std::to_string(static_cast<long>(t.done * 3600.0 / t.seconds)) : "-";
}

// A probe that finds nothing waits out the device's whole reply deadline (a
// slow unit is still a unit): looks start an interval apart, or back to back.
int CStation::RestOfInterval(std::chrono::steady_clock::time_point look) const
{
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - look);
    return std::max(0, m_options.probeIntervalMs - static_cast<int>(spent.count()));
}

CStation::CStation(CSnToolWorkflow& flow, CStationRecord& record, CUnitWatcher& watcher, CStationEvents& events,
                   StationOptions options)
    : m_flow(flow), m_record(record), m_watcher(watcher), m_events(events), m_options(options)
{
}

// The station's row; a record that cannot take it now stops nothing.
void CStation::Say(const std::string& state)
{
    try {
        m_record.Report(state, m_lastUnit, m_tally);
    } catch (const std::exception&) {
    }
}

uint64_t CStation::SerialsLeft()
{
    try {
        m_lastLeft = m_record.SerialsLeft();
    } catch (const std::exception&) {
        m_bRecordLost = true; // the unit's event and the summary are still said
    }
    return m_lastLeft;
}

StationTally CStation::Tally()
{
    m_tally.seconds = SecondsSince(m_started);
    m_tally.left = SerialsLeft();
    return m_tally;
}

StationTally CStation::Run(const std::function<bool()>& stop)
{
    m_stop = stop;
    m_started = std::chrono::steady_clock::now();
    m_blank = m_record.Blank();
    std::string why = "stopped";
    while (!Stopping() && !Done(&why)) {
        std::optional<SearchResult> unit = m_swapped ? std::exchange(m_swapped, std::nullopt) : WaitForUnit();
        if (!unit) {
            break;
        }
        if (!Handle(*unit)) {
            why = m_bRecordLost ? "the record cannot be reached" : "the batch is used up";
            break;
        }
        if (!Stopping() && !Done(&why)) {
            WaitForLeave(unit->node);
        }
    }
    m_events.Stopped(why, Tally());
    Say("stopped");
    return m_tally;
}

bool CStation::Done(std::string* why)
{
    if (m_options.count > 0 && m_tally.done + m_tally.failed >= m_options.count) {
        *why = "count reached";
        return true;
    }
    if (SerialsLeft() == 0 || m_bRecordLost) {
        *why = m_bRecordLost ? "the record cannot be reached" : "the batch is used up";
        return true;
    }
    return false;
}

// Looks (a probe over RS232; the node and one "QSID" over USB) until a unit answers.
std::optional<SearchResult> CStation::WaitForUnit()
{
    m_events.Waiting(Tally());
    while (!Stopping()) {
        Say("waiting");
        if (SeveralUnits()) {
            m_watcher.Wait(m_watcher.LookEveryMs());
            continue;
        }
        const auto look = std::chrono::steady_clock::now();
        const SearchResult probe = m_flow.Probe(m_options.link);
        if (const std::optional<SearchResult> found = probe.found ? Confirmed(probe) : std::nullopt) {
            m_events.Arrived(++m_units, *found);
            Say("programming");
            return found;
        }
        m_watcher.Wait(m_options.link == Link::Rs232 ? RestOfInterval(look) : m_watcher.LookEveryMs());
    }
    return std::nullopt;
}

bool CStation::SeveralUnits()
{
    const size_t units = m_options.link == Link::Usb && !m_options.nodeNamed ? m_flow.UsbUnits().size() : 0;
    if (units > 1 && !m_bToldSeveral) {
        m_events.Notice(std::to_string(units) + " units are connected: leave one, the station programs one at a time");
    }
    m_bToldSeveral = units > 1;
    return units > 1;
}

std::optional<SearchResult> CStation::Confirmed(const SearchResult& first)
{
    const SearchResult again = m_flow.Probe(m_options.link);
    if (again.found && again.field == first.field) {
        return again;
    }
    return std::nullopt;
}

// A unit that carries a serial of this batch still claimed or in doubt (the
// station stopped mid-unit) is finished with that serial; one that carries
// a field the record shows written is not written again; any other gets the
// next free serial.
bool CStation::Handle(const SearchResult& found)
{
    const auto start = std::chrono::steady_clock::now();
    UnitReport report;
    report.unit = m_units;
    report.fieldBefore = found.field;
    m_leaving = {found.field};
    try {
        std::optional<storage::Claim> claim = found.field == m_blank ? std::nullopt : m_record.Reclaim(found.field);
        if (claim || !Skip(found, &report)) {
            claim = claim ? claim : m_record.Claim();
            if (!claim) {
                return false;
            }
            Program(found, *claim, &report);
        }
    } catch (const std::exception&) {
        m_bRecordLost = true; // nothing went to the unit: there is no claim to finish
        return false;
    }
    report.seconds = SecondsSince(start);
    m_lastUnit = (report.serial.empty() ? found.field : report.serial) + " " + report.outcome;
    m_events.Finished(report, Tally());
    Say("waiting for the unit to leave");
    return true;
}

// A unit that reads back a field the record shows written is not written
// again; the batch's blank field is every new unit's.
bool CStation::Skip(const SearchResult& found, UnitReport* report)
{
    const std::optional<storage::ProgrammingRecord> earlier =
        found.field == m_blank ? std::nullopt : m_record.LastWritten(found.field);
    if (!earlier) {
        return false;
    }
    ++m_tally.skipped;
    report->outcome = "skipped";
    const bool programmed = earlier->outcome == "programmed";
    report->detail = std::string(programmed ? "already programmed as " : "already carries ") + found.field + " at " +
                     earlier->time + (programmed ? "" : " (" + earlier->outcome + ")") + "; remove the unit";
    return true;
}

void CStation::Program(const SearchResult& found, const storage::Claim& claim, UnitReport* report)
{
    m_flow.SetStepListener([this, &claim](const char* step) {
        m_events.OnStep(step);
        return m_record.NoteStep(claim, step);
    });
    const UnitOutcome outcome = ProgramUnit(m_flow, {claim.field, claim.code}, [] { return false; });
    m_flow.SetStepListener(nullptr);
    storage::ProgrammingRecord row = m_record.NewRecord();
    DescribeUnit(&row, m_options.link, found, {claim.field, claim.code});
    row.batch = claim.batch;
    row.serial = claim.serial;
    EndRow(&row, outcome.program);
    const bool recorded = m_record.Keep(claim, outcome.state, row);
    const bool programmed = outcome.state == storage::SerialState::Programmed;
    ++(programmed ? m_tally.done : m_tally.failed);
    m_tally.unrecorded += recorded ? 0 : 1;
    report->serial = claim.serial;
    report->outcome = recorded ? row.outcome : "not recorded";
    report->state = storage::StateName(outcome.state);
    report->detail = row.detail;
    // A programmed unit is known by what it carries now; a failed one may
    // carry either field.
    if (programmed) {
        m_leaving = {claim.field};
        PrintLabel(claim, report);
    } else {
        m_leaving.insert(claim.field);
    }
}

void CStation::PrintLabel(const storage::Claim& claim, UnitReport* report)
{
    if (m_options.labels == nullptr) {
        return;
    }
    report->labelProblem = m_options.labels->Print({claim.serial, claim.field, claim.code, claim.batch,
                                                    storage::UtcNow(), m_options.name, m_options.operatorName});
    if (!report->labelProblem.empty()) {
        m_record.NoteLabel(claim, report->labelProblem);
    }
}

void CStation::WaitForLeave(const std::string& node)
{
    if (m_options.link == Link::Usb) {
        WaitForUsbLeave(node);
    } else {
        WaitForSerialLeave();
    }
}

void CStation::WaitForUsbLeave(const std::string& node)
{
    while (!Stopping() && m_flow.UsbDevicePresent(node)) {
        m_watcher.Wait(m_watcher.LookEveryMs());
    }
    if (!Stopping()) {
        m_events.Left(m_units);
    }
}

// Two probes in a row unanswered: the unit has left. A unit that reads, twice,
// a field other than the ones this unit may hold, or that answers after a
// probe went unanswered without carrying what this unit was programmed with,
// is the next unit (a quick swap; new units all carry the same blank field).
void CStation::WaitForSerialLeave()
{
    int misses = 0;
    auto look = std::chrono::steady_clock::now();
    while (!Stopping() && misses < kMissesForLeave) {
        m_watcher.Wait(RestOfInterval(look));
        look = std::chrono::steady_clock::now();
        Say("waiting for the unit to leave");
        const SearchResult probe = m_flow.Probe(Link::Rs232);
        const bool away = misses > 0 && !(m_leaving.size() == 1 && m_leaving.count(probe.field) == 1);
        if (probe.found && (m_leaving.count(probe.field) == 0 || away)) {
            if (const std::optional<SearchResult> next = Confirmed(probe)) {
                m_events.Left(m_units);
                m_events.Arrived(++m_units, *next);
                m_swapped = next;
                return;
            }
        }
        misses = probe.found ? 0 : misses + 1;
    }
    if (!Stopping()) {
        m_events.Left(m_units);
    }
}

} // namespace pello::station
