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

StationTally CStation::Tally()
{
    m_tally.seconds = SecondsSince(m_started);
    m_tally.left = m_record.SerialsLeft();
    return m_tally;
}

StationTally CStation::Run(const std::function<bool()>& stop)
{
    m_stop = stop;
    m_started = std::chrono::steady_clock::now();
    std::string why = "stopped";
    while (!Stopping() && !Done(&why)) {
        std::optional<SearchResult> unit = m_swapped ? std::exchange(m_swapped, std::nullopt) : WaitForUnit();
        if (!unit) {
            break;
        }
        if (!Handle(*unit)) {
            why = "the batch is used up";
            break;
        }
        if (!Stopping() && !Done(&why)) {
            WaitForLeave(unit->node, m_leaving);
        }
    }
    m_events.Stopped(why, Tally());
    return m_tally;
}

bool CStation::Done(std::string* why)
{
    if (m_options.count > 0 && m_tally.done + m_tally.failed >= m_options.count) {
        *why = "count reached";
        return true;
    }
    if (m_record.SerialsLeft() == 0) {
        *why = "the batch is used up";
        return true;
    }
    return false;
}

// Looks (a probe over RS232; the node and one "QSID" over USB) until a unit answers.
std::optional<SearchResult> CStation::WaitForUnit()
{
    m_events.Waiting(Tally());
    while (!Stopping()) {
        if (SeveralUnits()) {
            m_watcher.Wait(m_watcher.LookEveryMs());
            continue;
        }
        const auto look = std::chrono::steady_clock::now();
        const SearchResult found = m_flow.Probe(m_options.link);
        if (found.found) {
            m_events.Arrived(++m_units, found);
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

bool CStation::Handle(const SearchResult& found)
{
    const auto start = std::chrono::steady_clock::now();
    UnitReport report;
    report.unit = m_units;
    report.fieldBefore = found.field;
    m_leaving = {found.field};
    if (!Skip(found, &report)) {
        const std::optional<storage::Claim> claim = m_record.Claim();
        if (!claim) {
            return false;
        }
        Program(found, *claim, &report);
    }
    report.seconds = SecondsSince(start);
    m_events.Finished(report, Tally());
    return true;
}

// A unit that reads back a field the record shows written is not written again.
bool CStation::Skip(const SearchResult& found, UnitReport* report)
{
    const std::optional<storage::ProgrammingRecord> earlier = m_record.LastWritten(found.field);
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
    const UnitOutcome outcome = ProgramUnit(m_flow, m_options.link, {claim.field, claim.code}, [] { return false; });
    storage::ProgrammingRecord row = m_record.NewRecord();
    DescribeUnit(&row, m_options.link, found, {claim.field, claim.code});
    row.batch = claim.batch;
    row.serial = claim.serial;
    EndRow(&row, outcome.applied, outcome.verify.outcome);
    const bool recorded = m_record.Keep(claim, outcome.state, row);
    const bool ok = outcome.state == storage::SerialState::Programmed && recorded;
    ++(ok ? m_tally.done : m_tally.failed);
    report->serial = claim.serial;
    report->outcome = recorded ? row.outcome : "not recorded";
    report->state = storage::StateName(outcome.state);
    report->detail = row.detail;
    m_leaving.insert(claim.field);
}

void CStation::WaitForLeave(const std::string& node, const std::set<std::string>& fields)
{
    if (m_options.link == Link::Usb) {
        WaitForUsbLeave(node);
    } else {
        WaitForSerialLeave(fields);
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

// Two probes in a row unanswered, or a unit that reads a field other than the
// ones this unit may hold (it was swapped quickly): the unit has left.
void CStation::WaitForSerialLeave(const std::set<std::string>& fields)
{
    int misses = 0;
    auto look = std::chrono::steady_clock::now();
    while (!Stopping() && misses < kMissesForLeave) {
        m_watcher.Wait(RestOfInterval(look));
        look = std::chrono::steady_clock::now();
        const SearchResult probe = m_flow.Probe(Link::Rs232);
        if (probe.found && fields.count(probe.field) == 0) {
            m_events.Left(m_units);
            m_events.Arrived(++m_units, probe);
            m_swapped = probe;
            return;
        }
        misses = probe.found ? 0 : misses + 1;
    }
    if (!Stopping()) {
        m_events.Left(m_units);
    }
}

} // namespace pello::station
