#include "station/Watcher.h"

#include <libudev.h>
#include <poll.h>
#include <unistd.h>

namespace pello::station {

namespace {

// Without udev the kernel's own uevents are not relayed: rescan this often.
constexpr int kRescanMs = 1000;
// With udev, a look now and then all the same, in case an event was missed.
constexpr int kSafetyLookMs = 5000;

// hidraw nodes added or removed, as udev announces them once it has set their access.
class CUdevWatcher final : public CUnitWatcher {
public:
    CUdevWatcher() : m_udev(udev_new())
    {
        m_monitor = m_udev ? udev_monitor_new_from_netlink(m_udev, "udev") : nullptr;
        if (m_monitor && udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) == 0 &&
            udev_monitor_enable_receiving(m_monitor) == 0) {
            m_fd = udev_monitor_get_fd(m_monitor);
        }
    }
    ~CUdevWatcher() override
    {
        if (m_monitor) udev_monitor_unref(m_monitor);
        if (m_udev) udev_unref(m_udev);
    }
    CUdevWatcher(const CUdevWatcher&) = delete;
    CUdevWatcher& operator=(const CUdevWatcher&) = delete;

    bool Ok() const { return m_fd >= 0; }
    void Wait(int timeoutMs) override
    {
        pollfd pfd {m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) > 0) {
            // Drain what is there; the station looks for itself.
            while (udev_device* dev = udev_monitor_receive_device(m_monitor)) {
                udev_device_unref(dev);
            }
        }
    }
    int LookEveryMs() const override { return kSafetyLookMs; }

private:
    udev* m_udev;
    udev_monitor* m_monitor = nullptr;
    int m_fd = -1;
};

} // namespace

void CTimerWatcher::Wait(int timeoutMs) { ::poll(nullptr, 0, timeoutMs); }

std::unique_ptr<CUnitWatcher> MakeHidrawWatcher()
{
    // udev's control socket exists only while udevd runs.
    if (::access("/run/udev/control", F_OK) == 0) {
        auto udev = std::make_unique<CUdevWatcher>();
        if (udev->Ok()) {
            return udev;
        }
    }
    return std::make_unique<CTimerWatcher>(kRescanMs);
}

} // namespace pello::station
