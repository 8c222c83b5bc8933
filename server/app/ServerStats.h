#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace appserver {

// The app server's counters for /metrics, bumped from its worker threads without a lock.
class ServerStats {
public:
    static constexpr std::array<double, 12> kBucketsSecs
        = { 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5 };
    static constexpr std::array<const char*, 4> kMethods = { "GET", "HEAD", "POST", "other" };
    enum class SignInFailure { BadPassword, Throttled };

    void requestDone(const std::string& method, double seconds);
    void signedIn() { m_signIns.fetch_add(1, std::memory_order_relaxed); }
    void signInFailed(SignInFailure why);

    // Prometheus text exposition of everything above.
    std::string text() const;

private:
    struct PerMethod {
        std::atomic<uint64_t> count { 0 };
        std::atomic<uint64_t> sumMicros { 0 };
        std::array<std::atomic<uint64_t>, kBucketsSecs.size()> buckets {}; // not cumulative
    };
    std::array<PerMethod, kMethods.size()> m_methods;
    std::atomic<uint64_t> m_signIns { 0 };
    std::atomic<uint64_t> m_badPasswords { 0 };
    std::atomic<uint64_t> m_throttled { 0 };
};

} // namespace appserver
