#pragma once
// Check value of device frames and replies: CRC-16/XMODEM computed a nibble at a
// time, with each byte nudged off the three values the line protocol reserves.

#include <cstddef>
#include <cstdint>

namespace pello {

// Adjusted check value over `count` bytes (at most 255); any byte values allowed.
uint16_t CalcFrameCrc(const uint8_t* data, uint8_t count);

// Verifies the two check bytes before the last byte of a reply measured by its
// string length. Kept for callers that hold only a NUL-terminated reply.
bool CheckFrameCrc(const char* reply);

// Same check on a reply of `length` received bytes. Use this form for replies:
// a check byte may legitimately be 0x00, which the string form measures short.
bool CheckFrameCrc(const uint8_t* reply, size_t length);

} // namespace pello
