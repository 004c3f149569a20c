#pragma once
// The five frames the tool sends, byte for byte. A frame carries its length:
// check bytes may be 0x00, so the bytes before the first NUL are not the frame.

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kFrameBufferSize = 32;
constexpr size_t kReplyBufferSize = 256;
constexpr size_t kSerialFieldLength = 22;
constexpr size_t kPabcFieldLength = 12;

struct Frame {
    uint8_t bytes[kFrameBufferSize] = {};
    size_t length = 0;
};

Frame BuildQsidFrame();
Frame BuildAte1Frame();
// `field` must hold at least kSerialFieldLength bytes; exactly that many are used.
Frame BuildSidFrame(const char* field);
// `field` must hold at least kPabcFieldLength bytes; exactly that many are used.
Frame BuildPabcFrame(const char* field);
Frame BuildQbootFrame();

// Lowercase hex, no separators.
std::string ToHex(const uint8_t* data, size_t length);
