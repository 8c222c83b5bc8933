#include "LiveRelay.h"

#include "MediaRooms.h"
#include "MemberRules.h"

#include "common/UserSig.h"
#include "protocol/RelayOps.h"
#include "protocol/RelayRequest.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>

namespace {

using namespace relayop;

QString roomRefusalText(int code, quint32 roomId)
{
    switch (code) {
    case kNoSuchRoom:
        return QStringLiteral("room %1 belongs to no live").arg(roomId);
    case kLiveEnded:
        return QStringLiteral("the live of room %1 has ended").arg(roomId);
    default:
        return QStringLiteral("not let into room %1").arg(roomId);
    }
}

int sigCode(usersig::Check check)
{
    switch (check) {
    case usersig::Check::Ok:
        return kOk;
    case usersig::Check::Malformed:
        return kSigMalformed;
    case usersig::Check::BadSignature:
        return kSigBad;
    case usersig::Check::Expired:
        return kSigExpired;
    case usersig::Check::WrongUser:
        return kSigWrongUser;
    }
    return kSigBad;
}

} // namespace

LiveRelay::Seat LiveRelay::seat(const Session* s)
{
    return { s->userId, s->roomId, s->host };
}

LiveRelay::LiveRelay(const QByteArray& secret, QObject* parent)
    : QObject(parent)
    , m_secret(secret)
    , m_now([] { return QDateTime::currentSecsSinceEpoch(); })
{
    RelayConnections::Hooks hooks;
    hooks.text = [this](Session* s, const QByteArray& text) { onText(s, text); };
    hooks.leave = [this](Session* s) { leaveRoom(s); };
    hooks.takeOver = [this](Session* from, Session* to) { takePlace(from, to); };
    hooks.closed = [this](const QString& userId) { emit sessionClosed(userId); };
    m_conns = new RelayConnections(std::move(hooks), this);
}

LiveRelay::~LiveRelay()
{
    close();
}

void LiveRelay::close()
{
    m_conns->close();
    m_rooms.clear();
}

void LiveRelay::setClock(std::function<qint64()> nowSecs)
{
    m_now = std::move(nowSecs);
}

int LiveRelay::roomMemberCount(quint32 roomId) const
{
    return m_rooms.value(roomId).size();
}

int LiveRelay::memberCount() const
{
    int n = 0;
    for (const QList<Session*>& members : m_rooms)
        n += members.size();
    return n;
}

// Every op the relay answers. Ops that need a signed-in session are refused before their handler
// runs otherwise, as are requests the parser found wrong (which it finds only for these).
const LiveRelay::Op LiveRelay::kOps[] = {
    { "login", false, &LiveRelay::handleLogin },
    // Answered before sign-in too; it does not put off the sign-in deadline, and what it makes an
    // unsigned connection hold is capped by kUnsignedQueueLimitBytes.
    { "ping", false, &LiveRelay::handlePing },
    { "createRoom", true, &LiveRelay::handleEnter },
    { "joinRoom", true, &LiveRelay::handleEnter },
    { "rooms", true, &LiveRelay::handleRooms },
    { "quitRoom", true, &LiveRelay::handleQuit },
    { "groupMsg", true, &LiveRelay::handleMessage },
    { "peerMsg", true, &LiveRelay::handleMessage },
    { "event", true, &LiveRelay::handleEvent },
    { "publish", true, &LiveRelay::handlePublish },
};

void LiveRelay::onText(Session* s, const QByteArray& text)
{
    const relayrequest::Request req = relayrequest::parse(text);
    if (!req.isObject) {
        m_conns->sendError(s, req.error, req.desc);
        return;
    }
    if (req.op.isEmpty()) { // too long to read, or no op
        reply(s, req.rawId, req.error, req.desc);
        return;
    }
    const auto op = std::find_if(
        std::begin(kOps), std::end(kOps), [&](const Op& o) { return req.op == QLatin1String(o.name); });
    if (op == std::end(kOps) || op->needsSignIn) {
        if (s->userId.isEmpty()) {
            reply(s, req.rawId, kNotSignedIn, QStringLiteral("not signed in"));
            return;
        }
        if (req.error) { // an unknown op among them
            reply(s, req.rawId, req.error, req.desc);
            return;
        }
    }
    if (op != std::end(kOps))
        (this->*op->handler)(s, req);
}

