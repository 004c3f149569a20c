#pragma once
// The device model served on the master side of a real pseudo-terminal, on a
// thread of its own, for tests of the RS232 path.

#include "sim/DeviceModel.h"
#include "sim/Pty.h"

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pello {

class CPtyDevice {
public:
    CPtyDevice();
    ~CPtyDevice();
    const std::string& Path() const { return m_pty.slavePath; }
    int Master() const { return m_pty.master.Get(); }
    // Runs `fn` on the model under its lock (set faults, read frames).
    template <class Fn> auto WithModel(Fn fn)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return fn(m_model);
    }
    std::vector<std::string> Frames()
    {
        return WithModel([](CDeviceModel& m) { return m.m_frames; });
    }
    // Closes the master: the port hangs up.
    void HangUp();
    // Pacing of replies (set before the host writes): a wait before each
    // reply, and between its bytes.
    int m_replyDelayMs = 0;
    int m_byteGapMs = 0;
    // Hang up after sending this many bytes of replies (-1: never).
    int m_hangUpAfterBytes = -1;

private:
    void Serve();
    bool SendReply(const DeviceReply& reply);
    PtyPair m_pty;
    CUniqueFd m_stop;
    std::mutex m_mutex;
    CDeviceModel m_model;
    std::thread m_thread;
};

} // namespace pello
