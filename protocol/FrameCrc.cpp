#include "protocol/FrameCrc.h"

#include <cstring>

namespace {

// Entry i is i * 0x1021 (carry-less); 32 bytes instead of a 512-byte table.
constexpr uint16_t kNibbleTable[16] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7,
    0x8108, 0x9129, 0xA14A, 0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF,
};

uint16_t FeedNibble(uint16_t crc, uint8_t nibble)
{
    const uint8_t d = static_cast<uint8_t>(crc >> 12);
    crc = static_cast<uint16_t>(crc << 4);
    return static_cast<uint16_t>(crc ^ kNibbleTable[(d ^ nibble) & 0x0F]);
}

// The device treats '(' , CR and LF specially, so no check byte may take them.
uint8_t AdjustCheckByte(uint8_t b)
{
    return (b == 0x28 || b == 0x0D || b == 0x0A) ? static_cast<uint8_t>(b + 1) : b;
}

} // namespace

namespace pello {

uint16_t CalcFrameCrc(const uint8_t* data, uint8_t count)
{
    uint16_t crc = 0;
    for (unsigned i = 0; i < count; ++i) {
        crc = FeedNibble(crc, static_cast<uint8_t>(data[i] >> 4));
        crc = FeedNibble(crc, static_cast<uint8_t>(data[i] & 0x0F));
    }
    const uint8_t low = AdjustCheckByte(static_cast<uint8_t>(crc & 0xFF));
    const uint8_t high = AdjustCheckByte(static_cast<uint8_t>(crc >> 8));
    return static_cast<uint16_t>((high << 8) | low);
}

bool CheckFrameCrc(const uint8_t* reply, size_t length)
{
    // The check covers at most 255 bytes; a longer reply cannot be valid.
    if (length <= 3 || length - 3 > 255) {
        return false;
    }
    const size_t n = length;
    const uint16_t c = CalcFrameCrc(reply, static_cast<uint8_t>(n - 3));
    return reply[n - 3] == (c >> 8) && reply[n - 2] == (c & 0xFF);
}

bool CheckFrameCrc(const char* reply)
{
    return CheckFrameCrc(reinterpret_cast<const uint8_t*>(reply), std::strlen(reply));
}

} // namespace pello
