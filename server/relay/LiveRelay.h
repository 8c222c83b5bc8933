#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QSet>
#include <QObject>
#include <QString>

#include "FeedCheck.h"
#include "MediaPolice.h"
#include "RelayConnections.h"
#include "protocol/ClassFacts.h"
#include "protocol/RelayOps.h"

#include <functional>
#include <optional>

class MediaRooms;
namespace relayrequest {
struct Request;
}

// The live relay: WebSocket sessions signed in with the app server's user signature, rooms with a
// host and members, group and peer messages and member events, and the hand-off of each room's
// media room (sound and video go through the media server, never through the relay). The wire
// protocol is described in server/PROTOCOL.md.
//
// The connections, their limits and resumes are RelayConnections' (RelayConnections.cpp); this
// class holds the rooms: the op table and sign-in, members and who may send what (LiveRelay.cpp),
// the media hand-off (LiveRelay_Media.cpp), raised hands and quick questions (LiveRelay_Class.cpp).
class LiveRelay : public QObject {
    Q_OBJECT
public:
    explicit LiveRelay(const QByteArray& secret, QObject* parent = nullptr);
    ~LiveRelay() override;

    // Serves WSS instead of WS from then on (PEM, as tlspair::load read them); before listen().
    bool useTls(const QByteArray& certPem, const QByteArray& keyPem, QString* error)
    {
        return m_conns->useTls(certPem, keyPem, error);
    }
    bool isSecure() const { return m_conns->isSecure(); }
    bool listen(const QHostAddress& address, quint16 port, QString* error)
    {
        return m_conns->listen(address, port, error);
    }
    quint16 port() const { return m_conns->port(); }
    void close();

    // Per-member limit of unsent bytes, past which the member is disconnected as too slow (nothing
    // the relay sends may be dropped). All members together may hold totalLimitBytes; past it the
    // members furthest behind are disconnected first.
    void setQueueLimits(qint64 hardLimitBytes, qint64 totalLimitBytes = 256 << 20)
    {
        m_conns->setQueueLimits(hardLimitBytes, totalLimitBytes);
    }
    // Incoming messages over this end the connection (1009) before they are buffered.
    void setMaxIncomingBytes(qint64 bytes) { m_conns->setMaxIncomingBytes(bytes); }

    // Who may do what with a room, asked when a session hosts, joins or lists it. Returns 0 or the
    // relay code to refuse with. Without one every signed-in user may (the relay alone, in tests).
    using RoomUse = relayop::RoomUse;
    using RoomAccess = std::function<int(const QString& userId, quint32 roomId, RoomUse use)>;
    void setRoomAccess(RoomAccess access) { m_access = std::move(access); }
    // Where what happens in a room is recorded and the quick questions' answers are counted (the
    // relay keeps no records). Without one nothing is recorded and the questions' commands pass
    // like any other.
    using ClassRecord = std::function<classfacts::Verdict(const classfacts::Fact& fact)>;
    void setClassRecord(ClassRecord record) { m_record = std::move(record); }
    // The name the school's records give a user (empty when unknown): what a member's identity
    // says of it in the messages it sends, whatever it claimed.
    using NameOf = std::function<QString(const QString& userId)>;
    void setNameOf(NameOf nameOf) { m_nameOf = std::move(nameOf); }
    // Connections from one address that have not signed in yet, past which more are refused.
    // Signed-in members do not count: a whole school may sit behind one address.
    void setUnsignedPerAddressLimit(int connections) { m_conns->setUnsignedPerAddressLimit(connections); }
    // A connection that has not signed in by then is closed, so idle sockets cannot pile up.
    void setSignInTimeout(int ms) { m_conns->setSignInTimeout(ms); }
    // A connection whose TLS handshake and WebSocket upgrade are not done by then is dropped.
    void setHandshakeTimeout(int ms) { m_conns->setHandshakeTimeout(ms); }
    // Unsent bytes a connection that has not signed in may hold before it is cut off: answers to
    // someone nobody has authenticated are small, and one that reads none of them is not a client.
    static constexpr qint64 kUnsignedQueueLimitBytes = RelayConnections::kUnsignedQueueLimitBytes;
    // How long a member whose connection dropped keeps its place (room, host role, camera state)
    // for a resuming sign-in, before the room hears that it left.
    void setGracePeriod(int ms) { m_conns->setGracePeriod(ms); }
    // The relay's clock in seconds since the epoch, for signature expiry (tests move it).
    void setClock(std::function<qint64()> nowSecs);

    // Makes a VideoRoom for each room a host enters and hands its address, PIN and the feed ids
    // to the members let in. Without it (or while it fails) rooms have no media.
    void setMediaRooms(MediaRooms* rooms);
    // Told of the feed ids each member is given in a room (for the class's recording).
    using FeedsDrawn
        = std::function<void(quint32 roomId, const QString& userId, qint64 camera, qint64 screen)>;
    void setFeedsDrawn(FeedsDrawn drawn) { m_feedsDrawn = std::move(drawn); }
    // The room's live has ended: its media room goes.
    void endMedia(quint32 roomId);
    // The room's live has ended: its members are told and leave it, its media room goes, and
    // nobody enters it again.
    void closeRoom(quint32 roomId);
    bool hasMedia(quint32 roomId) const;

