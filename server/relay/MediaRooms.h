#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>
#include <optional>

class JanusSession;
class QTimer;

// One Janus media server lectern-server creates VideoRooms on.
struct MediaServerConfig {
    QUrl url; // where lectern-server reaches its WebSocket transport
    QString adminKey; // the VideoRoom plugin's admin_key
    QUrl publicUrl; // what clients are told to connect to (url when empty)
};

// The VideoRooms of the lives: created with the admin key on the media server with the fewest
// rooms, with a room secret derived from the server's secret (so a restarted lectern-server can
// still destroy a room it made before) and a fresh random PIN that only members let in learn.
class MediaRooms : public QObject {
    Q_OBJECT
public:
    struct Room {
        QString url; // the media server's client-facing address
        QString pin;
    };
    // nullopt: no media room (no server reachable, or it refused); the class goes on without.
    using Created = std::function<void(const std::optional<Room>& room)>;

    static constexpr int kBitrateCap = 1500000;
    static constexpr int kPublishers = 16;

    MediaRooms(const QByteArray& secret, const QList<MediaServerConfig>& servers, QObject* parent = nullptr);
    ~MediaRooms() override;

    // How long a server may take to connect or answer before the room goes without media.
    void setTimeoutMs(int ms) { m_timeoutMs = ms; }
    // How often a media server that is down is tried again; it takes new rooms once it answers.
    void setProbeIntervalMs(int ms);
    // Servers now taking new rooms (not known to be down), and how many rooms each holds.
    bool isUp(int server) const;
    int roomCount(int server) const;

    // Creates the VideoRoom with id roomId, replacing one left from before under the same id.
    void create(quint32 roomId, Created done);
    void destroy(quint32 roomId);

    // The room secret: never leaves lectern-server.
    QString secretOf(quint32 roomId) const;

    // Asked for every publisher that appears in a room: false removes it at once. Each room is
    // watched by a participant of lectern-server's own that joins without publishing.
    using PublisherCheck = std::function<bool(quint32 roomId, quint64 feedId)>;
    void setPublisherCheck(PublisherCheck check) { m_check = std::move(check); }
    // Asks again for the room's current publishers (someone's leave to publish ended).
    void recheck(quint32 roomId);
    // Publishers lectern-server has seen in the room and not seen go.
    QList<quint64> publishersOf(quint32 roomId) const;

signals:
    // A publisher the check refused was removed from the room.
    void publisherRemoved(quint32 roomId, quint64 feedId);
    // A media server was lost: its rooms are gone with it (or unreachable).
    void roomsLost(const QList<quint32>& roomIds);

private:
    struct Server;
    using Ready = std::function<void(bool ok)>;

    void whenReady(Server* s, Ready then);
    void settle(Server* s, bool ok);
    void createOn(Server* s, quint32 roomId, bool replacing, Created done);
    Server* pickServer(const QList<Server*>& tried) const;
    void createAny(quint32 roomId, QList<Server*> tried, Created done);
    void markDown(Server* s);
    void probe();
    void watch(Server* s, quint32 roomId, const QString& pin);
    void onHandleEvent(Server* s, quint64 handle, const QJsonObject& message);
    void notePublishers(Server* s, quint32 roomId, const QJsonObject& data);
    void judge(Server* s, quint32 roomId, quint64 feedId);
    void unwatch(Server* s, quint32 roomId);

    QByteArray m_secret;
    QList<Server*> m_servers;
    QHash<quint32, Server*> m_rooms;
    int m_timeoutMs = 5000;
    PublisherCheck m_check;
    QTimer* m_probe = nullptr;
};
