#include "station/Book.h"

#include "storage/Pending.h"

namespace pello::station {

CStationBook::CStationBook(storage::CStore& store, storage::Station who, std::string batch,
                           std::function<void(const std::string&)> say)
    : m_store(store), m_who(std::move(who)), m_batch(std::move(batch)), m_say(std::move(say))
{
}

std::optional<storage::ProgrammingRecord> CStationBook::LastWritten(const std::string& field)
{
    return m_store.LastWritten(field);
}

std::optional<storage::Claim> CStationBook::Claim()
{
    std::optional<storage::Claim> claim = m_store.ClaimNext(m_batch, m_who);
    for (const std::string& serial : claim ? claim->skipped : std::vector<std::string>()) {
        m_say("serial " + serial + " passed over: the record shows its field programmed into a unit already");
    }
    return claim;
}

std::optional<storage::Claim> CStationBook::Reclaim(const std::string& field)
{
    return m_store.Reclaim(m_batch, field, m_who);
}

bool CStationBook::NoteStep(const storage::Claim& claim, const char* step)
{
    const storage::StepNote note = storage::NoteStepOrKeep(m_store, claim.token, step);
    if (note.where != storage::Noted::OnRecord) {
        m_say(storage::SayNote(step, note));
    }
    return note.where != storage::Noted::Nowhere;
}

bool CStationBook::Keep(const storage::Claim& claim, storage::SerialState state, const storage::ProgrammingRecord& ended)
{
    // The attempt ends now, its read-back done: its row's time, and its cycle's end.
    storage::ProgrammingRecord row = ended;
    row.time = storage::UtcNow();
    try {
        m_store.Settle(claim, state, row, m_who);
        return true;
    } catch (const std::exception& e) {
        const bool kept = storage::KeepPending({m_store.DatabaseId(), m_store.Describe(), claim, state, row, m_who});
        m_say(std::string("THE RECORD COULD NOT BE WRITTEN: ") + e.what());
        m_say("outcome: " + row.outcome + ", serial " + claim.serial + " now " + storage::StateName(state) + ", " +
              row.time);
        m_say(kept ? "kept in " + storage::PendingPath() + "; the next run writes it into the record"
                   : "it could not be kept in " + storage::PendingPath() + " either: note it by hand");
        return false;
    }
}

void CStationBook::NoteLabel(const storage::Claim& claim, const std::string& problem)
{
    try {
        m_store.AddNote(claim.token, "label not printed: " + problem);
    } catch (const std::exception&) {
        // The unit and its row stand; only the note is missing, and it was said.
    }
}

storage::ProgrammingRecord CStationBook::NewRecord() { return storage::NewRecord(m_who); }

uint64_t CStationBook::SerialsLeft() { return m_store.ShowBatch(m_batch, storage::Station {}).free; }

std::string CStationBook::Blank() { return m_store.ShowBatch(m_batch, storage::Station {}).blank; }

void CStationBook::Report(const std::string& state, const std::string& lastUnit, const StationTally& t)
{
    m_store.ReportStation({m_who.name, m_batch, state, m_who.operatorName, lastUnit, "", "",
                           static_cast<uint64_t>(t.done), static_cast<uint64_t>(t.failed),
                           static_cast<uint64_t>(t.skipped), true});
}

void CStationBook::CheckWrites() { Report("waiting", "", StationTally {}); }

} // namespace pello::station
