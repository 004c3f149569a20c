#pragma once
// What the store's files share: the record's columns and how a row goes in
// and out of SQL, the states' names in the database, and transactions.
// Internal to storage/.

#include "storage/Store.h"
#include "storage/Times.h"

#include <type_traits>

namespace pello::storage {

const char* DbState(SerialState state);
inline std::string Text(const DbValue& v) { return v.value_or(""); }
inline uint64_t Number(const DbValue& v) { return v ? std::stoull(*v) : 0; }
inline DbValue Optional(const std::string& s) { return s.empty() ? std::nullopt : DbValue(s); }

extern const char* const kRecordColumns;

time_t ParseUtc(const std::string& text);
// A tally's cycle histogram (whole seconds: how many) and its text ("31:2 34:1").
std::map<int64_t, uint64_t> ParseCycles(const std::string& text);
std::string CyclesText(const std::map<int64_t, uint64_t>& histogram);
DbValue CycleSeconds(const ProgrammingRecord& r);
std::vector<DbValue> RecordValues(const ProgrammingRecord& r);
ProgrammingRecord RecordOf(const DbRow& r);

template <class Fn> auto CStore::InTransaction(Fn fn)
{
    m_db->Begin();
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            m_db->Commit();
        } else {
            auto result = fn();
            m_db->Commit();
            return result;
        }
    } catch (...) {
        m_db->Rollback();
        throw;
    }
}

} // namespace pello::storage
