#pragma once
// JSON that always leaves the program whole: every string in it shown by the
// one rule (text/Text.h), so dump() never refuses a value from the record.

#include <nlohmann/json.hpp>

namespace pello::text {

// `value` with every string, and every key, shown by the rule.
nlohmann::json Shown(nlohmann::json value);

} // namespace pello::text
