#include "sim/Units.h"

#include "protocol/Device.h"

#include <cstdio>

namespace pello {

CUnitLine::CUnitLine(int units, int gapMs, int holdMs, std::vector<std::string> fields, std::string firstField)
    : m_units(units), m_gapMs(gapMs), m_holdMs(holdMs), m_fields(std::move(fields)), m_firstField(std::move(firstField))
{
}

std::string CUnitLine::Field(int unit) const
{
    if (unit <= static_cast<int>(m_fields.size())) {
        return m_fields[static_cast<size_t>(unit - 1)];
    }
    if (unit == 1 || m_blankUnits) {
        return m_firstField;
    }
    // "14UNIT0002000000000000": the Product ID shows "UNIT0002000000".
    char number[8];
    std::snprintf(number, sizeof number, "%04d", unit % 10000);
    std::string field = std::string("14UNIT") + number;
    field.resize(device::kSerialFieldLength, '0');
    return field;
}

void CUnitLine::SetGapRange(int maxMs, uint64_t seed)
{
    m_gapMaxMs = maxMs;
    m_rng.seed(seed);
}

// An operator takes an unprogrammed unit away after this, besides the hold.
constexpr uint64_t kUnprogrammedStayMs = 3000;

void CUnitLine::Arrived(uint64_t nowMs)
{
    if (m_units > 0) {
        m_programmed = false;
        m_due = true;
        m_atMs = nowMs + static_cast<uint64_t>(m_holdMs) + kUnprogrammedStayMs;
    }
}

void CUnitLine::Programmed(uint64_t nowMs)
{
    if (m_units > 0 && m_connected && !m_programmed) {
        m_programmed = true;
        m_due = true;
        m_atMs = nowMs + static_cast<uint64_t>(m_holdMs);
    }
}

bool CUnitLine::Advance(uint64_t nowMs)
{
    if (!m_due || nowMs < m_atMs) {
        return false;
    }
    if (m_connected) {
        m_connected = false;
        // The last unit leaves for good.
        m_due = m_unit < m_units;
        const int gap = m_gapMaxMs > m_gapMs ? std::uniform_int_distribution<int>(m_gapMs, m_gapMaxMs)(m_rng) : m_gapMs;
        m_atMs = nowMs + static_cast<uint64_t>(gap);
        return false;
    }
    ++m_unit;
    m_connected = true;
    Arrived(nowMs);
    return true;
}

int CUnitLine::MsUntilNext(uint64_t nowMs) const
{
    if (!m_due) {
        return -1;
    }
    return m_atMs <= nowMs ? 0 : static_cast<int>(m_atMs - nowMs);
}

} // namespace pello
