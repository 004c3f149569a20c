#include "text/Time.h"

#include <ctime>
#include <regex>

namespace pello::text {

std::optional<std::string> NormalizeTime(const std::string& typed)
{
    static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?Z?)");
    std::smatch m;
    if (!std::regex_match(typed, m, form)) {
        return std::nullopt;
    }
    tm utc {};
    utc.tm_year = std::stoi(m[1]) - 1900;
    utc.tm_mon = std::stoi(m[2]) - 1;
    utc.tm_mday = std::stoi(m[3]);
    utc.tm_hour = m[4].matched ? std::stoi(m[4]) : 0;
    utc.tm_min = m[5].matched ? std::stoi(m[5]) : 0;
    utc.tm_sec = m[6].matched ? std::stoi(m[6]) : 0;
    const tm asked = utc;
    ::timegm(&utc);
    // timegm moves 2026-02-30 into March and 24:00 into the next day: refused.
    if (utc.tm_year != asked.tm_year || utc.tm_mon != asked.tm_mon || utc.tm_mday != asked.tm_mday ||
        utc.tm_hour != asked.tm_hour || utc.tm_min != asked.tm_min || utc.tm_sec != asked.tm_sec) {
        return std::nullopt;
    }
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return std::string(text);
}

} // namespace pello::text
