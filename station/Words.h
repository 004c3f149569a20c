#pragma once
// What a unit's outcome means to the operator at the station, in plain words.

#include "station/Station.h"

#include <string>

namespace pello::station {

// "the unit refused the serial number", "the unit did not answer", ...
std::string OperatorWords(const UnitReport& report);

} // namespace pello::station
