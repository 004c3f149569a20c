#include "tests/support/PtyDevice.h"

#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace pello {

CPtyDevice::CPtyDevice() : m_stop(::eventfd(0, EFD_CLOEXEC))
{
    if (!OpenRawPty(&m_pty) || !m_stop) {
        throw std::runtime_error("cannot open a pty");
    }
    m_thread = std::thread([this] { Serve(); });
}

CPtyDevice::~CPtyDevice() { HangUp(); }

void CPtyDevice::HangUp()
{
    if (m_thread.joinable()) {
        const uint64_t one = 1;
        (void)!::write(m_stop.Get(), &one, sizeof one);
        m_thread.join();
    }
    m_pty.master.Reset();
    m_pty.slaveHold.Reset();
}

bool CPtyDevice::SendReply(const DeviceReply& reply)
{
    ::poll(nullptr, 0, m_replyDelayMs + reply.delayMs);
    for (char c : reply.bytes) {
        if (m_hangUpAfterBytes == 0) {
            m_pty.master.Reset(); // the device is gone mid-reply
            m_pty.slaveHold.Reset();
            return false;
        }
        if (m_hangUpAfterBytes > 0) {
            --m_hangUpAfterBytes;
        }
        WriteAll(m_pty.master.Get(), &c, 1);
        ::poll(nullptr, 0, m_byteGapMs);
    }
    return true;
}

void CPtyDevice::Serve()
{
    pollfd fds[2] = {{m_pty.master.Get(), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
    while (::poll(fds, 2, -1) >= 0 && fds[1].revents == 0) {
        uint8_t buf[256];
        const ssize_t n = ::read(m_pty.master.Get(), buf, sizeof buf);
        if (n <= 0) {
            continue;
        }
        std::vector<DeviceReply> replies;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            replies = m_model.Feed(buf, static_cast<size_t>(n));
        }
        for (const auto& r : replies) {
            if (!SendReply(r)) {
                return;
            }
        }
    }
}

} // namespace pello
