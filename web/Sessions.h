#pragma once
// Who may read the page: the token opens a session, and the browser keeps
// only the session's random id. Sessions live in this process alone (a
// restart signs everyone out). Wrong tokens are slowed down per address.

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace pello::web {

class CSessions {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::hours kLifetime {12};
    static constexpr size_t kMostSessions = 256;
    static constexpr size_t kMostAddresses = 4096;
    static constexpr std::chrono::seconds kLongestWait {60};

    explicit CSessions(std::string token) : m_token(std::move(token)) {}

    enum class Verdict { Right, Wrong, Wait };
    struct Check {
        Verdict verdict;
        std::chrono::seconds wait {0}; // Wrong, Wait: until the address may try again
        int failures = 0;              // Wrong: failures in a row from the address
    };
    // Checks a token given by `address`. While an address waits after a
    // wrong token, no token of it is even compared.
    Check TryToken(const std::string& given, const std::string& address, Clock::time_point now = Clock::now());

    // A new session (its id, for the cookie).
    std::string Open(Clock::time_point now = Clock::now());
    bool Valid(const std::string& id, Clock::time_point now = Clock::now());

private:
    struct Failures {
        int count = 0;
        Clock::time_point until; // no try before this
    };
    void Forget(Clock::time_point now);

    std::string m_token;
    std::mutex m_mutex;
    std::map<std::string, Clock::time_point> m_sessions; // id to its end
    std::map<std::string, Failures> m_failures;           // by address
};

// Equal texts, compared in a time that depends on neither where they differ
// nor their lengths.
bool SameSecret(const std::string& a, const std::string& b);

// 32 random bytes as hex; throws when the system has no randomness to give.
std::string RandomId();

} // namespace pello::web
