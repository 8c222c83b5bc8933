#include "LiveRelay.h"

#include "MediaRooms.h"
#include "MemberRules.h"

#include "common/UserSig.h"
#include "protocol/CmdMessage.h"
#include "protocol/RelayOps.h"
#include "protocol/RelayRequest.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QTcpServer>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

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

// A member's message the relay does not pass on.
constexpr int kStudentMayNot = 10022;

} // namespace

struct LiveRelay::Session {
    QWebSocket* ws = nullptr;
    QString userId; // empty until signed in
    bool mayHost = false; // signed as a teacher
    quint32 roomId = 0;
    bool host = false;
    bool camera = false;
    bool screen = false;
    bool dead = false; // closing: nothing more is sent or handled
    qint64 queued = 0; // bytes waiting when last sent to
    QByteArray resumeToken; // handed out at sign-in
    quint64 heldSerial = 0; // set while the connection is gone and the place is kept
    quint64 serial = 0; // tells a session from a later one at the same address
    bool knowsMedia = false; // has been told its room's media room
    QPointer<QSslSocket> tls; // under ws when the relay serves WSS
    QString name; // in the school's records, from sign-in
    QHostAddress address; // counted against its limit while not signed in
    bool countedUnsigned = false;

    // What the member has not yet taken. Over TLS most of it waits already encrypted, where the
    // WebSocket's own count does not see it.
    qint64 unsent() const { return ws->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0); }
};

LiveRelay::Seat LiveRelay::seat(const Session* s)
{
    return { s->userId, s->roomId, s->host };
}

LiveRelay::LiveRelay(const QByteArray& secret, QObject* parent)
    : QObject(parent)
    , m_secret(secret)
    , m_now([] { return QDateTime::currentSecsSinceEpoch(); })
{
    makeServer(false);
}

void LiveRelay::makeServer(bool secure)
{
    const int handshakeMs = m_server ? m_server->handshakeTimeoutMS() : 10000;
    delete m_server;
    m_server = new QWebSocketServer(QStringLiteral("lectern-relay"),
        secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    m_server->setHandshakeTimeout(handshakeMs);
    connect(m_server, &QWebSocketServer::newConnection, this, &LiveRelay::onNewConnection);
}

bool LiveRelay::useTls(const QByteArray& certPem, const QByteArray& keyPem, QString* error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty() || key.isNull()) {
        *error = chain.isEmpty() ? QStringLiteral("no certificate the relay can read")
                                 : QStringLiteral("the key is neither RSA nor EC, or is encrypted");
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("no TLS library for the relay (%1)")
                     .arg(QSslSocket::sslLibraryBuildVersionString());
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // students sign in, they bring no certificate
    makeServer(true);
    m_server->setSslConfiguration(config);
    return true;
}

bool LiveRelay::isSecure() const
{
    return m_server->secureMode() == QWebSocketServer::SecureMode;
}

void LiveRelay::setHandshakeTimeout(int ms)
{
    m_server->setHandshakeTimeout(ms);
}

LiveRelay::~LiveRelay()
{
    close();
}

bool LiveRelay::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_server->listen(address, port))
        return true;
    if (!error)
        return false;
    // The WebSocket server does not say why; a plain listen on the same port does.
    QTcpServer probe;
    *error = !probe.listen(address, port) && probe.serverError() == QAbstractSocket::AddressInUseError
        ? QStringLiteral("port in use: %1:%2").arg(address.toString()).arg(port)
        : m_server->errorString();
    return false;
}

quint16 LiveRelay::port() const
{
    return m_server->serverPort();
}

void LiveRelay::close()
{
    m_server->close();
    const auto sessions = m_sessions.values();
    for (Session* s : sessions) {
        s->dead = true;
        s->ws->disconnect(this);
        s->ws->abort();
        s->ws->deleteLater();
        delete s;
    }
    m_sessions.clear();
    qDeleteAll(m_held);
    m_held.clear();
    m_byUser.clear();
    m_rooms.clear();
    m_unsignedByAddress.clear();
}

void LiveRelay::setQueueLimits(qint64 hardLimitBytes, qint64 totalLimitBytes)
{
    m_hardLimit = hardLimitBytes;
    m_totalLimit = totalLimitBytes;
}

void LiveRelay::setMaxIncomingBytes(qint64 bytes)
{
    m_maxIncoming = bytes;
}

