#include "Frames.h"

#include "FrameCrc.h"

#include <cstring>

namespace {

// Command word, then payload, then check high, check low and CR.
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
    return f;
}

// QSID and ATE1 go out with fixed check bytes, as the device firmware expects.
Frame FixedFrame(const char* word, uint8_t high, uint8_t low)
{
    Frame f;
    std::memcpy(f.bytes, word, 4);
    f.bytes[4] = high;
    f.bytes[5] = low;
    f.bytes[6] = 0x0D;
    f.length = 7;
    return f;
}

} // namespace

Frame BuildQsidFrame() { return FixedFrame("QSID", 0xBB, 0x05); }
Frame BuildAte1Frame() { return FixedFrame("ATE1", 0x4E, 0x6D); }
Frame BuildSidFrame(const char* field) { return BuildFrame("SID", field, kSerialFieldLength); }
Frame BuildPabcFrame(const char* field) { return BuildFrame("PABC", field, kPabcFieldLength); }
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
