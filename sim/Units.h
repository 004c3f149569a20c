#pragma once
// The units a simulator presents one after another on a production line: a
// unit is connected until some time after it has been programmed, then the
// line is empty for a gap, then the next unit arrives with its own field.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace pello {

class CUnitLine {
public:
    // `units` units; a programmed unit stays `holdMs`, then the line is empty
    // for `gapMs`. `fields` gives the first units' initial serial number
    // fields; later ones get fields of their own. A line of one unit that was
    // not asked for (`units` 0) is a single device that never leaves.
    CUnitLine(int units, int gapMs, int holdMs, std::vector<std::string> fields, std::string firstField);

    // Gaps drawn between the gap and `maxMs` from `seed`; units after the
    // listed fields carry the first field, as new units all do.
    void SetGapRange(int maxMs, uint64_t seed);
    void SetBlankUnits(bool blank) { m_blankUnits = blank; }

    bool Connected() const { return m_connected; }
    // 1-based number of the unit connected or expected next.
    int Unit() const { return m_unit; }
    std::string Field(int unit) const;

    // The connected unit answered "QBOOT": it leaves after its hold.
    void Programmed(uint64_t nowMs);
    // A unit has just been connected. One that is never programmed (it
    // arrived programmed, say) is taken away a while later.
    void Arrived(uint64_t nowMs);
    // Carries out a leave or an arrival that is due. True when a new unit
    // has just arrived.
    bool Advance(uint64_t nowMs);
    // Milliseconds until the next leave or arrival; -1 when none is due.
    int MsUntilNext(uint64_t nowMs) const;

private:
    int m_units;
    int m_gapMs;
    int m_holdMs;
    std::vector<std::string> m_fields;
    std::string m_firstField;
    int m_unit = 1;
    bool m_connected = true;
    bool m_due = false; // a leave or arrival is scheduled at m_atMs
    bool m_programmed = false;
    uint64_t m_atMs = 0;
    int m_gapMaxMs = -1;
    bool m_blankUnits = false;
    std::mt19937_64 m_rng;
};

} // namespace pello
