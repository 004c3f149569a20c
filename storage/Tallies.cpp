// The line's tallies, kept as attempts end: one row per hour, station, batch
// and operator with its attempts, programmed, retests and first passes, the
// minutes in which attempts ended (as bits) and the cycle times (a histogram
// of whole seconds, "31:2 34:1"); one row per hour, station, batch, operator
// and failure with how many. They grow with the hours a line works, not with
// its attempts. Each attempt's row carries its own retest and failure, worked
// out once when it ends, so that rows and tallies count alike
// (storage/Stats.cpp reads both).

#include "storage/StoreCommon.h"

#include <cstdio>
#include <cstdlib>

namespace pello::storage {

namespace {
constexpr const char* kAttempts = "('programmed', 'failed', 'verify failed')";

// Whether the row `records` is a retest: the unit carries what an earlier
// attempt wrote, or the attempt before it at its station failed on a unit
// that read the same field, and ended at most kRetestWithinSeconds before it began.
std::string RetestRule(const DbDialect& d)
{
    const std::string attempts = kAttempts;
    const std::string start = "COALESCE(records.started, records.time)", form = " LIKE '____-__-__T__:__:__Z'";
    char seconds[256];
    std::snprintf(seconds, sizeof seconds, d.secondsBetween, start.c_str(), "p.time");
    // Times not in the record's form (put in by hand) are no times.
    const std::string gap = "CASE WHEN p.time" + form + " AND " + start + form + " THEN " + seconds + " END";
    return std::string("(records.field_before <> '") + kFactoryField + "' AND EXISTS (SELECT 1 FROM records p WHERE "
           "p.field_written = records.field_before AND p.id < records.id AND p.outcome IN " + attempts + ")) OR "
           "EXISTS (SELECT 1 FROM records p WHERE p.id = (SELECT q.id FROM records q WHERE q.station = records.station "
           "AND q.id < records.id AND q.outcome IN " + attempts + " ORDER BY q.id DESC LIMIT 1) AND p.outcome <> "
           "'programmed' AND p.field_before = records.field_before AND " + gap + " BETWEEN 0 AND " +
           std::to_string(kRetestWithinSeconds) + ")";
}

// The tallies' key of a row, as SQL over records.
constexpr const char* kTallyKey = "substr(time, 1, 13), station, COALESCE(batch, ''), operator";
constexpr const char* kMinuteBit = "CASE WHEN substr(time, 15, 2) BETWEEN '00' AND '59' THEN CAST(1 AS BIGINT) << "
                                   "CAST(substr(time, 15, 2) AS INTEGER) ELSE 0 END";
constexpr const char* kKeyIs = "hour = ? AND station = ? AND batch = ? AND operator = ?";

// The step that failed and why, as the line's numbers count it: the first
// part of a failed row's detail ("PABC: refused by the device (NAK)", without
// what the read-back found or notes added later); a read-back that failed is "verify".
std::string FailureOf(const std::string& outcome, const std::string& verify, const std::string& detail)
{
    if (outcome == "programmed") {
        return "";
    }
    if (outcome == "verify failed") {
        return verify == "nothing read" ? "verify: the unit did not answer the read-back"
                                        : "verify: the field read back differs";
    }
    return detail.substr(0, detail.find("; "));
}

uint64_t MinuteBit(const std::string& time)
{
    const std::string minute = time.size() >= 16 ? time.substr(14, 2) : "";
    return minute.size() == 2 && minute >= "00" && minute <= "59" ? uint64_t {1} << std::stoi(minute) : 0;
}

// Fills each tally's cycle histogram from the rows of one day.
void RebuildCycles(CDatabase& db, const std::string& day, const std::string& attempts)
{
    std::map<std::vector<std::string>, std::map<int64_t, uint64_t>> cycles;
    for (const auto& r : db.Query(std::string("SELECT ") + kTallyKey + ", seconds, COUNT(*) FROM records WHERE time >= ? "
                                      "AND time < ? AND outcome IN " + attempts + " AND seconds >= 0 GROUP BY 1, 2, 3, 4, 5",
                                  {day, day + "U"})) { // "U" follows the day's "T"
        cycles[{Text(r[0]), Text(r[1]), Text(r[2]), Text(r[3])}][std::stoll(Text(r[4]))] += Number(r[5]);
    }
    for (const auto& [key, histogram] : cycles) {
        db.Query(std::string("UPDATE hour_tallies SET cycles = ? WHERE ") + kKeyIs,
                 {CyclesText(histogram), key[0], key[1], key[2], key[3]});
    }
}

} // namespace

std::map<int64_t, uint64_t> ParseCycles(const std::string& text)
{
    std::map<int64_t, uint64_t> histogram;
    for (const char* at = text.c_str(); *at != '\0';) {
        char* end = nullptr;
        const long long seconds = std::strtoll(at, &end, 10);
        if (end == at || *end != ':') break;
        at = end + 1;
        const unsigned long long n = std::strtoull(at, &end, 10);
        if (end == at) break;
        histogram[seconds] += n;
        at = *end == ' ' ? end + 1 : end;
    }
    return histogram;
}

std::string CyclesText(const std::map<int64_t, uint64_t>& histogram)
{
    std::string text;
    for (const auto& [seconds, n] : histogram) {
        text += (text.empty() ? "" : " ") + std::to_string(seconds) + ":" + std::to_string(n);
    }
    return text;
}

// An attempt that has ended counts once, by its row `id`, as the row has it.
void CStore::Tally(const std::string& id, const ProgrammingRecord& r)
{
    if (r.outcome != "programmed" && r.outcome != "failed" && r.outcome != "verify failed") {
        return;
    }
    const auto rows = m_db->Query("UPDATE records SET retest = CASE WHEN " + RetestRule(m_db->Dialect()) +
                                      " THEN 1 ELSE 0 END, failure = ? WHERE id = CAST(? AS BIGINT) RETURNING time, "
                                      "station, COALESCE(batch, ''), operator, outcome, retest, COALESCE(seconds, -1), "
                                      "failure",
                                  {FailureOf(r.outcome, r.verify, r.detail), id});
    const DbRow& row = rows.at(0);
    const std::vector<DbValue> key = {HourOf(Text(row[0])), row[1], row[2], row[3]};
    const bool programmed = Text(row[4]) == "programmed", retest = Text(row[5]) == "1";
    const int64_t seconds = std::stoll(Text(row[6]));
    m_db->Query("INSERT INTO hour_tallies (hour, station, batch, operator, attempts, programmed, retests, first_pass, "
                "minutes, cycles) VALUES (?, ?, ?, ?, 0, 0, 0, 0, 0, '') ON CONFLICT (hour, station, batch, operator) "
                "DO NOTHING",
                key);
    std::vector<DbValue> counts = {programmed ? "1" : "0", retest ? "1" : "0", programmed && !retest ? "1" : "0",
                                   std::to_string(MinuteBit(Text(row[0])))};
    counts.insert(counts.end(), key.begin(), key.end());
    // The update locks the tally's row first: the histogram read is the latest.
    const auto tally = m_db->Query(std::string("UPDATE hour_tallies SET attempts = attempts + 1, programmed = programmed "
                                               "+ ?, retests = retests + ?, first_pass = first_pass + ?, minutes = "
                                               "minutes | ? WHERE ") + kKeyIs + " RETURNING cycles",
                                   counts);
    if (seconds >= 0) {
        std::map<int64_t, uint64_t> cycles = ParseCycles(Text(tally.at(0)[0]));
        ++cycles[seconds];
        std::vector<DbValue> update = {CyclesText(cycles)};
        update.insert(update.end(), key.begin(), key.end());
        m_db->Query(std::string("UPDATE hour_tallies SET cycles = ? WHERE ") + kKeyIs, update);
    }
    if (!programmed) {
        std::vector<DbValue> failure = key;
        failure.push_back(row[7]);
        m_db->Query("INSERT INTO hour_failures (hour, station, batch, operator, failure, n) VALUES (?, ?, ?, ?, ?, 1) "
                    "ON CONFLICT (hour, station, batch, operator, failure) DO UPDATE SET n = hour_failures.n + 1",
                    failure);
    }
}

void RebuildTallies(CDatabase& db)
{
    const std::string attempts = kAttempts;
    db.Query("UPDATE records SET retest = 0, failure = '' WHERE retest <> 0 OR failure <> ''");
    db.Query("UPDATE records SET retest = 1 WHERE outcome IN " + attempts + " AND (" + RetestRule(db.Dialect()) + ")");
    // Failures are few: each row's is worked out as its attempt's end would have.
    for (const auto& r : db.Query("SELECT id, outcome, verify, detail FROM records WHERE outcome IN ('failed', "
                                  "'verify failed')")) {
        db.Query("UPDATE records SET failure = ? WHERE id = CAST(? AS BIGINT)",
                 {FailureOf(Text(r[1]), Text(r[2]), Text(r[3])), Text(r[0])});
    }
    db.Query("DELETE FROM hour_tallies");
    db.Query("DELETE FROM hour_failures");
    // The sum of distinct bits is their OR.
    db.Query(std::string("INSERT INTO hour_tallies (hour, station, batch, operator, attempts, programmed, retests, "
                         "first_pass, minutes, cycles) SELECT ") + kTallyKey + ", COUNT(*), SUM(CASE WHEN outcome = "
             "'programmed' THEN 1 ELSE 0 END), SUM(retest), SUM(CASE WHEN outcome = 'programmed' AND retest = 0 THEN 1 "
             "ELSE 0 END), SUM(DISTINCT " + kMinuteBit + "), '' FROM records WHERE outcome IN " + attempts +
             " GROUP BY 1, 2, 3, 4");
    // A day at a time, so that memory does not grow with the record.
    for (const auto& d : db.Query("SELECT DISTINCT substr(hour, 1, 10) FROM hour_tallies")) {
        RebuildCycles(db, Text(d[0]), attempts);
    }
    db.Query(std::string("INSERT INTO hour_failures (hour, station, batch, operator, failure, n) SELECT ") + kTallyKey +
             ", failure, COUNT(*) FROM records WHERE outcome IN ('failed', 'verify failed') GROUP BY 1, 2, 3, 4, 5");
}

} // namespace pello::storage
