#include "storage/Serials.h"

#include <cstdio>

namespace pello::storage {

namespace {

constexpr size_t kMaxSerialLength = 20;
constexpr size_t kFieldLength = 22;
constexpr size_t kCodeLength = 12;

bool Printable(const std::string& text)
{
    for (const char ch : text) {
        if (ch < 0x20 || ch > 0x7E) return false;
    }
    return true;
}

uint64_t Power10(int n)
{
    uint64_t p = 1;
    for (int i = 0; i < n; ++i) p *= 10;
    return p;
}

} // namespace

std::string SerialRange::Serial(uint64_t index) const
{
    std::string digits = std::to_string(first + index);
    digits.insert(0, static_cast<size_t>(width) - digits.size(), '0');
    return prefix + digits;
}

// A prefix never ends in a digit (the trailing digits are all the counter),
// so two ranges share serials only with the same prefix and width.
bool SerialRange::Overlaps(const SerialRange& other) const
{
    return prefix == other.prefix && width == other.width && first <= other.first + other.count - 1 &&
           other.first <= first + count - 1;
}

std::string CheckFirstSerial(const std::string& serial)
{
    if (serial.empty() || serial.size() > kMaxSerialLength) {
        return "a serial number has 1 to 20 characters";
    }
    if (!Printable(serial)) {
        return "a serial number has printable ASCII characters only";
    }
    if (serial.back() < '0' || serial.back() > '9') {
        return "a serial number ends in at least one decimal digit, which counts up";
    }
    return {};
}

std::string CheckCode(const std::string& code)
{
    if (code.size() != kCodeLength || !Printable(code)) {
        return "the code is 12 printable ASCII characters";
    }
    return {};
}

std::optional<SerialRange> MakeRange(const std::string& first, uint64_t count, std::string* why)
{
    *why = CheckFirstSerial(first);
    if (!why->empty()) {
        return std::nullopt;
    }
    if (count < 1 || count > kMaxBatchSize) {
        *why = "a batch holds 1 to " + std::to_string(kMaxBatchSize) + " serial numbers";
        return std::nullopt;
    }
    SerialRange r;
    const size_t digitsAt = first.find_last_not_of("0123456789") + 1;
    r.prefix = first.substr(0, digitsAt);
    // More than 18 digits could overflow the counter; no batch needs them.
    r.width = static_cast<int>(first.size() - digitsAt);
    if (r.width > 18) {
        *why = "the serial number's trailing digits are at most 18";
        return std::nullopt;
    }
    r.first = std::stoull(first.substr(digitsAt));
    r.count = count;
    if (r.first + count - 1 >= Power10(r.width)) {
        *why = std::to_string(count) + " serial numbers from " + first + " need more than its " +
               std::to_string(r.width) + " digits";
        return std::nullopt;
    }
    return r;
}

std::string FieldOfSerial(const std::string& serial)
{
    char length[4];
    std::snprintf(length, sizeof length, "%02zu", serial.size());
    std::string field = length + serial;
    field.resize(kFieldLength, '0');
    return field;
}

} // namespace pello::storage
