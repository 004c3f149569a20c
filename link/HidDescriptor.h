#pragma once
// Report lengths from a HID report descriptor, counted as the Windows HID
// stack reports them: the largest report of each kind in bytes, plus one for
// the report-id byte (present on the wire only for numbered reports).

#include <cstddef>
#include <cstdint>
#include <optional>

namespace pello {

struct HidReportLengths {
    uint16_t input = 0;  // largest input report + 1; 0 when there is none
    uint16_t output = 0; // largest output report + 1; 0 when there is none
    bool numbered = false; // the descriptor declares report ids
};

// Parses the main and global items (Report Size, Report Count, Report ID,
// Push, Pop). Nullopt when the descriptor is truncated or inconsistent.
std::optional<HidReportLengths> ParseReportDescriptor(const uint8_t* data, size_t length);

} // namespace pello