void LiveRelay::setClock(std::function<qint64()> nowSecs)
{
    m_now = std::move(nowSecs);
}

int LiveRelay::sessionCount() const
{
    return m_sessions.size();
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

bool LiveRelay::isListening() const
{
    return m_server->isListening();
}

void LiveRelay::onNewConnection()
{
    while (QWebSocket* ws = m_server->nextPendingConnection()) {
        ws->setMaxAllowedIncomingFrameSize(quint64(m_maxIncoming));
        ws->setMaxAllowedIncomingMessageSize(quint64(m_maxIncoming));
        auto* s = new Session;
        s->ws = ws;
        // The WebSocket does not hand out its TLS socket; the server keeps it among its children.
        if (isSecure())
            for (QSslSocket* tls : m_server->findChildren<QSslSocket*>())
                if (tls->peerPort() == ws->peerPort() && tls->peerAddress() == ws->peerAddress())
                    s->tls = tls;
        s->serial = m_nextSessionSerial++;
        m_sessions.insert(ws, s);
        connect(ws, &QWebSocket::textMessageReceived, this, [this, s](const QString& t) { onText(s, t); });
        connect(ws, &QWebSocket::binaryMessageReceived, this, [this, s] { onBinary(s); });
        connect(ws, &QWebSocket::disconnected, this, [this, s] { onClosed(s); });
        if (!admitUnsigned(s)) {
            s->dead = true;
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated,
                QStringLiteral("too many connections not signed in from this address"));
            QTimer::singleShot(1000, ws, [ws] { ws->abort(); }); // one that does not answer the close
            continue;
        }
        QTimer::singleShot(m_signInTimeoutMs, ws, [this, ws] {
            Session* s = m_sessions.value(ws);
            if (!s || s->dead || !s->userId.isEmpty())
                return;
            sendError(s, kNotSignedIn, QStringLiteral("not signed in in time"));
            s->dead = true;
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not signed in in time"));
        });
    }
}

void LiveRelay::onClosed(Session* s)
{
    if (!m_sessions.contains(s->ws))
        return;
    if (m_graceMs > 0 && !s->dead && s->roomId && m_byUser.value(s->userId) == s) {
        hold(s);
        return;
    }
    s->dead = true;
    m_queuedEstimate -= s->queued;
    releaseUnsigned(s);
    leaveRoom(s);
    m_sessions.remove(s->ws);
    if (!s->userId.isEmpty() && m_byUser.value(s->userId) == s)
        m_byUser.remove(s->userId);
    const QString userId = s->userId;
    s->ws->deleteLater();
    delete s;
    if (!userId.isEmpty())
        emit sessionClosed(userId);
}

void LiveRelay::onText(Session* s, const QString& text)
{
    if (s->dead)
        return;
    const QByteArray bytes = text.toUtf8();
    ++m_traffic.messagesIn;
    m_traffic.bytesIn += bytes.size();
    const relayrequest::Request req = relayrequest::parse(bytes);
    if (!req.isObject) {
        sendError(s, req.error, req.desc);
        return;
    }
    const QByteArray& id = req.rawId;
    if (req.op == QLatin1String("login") && !req.error) {
        handleLogin(s, id, req);
        return;
    }
    if (req.op.isEmpty()) { // too long to read, or no op
        reply(s, id, req.error, req.desc);
        return;
    }
    // Answered before sign-in too; it does not put off the sign-in deadline, and what it makes an
    // unsigned connection hold is capped by kUnsignedQueueLimitBytes.
    if (req.op == QLatin1String("ping")) {
        sendRaw(s, relayop::pong(id, req.rawSeq));
        return;
    }
    if (s->userId.isEmpty()) {
        reply(s, id, kNotSignedIn, QStringLiteral("not signed in"));
        return;
    }
    if (req.error) {
        reply(s, id, req.error, req.desc);
        return;
    }
    if (req.op == QLatin1String("createRoom") || req.op == QLatin1String("joinRoom")) {
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
    } else if (req.op == QLatin1String("rooms")) {
        // Rooms that have a host: how a member finds the class it may join.
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
        sendRaw(s, relayop::reply(id, kOk, QString(), QJsonObject { { "rooms", rooms } }));
    } else if (req.op == QLatin1String("quitRoom")) {
        leaveRoom(s);
        reply(s, id, kOk, QString());
    } else if (req.op == QLatin1String("groupMsg") || req.op == QLatin1String("peerMsg")) {
        handleMessage(s, id, req);
    } else if (req.op == QLatin1String("event")) {
        handleEvent(s, id, req.event);
    } else if (req.op == QLatin1String("publish")) {
        handlePublish(s, id, req);
    }
}

