#pragma once
// What the tool knows about the device, in one place: how it is found, how
// its line is set up, how long it may take to answer, and the shape of the
// two fields it stores.

#include <cstddef>
#include <cstdint>

namespace pello::device {

// USB HID identity.
constexpr uint16_t kVendorId = 0x0665;
constexpr uint16_t kProductId = 0x5161;

// RS232 line: 2400 baud, 8 data bits, no parity (code 0), two stop bits (code 2).
constexpr uint32_t kBaud = 2400;
constexpr uint8_t kDataBits = 8;
constexpr uint8_t kParity = 0;
constexpr uint8_t kStopBits = 2;
// Port names COM0..COM9 are searched.
constexpr int kComPortCount = 10;

// Reply deadlines: a serial read, a whole HID reply, and each HID report.
constexpr uint32_t kComReplyTimeLimitMs = 3000;
constexpr uint32_t kHidReplyDeadlineMs = 2000;
constexpr int kHidReportWaitMs = 250;

// HID reports carry 8 frame or reply bytes behind the report id; the host's
// buffers hold an output report of up to 17 bytes and an input report of up to 255.
constexpr size_t kReportPayloadBytes = 8;
constexpr size_t kHidOutputReportBufferSize = 17;
constexpr size_t kHidReportBufferSize = 256;

// Buffers of one exchange. A reply keeps a NUL behind it, so it is at most
// kReplyBufferSize - 1 bytes long.
constexpr size_t kFrameBufferSize = 32;
constexpr size_t kReplyBufferSize = 256;

// The serial number field ("SID") and the code field ("PABC"), and what a new
// unit holds in them.
constexpr size_t kSerialFieldLength = 22;
constexpr size_t kCodeFieldLength = 12;
constexpr const char* kInitialSerialField = "1400000000000000000000";
constexpr const char* kInitialCodeField = "00000000_000";

} // namespace pello::device