    int sessionCount() const { return m_conns->sessionCount(); }
    int roomMemberCount(quint32 roomId) const;
    // For monitoring: the totals since the start, rooms with members and their members.
    using Traffic = RelayConnections::Traffic;
    const Traffic& traffic() const { return m_conns->traffic(); }
    bool isListening() const { return m_conns->isListening(); }
    int roomCount() const { return m_rooms.size(); }
    int memberCount() const;
    qint64 membersCutOff() const { return m_conns->membersCutOff(); }

signals:
    void sessionSignedIn(const QString& userId);
    void sessionClosed(const QString& userId);

private:
    using Session = RelaySession;
    // The ids a member publishes its camera and its screen share under.
    struct Feeds {
        qint64 camera = 0;
        qint64 screen = 0;
        QString token; // what opens a session on the media server, for this member only
    };
    struct Media {
        bool ready = false; // false while the VideoRoom is being made
        QString url;
        quint64 videoRoom = 0;
        QString pin;
        QHash<QString, Feeds> feeds; // kept while the room has media, so re-entries keep their ids
    };
    struct PendingHost {
        quint64 serial;
        QByteArray requestId;
    };

    void onText(Session* s, const QByteArray& text);
    // The ops, dispatched from kOps.
    using Handler = void (LiveRelay::*)(Session* s, const relayrequest::Request& req);
    struct Op {
        const char* name;
        bool needsSignIn;
        Handler handler;
    };
    static const Op kOps[];
    void handleLogin(Session* s, const relayrequest::Request& req);
    void handlePing(Session* s, const relayrequest::Request& req);
    void handleEnter(Session* s, const relayrequest::Request& req);
    void handleRooms(Session* s, const relayrequest::Request& req);
    void handleQuit(Session* s, const relayrequest::Request& req);
    void handleMessage(Session* s, const relayrequest::Request& req);
    void handleEvent(Session* s, const relayrequest::Request& req);
    void handlePublish(Session* s, const relayrequest::Request& req);
    void takePlace(Session* from, Session* to);
    void reply(Session* s, const QByteArray& id, int code, const QString& desc)
    {
        m_conns->reply(s, id, code, desc);
    }
    bool sendRaw(Session* s, const QByteArray& bytes) { return m_conns->send(s, bytes); }
    // False when the session was in that room already.
    bool joinRoom(Session* s, quint32 roomId, bool host);
    bool hostTaken(quint32 roomId, const Session* s) const;
    // Enters and replies (with the media room, when there is one).
    void enterAndReply(Session* s, const QByteArray& id, quint32 roomId, bool host);
    void onMediaCreated(quint32 roomId, bool made, const QString& url, quint64 videoRoom, const QString& pin);
    void forgetMedia(quint32 roomId);
    Feeds feedsOf(quint32 roomId, Media& media, const QString& userId);
    // Whether feedId belongs to a member now in the room who may publish: the host, or a student
    // on the microphone.
    bool mayPublish(quint32 roomId, quint64 feedId) const;
    void policeMessage(Session* s, const QString& to, const QJsonArray& elems);
    void recheckPublishersSoon(quint32 roomId);
    static constexpr int kPublishGraceMs = 2000;
    QJsonObject feedsObject(quint32 roomId, const QList<Session*>& members);
    // Raised hands and quick questions (LiveRelay_Class.cpp). classMessage records what a message
    // shows and may rewrite it; false when it goes no further (the reply is sent).
    bool classMessage(Session* s, const QByteArray& id, bool group, QJsonArray* elems);
    // What those need to know of a session.
    struct Seat {
        QString userId;
        quint32 roomId = 0;
        bool host = false;
    };
    static Seat seat(const Session* s);
    void record(
        classfacts::Kind kind, quint32 roomId, const QString& userId, const QString& text = QString());
    void sendTallySoon(quint32 roomId, qint64 quizId);
    void sendTally(quint32 roomId, const QJsonObject& tally);
    void tellOpenQuestion(Session* s);
    void classLeave(Session* s, quint32 roomId);
    QStringList onMicNow(quint32 roomId) const;
    static constexpr int kTallyDelayMs = 50;
    QJsonObject mediaObject(quint32 roomId, const QString& forUser);
    // Tells the room (or one member) which feeds are live; see FeedCheck.
    void tellLiveFeeds(quint32 roomId, Session* only = nullptr);
    void tellRoomState(Session* s);
    void leaveRoom(Session* s);
    void broadcastEvent(quint32 roomId, int event, const QString& userId, const Session* except);
    QList<Session*> roomMembers(quint32 roomId) const;

    QByteArray m_secret;
    RelayConnections* m_conns = nullptr;
    QHash<quint32, QList<Session*>> m_rooms;
    std::function<qint64()> m_now;
    RoomAccess m_access;
    NameOf m_nameOf;
    QSet<quint32> m_closedRooms; // rooms whose live ended while this relay ran
    MediaRooms* m_mediaRooms = nullptr;
    QHash<quint32, Media> m_media;
    MediaPolice m_police;
    FeedCheck* m_feedCheck = nullptr;
    QHash<quint32, QList<PendingHost>> m_pendingHosts;
    ClassRecord m_record;
    FeedsDrawn m_feedsDrawn;
    QHash<quint32, QSet<QString>> m_hands; // raised, per room
    QHash<quint32, QByteArray> m_openQuestion; // the host's open question as sent, for who comes later
    QSet<QPair<quint32, qint64>> m_tallyDue;
};
