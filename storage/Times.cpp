#include "storage/Times.h"

#include <ctime>

namespace pello::storage {

std::string HourOf(const std::string& time) { return time.substr(0, 13); }

std::string HourFrom(const std::string& time)
{
    tm utc {};
    if (time.size() < 19 || time.compare(13, 6, ":00:00") == 0 || ::strptime(time.c_str(), "%Y-%m-%dT%H", &utc) == nullptr) {
        return HourOf(time);
    }
    const time_t next = ::timegm(&utc) + 3600;
    ::gmtime_r(&next, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H", &utc);
    return text;
}

} // namespace pello::storage
