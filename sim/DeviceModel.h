#pragma once
// A stand-in for the device: answers host frames the way the real unit does,
// with scripted faults for tests and demonstrations.

#include "protocol/Device.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace pello {

// "(" text plus check bytes and CR, as the device sends it.
std::string MakeReply(const std::string& text);

// One answer of the device: its bytes, and how long the device waits before
// it starts sending them.
struct DeviceReply {
    std::string bytes;
    int delayMs = 0;
};

class CDeviceModel {
public:
    // Frames longer than this without a CR are line noise and are dropped.
    static constexpr size_t kMaxFrameLength = 64;

    CDeviceModel();

    // Adds one --fault rule "CMD=B1,B2,..." (behaviours: normal, ack, nak,
    // storenak (acts on the frame, answers "(NAK"), silent, badcrc, boot, reply:TEXT with check bytes and CR added, raw:TEXT
    // sent exactly as given, late:MS the normal answer MS late). Returns false
    // and leaves the model unchanged when the fault list is malformed.
    bool AddFaults(const std::string& rule);

    // Feeds bytes from the host. Each frame that ends in CR is answered; the
    // result holds the replies in order (a silent answer adds none).
    std::vector<DeviceReply> Feed(const uint8_t* data, size_t length);

    // Misbehaves at random on `percent` of the frames: refuses one (not acting
    // on it), acts but stays silent, answers with bad check bytes, answers up
    // to 4 s late, or answers twice. Drawn from `seed`.
    void SetChaos(int percent, uint64_t seed);

    // Answers one whole frame (ending in CR); nullopt means no reply. A raw
    // fault's answer may be empty. m_nLastDelayMs says how late it comes.
    std::optional<std::string> HandleFrame(const std::string& frame);
    int m_nLastDelayMs = 0;

    std::string m_sid = device::kInitialSerialField;
    std::string m_pabc = device::kInitialCodeField;
    // Set whenever a stored field changes; the simulator clears it after saving.
    bool m_bChanged = false;
    // Set when "QBOOT" was answered "(1"; the simulator clears it.
    bool m_bBooted = false;
    // The fields the unit had when it last took "QBOOT" ("" before).
    std::string m_bootedSid, m_bootedPabc;
    // Forgets a frame half received (the unit was unplugged).
    void Unplug() { m_pending.clear(); }
    // Frames received, in order, whole (for tests; off in the long-running simulator).
    std::vector<std::string> m_frames;
    bool m_bRecordFrames = true;

private:
    std::optional<std::string> Answer(const std::string& frame);
    std::string NormalAnswer(const std::string& command, const std::string& body);
    std::string ApplyFault(const std::string& behaviour, const std::string& normal, bool* silent);

    void AnswerWithChaos(const std::string& frame, std::vector<DeviceReply>* replies);

    std::string m_pending;
    std::map<std::string, std::deque<std::string>> m_faults;
    int m_chaosPercent = 0;
    std::mt19937_64 m_chaos;
};

// How the device uses USB HID reports. Frame bytes in an output report's
// payload end at its first CR (the rest is padding); a reply goes back as
// 8-byte payloads, the last padded with zeros.
size_t FrameBytesInReport(const uint8_t* payload, size_t size);
std::vector<std::string> ReplyReportPayloads(const std::string& reply);

// Splits a frame body into its command word, or "" when none is known.
std::string CommandOf(const std::string& body);

// Parses TEXT of reply:TEXT, where \xHH stands for any byte and \\ for "\".
std::optional<std::string> UnescapeReplyText(const std::string& text);

} // namespace pello
