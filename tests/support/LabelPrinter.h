#pragma once
// A label printer on a TCP port of this machine, as label printers listen on
// 9100: every connection's bytes, read to its end, are one label. Made with
// `resetAfter`, it takes that many bytes of each label and, a moment later,
// resets the connection, as a printer that fails mid-label does.

#include "link/UniqueFd.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pello {

class CTestLabelPrinter {
public:
    explicit CTestLabelPrinter(size_t resetAfter = 0)
        : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), m_resetAfter(resetAfter)
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(m_listener.Get(), 8);
        ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CTestLabelPrinter()
    {
        ::shutdown(m_listener.Get(), SHUT_RDWR); // ends the accept
        m_thread.join();
    }
    std::string Address() const { return "tcp://127.0.0.1:" + std::to_string(m_port); }
    std::vector<std::string> Labels() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_labels;
    }
    // Waits until `count` labels came, at most a minute; the labels then.
    std::vector<std::string> WaitForLabels(size_t count) const
    {
        for (int i = 0; i < 600 && Labels().size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return Labels();
    }

private:
    void Serve()
    {
        for (;;) {
            CUniqueFd client(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client) return;
            std::string label;
            char buffer[4096];
            const auto room = [&] { return m_resetAfter == 0 ? sizeof buffer : std::min(sizeof buffer, m_resetAfter - label.size()); };
            for (ssize_t n; room() > 0 && (n = ::read(client.Get(), buffer, room())) > 0;) label.append(buffer, size_t(n));
            if (m_resetAfter > 0) {
                // A while later, as a printer that chokes on what it read: by then
                // the sender's kernel has long had every byte acknowledged.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                const linger reset {1, 0};
                ::setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset); // close() sends RST
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_labels.push_back(label);
        }
    }

    CUniqueFd m_listener;
    size_t m_resetAfter;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_labels;
    std::thread m_thread;
};

// A printer address where nothing listens: connections are refused.
inline std::string RefusingPrinter()
{
    CUniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &length);
    return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)); // bound, never listening
}

} // namespace pello
