#include "text/Time.h"

#include <chrono>
#include <cstdio>
#include <regex>

namespace pello::text {

std::optional<std::string> NormalizeTime(const std::string& typed)
{
    static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?Z?)");
    std::smatch m;
    if (!std::regex_match(typed, m, form)) {
        return std::nullopt;
    }
    const int year = std::stoi(m[1]), month = std::stoi(m[2]), day = std::stoi(m[3]);
    const int hour = m[4].matched ? std::stoi(m[4]) : 0, minute = m[5].matched ? std::stoi(m[5]) : 0;
    const int second = m[6].matched ? std::stoi(m[6]) : 0;
    // 2026-02-30 and 24:00 are refused, never moved to another day.
    const std::chrono::year_month_day date {std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                            std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    char text[80]; // room for any int, though each is in range here
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute, second);
    return std::string(text);
}

} // namespace pello::text
