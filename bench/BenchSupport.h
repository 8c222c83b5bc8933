// What several benchmarks need besides waiting (BenchLoop.h): a clock, compact requests, the
// media namespace and the demo school's live in progress.
#pragma once

#include "app/AppStore.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <unistd.h>
#include <utility>

namespace bench {

inline qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline QString request(const QJsonObject& obj)
{
    return QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact));
}

// Janus and ICE need the media tests' network namespace: outside it, this starts the program
// again inside one and returns only if that failed.
inline bool inMediaNamespace(char* self)
{
    if (qgetenv("LECTERN_NETNS") == "1")
        return true;
    char runner[] = LECTERN_SOURCE_DIR "/tests/media/netns-run.sh";
    char* args[] = { runner, self, nullptr };
    execv(runner, args);
    return false;
}

// teacher01 and its live in progress in the demo school: {teacher id, live id}, 0 where missing.
inline std::pair<int64_t, int64_t> demoLiveInProgress(appserver::AppStore& store)
{
    int64_t teacherId = 0;
    for (const auto& u : store.users())
        if (u.loginId == "teacher01")
            teacherId = u.userId;
    int64_t liveId = 0;
    for (const auto& l : store.allLives())
        if (l.teacherId == teacherId && l.state == "i")
            liveId = l.liveId;
    return { teacherId, liveId };
}

} // namespace bench
