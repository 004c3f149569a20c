#pragma once
// The five frames the tool sends, byte for byte. A frame carries its length:
// check bytes may be 0x00, so the bytes before the first NUL are not the frame.

#include "protocol/Device.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace pello {

struct Frame {
    uint8_t bytes[device::kFrameBufferSize] = {};
    size_t length = 0;
    const char* command = ""; // its command word, for messages
};

Frame BuildQsidFrame();
Frame BuildAte1Frame();
// `field` must hold at least kSerialFieldLength bytes; exactly that many are used.
Frame BuildSidFrame(const char* field);
// `field` must hold at least kCodeFieldLength bytes; exactly that many are used.
Frame BuildPabcFrame(const char* field);
Frame BuildQbootFrame();

// Lowercase hex, no separators.
std::string ToHex(const uint8_t* data, size_t length);

} // namespace pello
