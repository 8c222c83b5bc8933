#pragma once

#include "MediaRooms.h"

#include <QList>
#include <QObject>

#include <mutex>
#include <string>

class LiveRelay;

// The relay's and its media servers' figures for /metrics and /healthz. The relay lives on its
// own thread and the app server answers on worker threads, so the figures are taken on the relay's
// thread once a second (and on sample()) and kept as text any thread may read.
class RelayMetrics : public QObject {
    Q_OBJECT
public:
    // media may be null (no media servers).
    RelayMetrics(const LiveRelay* relay, const MediaRooms* media, const QList<MediaServerConfig>& servers,
        QObject* parent = nullptr);

    void sample();
    // Prometheus text exposition.
    std::string text() const;
    // What keeps the relay from serving; empty when nothing does.
    std::string problem() const;

private:
    const LiveRelay* m_relay;
    const MediaRooms* m_media;
    QList<MediaServerConfig> m_servers;
    mutable std::mutex m_mutex;
    std::string m_text;
    std::string m_problem = "live relay: not sampled yet";
};
