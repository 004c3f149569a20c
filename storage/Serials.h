#pragma once
// Serial numbers of a batch: a text that ends in decimal digits, the digits
// counting up. The field written for a serial is its two-digit length, the
// serial, then "0" up to 22 characters, the shape of a new unit's field.

#include <cstdint>
#include <optional>
#include <string>

namespace pello::storage {

struct SerialRange {
    std::string prefix;    // the serial before its trailing digits
    int width = 0;         // how many trailing digits
    uint64_t first = 0;    // the trailing digits of the first serial
    uint64_t count = 0;

    std::string Serial(uint64_t index) const; // index 0 is the first
    std::string Last() const { return Serial(count - 1); }
    // Whether the two ranges share a serial.
    bool Overlaps(const SerialRange& other) const;
};

// Why a --first, --count or --code cannot be used; empty when it can.
std::string CheckFirstSerial(const std::string& serial);
std::string CheckCode(const std::string& code);

// A range of `count` serials from `first`: nullopt, with the reason in
// `why`, when `first` is not a serial or the count needs more digits than it has.
std::optional<SerialRange> MakeRange(const std::string& first, uint64_t count, std::string* why);

// "08SN000123000000000000" for "SN000123".
std::string FieldOfSerial(const std::string& serial);

constexpr uint64_t kMaxBatchSize = 1000000;

} // namespace pello::storage
