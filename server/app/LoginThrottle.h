#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace appserver {

struct LoginLimits {
    int freeFailures = 5; // per login id before it has to wait
    int64_t maxWaitMs = 30 * 1000; // the longest a login id waits, so nobody locks a teacher out for long
    int addressFailuresPerMinute = 600; // beyond what a whole school behind one address would make
    size_t maxTracked = 100000; // entries kept per table; the oldest go first
};

// Slows down guessing: a login id that failed more than freeFailures times in a row waits, twice as
// long after each further failure up to maxWaitMs; an address with too many failures in a minute
// waits for the minute to end. Memory stays bounded whatever the callers send.
class LoginThrottle {
public:
    explicit LoginThrottle(LoginLimits limits = {});

    // Milliseconds the caller must wait before trying again; 0 when it may try now.
    int64_t waitMs(const std::string& loginId, const std::string& address, int64_t nowMs);
    void failed(const std::string& loginId, const std::string& address, int64_t nowMs);
    void succeeded(const std::string& loginId);

private:
    struct Entry {
        int failures = 0;
        int64_t untilMs = 0; // login ids: no attempt before; addresses: the window's end
        int64_t lastMs = 0;
    };
    void trim(std::unordered_map<std::string, Entry>& table, int64_t nowMs);

    LoginLimits m_limits;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_byLogin;
    std::unordered_map<std::string, Entry> m_byAddress;
};

} // namespace appserver
