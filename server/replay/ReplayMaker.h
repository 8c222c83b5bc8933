#pragma once

#include <QObject>
#include <QSet>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

// Makes the replays of ended classes in the background, one at a time and at the lowest CPU
// priority: janus-pp-rec unpacks each recording as it was sent, then ffmpeg composes one WebM
// (the screen share as the picture, the teacher's camera inset, every voice mixed, each stream
// placed by the start time in its recording's header). The recordings go only once the replay's
// duration was checked against the class's.
class ReplayMaker : public QObject {
    Q_OBJECT
public:
    // Allowed difference between the replay's duration and the class's.
    static constexpr qint64 kDurationSlackMs = 2000;

    explicit ReplayMaker(const QString& root, QObject* parent = nullptr);
    // Stops the replay being made (it is made again at the next start).
    ~ReplayMaker() override;

    // Queues the live's replay; a live queued already is not queued twice.
    void enqueue(qint64 liveId);
    // Queues every class in the folder that ended without a replay, also those whose making a
    // restart cut.
    void enqueueUnmade();
    // Replays waiting or being made; read from any thread.
    int queued() const { return m_queued.load(); }

signals:
    void made(qint64 liveId, bool ok);

private:
    struct Work;
    void done(qint64 liveId, bool ok);

    QString m_root;
    QThread* m_thread = nullptr;
    std::shared_ptr<Work> m_work;
    QSet<qint64> m_pending;
    std::atomic<int> m_queued { 0 };
};
