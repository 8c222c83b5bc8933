// Monitoring: the counters behind /metrics and the answers of /healthz and /metrics.
#include "AppServer.h"
#include "ServerStats.h"

#include <cstdio>

namespace appserver {

void ServerStats::requestDone(const std::string& method, double seconds)
{
    size_t m = kMethods.size() - 1;
    for (size_t i = 0; i + 1 < kMethods.size(); ++i)
        if (method == kMethods[i])
            m = i;
    PerMethod& p = m_methods[m];
    p.count.fetch_add(1, std::memory_order_relaxed);
    p.sumMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
    for (size_t b = 0; b < kBucketsSecs.size(); ++b)
        if (seconds <= kBucketsSecs[b]) {
            p.buckets[b].fetch_add(1, std::memory_order_relaxed);
            break;
        }
}

void ServerStats::signInFailed(SignInFailure why)
{
    (why == SignInFailure::Throttled ? m_throttled : m_badPasswords).fetch_add(1, std::memory_order_relaxed);
}

std::string ServerStats::text() const
{
    std::string out;
    char line[256];
    const auto add = [&out, &line](const char* format, auto... values) {
        std::snprintf(line, sizeof line, format, values...);
        out += line;
    };
    out += "# HELP lectern_sign_ins_total Successful sign-ins (user.login).\n"
           "# TYPE lectern_sign_ins_total counter\n";
    add("lectern_sign_ins_total %llu\n", static_cast<unsigned long long>(m_signIns.load()));
    out += "# HELP lectern_sign_in_failures_total Refused sign-ins, by reason.\n"
           "# TYPE lectern_sign_in_failures_total counter\n";
    add("lectern_sign_in_failures_total{reason=\"bad_password\"} %llu\n",
        static_cast<unsigned long long>(m_badPasswords.load()));
    add("lectern_sign_in_failures_total{reason=\"throttled\"} %llu\n",
        static_cast<unsigned long long>(m_throttled.load()));
    out += "# HELP lectern_http_requests_total HTTP requests answered, by method.\n"
           "# TYPE lectern_http_requests_total counter\n";
    for (size_t m = 0; m < kMethods.size(); ++m)
        add("lectern_http_requests_total{method=\"%s\"} %llu\n", kMethods[m],
            static_cast<unsigned long long>(m_methods[m].count.load()));
    out += "# HELP lectern_http_request_duration_seconds Time from a request's headers to its answer sent.\n"
           "# TYPE lectern_http_request_duration_seconds histogram\n";
    for (size_t m = 0; m < kMethods.size(); ++m) {
        const PerMethod& p = m_methods[m];
        // Read the count first: requests finishing meanwhile only make +Inf larger than a bucket.
        const unsigned long long count = p.count.load();
        unsigned long long cumulative = 0;
        for (size_t b = 0; b < kBucketsSecs.size(); ++b) {
            cumulative += p.buckets[b].load();
            add("lectern_http_request_duration_seconds_bucket{method=\"%s\",le=\"%g\"} %llu\n", kMethods[m],
                kBucketsSecs[b], std::min(cumulative, count));
        }
        add("lectern_http_request_duration_seconds_bucket{method=\"%s\",le=\"+Inf\"} %llu\n", kMethods[m],
            count);
        add("lectern_http_request_duration_seconds_sum{method=\"%s\"} %.6f\n", kMethods[m],
            static_cast<double>(p.sumMicros.load()) / 1e6);
        add("lectern_http_request_duration_seconds_count{method=\"%s\"} %llu\n", kMethods[m], count);
    }
    return out;
}

void AppServer::setRelayMonitor(std::function<std::string()> metrics, std::function<std::string()> problem)
{
    m_relayMetrics = std::move(metrics);
    m_relayProblem = std::move(problem);
}

std::pair<int, std::string> AppServer::monitoring(const std::string& path)
{
    int lives = -1;
    std::string problem;
    try {
        lives = m_store->livesInProgress();
    } catch (const std::exception& e) {
        problem = std::string("database: ") + e.what();
    }
    if (path == "/healthz") {
        if (problem.empty() && m_relayProblem)
            problem = m_relayProblem();
        return problem.empty() ? std::pair(200, std::string("ok\n")) : std::pair(503, problem + "\n");
    }
    std::string out = m_stats->text();
    if (lives >= 0)
        out += "# HELP lectern_lives_in_progress Lives begun and not ended.\n"
               "# TYPE lectern_lives_in_progress gauge\n"
               "lectern_lives_in_progress "
            + std::to_string(lives) + "\n";
    if (m_replayQueue)
        out += "# HELP lectern_replays_queued Replays of ended classes waiting to be made or being made.\n"
               "# TYPE lectern_replays_queued gauge\n"
               "lectern_replays_queued "
            + std::to_string(m_replayQueue()) + "\n";
    if (m_relayMetrics)
        out += m_relayMetrics();
    return { 200, out };
}

} // namespace appserver