void LiveRelay::handlePing(Session* s, const relayrequest::Request& req)
{
    sendRaw(s, relayop::pong(req.rawId, req.rawSeq));
}

void LiveRelay::handleLogin(Session* s, const relayrequest::Request& req)
{
    const QByteArray& id = req.rawId;
    const QString& userId = req.userId;
    if (!s->userId.isEmpty()) {
        reply(s, id, kMalformed, QStringLiteral("already signed in"));
        return;
    }
    if (userId.isEmpty()) {
        reply(s, id, kMalformed, QStringLiteral("malformed request: no userId"));
        return;
    }
    usersig::Role role = usersig::Role::Member;
    const usersig::Check check = usersig::verify(m_secret, req.userSig, userId, m_now(), &role);
    if (check != usersig::Check::Ok) {
        reply(s, id, sigCode(check), QString::fromLatin1(usersig::describe(check)));
        return;
    }
    const bool resumed = m_conns->signIn(
        s, userId, role == usersig::Role::Host, m_nameOf ? m_nameOf(userId) : QString(), req.resume);
    const QJsonObject extra { { "resume", QString::fromLatin1(s->resumeToken) }, { "resumed", resumed },
        { "roomId", qint64(s->roomId) } };
    sendRaw(s, relayop::reply(id, kOk, QString(), extra));
    // What went live or ended while the connection was gone.
    if (resumed && s->roomId && m_media.value(s->roomId).ready)
        tellLiveFeeds(s->roomId, s);
    emit sessionSignedIn(userId);
}

// A resumed session takes the dropped one's place in its room, host role and cameras included.
void LiveRelay::takePlace(Session* from, Session* to)
{
    to->roomId = from->roomId;
    to->host = from->host;
    to->camera = from->camera;
    to->screen = from->screen;
    to->knowsMedia = from->knowsMedia;
    if (!to->roomId)
        return;
    QList<Session*>& members = m_rooms[to->roomId];
    const int at = members.indexOf(from);
    if (at >= 0)
        members[at] = to;
    else
        members.append(to);
}

void LiveRelay::handleEnter(Session* s, const relayrequest::Request& req)
{
    const QByteArray& id = req.rawId;
    const quint32 roomId = req.roomId;
    const bool host = req.op == QLatin1String("createRoom");
    if (host && !s->mayHost) {
        reply(s, id, kNotHost, QStringLiteral("only a teacher may host a room"));
        return;
    }
    if (m_closedRooms.contains(roomId)) {
        reply(s, id, kLiveEnded, roomRefusalText(kLiveEnded, roomId));
        return;
    }
    if (m_access) {
        if (const int refusal = m_access(s->userId, roomId, host ? RoomUse::Host : RoomUse::Join)) {
            reply(s, id, refusal, roomRefusalText(refusal, roomId));
            return;
        }
    }
    if (host && hostTaken(roomId, s)) {
        reply(s, id, kNoPermission, QStringLiteral("room %1 already has a host").arg(roomId));
        return;
    }
    // The host's reply waits for the media room, so it can carry its address and PIN.
    if (host && m_mediaRooms && !(m_media.contains(roomId) && m_media.value(roomId).ready)) {
        m_pendingHosts[roomId].append(PendingHost { s->serial, id });
        if (!m_media.contains(roomId)) {
            m_media.insert(roomId, Media {});
            m_mediaRooms->create(roomId, [this, roomId](const std::optional<MediaRooms::Room>& room) {
                onMediaCreated(roomId, room.has_value(), room ? room->url : QString(),
                    room ? room->videoRoom : 0, room ? room->pin : QString());
            });
        }
        return;
    }
    enterAndReply(s, id, roomId, host);
}

