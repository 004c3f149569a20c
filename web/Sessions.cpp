#include "web/Sessions.h"

#include <gnutls/crypto.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <sys/random.h>

namespace pello::web {

namespace {

std::string Digest(const std::string& text)
{
    unsigned char digest[32] = {};
    gnutls_hash_fast(GNUTLS_DIG_SHA256, text.data(), text.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

} // namespace

bool SameSecret(const std::string& a, const std::string& b)
{
    if (b.empty()) {
        return false;
    }
    const std::string da = Digest(a), db = Digest(b);
    unsigned char diff = 0;
    for (size_t i = 0; i < da.size(); ++i) diff |= static_cast<unsigned char>(da[i] ^ db[i]);
    return diff == 0;
}

std::string RandomId()
{
    unsigned char bytes[32];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        throw std::runtime_error("no randomness for a session id");
    }
    std::string hex;
    for (const unsigned char b : bytes) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    return hex;
}

CSessions::Check CSessions::TryToken(const std::string& given, const std::string& address, Clock::time_point now)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    Forget(now);
    const auto known = m_failures.find(address);
    if (known != m_failures.end() && now < known->second.until) {
        return {Verdict::Wait, std::chrono::ceil<std::chrono::seconds>(known->second.until - now),
                known->second.count};
    }
    if (SameSecret(given, m_token)) {
        m_failures.erase(address);
        return {Verdict::Right};
    }
    if (known == m_failures.end() && m_failures.size() >= kMostAddresses) {
        // Full of addresses that still wait: the one that waits least goes.
        m_failures.erase(std::min_element(m_failures.begin(), m_failures.end(), [](const auto& x, const auto& y) {
            return x.second.until < y.second.until;
        }));
    }
    Failures& f = m_failures[address];
    f.count = std::min(f.count + 1, 16);
    const std::chrono::seconds wait = std::min<std::chrono::seconds>(std::chrono::seconds(1 << (f.count - 1)), kLongestWait);
    f.until = now + wait;
    return {Verdict::Wrong, wait, f.count};
}

std::string CSessions::Open(Clock::time_point now)
{
    const std::string id = RandomId();
    const std::lock_guard<std::mutex> lock(m_mutex);
    Forget(now);
    if (m_sessions.size() >= kMostSessions) {
        m_sessions.erase(std::min_element(m_sessions.begin(), m_sessions.end(),
                                          [](const auto& x, const auto& y) { return x.second < y.second; }));
    }
    m_sessions[id] = now + kLifetime;
    return id;
}

bool CSessions::Valid(const std::string& id, Clock::time_point now)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_sessions.find(id);
    return it != m_sessions.end() && now < it->second;
}

void CSessions::Forget(Clock::time_point now)
{
    std::erase_if(m_sessions, [&](const auto& s) { return s.second <= now; });
    // An address is forgiven a while after its last wait ended.
    std::erase_if(m_failures, [&](const auto& f) { return f.second.until + std::chrono::minutes(15) <= now; });
}

} // namespace pello::web
