#include "protocol/Frames.h"

#include "protocol/FrameCrc.h"

#include <cstring>

namespace pello {

namespace {

// Command word, then payload, then check high, check low and CR. "QSID" and
// "ATE1" come out with the fixed check bytes the device expects (BB 05, 4E 6D):
// those are this same check value.
Frame BuildFrame(const char* word, const char* payload, size_t payloadLength)
{
    Frame f;
    const size_t wordLength = std::strlen(word);
    std::memcpy(f.bytes, word, wordLength);
    std::memcpy(f.bytes + wordLength, payload, payloadLength);
    const size_t body = wordLength + payloadLength;
    const uint16_t crc = CalcFrameCrc(f.bytes, static_cast<uint8_t>(body));
    f.bytes[body] = static_cast<uint8_t>(crc >> 8);
    f.bytes[body + 1] = static_cast<uint8_t>(crc & 0xFF);
    f.bytes[body + 2] = 0x0D;
    f.length = body + 3;
    f.command = word;
    return f;
}

} // namespace

Frame BuildQsidFrame() { return BuildFrame("QSID", "", 0); }
Frame BuildAte1Frame() { return BuildFrame("ATE1", "", 0); }
Frame BuildSidFrame(const char* field) { return BuildFrame("SID", field, device::kSerialFieldLength); }
Frame BuildPabcFrame(const char* field) { return BuildFrame("PABC", field, device::kCodeFieldLength); }
Frame BuildQbootFrame() { return BuildFrame("QBOOT", "", 0); }

std::string ToHex(const uint8_t* data, size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

} // namespace pello
