#pragma once
// What both platforms' HID links share: which bytes of an input report belong
// to the reply, and the deadline of the reply read in progress.

#include "protocol/Device.h"

#include <cstddef>
#include <cstdint>

namespace pello {

// Deadline of the reply read in progress (ms) and the tick count at its start.
extern uint32_t g_dwHidReadTimeout;
extern uint32_t g_dwHidReadStart;

// How many bytes of one input report's payload (the report from byte 1 on,
// `size` bytes, zero after the report) belong to the reply.
int ReportPayloadLength(const uint8_t* payload, size_t size = device::kHidReportBufferSize - 1);

} // namespace pello