void LiveRelay::handleEvent(Session* s, const QByteArray& id, int event)
{
    if (!s->roomId) {
        reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    if (!s->host && !memberrules::mayTellEvent(event)) {
        reply(s, id, kStudentMayNot, QStringLiteral("only the host may tell event %1").arg(event));
        return;
    }
    if (event == kCameraOn || event == kCameraOff)
        s->camera = event == kCameraOn;
    else
        s->screen = event == kScreenOn;
    broadcastEvent(s->roomId, event, s->userId, s);
    reply(s, id, kOk, QString());
}

bool LiveRelay::admitUnsigned(Session* s)
{
    s->address = s->ws->peerAddress();
    int& count = m_unsignedByAddress[s->address];
    if (count >= m_unsignedPerAddress) {
        if (count == 0)
            m_unsignedByAddress.remove(s->address);
        return false;
    }
    ++count;
    s->countedUnsigned = true;
    return true;
}

void LiveRelay::releaseUnsigned(Session* s)
{
    if (!s->countedUnsigned)
        return;
    s->countedUnsigned = false;
    auto it = m_unsignedByAddress.find(s->address);
    if (it != m_unsignedByAddress.end() && --*it <= 0)
        m_unsignedByAddress.erase(it);
}

void LiveRelay::handleLogin(Session* s, const QByteArray& id, const relayrequest::Request& req)
{
    const QString& userId = req.userId;
    const QString& sig = req.userSig;
    if (!s->userId.isEmpty()) {
        reply(s, id, kMalformed, QStringLiteral("already signed in"));
        return;
    }
    if (userId.isEmpty()) {
        reply(s, id, kMalformed, QStringLiteral("malformed request: no userId"));
        return;
    }
    usersig::Role role = usersig::Role::Member;
    const usersig::Check check = usersig::verify(m_secret, sig, userId, m_now(), &role);
    if (check != usersig::Check::Ok) {
        reply(s, id, sigCode(check), QString::fromLatin1(usersig::describe(check)));
        return;
    }
    const bool resumed = resume(s, req);
    // One session per user: the older one is told and closed.
    if (Session* old = resumed ? nullptr : m_byUser.value(userId)) {
        sendRaw(old, relayop::kicked());
        leaveRoom(old);
        m_byUser.remove(userId);
        old->userId.clear();
        old->dead = true;
        old->ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("signed in elsewhere"));
    }
    releaseUnsigned(s);
    s->userId = userId;
    s->mayHost = role == usersig::Role::Host;
    s->name = m_nameOf ? m_nameOf(userId) : QString();
    m_byUser.insert(userId, s);
    if (s->resumeToken.isEmpty())
        s->resumeToken = QByteArray::number(QRandomGenerator::system()->generate64(), 16)
            + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    const QJsonObject extra { { "resume", QString::fromLatin1(s->resumeToken) }, { "resumed", resumed },
        { "roomId", qint64(s->roomId) } };
    sendRaw(s, relayop::reply(id, kOk, QString(), extra));
    // What went live or ended while the connection was gone.
    if (resumed && s->roomId && m_media.value(s->roomId).ready)
        tellLiveFeeds(s->roomId, s);
    emit sessionSignedIn(userId);
}

