// What the store's files share (storage/StoreCommon.h), and the free
// functions of storage/Store.h.

#include "storage/StoreCommon.h"

#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <unistd.h>

namespace pello::storage {

namespace {

std::string Format(time_t t)
{
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

} // namespace

const char* DbState(SerialState state)
{
    switch (state) {
    case SerialState::Free: return "free";
    case SerialState::Claimed: return "claimed";
    case SerialState::Programmed: return "programmed";
    case SerialState::InDoubt: return "in_doubt";
    case SerialState::Spoiled: return "spoiled";
    }
    return "free";
}

const char* const kRecordColumns = "time, station, link, port, field_before, field_written, code_written, outcome, verify, "
                                   "batch, serial, detail, step, operator, started, unit, token";

time_t ParseUtc(const std::string& text)
{
    tm utc {};
    return ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) == nullptr ? -1 : ::timegm(&utc);
}

// From the attempt's start (its claim) to its row: kept with the row, so that
// the line's cycle times need no date arithmetic over the whole record.
DbValue CycleSeconds(const ProgrammingRecord& r)
{
    const time_t start = ParseUtc(r.started), end = ParseUtc(r.time);
    return start < 0 || end < start ? std::nullopt : DbValue(std::to_string(end - start));
}

// The values of kRecordColumns, then the cycle seconds.
std::vector<DbValue> RecordValues(const ProgrammingRecord& r)
{
    return {r.time,     r.station,          r.link,   r.port,      r.fieldBefore,    r.fieldWritten,
            r.codeWritten, r.outcome,       r.verify, Optional(r.batch), Optional(r.serial), r.detail,
            r.step,     r.operatorName,     Optional(r.started), r.unit, Optional(r.token), CycleSeconds(r)};
}

ProgrammingRecord RecordOf(const DbRow& r)
{
    return {Text(r[0]),  Text(r[1]),  Text(r[2]),  Text(r[3]),  Text(r[4]),  Text(r[5]),
            Text(r[6]),  Text(r[7]),  Text(r[8]),  Text(r[9]),  Text(r[10]), Text(r[11]),
            Text(r[12]), Text(r[13]), Text(r[14]), Text(r[15]), Text(r[16])};
}

const char* StateName(SerialState state)
{
    return state == SerialState::InDoubt ? "in doubt" : DbState(state);
}

std::string UtcNow() { return Format(::time(nullptr)); }

ProgrammingRecord NewRecord(const Station& who)
{
    ProgrammingRecord r;
    r.time = r.started = UtcNow();
    r.station = who.name;
    r.operatorName = who.operatorName;
    r.verify = "not done";
    return r;
}

Station ThisStation(const std::string& name, const std::string& operatorName)
{
    char host[256] = {};
    const std::string hostName = ::gethostname(host, sizeof host - 1) == 0 ? host : "unknown";
    // Two benches with one host name are still two machines.
    std::ifstream in("/etc/machine-id");
    std::string machine;
    std::getline(in, machine);
    return {name.empty() ? hostName : name, hostName, static_cast<long>(::getpid()), machine, operatorName};
}

std::string RandomToken()
{
    std::ifstream random("/dev/urandom", std::ios::binary);
    unsigned char bytes[16] = {};
    random.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    if (!random) {
        std::random_device fallback;
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(fallback());
    }
    std::string hex;
    for (const unsigned char b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

std::string Schema1ClaimToken(int64_t serialId) { return "schema1-" + std::to_string(serialId); }

std::string CStore::DbTime(int offsetSeconds) const
{
    char sql[256];
    std::snprintf(sql, sizeof sql, m_db->Dialect().utcTime, offsetSeconds);
    return sql;
}

} // namespace pello::storage
