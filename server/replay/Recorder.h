#pragma once

#include "relay/MediaRooms.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

class QTimer;

// Has the media server record each live from "live.begin" to "live.end" into a folder of its own
// under the recordings folder, and notes beside the recordings what the replay needs: when the
// class began and ended, whose feed is which, and the chat. Runs on the relay's thread.
class Recorder : public QObject {
    Q_OBJECT
public:
    struct Live {
        qint64 liveId = 0;
        qint64 teacherId = 0;
        bool inProgress = false;
    };
    using LiveOfRoom = std::function<std::optional<Live>(quint32 roomId)>;

    // Below this much free space in the folder, recordings stop (the classes go on) until there is
    // room again; looked at every few seconds while a class is recorded.
    static constexpr qint64 kMinFreeBytes = 256LL << 20;
    void setMinFreeBytes(qint64 bytes) { m_minFreeBytes = bytes; }

    Recorder(const QString& root, const QList<MediaServerConfig>& servers, LiveOfRoom liveOfRoom,
        QObject* parent = nullptr);

    // Which media servers write where lectern-server reads: one on this host. Said in the log.
    bool collectsFrom(const MediaServerConfig& server) const;
    // Hooks the media rooms: rooms made on those servers are recorded while their live runs.
    void attach(MediaRooms* rooms);

    void liveBegun(qint64 liveId, quint32 roomId, qint64 teacherId);
    void liveEnded(qint64 liveId, quint32 roomId);
    void feedsDrawn(quint32 roomId, const QString& userId, qint64 camera, qint64 screen);
    void chatLine(quint32 roomId, const QString& userId, const QString& name, const QString& text);
    // Classes whose end the notes missed (lectern-server stopped before it noted it): endedMs
    // says when, if at all, the live ended.
    void closeEnded(const std::function<std::optional<qint64>(qint64 liveId)>& endedMs);

    QString root() const { return m_root; }
    // Where a room made on server now records, if anywhere (what attach() hands the media rooms).
    std::optional<MediaRooms::Recording> recordingOf(quint32 roomId, const MediaServerConfig& server);

signals:
    void classEnded(qint64 liveId);

private:
    qint64 liveOf(quint32 roomId);
    bool prepare(qint64 liveId, qint64 teacherId);
    void checkSpace();

    QString m_root;
    QList<QString> m_localHosts;
    LiveOfRoom m_liveOfRoom;
    MediaRooms* m_rooms = nullptr;
    QHash<quint32, qint64> m_roomLives; // rooms seen, and their lives
    QSet<quint32> m_recording; // rooms whose live runs
    QSet<qint64> m_failed; // lives whose folder could not be written
    bool m_lowOnSpace = false;
    qint64 m_minFreeBytes = kMinFreeBytes;
    QTimer* m_spaceCheck = nullptr;
};
