#pragma once
// A production station: waits for a unit, looks it up in the record, programs
// it from a batch, verifies and records it, and waits for it to leave before
// the next one, so a unit left connected is never programmed twice.

#include "core/Workflow.h"
#include "label/Label.h"
#include "station/Watcher.h"
#include "storage/Store.h"

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>

namespace pello::station {

struct StationTally {
    int done = 0, failed = 0, skipped = 0;
    int unrecorded = 0;  // units whose outcome the record could not take (kept locally)
    double seconds = 0;  // since the station started
    uint64_t left = 0;   // free serials in the batch
    // The station stopped because the record could not be reached or
    // refused writes: its stop is a failure, not an end of work.
    bool recordLost = false;
};

// Units per hour so far, as "123"; "-" in the station's first minute, when
// one quick unit would read as thousands an hour.
std::string PerHourText(const StationTally& tally);

// What the station needs of the record and the batch.
class CStationRecord {
public:
    virtual ~CStationRecord() = default;
    // The latest row that wrote `field` into a unit.
    virtual std::optional<storage::ProgrammingRecord> LastWritten(const std::string& field) = 0;
    // The batch's next free serial; nullopt when none is left.
    virtual std::optional<storage::Claim> Claim() = 0;
    // The batch's serial with this field, claimed or in doubt and held by
    // nobody alive, claimed again to finish the unit that carries it.
    virtual std::optional<storage::Claim> Reclaim(const std::string& field) = 0;
    // Notes the frame about to go out in the claim's row; false when it could not.
    virtual bool NoteStep(const storage::Claim& claim, const char* step) = 0;
    // Ends the claim and adds its row; false when the record could not take it.
    virtual bool Keep(const storage::Claim& claim, storage::SerialState state, const storage::ProgrammingRecord& row) = 0;
    // Notes in the claim's row that its label was not printed, and why.
    virtual void NoteLabel(const storage::Claim& claim, const std::string& problem) = 0;
    virtual storage::ProgrammingRecord NewRecord() = 0;
    virtual uint64_t SerialsLeft() = 0;
    // What a new unit of the batch carries: never taken for "already programmed".
    virtual std::string Blank() = 0;
    // The station's own row: waiting, programming, or stopped, its last unit
    // and its counts. Said at every event and every look for a unit.
    virtual void Report(const std::string& state, const std::string& lastUnit, const StationTally& tally) = 0;
};


struct UnitReport {
    int unit = 0;            // 1-based, counting units that arrived
    std::string serial;      // written, or "" for a skipped unit
    std::string fieldBefore; // what the unit held when it arrived
    std::string outcome;     // programmed, failed, verify failed, skipped, not recorded
    std::string state;       // where the serial stands: programmed, free, in doubt
    std::string detail;
    double seconds = 0;      // from arrival to its record row
    std::string labelProblem; // after a pass with labels: "" printed, else why not
};

// What the operator is told.
class CStationEvents {
public:
    virtual ~CStationEvents() = default;
    virtual void Waiting(const StationTally& tally) = 0;
    virtual void Arrived(int unit, const SearchResult& found) = 0;
    virtual void Finished(const UnitReport& report, const StationTally& tally) = 0;
    virtual void Left(int unit) = 0;
    virtual void Stopped(const std::string& why, const StationTally& tally) = 0;
    // Something the operator must do before the line goes on.
    virtual void Notice(const std::string& what) = 0;
    // The frame about to go out to the unit being programmed ("SID").
    virtual void OnStep(const std::string& step) = 0;
};

struct StationOptions {
    Link link = Link::Usb;
    int count = 0;             // units to program; 0: no limit
    int probeIntervalMs = 1000; // RS232: how often to look for a unit
    bool nodeNamed = false;     // USB: --port names the one node to use
    // After every pass, a label to this printer (none when null), with the
    // station's name and operator on it.
    const label::CLabelPrinter* labels = nullptr;
    std::string name = {};
    std::string operatorName = {};
};

class CStation {
public:
    CStation(CSnToolWorkflow& flow, CStationRecord& record, CUnitWatcher& watcher, CStationEvents& events,
             StationOptions options);
    // Runs until `count` units, an empty batch, or `stop` says so (checked
    // between units and while waiting; a unit being written is finished).
    // The tally at the end.
    StationTally Run(const std::function<bool()>& stop);

private:
    std::optional<SearchResult> WaitForUnit();
    // A probe's answer counts as a unit only when the next probe reads the
    // same field: one stray reply is not a unit.
    std::optional<SearchResult> Confirmed(const SearchResult& first);
    // Over USB, units are programmed one at a time: true while several are there.
    bool SeveralUnits();
    void WaitForLeave(const std::string& node);
    void WaitForUsbLeave(const std::string& node);
    void WaitForSerialLeave();
    // False when the batch has run out.
    bool Handle(const SearchResult& found);
    bool Skip(const SearchResult& found, UnitReport* report);
    void Program(const SearchResult& found, const storage::Claim& claim, UnitReport* report);
    // A programmed unit's label, when labels are asked for; a printer that
    // fails fails nothing but the label, which the row and the report say.
    void PrintLabel(const storage::Claim& claim, UnitReport* report);
    // The record's numbers, as last known when the record cannot be reached.
    uint64_t SerialsLeft();
    // The record failed: the station stops, saying why in words.
    void LoseRecord(const std::exception& e);
    void Say(const std::string& state);
    StationTally Tally();
    bool Stopping() const { return m_stop(); }
    // What is left of the interval between two looks that began at `look`.
    int RestOfInterval(std::chrono::steady_clock::time_point look) const;
    // The count is reached or the batch used up; `why` says which.
    bool Done(std::string* why);

    CSnToolWorkflow& m_flow;
    CStationRecord& m_record;
    CUnitWatcher& m_watcher;
    CStationEvents& m_events;
    StationOptions m_options;
    std::function<bool()> m_stop;
    StationTally m_tally;
    int m_units = 0;
    std::optional<SearchResult> m_swapped; // a unit found while waiting for the last to leave
    // Fields the unit waited for may read: what it was programmed with, or,
    // when that failed, also what it carried before.
    std::set<std::string> m_leaving;
    std::string m_blank;
    uint64_t m_lastLeft = 0;
    bool m_bRecordLost = false;
    std::string m_recordProblem; // "the record cannot be reached" or "the record refuses writes"
    std::chrono::steady_clock::time_point m_started;
    bool m_bToldSeveral = false;
    std::string m_lastUnit; // what the station last did, for its row
};

} // namespace pello::station