void LiveRelay::handleMessage(Session* s, const QByteArray& id, const relayrequest::Request& req)
{
    const bool group = req.op == QLatin1String("groupMsg");
    Session* peer = group ? nullptr : m_byUser.value(req.to);
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
            reply(s, id, kStudentMayNot, refusal);
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

// Video frames once came this way; now a binary message is a client that has not learnt of the
// media room. It is told so, and nothing of it goes further.
void LiveRelay::onBinary(Session* s)
{
    if (s->dead)
        return;
    if (s->userId.isEmpty())
        sendError(s, kNotSignedIn, QStringLiteral("not signed in"));
    else
        sendError(
            s, kBadFrame, QStringLiteral("the relay carries no video frames: use the room's media room"));
}

void LiveRelay::reply(Session* s, const QByteArray& id, int code, const QString& desc)
{
    sendRaw(s, relayop::reply(id, code, desc));
}

void LiveRelay::sendError(Session* s, int code, const QString& desc)
{
    sendRaw(s, relayop::error(code, desc));
}

bool LiveRelay::sendRaw(Session* s, const QByteArray& bytes)
{
    if (s->dead)
        return false;
    if (s->unsent() > (s->userId.isEmpty() ? kUnsignedQueueLimitBytes : m_hardLimit)) {
        // A member that reads nothing would hold every message in memory: cut it off instead.
        cutOff(s);
        return false;
    }
    s->ws->sendTextMessage(QString::fromUtf8(bytes));
    ++m_traffic.messagesOut;
    m_traffic.bytesOut += bytes.size();
    const qint64 now = s->unsent();
    m_queuedEstimate += now - s->queued;
    s->queued = now;
    if (m_queuedEstimate > m_totalLimit)
        keepTotalQueueBounded();
    return true;
}

void LiveRelay::cutOff(Session* s)
{
    s->dead = true;
    ++m_membersCutOff;
    m_queuedEstimate -= s->queued;
    s->queued = 0;
    QWebSocket* ws = s->ws;
    QTimer::singleShot(0, ws, [ws] { ws->abort(); });
}

// Many members that read nothing could together hold far more than one may: past the total, the
// members furthest behind go first, until the rest fits.
void LiveRelay::keepTotalQueueBounded()
{
    QList<Session*> live;
    qint64 total = 0;
    for (Session* m : qAsConst(m_sessions)) {
        if (m->dead)
            continue;
        m->queued = m->unsent();
        total += m->queued;
        live << m;
    }
    std::sort(
        live.begin(), live.end(), [](const Session* a, const Session* b) { return a->queued > b->queued; });
    for (Session* m : qAsConst(live)) {
        if (total <= m_totalLimit)
            break;
        total -= m->queued;
        cutOff(m);
    }
    m_queuedEstimate = total;
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

void LiveRelay::setMediaRooms(MediaRooms* rooms)
{
    m_mediaRooms = rooms;
    rooms->setPublisherCheck([this](quint32 roomId, quint64 feedId) { return mayPublish(roomId, feedId); });
    delete m_feedCheck;
    m_feedCheck = new FeedCheck(
        [this](quint32 roomId, quint64 feed) -> std::optional<FeedCheck::Owner> {
            const Media media = m_media.value(roomId);
            for (auto f = media.feeds.constBegin(); f != media.feeds.constEnd(); ++f)
                if (quint64(f->camera) == feed || quint64(f->screen) == feed)
                    return FeedCheck::Owner { f.key(), f->token };
            return std::nullopt;
        },
        [this](quint32 roomId, quint64 session, quint64 handle,
            std::function<void(const FeedCheck::HandleInfo&)> done) {
            m_mediaRooms->handleInfo(roomId, session, handle, [done](const MediaRooms::HandleInfo& i) {
                done(FeedCheck::HandleInfo { i.known, i.token, i.feed });
            });
        },
        [this](quint32 roomId, quint64 feed, std::function<void()> done) {
            m_mediaRooms->kick(roomId, feed, std::move(done));
        },
        this);
    connect(rooms, &MediaRooms::publisherSeen, m_feedCheck, &FeedCheck::seen);
    connect(rooms, &MediaRooms::publisherGone, m_feedCheck, &FeedCheck::gone);
    connect(m_feedCheck, &FeedCheck::liveChanged, this, [this](quint32 roomId) { tellLiveFeeds(roomId); });
    connect(rooms, &MediaRooms::roomsLost, this, [this](const QList<quint32>& roomIds) {
        for (quint32 roomId : roomIds)
            if (m_media.value(roomId).ready)
                forgetMedia(roomId);
    });
}

bool LiveRelay::hasMedia(quint32 roomId) const
{
    return m_media.value(roomId).ready;
}

void LiveRelay::endMedia(quint32 roomId)
{
    if (!m_media.contains(roomId))
        return;
    const bool ready = m_media.value(roomId).ready;
    forgetMedia(roomId);
    m_police.forgetRoom(roomId);
    // One still being made is destroyed when it comes (onMediaCreated no longer wants it).
    if (ready && m_mediaRooms)
        m_mediaRooms->destroy(roomId);
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

void LiveRelay::forgetMedia(quint32 roomId)
{
    m_media.remove(roomId);
    if (m_feedCheck)
        m_feedCheck->forgetRoom(roomId);
    for (Session* m : roomMembers(roomId))
        m->knowsMedia = false;
}

void LiveRelay::onMediaCreated(
    quint32 roomId, bool made, const QString& url, quint64 videoRoom, const QString& pin)
{
    auto it = m_media.find(roomId);
    if (it == m_media.end() || it->ready) {
        if (made && m_mediaRooms)
            m_mediaRooms->destroy(roomId); // the live ended meanwhile
    } else if (made) {
        it->ready = true;
        it->url = url;
        it->videoRoom = videoRoom;
        it->pin = pin;
    } else {
        m_media.erase(it); // no media this time; the host's next entry tries again
    }
    const QList<PendingHost> pending = m_pendingHosts.take(roomId);
    for (const PendingHost& p : pending) {
        Session* s = nullptr;
        for (Session* candidate : qAsConst(m_sessions))
            if (candidate->serial == p.serial)
                s = candidate;
        if (!s || s->dead || s->userId.isEmpty())
            continue;
        if (hostTaken(roomId, s))
            reply(s, p.requestId, kNoPermission, QStringLiteral("room %1 already has a host").arg(roomId));
        else
            enterAndReply(s, p.requestId, roomId, true);
    }
}

LiveRelay::Feeds LiveRelay::feedsOf(quint32 roomId, Media& media, const QString& userId)
{
    auto it = media.feeds.find(userId);
    if (it != media.feeds.end())
        return *it;
    // Random ids below 2^53 stay exact in JavaScript; distinct within the room.
    const auto draw = [&media](qint64 other) {
        for (;;) {
            const qint64 v = qint64(QRandomGenerator::system()->generate64() & ((quint64(1) << 53) - 1));
            if (v == 0 || v == other)
                continue;
            bool used = false;
            for (const Feeds& f : qAsConst(media.feeds))
                used = used || f.camera == v || f.screen == v;
            if (!used)
                return v;
        }
    };
    Feeds f;
    f.camera = draw(0);
    f.screen = draw(f.camera);
    f.token = QString::number(QRandomGenerator::system()->generate64(), 16)
        + QString::number(QRandomGenerator::system()->generate64(), 16);
    media.feeds.insert(userId, f);
    if (m_feedsDrawn)
        m_feedsDrawn(roomId, userId, f.camera, f.screen);
    // Sent to the media server before the member hears of it.
    if (m_mediaRooms)
        m_mediaRooms->allowToken(roomId, f.token);
    return f;
}

bool LiveRelay::mayPublish(quint32 roomId, quint64 feedId) const
{
    const auto media = m_media.constFind(roomId);
    if (media == m_media.constEnd())
        return false;
    for (auto f = media->feeds.constBegin(); f != media->feeds.constEnd(); ++f) {
        if (quint64(f->camera) != feedId && quint64(f->screen) != feedId)
            continue;
        // A member held for a resume keeps its place, and with it its leave to publish.
        for (const Session* m : roomMembers(roomId))
            if (m->userId == f.key())
                return m->host || m_police.onMic(roomId, m->userId);
        return false;
    }
    return false;
}

void LiveRelay::policeMessage(Session* s, const QString& to, const QJsonArray& elems)
{
    const QStringList before = m_record ? onMicNow(s->roomId) : QStringList();
    if (!m_police.observe(s->roomId, s->userId, s->host, to, elems).isEmpty())
        recheckPublishersSoon(s->roomId);
    if (!m_record)
        return;
    const QStringList after = onMicNow(s->roomId);
    for (const QString& userId : after)
        if (!before.contains(userId))
            record(classfacts::Kind::MicOn, s->roomId, userId);
    for (const QString& userId : before)
        if (!after.contains(userId))
            record(classfacts::Kind::MicOff, s->roomId, userId);
}

// An honest client ends its publication itself on hearing the command, and its listeners see the
// feed end cleanly; only what is still published after a moment is removed.
void LiveRelay::recheckPublishersSoon(quint32 roomId)
{
    if (!m_mediaRooms || !m_media.value(roomId).ready)
        return;
    QTimer::singleShot(kPublishGraceMs, this, [this, roomId] {
        if (m_mediaRooms && m_media.value(roomId).ready)
            m_mediaRooms->recheck(roomId);
    });
}

QJsonObject LiveRelay::feedsObject(quint32 roomId, const QList<Session*>& members)
{
    Media& media = m_media[roomId];
    QJsonObject feeds;
    for (const Session* m : members) {
        const Feeds f = feedsOf(roomId, media, m->userId);
        feeds.insert(
            m->userId, QJsonObject { { "camera", double(f.camera) }, { "screen", double(f.screen) } });
    }
    return feeds;
}

QJsonObject LiveRelay::mediaObject(quint32 roomId, const QString& forUser)
{
    const QJsonObject feeds = feedsObject(roomId, roomMembers(roomId));
    const Media& media = m_media[roomId];
    return QJsonObject { { "url", media.url }, { "room", double(media.videoRoom) }, { "pin", media.pin },
        { "token", media.feeds.value(forUser).token }, { "feeds", feeds } };
}

// A member names the media server handle it publishes a feed on; the feed goes live for the room
// once the media server shows that handle is the member's (FeedCheck).
void LiveRelay::handlePublish(Session* s, const QByteArray& id, const relayrequest::Request& req)
{
    if (!s->roomId) {
        reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    if (!m_feedCheck || !m_media.value(s->roomId).ready) {
        reply(s, id, kNoMedia, QStringLiteral("room %1 has no media room").arg(s->roomId));
        return;
    }
    const quint64 serial = s->serial;
    m_feedCheck->claim(
        s->roomId, s->userId, req.mediaSession, req.mediaHandle, req.mediaFeed, [this, serial, id](bool ok) {
            for (Session* m : qAsConst(m_sessions)) {
                if (m->serial != serial)
                    continue;
                if (ok)
                    reply(m, id, kOk, QString());
                else
                    reply(m, id, kNotYours,
                        QStringLiteral("the feed id or the media server handle is not the sender's"));
            }
        });
}

void LiveRelay::tellLiveFeeds(quint32 roomId, Session* only)
{
    const QByteArray bytes = relayop::liveFeeds(m_feedCheck ? m_feedCheck->live(roomId) : QList<quint64>());
    if (only) {
        sendRaw(only, bytes);
        return;
    }
    for (Session* m : roomMembers(roomId))
        sendRaw(m, bytes);
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

// The connection is gone but the member stays in its room, silent, until it resumes or the grace
// period ends: a short network drop shows the others no leave and enter.
void LiveRelay::hold(Session* s)
{
    m_sessions.remove(s->ws);
    s->ws->deleteLater();
    s->ws = nullptr;
    s->dead = true;
    m_queuedEstimate -= s->queued; // what the gone connection held is gone with it
    s->queued = 0;
    s->heldSerial = m_nextSerial++;
    m_held.insert(s->heldSerial, s);
    const quint64 serial = s->heldSerial;
    QTimer::singleShot(m_graceMs, this, [this, serial] {
        if (Session* held = m_held.value(serial))
            endHeld(held);
    });
}

// A sign-in that names the resume token of its user's session takes that session's place: held
// after a drop, or still open where the relay has not yet noticed the old connection go silent.
// Any other sign-in of that user ends a held session first.
bool LiveRelay::resume(Session* s, const relayrequest::Request& req)
{
    Session* old = m_byUser.value(req.userId);
    if (!old)
        return false;
    if (req.resume.isEmpty() || req.resume.toLatin1() != old->resumeToken) {
        if (old->heldSerial)
            endHeld(old);
        return false;
    }
    if (old->heldSerial) {
        m_held.remove(old->heldSerial);
    } else {
        m_sessions.remove(old->ws);
        old->dead = true;
        old->ws->disconnect(this);
        old->ws->abort();
        old->ws->deleteLater();
    }
    s->roomId = old->roomId;
    s->host = old->host;
    s->camera = old->camera;
    s->screen = old->screen;
    s->knowsMedia = old->knowsMedia;
    s->resumeToken = old->resumeToken;
    if (s->roomId) {
        QList<Session*>& members = m_rooms[s->roomId];
        const int at = members.indexOf(old);
        if (at >= 0)
            members[at] = s;
        else
            members.append(s);
    }
    m_byUser.remove(req.userId);
    delete old;
    return true;
}

void LiveRelay::endHeld(Session* s)
{
    m_held.remove(s->heldSerial);
    leaveRoom(s);
    if (m_byUser.value(s->userId) == s)
        m_byUser.remove(s->userId);
    const QString userId = s->userId;
    delete s;
    emit sessionClosed(userId);
}
