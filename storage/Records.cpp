// Record rows written: begun "in progress", steps noted, completed once,
// and counted in the line's tallies as attempts end.

#include "storage/StoreCommon.h"

#include <algorithm>

namespace pello::storage {

void CStore::NoteStep(const std::string& token, const std::string& step)
{
    m_db->QueryWithin(kNoteWaitMs, "UPDATE records SET step = ? WHERE token = ? AND outcome = 'in progress'",
                      {step, token});
}

void CStore::NoteKeptStep(const std::string& token, const std::string& step)
{
    // Frames go out in this order: a later note already there stays.
    static const std::vector<std::string> order = {"ATE1", "SID", "PABC", "QBOOT"};
    const auto at = std::find(order.begin(), order.end(), step);
    std::string later;
    for (auto s = at == order.end() ? at : at + 1; s != order.end(); ++s) {
        later += (later.empty() ? "'" : ", '") + *s + "'";
    }
    m_db->Query("UPDATE records SET step = ? WHERE token = ? AND outcome = 'in progress'" +
                    (later.empty() ? std::string() : " AND step NOT IN (" + later + ")"),
                {step, token});
}

void CStore::AddNote(const std::string& token, const std::string& note)
{
    m_db->Query("UPDATE records SET detail = CASE WHEN detail = '' THEN ? ELSE detail || '; ' || ? END WHERE token = ?",
                {note, note, token});
}

void CStore::InsertRecord(const ProgrammingRecord& r)
{
    const bool inserted =
        !m_db->Query(std::string("INSERT INTO records (") + kRecordColumns +
                         ", seconds) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (token) "
                         "DO NOTHING RETURNING id",
                     RecordValues(r))
             .empty();
    if (inserted) {
        Tally(r);
    }
}

// An attempt that has ended counts once in the line's tallies, by minute,
// station, batch, operator, outcome, whether it was a retest (the unit
// carried what another attempt wrote), its cycle and why it failed.
void CStore::Tally(const ProgrammingRecord& r)
{
    if (r.outcome != "programmed" && r.outcome != "failed" && r.outcome != "verify failed") {
        return;
    }
    const DbValue seconds = CycleSeconds(r);
    m_db->Query(std::string("INSERT INTO tallies (minute, station, batch, operator, outcome, retest, seconds, why, n) "
                            "VALUES (?, ?, ?, ?, ?, CASE WHEN ? <> '") + kFactoryField + "' AND EXISTS (SELECT 1 FROM "
                            "records p WHERE p.field_written = ? AND COALESCE(p.token, '') <> ? AND p.outcome IN "
                            "('programmed', 'failed', 'verify failed')) THEN 1 ELSE 0 END, CAST(? AS BIGINT), ?, 1) "
                            "ON CONFLICT (minute, station, batch, operator, outcome, retest, seconds, why) "
                            "DO UPDATE SET n = tallies.n + 1",
                {r.time.substr(0, 16), r.station, r.batch, r.operatorName, r.outcome, r.fieldBefore, r.fieldBefore,
                 r.token, seconds.value_or("-1"), r.outcome == "programmed" ? std::string() : r.detail});
}

// Completes the row begun for this attempt: false when there is none in
// progress (it was never begun, or is complete already).
bool CStore::CompleteRecord(const ProgrammingRecord& r)
{
    std::vector<DbValue> values = RecordValues(r);
    std::swap(values[values.size() - 2], values.back()); // the token goes last, into the WHERE
    const bool completed =
        !m_db->Query("UPDATE records SET time = ?, station = ?, link = ?, port = ?, field_before = ?, "
                     "field_written = ?, code_written = ?, outcome = ?, verify = ?, batch = ?, serial = ?, "
                     "detail = ?, step = COALESCE(NULLIF(?, ''), step), operator = ?, started = COALESCE(?, started), "
                     "unit = ?, seconds = ? WHERE token = ? AND outcome = 'in progress' RETURNING id",
                     values)
             .empty();
    if (completed) {
        Tally(r);
    }
    return completed;
}

std::string CStore::BeginRecord(ProgrammingRecord record)
{
    record.token = RandomToken();
    record.outcome = "in progress";
    record.started = record.started.empty() ? record.time : record.started;
    InTransaction([&] { InsertRecord(record); });
    return record.token;
}

void CStore::AddRecord(const ProgrammingRecord& record)
{
    InTransaction([&] {
        if (record.token.empty() || !CompleteRecord(record)) {
            InsertRecord(record);
        }
    });
}

} // namespace pello::storage
