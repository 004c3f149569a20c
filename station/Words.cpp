#include "station/Words.h"

namespace pello::station {

std::string OperatorWords(const UnitReport& r)
{
    const std::string& d = r.detail;
    const auto has = [&d](const char* text) { return d.find(text) != std::string::npos; };
    if (r.outcome == "not recorded") return "the record could not be written: tell the supervisor";
    if (r.outcome == "verify failed") return "the serial number read back is not the one written";
    if (has("changed during programming")) return "the unit was changed during programming";
    if (has("out of step")) return "the unit answered out of turn";
    if (has("not sent: the record")) return "the record could not be written: nothing was sent";
    if (has("refused")) {
        if (d.rfind("SID", 0) == 0) return "the unit refused the serial number";
        if (d.rfind("PABC", 0) == 0) return "the unit refused the code";
        return "the unit refused to restart";
    }
    if (has("no reply") || has("could not be written") || has("not found") || has("could not be opened")) {
        return "the unit did not answer";
    }
    return d.empty() ? r.outcome : d;
}

} // namespace pello::station