// Rooms that have a host: how a member finds the class it may join.
void LiveRelay::handleRooms(Session* s, const relayrequest::Request& req)
{
    QList<quint32> ids = m_rooms.keys();
    std::sort(ids.begin(), ids.end());
    QJsonArray rooms;
    for (quint32 roomId : ids) {
        const QList<Session*> members = roomMembers(roomId);
        if (m_access && m_access(s->userId, roomId, RoomUse::List) != kOk)
            continue;
        for (Session* m : members) {
            if (m->host) {
                rooms.append(QJsonObject {
                    { "roomId", qint64(roomId) }, { "host", m->userId }, { "members", members.size() } });
                break;
            }
        }
    }
    sendRaw(s, relayop::reply(req.rawId, kOk, QString(), QJsonObject { { "rooms", rooms } }));
}

void LiveRelay::handleQuit(Session* s, const relayrequest::Request& req)
{
    leaveRoom(s);
    reply(s, req.rawId, kOk, QString());
}

void LiveRelay::handleMessage(Session* s, const relayrequest::Request& req)
{
    const QByteArray& id = req.rawId;
    const bool group = req.op == QLatin1String("groupMsg");
    Session* peer = group ? nullptr : m_conns->byUser(req.to);
    if (group && !s->roomId) {
        reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    if (!group && (!peer || peer->dead)) {
        reply(s, id, kPeerUnknown, QStringLiteral("user not online: %1").arg(req.to));
        return;
    }
    const bool sameRoom = group || (s->roomId && peer->roomId == s->roomId);
    // The host speaks as the host in its own room only; anyone else, a teacher too, is a member.
    if (!(s->host && sameRoom)) {
        memberrules::Message m;
        m.sender = s->userId;
        m.route = group ? memberrules::Route::Room : memberrules::Route::Host;
        m.toOwnHost = !group && sameRoom && peer->host;
        m.invited = m_police.invited(s->roomId, s->userId);
        const QString refusal = memberrules::refusal(m, req.elems);
        if (!refusal.isEmpty()) {
            reply(s, id, relayop::kNotPassedOn, refusal);
            return;
        }
    }
    QJsonArray elems = memberrules::withRealName(req.elems, s->name);
    if (!classMessage(s, id, group, &elems))
        return;
    const QByteArray bytes = relayop::msg(s->userId, group, elems);
    if (group) {
        for (Session* m : roomMembers(s->roomId))
            if (m != s)
                sendRaw(m, bytes);
        policeMessage(s, QString(), elems);
    } else {
        sendRaw(peer, bytes);
        if (sameRoom)
            policeMessage(s, req.to, elems);
    }
    reply(s, id, kOk, QString());
}

void LiveRelay::handleEvent(Session* s, const relayrequest::Request& req)
{
    const QByteArray& id = req.rawId;
    const int event = req.event;
    if (!s->roomId) {
        reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    if (!s->host && !memberrules::mayTellEvent(event)) {
        reply(s, id, relayop::kNotPassedOn, QStringLiteral("only the host may tell event %1").arg(event));
        return;
    }
    if (event == kCameraOn || event == kCameraOff)
        s->camera = event == kCameraOn;
    else
        s->screen = event == kScreenOn;
    broadcastEvent(s->roomId, event, s->userId, s);
    reply(s, id, kOk, QString());
}

bool LiveRelay::hostTaken(quint32 roomId, const Session* s) const
{
    for (Session* m : roomMembers(roomId))
        if (m->host && m->userId != s->userId)
            return true;
    return false;
}

void LiveRelay::enterAndReply(Session* s, const QByteArray& id, quint32 roomId, bool host)
{
    if (m_closedRooms.contains(roomId)) { // ended while its media room was being made
        reply(s, id, kLiveEnded, roomRefusalText(kLiveEnded, roomId));
        return;
    }
    const bool entered = joinRoom(s, roomId, host);
    QJsonArray members;
    for (Session* m : roomMembers(s->roomId))
        members.append(m->userId);
    QJsonObject extra { { "members", members } };
    if (m_media.value(roomId).ready) {
        extra.insert("media", mediaObject(roomId, s->userId));
        s->knowsMedia = true;
    }
    sendRaw(s, relayop::reply(id, kOk, QString(), extra));
    // Only after the reply: a client takes no member news for a room it has not entered yet.
    if (entered) {
        tellRoomState(s);
        tellOpenQuestion(s);
    }
    if (m_media.value(roomId).ready)
        tellLiveFeeds(roomId, s);
}

void LiveRelay::closeRoom(quint32 roomId)
{
    m_closedRooms.insert(roomId);
    const QByteArray bytes = relayop::roomClosed(roomId);
    for (Session* m : m_rooms.take(roomId)) {
        sendRaw(m, bytes); // a member held for a resume finds itself in no room when it comes back
        m->roomId = 0;
        m->host = m->camera = m->screen = m->knowsMedia = false;
    }
    m_police.forgetRoom(roomId);
    endMedia(roomId);
}

QList<LiveRelay::Session*> LiveRelay::roomMembers(quint32 roomId) const
{
    return m_rooms.value(roomId);
}

bool LiveRelay::joinRoom(Session* s, quint32 roomId, bool host)
{
    if (s->roomId == roomId) {
        s->host = s->host || host;
        return false;
    }
    leaveRoom(s);
    s->roomId = roomId;
    s->host = host;
    s->camera = s->screen = false;
    m_rooms[roomId].append(s);
    record(classfacts::Kind::Entered, roomId, s->userId);
    if (!m_media.value(roomId).ready) {
        broadcastEvent(roomId, kEntered, s->userId, s);
        return true;
    }
    // The others learn the newcomer's feed ids; members that entered before the room had media
    // learn the whole media room with it.
    const QJsonObject feeds { { "feeds", feedsObject(roomId, { s }) } };
    const QByteArray plain = relayop::memberEvent(kEntered, { s->userId }, feeds);
    for (Session* m : roomMembers(roomId)) {
        if (m == s)
            continue;
        if (m->knowsMedia) {
            sendRaw(m, plain);
        } else {
            QJsonObject full = feeds;
            full.insert("media", mediaObject(roomId, m->userId));
            sendRaw(m, relayop::memberEvent(kEntered, { s->userId }, full));
            m->knowsMedia = true;
        }
    }
    return true;
}

// The newcomer learns whose cameras and screen shares are already on.
void LiveRelay::tellRoomState(Session* s)
{
    QStringList cameras;
    QStringList screens;
    for (Session* m : roomMembers(s->roomId)) {
        if (m == s)
            continue;
        if (m->camera)
            cameras << m->userId;
        if (m->screen)
            screens << m->userId;
    }
    if (!cameras.isEmpty())
        sendRaw(s, relayop::memberEvent(kCameraOn, cameras));
    if (!screens.isEmpty())
        sendRaw(s, relayop::memberEvent(kScreenOn, screens));
}

void LiveRelay::leaveRoom(Session* s)
{
    if (!s->roomId)
        return;
    const quint32 roomId = s->roomId;
    auto it = m_rooms.find(roomId);
    if (it != m_rooms.end()) {
        it->removeAll(s);
        if (it->isEmpty())
            m_rooms.erase(it);
    }
    if (s->camera)
        broadcastEvent(roomId, kCameraOff, s->userId, s);
    if (s->screen)
        broadcastEvent(roomId, kScreenOff, s->userId, s);
    broadcastEvent(roomId, kLeft, s->userId, s);
    classLeave(s, roomId);
    m_police.forgetMember(roomId, s->userId);
    recheckPublishersSoon(roomId);
    s->roomId = 0;
    s->host = s->camera = s->screen = s->knowsMedia = false;
}

void LiveRelay::broadcastEvent(quint32 roomId, int event, const QString& userId, const Session* except)
{
    const QByteArray bytes = relayop::memberEvent(event, { userId });
    for (Session* m : roomMembers(roomId))
        if (m != except)
            sendRaw(m, bytes);
}
