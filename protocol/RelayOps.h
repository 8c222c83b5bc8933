#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// The live relay's JSON ops (server/PROTOCOL.md): building them on either side and reading what
// the relay pushes. Requests are read by relayrequest::parse (RelayRequest.h).
namespace relayop {

// Result codes of the relay.
enum Code {
    kOk = 0,
    kMalformed = 4000,
    kUnknownOp = 4001,
    kBadFrame = 4002,
    kNotSignedIn = 8001,
    kNotHost = 10004,
    kNotInRoom = 10010,
    kNoSuchRoom = 10015,
    kNotLetIn = 10016,
    kLiveEnded = 10017,
    kNoPermission = 10021,
    kNotPassedOn = 10022, // a member's op or message the relay does not let through
    kNoMedia = 10031,
    kNotYours = 10032,
    kPeerUnknown = 20003,
    kSigExpired = 70001,
    kSigMalformed = 70002,
    kSigBad = 70003,
    kSigWrongUser = 70013,
    kKicked = 70030,
};

// Member events (memberEvent's "event", event's "event").
enum Event {
    kEntered = 1,
    kLeft = 2,
    kCameraOn = 3,
    kCameraOff = 4,
    kScreenOn = 7,
    kScreenOff = 8,
};

// What a session does with a room, for the check of who may.
enum class RoomUse { Host, Join, List };

// Message elements.
QJsonObject textElem(const QString& text);
QJsonObject customElem(const QString& data, const QString& ext);

// Requests, without their "id" (request() adds it).
// resume: the token the relay handed out at an earlier sign-in, to take that session's place back.
QJsonObject login(const QString& userId, const QString& userSig, const QString& resume = QString());
QJsonObject createRoom(quint32 roomId, const QString& role);
QJsonObject joinRoom(quint32 roomId);
QJsonObject quitRoom();
QJsonObject rooms();
QJsonObject groupMsg(const QJsonArray& elems);
QJsonObject peerMsg(const QString& to, const QJsonArray& elems);
QJsonObject event(int event);
// The Janus session and VideoRoom handle the sender is about to publish its feed on.
QJsonObject publish(quint64 session, quint64 handle, quint64 feed);
// The compact text of a request with its id.
QByteArray request(QJsonObject op, int id);

// Pushed by the relay. rawId is the request's id exactly as it came ("0" when it had none).
QByteArray reply(const QByteArray& rawId, int code, const QString& desc, const QJsonObject& extra = {});
QByteArray error(int code, const QString& desc);
QByteArray msg(const QString& sender, bool group, const QJsonArray& elems);
// extra: fields some events carry ("feeds", "media" on entering a room with a media room).
QByteArray memberEvent(int event, const QStringList& ids, const QJsonObject& extra = {});
QByteArray kicked();
// The room's live has ended: the member is out of the room, and nobody enters it again.
QByteArray roomClosed(quint32 roomId);
// The room's feeds the relay vouches for: published by their owners.
QByteArray liveFeeds(const QList<quint64>& feeds);
// The feed ids of a "feeds" push.
QList<quint64> readLiveFeeds(const QJsonObject& push);
// The answer to a ping: its id and seq (when it had one) exactly as they came.
QByteArray pong(const QByteArray& rawId, const QByteArray& rawSeq);

// One op pushed by the relay, as the client reads it.
struct Push {
    enum Kind { Invalid, Reply, Msg, MemberEvent, Kicked, RoomClosed, Error, Other };
    Kind kind = Invalid;
    int id = 0; // Reply
    int code = 0; // Reply, Error, Kicked
    QString desc;
    QString sender; // Msg
    bool group = false;
    QJsonArray elems;
    int event = 0; // MemberEvent
    QStringList ids;
    quint32 roomId = 0; // RoomClosed
    QJsonObject object; // everything, for fields only some replies carry ("members", "rooms")
};
Push readPush(const QByteArray& text);

} // namespace relayop
