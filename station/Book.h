#pragma once
// The batch and the record as a station uses them, the same for the command
// line and the station window: an outcome the record cannot take is kept
// locally (storage/Pending.h) and said through `say`.

#include "station/Station.h"

#include <functional>

namespace pello::station {

class CStationBook final : public CStationRecord {
public:
    CStationBook(storage::CStore& store, storage::Station who, std::string batch,
                 std::function<void(const std::string&)> say);

    std::optional<storage::ProgrammingRecord> LastWritten(const std::string& field) override;
    std::optional<storage::Claim> Claim() override;
    std::optional<storage::Claim> Reclaim(const std::string& field) override;
    bool NoteStep(const storage::Claim& claim, const char* step) override;
    bool Keep(const storage::Claim& claim, storage::SerialState state, const storage::ProgrammingRecord& row) override;
    void NoteLabel(const storage::Claim& claim, const std::string& problem) override;
    storage::ProgrammingRecord NewRecord() override;
    uint64_t SerialsLeft() override;
    std::string Blank() override;
    void Report(const std::string& state, const std::string& lastUnit, const StationTally& tally) override;
    // Writes the station's row ("waiting") now, so that a station never
    // starts on a record that would refuse its units: throws when it cannot.
    void CheckWrites();

private:
    storage::CStore& m_store;
    storage::Station m_who;
    std::string m_batch;
    std::function<void(const std::string&)> m_say;
};

} // namespace pello::station
