#pragma once
// How a station waits for something to change on the line: over USB for the
// kernel to add or remove a hidraw node (libudev's monitor), else for the
// next look (a 1 s rescan where udev is not running; the probe interval over
// RS232). A signal ends every wait early.

#include <memory>

namespace pello::station {

class CUnitWatcher {
public:
    virtual ~CUnitWatcher() = default;
    // Returns when something may have changed, or after `timeoutMs`.
    virtual void Wait(int timeoutMs) = 0;
    // The longest a station needs to wait between two looks.
    virtual int LookEveryMs() const = 0;
};

// Looks every `intervalMs`.
class CTimerWatcher final : public CUnitWatcher {
public:
    explicit CTimerWatcher(int intervalMs) : m_intervalMs(intervalMs) {}
    void Wait(int timeoutMs) override;
    int LookEveryMs() const override { return m_intervalMs; }

private:
    int m_intervalMs;
};

// The udev monitor when udev is running, else a 1 s rescan.
std::unique_ptr<CUnitWatcher> MakeHidrawWatcher();

} // namespace pello::station
