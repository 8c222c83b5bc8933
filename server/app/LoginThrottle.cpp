#include "LoginThrottle.h"

#include <algorithm>
#include <vector>

namespace appserver {

namespace {
    constexpr int64_t kMinuteMs = 60 * 1000;
    constexpr int64_t kForgetMs = 15 * kMinuteMs;
    // Login ids are the caller's text: only so much of it is kept as a key.
    std::string key(const std::string& loginId)
    {
        return loginId.substr(0, 64);
    }
} // namespace

LoginThrottle::LoginThrottle(LoginLimits limits)
    : m_limits(limits)
{
}

int64_t LoginThrottle::waitMs(const std::string& loginId, const std::string& address, int64_t nowMs)
{
    std::lock_guard<std::mutex> g(m_mutex);
    int64_t wait = 0;
    const auto login = m_byLogin.find(key(loginId));
    if (login != m_byLogin.end())
        wait = std::max(wait, login->second.untilMs - nowMs);
    const auto addr = m_byAddress.find(address);
    if (addr != m_byAddress.end() && addr->second.failures >= m_limits.addressFailuresPerMinute)
        wait = std::max(wait, addr->second.untilMs - nowMs);
    return std::max<int64_t>(wait, 0);
}

void LoginThrottle::failed(const std::string& loginId, const std::string& address, int64_t nowMs)
{
    std::lock_guard<std::mutex> g(m_mutex);
    Entry& login = m_byLogin[key(loginId)];
    if (nowMs - login.lastMs > kForgetMs)
        login.failures = 0; // a teacher's typo of last week counts no more
    ++login.failures;
    login.lastMs = nowMs;
    const int over = login.failures - m_limits.freeFailures;
    if (over > 0)
        login.untilMs = nowMs + std::min<int64_t>(m_limits.maxWaitMs, 1000LL << std::min(over - 1, 20));
    Entry& addr = m_byAddress[address];
    if (addr.untilMs <= nowMs) {
        addr.failures = 0;
        addr.untilMs = nowMs + kMinuteMs;
    }
    ++addr.failures;
    addr.lastMs = nowMs;
    trim(m_byLogin, nowMs);
    trim(m_byAddress, nowMs);
}

void LoginThrottle::succeeded(const std::string& loginId)
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_byLogin.erase(key(loginId));
}

void LoginThrottle::trim(std::unordered_map<std::string, Entry>& table, int64_t nowMs)
{
    if (table.size() <= m_limits.maxTracked)
        return;
    // First what no longer slows anybody down, then the least recently failed half.
    for (auto it = table.begin(); it != table.end();)
        it = it->second.untilMs <= nowMs && nowMs - it->second.lastMs > kMinuteMs ? table.erase(it)
                                                                                  : std::next(it);
    if (table.size() <= m_limits.maxTracked)
        return;
    std::vector<int64_t> times;
    times.reserve(table.size());
    for (const auto& [k, e] : table)
        times.push_back(e.lastMs);
    auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    const int64_t cut = *middle;
    for (auto it = table.begin(); it != table.end();)
        it = it->second.lastMs < cut ? table.erase(it) : std::next(it);
}

} // namespace appserver
