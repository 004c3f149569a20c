#pragma once
// A device that lives in virtual time, for randomized campaigns: each frame it
// receives draws its fate (answered soon or late, refused, refused though
// acted on, answered with bad
// check bytes, answered twice, not answered though acted on, lost), and stray
// replies come now and then. It is the ground truth of what the unit holds.
//
// A run draws either lost frames or extra replies (duplicates, strays), never
// both: a frame the unit never saw, whose window an extra reply of the right
// kind happens to fill, looks exactly like a clean exchange. The protocol
// numbers nothing, so no rule on the host can tell them apart. For the same
// reason a stray reply never carries the boot answer "(1": in the window of
// "QBOOT", the last frame, it would pass for the answer, and a refusal coming
// after the sequence has ended is heard by nobody.
//
// Over RS232 it sits behind a real pseudo-terminal, and CVirtualClock moves
// virtual time only when the link waits: a 6 s late reply costs no real time.

#include "link/Clock.h"
#include "sim/DeviceModel.h"
#include "sim/Pty.h"

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace pello {

// How often each fate is drawn, per frame, in percent; the rest is a prompt answer.
struct FaultMix {
    int late = 15;       // answered after 0 to twice the reply deadline
    int refused = 8;     // "(NAK", and the frame not acted on
    int refusedActed = 3; // "(NAK", though the frame was acted on
    int garbled = 4;     // acted on, answered with bad check bytes
    int duplicated = 5;  // acted on, answered twice
    int silent = 5;      // acted on, the answer lost
    int lost = 3;        // never reached the unit: not acted on, no answer
    int stray = 5;       // an unsolicited reply of any kind comes some time later
};

class CVirtualDevice {
public:
    CVirtualDevice(uint64_t seed, uint32_t deadlineMs, FaultMix mix = {});

    // Bytes from the host at virtual time `now`; each whole frame is handled.
    void Receive(const uint8_t* data, size_t length, uint64_t now);
    // The reply bytes due by `now`, in the order they go out.
    std::string TakeDue(uint64_t now);
    std::optional<uint64_t> NextDue() const;

    // Whether the unit holds exactly `serial` and `code` and took "QBOOT" after them.
    bool Holds(const std::string& serial, const std::string& code) const;
    // What happened, one line per frame and reply, for a failing seed.
    const std::vector<std::string>& Log() const { return m_log; }

    CDeviceModel m_model;

private:
    enum class Fate { Prompt, Late, Refused, RefusedActed, Garbled, Duplicated, Silent, Lost };
    Fate Draw();
    void Handle(const std::string& frame, uint64_t now);
    void Schedule(std::string bytes, uint64_t at, const std::string& why);
    void MaybeStray(uint64_t now);
    uint32_t Delay(bool late);

    std::mt19937_64 m_rng;
    uint32_t m_deadlineMs;
    FaultMix m_mix;
    std::string m_pending;
    std::multimap<uint64_t, std::string> m_due;
    uint64_t m_lastDue = 0; // replies leave in the order they were made
    bool m_booted = false;
    std::string m_bootedSid, m_bootedPabc;
    std::vector<std::string> m_log;
};

// Virtual time over a real pty: the device's replies are written into the
// master when their time comes, and a wait that finds nothing ready moves
// time on to the next reply (or by its whole timeout).
class CVirtualClock final : public CClock {
public:
    explicit CVirtualClock(CVirtualDevice& device);
    const std::string& Path() const { return m_pty.slavePath; }
    uint32_t TickCount() override;
    int Poll(pollfd* fds, nfds_t count, int timeoutMs) override;
    uint64_t Now() const { return m_now; }

private:
    // Frames the host wrote reach the device; replies due go out.
    void Pump();
    void Deliver(const std::string& bytes);

    CVirtualDevice& m_device;
    PtyPair m_pty;
    uint64_t m_now = 1000;
};

} // namespace pello
