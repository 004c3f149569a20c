#pragma once
// The device as a virtual USB HID device (vendor 0x0665, product 0x5161,
// 8-byte input and output reports, no report ids) through /dev/uhid, so the
// tool's real hidraw path runs end to end.

#include "sim/DeviceModel.h"

#include <functional>
#include <string>
#include <vector>

namespace pello {

constexpr const char* kUhidPath = "/dev/uhid";

// Answers one chunk of frame bytes from the host with the replies to send.
using FrameResponder = std::function<std::vector<DeviceReply>(const uint8_t* data, size_t length)>;
// Sends one reply; false ends the simulation.
using ReplySender = std::function<bool(const std::function<bool(const uint8_t*, size_t)>& write, const DeviceReply& reply)>;

// Creates the device and serves it until `sigfd` is readable. Returns the exit code.
int ServeUhid(int sigfd, const FrameResponder& respond, const ReplySender& send);

} // namespace pello
