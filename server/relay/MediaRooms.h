#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
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
    // Its Admin API (tokens, handle details), which takes adminKey as its secret. Empty: the url's
    // host on the next port, over ws://.
    QUrl adminUrl;
};

// The VideoRooms of the lives: created with the admin key on the media server with the fewest
// rooms, under a random VideoRoom id nobody can tell from the relay's room id, with a room secret
// derived from the server's secret and a fresh random PIN that only members let in learn. The
// media server accepts only sessions with a token added here through its Admin API.
class MediaRooms : public QObject {
    Q_OBJECT
public:
    struct Room {
        QString url; // the media server's client-facing address
        quint64 videoRoom = 0; // the VideoRoom id there
        QString pin;
    };
    // nullopt: no media room (no server reachable, or it refused); the class goes on without.
    using Created = std::function<void(const std::optional<Room>& room)>;

    static constexpr int kBitrateCap = 1500000;
    static constexpr int kPublishers = 16;
    // How often the media server asks every publisher for a key frame: a subscriber that missed
    // the one sent as it joined (a busy machine, a lost packet whose request went astray) shows a
    // picture within this, and a recording can be cut anywhere near.
    static constexpr int kKeyFrameSecs = 5;

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
    quint64 videoRoomOf(quint32 roomId) const { return m_videoRooms.value(roomId); }

    // A token for the room's media server: a member's, handed to it with the room. Taken back when
    // the room is destroyed.
    void allowToken(quint32 roomId, const QString& token);
    // What the room's media server says of a handle: the token it was opened with and the feed id
    // it publishes under in this room's VideoRoom (0: none). known is false when it has no such
    // handle or cannot be asked.
    struct HandleInfo {
        bool known = false;
        QString token;
        quint64 feed = 0;
    };
    void handleInfo(
        quint32 roomId, quint64 session, quint64 handle, std::function<void(const HandleInfo&)> done);
    // Removes the publisher of feedId from the room; done (if any) once the media server answered.
    void kick(quint32 roomId, quint64 feedId, std::function<void()> done = nullptr);

    // Asked for every publisher that appears in a room: false removes it at once; the others are
    // announced by publisherSeen. Each room is
    // watched by a participant of lectern-server's own that joins without publishing.
    using PublisherCheck = std::function<bool(quint32 roomId, quint64 feedId)>;
    void setPublisherCheck(PublisherCheck check) { m_check = std::move(check); }
    // Asks again for the room's current publishers (someone's leave to publish ended).
    void recheck(quint32 roomId);
    // Publishers lectern-server has seen in the room and not seen go.
    QList<quint64> publishersOf(quint32 roomId) const;

    // Where a room's media server records it, asked as its VideoRoom is made (nullopt: not
    // recorded). Only lectern-server switches the recording, with the room's secret.
    struct Recording {
        QString dir;
        bool on = false;
    };
    using RecordingOf
        = std::function<std::optional<Recording>(quint32 roomId, const MediaServerConfig& server)>;
    void setRecordingOf(RecordingOf recordingOf) { m_recordingOf = std::move(recordingOf); }
    // Starts or stops recording a room made with a recording folder; false when it has none.
    bool setRecording(quint32 roomId, bool on);

signals:
    // A publisher the check let stay appeared in the room, or left it (or was removed).
    void publisherSeen(quint32 roomId, quint64 feedId);
    void publisherGone(quint32 roomId, quint64 feedId);
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
    void judge(quint32 roomId, quint64 feedId);
    void unwatch(Server* s, quint32 roomId);
    void sweep(Server* s, std::function<void()> then);

    QByteArray m_secret;
    QList<Server*> m_servers;
    QHash<quint32, Server*> m_rooms;
    QHash<quint32, quint64> m_videoRooms;
    QHash<quint32, QStringList> m_tokens;
    int m_timeoutMs = 5000;
    PublisherCheck m_check;
    RecordingOf m_recordingOf;
    QSet<quint32> m_recorded; // rooms made with a recording folder
    QTimer* m_probe = nullptr;
};
