// Reading the record: rows by filter, the latest rows, and the latest row of
// a field programmed or written.

#include "storage/StoreCommon.h"

namespace pello::storage {

namespace {

// The WHERE of a record filter, and its parameters.
std::string RecordWhere(const RecordFilter& f, std::vector<DbValue>* params)
{
    const std::string field = f.serial.size() <= 20 && !f.serial.empty() ? FieldOfSerial(f.serial) : f.serial;
    std::string where = "time >= ? AND (? = '' OR serial = ? OR field_written = ?)";
    *params = {f.since, f.serial, f.serial, field};
    const auto equal = [&](const char* column, const std::string& value) {
        if (!value.empty()) {
            where += std::string(" AND ") + column + " = ?";
            params->push_back(value);
        }
    };
    if (!f.until.empty()) {
        where += " AND time < ?";
        params->push_back(f.until);
    }
    equal("station", f.station);
    equal("batch", f.batch);
    equal("outcome", f.outcome);
    return where;
}

} // namespace

std::vector<ProgrammingRecord> CStore::SelectRecords(const std::string& whereAndOrder, const std::vector<DbValue>& params)
{
    std::vector<ProgrammingRecord> out;
    for (const auto& r : m_db->Query(std::string("SELECT ") + kRecordColumns + " FROM records WHERE " + whereAndOrder,
                                     params)) {
        out.push_back(RecordOf(r));
    }
    return out;
}

std::vector<ProgrammingRecord> CStore::Records(const RecordFilter& filter)
{
    std::vector<DbValue> params;
    const std::string where = RecordWhere(filter, &params);
    return SelectRecords(where + " ORDER BY id", params);
}

std::vector<ProgrammingRecord> CStore::LatestRecords(const RecordFilter& filter, int limit)
{
    std::vector<DbValue> params;
    const std::string where = RecordWhere(filter, &params);
    params.push_back(std::to_string(limit));
    return SelectRecords(where + " ORDER BY id DESC LIMIT CAST(? AS INTEGER)", params);
}

std::optional<ProgrammingRecord> CStore::LatestRow(const std::string& field, const std::string& outcomes)
{
    const std::vector<ProgrammingRecord> rows =
        SelectRecords("field_written = ? AND (" + outcomes + ") ORDER BY id DESC LIMIT 1", {field});
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows.front();
}

std::optional<ProgrammingRecord> CStore::LastProgrammed(const std::string& field)
{
    return LatestRow(field, "outcome = 'programmed'");
}

std::optional<ProgrammingRecord> CStore::LastCarried(const std::string& field)
{
    return LatestRow(field, "outcome = 'programmed' OR verify = 'matched'");
}

std::optional<ProgrammingRecord> CStore::LastWritten(const std::string& field)
{
    // An attempt still in progress, or killed, may have written it too.
    return LatestRow(field, "outcome IN ('programmed', 'verify failed', 'failed') OR "
                            "(outcome = 'in progress' AND step IN ('SID', 'PABC', 'QBOOT'))");
}

} // namespace pello::storage
