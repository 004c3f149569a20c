#include "tests/support/VirtualDevice.h"

#include "protocol/Frames.h"

#include <algorithm>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pello {

namespace {

// A prompt answer comes within this long; the wire itself takes about that.
constexpr uint32_t kPromptMs = 60;

std::string Command(const std::string& frame)
{
    for (const char* word : {"QSID", "ATE1", "QBOOT", "PABC", "SID"}) {
        if (frame.rfind(word, 0) == 0) return word;
    }
    return "?";
}

} // namespace

CVirtualDevice::CVirtualDevice(uint64_t seed, uint32_t deadlineMs, FaultMix mix)
    : m_rng(seed), m_deadlineMs(deadlineMs), m_mix(mix)
{
    m_model.m_bRecordFrames = false;
    const bool extras = std::uniform_int_distribution<int>(0, 1)(m_rng) == 1;
    (extras ? m_mix.lost : m_mix.duplicated) = 0;
    if (!extras) {
        m_mix.stray = 0;
    }
}

CVirtualDevice::Fate CVirtualDevice::Draw()
{
    int r = std::uniform_int_distribution<int>(0, 99)(m_rng);
    const std::pair<int, Fate> fates[] = {{m_mix.late, Fate::Late},           {m_mix.refused, Fate::Refused},
                                          {m_mix.refusedActed, Fate::RefusedActed},
                                          {m_mix.garbled, Fate::Garbled},     {m_mix.duplicated, Fate::Duplicated},
                                          {m_mix.silent, Fate::Silent},       {m_mix.lost, Fate::Lost}};
    for (const auto& [percent, fate] : fates) {
        if (r < percent) return fate;
        r -= percent;
    }
    return Fate::Prompt;
}

uint32_t CVirtualDevice::Delay(bool late)
{
    return std::uniform_int_distribution<uint32_t>(0, late ? 2 * m_deadlineMs : kPromptMs)(m_rng);
}

void CVirtualDevice::Receive(const uint8_t* data, size_t length, uint64_t now)
{
    for (size_t i = 0; i < length; ++i) {
        m_pending += static_cast<char>(data[i]);
        if (data[i] == '\r') {
            Handle(std::exchange(m_pending, std::string()), now);
        }
    }
}

void CVirtualDevice::Handle(const std::string& frame, uint64_t now)
{
    static const char* const kNames[] = {"prompt",  "late",       "refused", "refused, acted on",
                                         "garbled", "duplicated", "silent",  "lost"};
    const Fate fate = Draw();
    const std::string command = Command(frame);
    m_log.push_back(std::to_string(now) + " <- " + command + " (" + kNames[static_cast<int>(fate)] + ")");
    std::optional<std::string> reply;
    if (fate == Fate::Refused) {
        reply = MakeReply("(NAK");
    } else if (fate != Fate::Lost) {
        reply = m_model.HandleFrame(frame);
        if (command == "QBOOT" && reply && reply->rfind("(1", 0) == 0) {
            m_booted = true;
            m_bootedSid = m_model.m_sid;
            m_bootedPabc = m_model.m_pabc;
        }
        if (fate == Fate::RefusedActed) {
            reply = MakeReply("(NAK");
        }
    }
    if (reply && fate == Fate::Garbled) {
        (*reply)[reply->size() - 2] ^= 0x01;
    }
    if (reply && fate != Fate::Silent) {
        const uint64_t at = now + Delay(fate == Fate::Late);
        Schedule(*reply, at, command);
        if (fate == Fate::Duplicated) {
            Schedule(*reply, at + Delay(true) / 2, command + " again");
        }
    }
    MaybeStray(now);
}

void CVirtualDevice::MaybeStray(uint64_t now)
{
    if (std::uniform_int_distribution<int>(0, 99)(m_rng) >= m_mix.stray) {
        return;
    }
    const std::string kinds[] = {MakeReply("(ACK"), MakeReply("(NAK"), MakeReply("(" + m_model.m_sid), "noise\r"};
    const std::string& stray = kinds[std::uniform_int_distribution<size_t>(0, 3)(m_rng)];
    Schedule(stray, now + Delay(true), "stray");
}

void CVirtualDevice::Schedule(std::string bytes, uint64_t at, const std::string& why)
{
    at = std::max(at, m_lastDue);
    m_lastDue = at;
    m_log.push_back(std::to_string(at) + " -> " + why + " " + ToHex(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                                      bytes.size()));
    m_due.emplace(at, std::move(bytes));
}

std::string CVirtualDevice::TakeDue(uint64_t now)
{
    std::string out;
    while (!m_due.empty() && m_due.begin()->first <= now) {
        out += m_due.begin()->second;
        m_due.erase(m_due.begin());
    }
    return out;
}

std::optional<uint64_t> CVirtualDevice::NextDue() const
{
    if (m_due.empty()) return std::nullopt;
    return m_due.begin()->first;
}

bool CVirtualDevice::Holds(const std::string& serial, const std::string& code) const
{
    return m_model.m_sid == serial && m_model.m_pabc == code && m_booted && m_bootedSid == serial &&
           m_bootedPabc == code;
}

CVirtualClock::CVirtualClock(CVirtualDevice& device) : m_device(device)
{
    if (!OpenRawPty(&m_pty)) {
        throw std::runtime_error("cannot open a pty");
    }
}

uint32_t CVirtualClock::TickCount() { return static_cast<uint32_t>(m_now); }

void CVirtualClock::Pump()
{
    uint8_t buf[256];
    for (;;) {
        const ssize_t n = ::read(m_pty.master.Get(), buf, sizeof buf);
        if (n > 0) {
            m_device.Receive(buf, static_cast<size_t>(n), m_now);
            continue;
        }
        // A frame just written may still be on its way through the pty.
        pollfd pfd {m_pty.master.Get(), POLLIN, 0};
        if (::poll(&pfd, 1, 1) <= 0) break;
    }
    if (const std::string due = m_device.TakeDue(m_now); !due.empty()) {
        Deliver(due);
    }
}

// Writes the bytes and waits until the host's side has them queued, so that
// what is due is there whenever the host looks.
void CVirtualClock::Deliver(const std::string& bytes)
{
    int before = 0;
    ::ioctl(m_pty.slaveHold.Get(), TIOCINQ, &before);
    WriteAll(m_pty.master.Get(), bytes.data(), bytes.size());
    for (int i = 0; i < 1000; ++i) {
        int queued = 0;
        ::ioctl(m_pty.slaveHold.Get(), TIOCINQ, &queued);
        if (queued >= before + static_cast<int>(bytes.size())) return;
        ::poll(nullptr, 0, 1);
    }
}

int CVirtualClock::Poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    const uint64_t end = m_now + static_cast<uint64_t>(std::max(timeoutMs, 0));
    for (;;) {
        Pump();
        const int rc = ::poll(fds, count, 0);
        if (rc != 0) {
            return rc;
        }
        const std::optional<uint64_t> next = m_device.NextDue();
        if (!next || *next > end) {
            m_now = end;
            return 0;
        }
        m_now = std::max(m_now, *next);
    }
}

} // namespace pello
