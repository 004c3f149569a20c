#include "storage/Times.h"

#include <ctime>
#include <regex>

namespace pello::storage {

namespace {

std::string Format(time_t t, const char* form)
{
    tm utc {};
    ::gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, form, &utc);
    return text;
}

} // namespace

std::optional<std::string> NormalizeTime(const std::string& text)
{
    static const std::regex form(R"((\d{4})-(\d{2})-(\d{2})(?:[T ](\d{2}):(\d{2})(?::(\d{2}))?)?Z?)");
    std::smatch m;
    if (!std::regex_match(text, m, form)) {
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
    const time_t t = ::timegm(&utc);
    // timegm moves 2026-02-30 to March: a date that does not exist is refused.
    if (utc.tm_year != asked.tm_year || utc.tm_mon != asked.tm_mon || utc.tm_mday != asked.tm_mday ||
        utc.tm_hour != asked.tm_hour || utc.tm_min != asked.tm_min || utc.tm_sec != asked.tm_sec) {
        return std::nullopt;
    }
    return Format(t, "%Y-%m-%dT%H:%M:%SZ");
}

std::string HourOf(const std::string& time) { return time.substr(0, 13); }

std::string HourFrom(const std::string& time)
{
    if (time.size() < 19 || time.compare(13, 6, ":00:00") == 0) {
        return HourOf(time);
    }
    tm utc {};
    if (::strptime(time.c_str(), "%Y-%m-%dT%H", &utc) == nullptr) {
        return HourOf(time);
    }
    return Format(::timegm(&utc) + 3600, "%Y-%m-%dT%H");
}

} // namespace pello::storage
