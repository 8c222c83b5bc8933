#include "LiveRelay.h"

#include "common/UserSig.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtEndian>

#include <algorithm>

namespace {

// Result codes shared with the client; server/PROTOCOL.md lists them.
enum Code {
    kOk = 0,
    kMalformed = 4000,
    kUnknownOp = 4001,
    kBadFrame = 4002,
    kNotSignedIn = 8001,
    kNotHost = 10004,
    kNotInRoom = 10010,
    kNoPermission = 10021,
    kPeerUnknown = 20003,
    kSigMalformed = 70002,
    kSigBad = 70003,
    kSigExpired = 70001,
    kSigWrongUser = 70013,
    kKicked = 70030,
};

const int kFrameHeaderSize = 24;
const quint32 kMaxFrameSide = 8192;
const quint64 kMaxIncomingMessage = 16 << 20;
// Chat and commands are small; a bigger text would be copied into every member's queue.
const int kMaxTextMessage = 64 << 10;

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

// A message element as the relay passes it on; anything else makes the message malformed.
bool cleanElems(const QJsonValue& value, QJsonArray* out)
{
    if (!value.isArray() || value.toArray().isEmpty())
        return false;
    for (const QJsonValue& v : value.toArray()) {
        if (!v.isObject())
            return false;
        const QJsonObject e = v.toObject();
        const int type = e.value("type").toInt(-1);
        if (type == 0 && e.value("text").isString()) {
            out->append(QJsonObject { { "type", 0 }, { "text", e.value("text") } });
        } else if (type == 1 && e.value("data").isString()) {
            const QJsonValue ext = e.value("ext");
            if (!ext.isUndefined() && !ext.isString())
                return false;
            out->append(
                QJsonObject { { "type", 1 }, { "data", e.value("data") }, { "ext", ext.toString() } });
        } else {
            return false;
        }
    }
    return true;
}

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
};

LiveRelay::LiveRelay(const QByteArray& secret, QObject* parent)
    : QObject(parent)
    , m_secret(secret)
    , m_server(new QWebSocketServer(QStringLiteral("lectern-relay"), QWebSocketServer::NonSecureMode, this))
    , m_now([] { return QDateTime::currentSecsSinceEpoch(); })
{
    connect(m_server, &QWebSocketServer::newConnection, this, &LiveRelay::onNewConnection);
}

LiveRelay::~LiveRelay()
{
    close();
}

bool LiveRelay::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_server->listen(address, port))
        return true;
    if (error)
        *error = m_server->errorString();
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
    m_byUser.clear();
    m_rooms.clear();
}

void LiveRelay::setQueueLimits(qint64 frameBudgetBytes, qint64 hardLimitBytes)
{
    m_frameBudget = frameBudgetBytes;
    m_hardLimit = hardLimitBytes;
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

void LiveRelay::onNewConnection()
{
    while (QWebSocket* ws = m_server->nextPendingConnection()) {
        ws->setMaxAllowedIncomingMessageSize(kMaxIncomingMessage);
        auto* s = new Session;
        s->ws = ws;
        m_sessions.insert(ws, s);
        connect(ws, &QWebSocket::textMessageReceived, this, [this, s](const QString& t) { onText(s, t); });
        connect(
            ws, &QWebSocket::binaryMessageReceived, this, [this, s](const QByteArray& b) { onBinary(s, b); });
        connect(ws, &QWebSocket::disconnected, this, [this, s] { onClosed(s); });
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
    s->dead = true;
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
    const QByteArray utf8 = text.toUtf8();
    QJsonParseError perr;
    const QJsonDocument doc = QJsonDocument::fromJson(utf8, &perr);
    if (perr.error != QJsonParseError::NoError || !doc.isObject()) {
        sendError(s, kMalformed, QStringLiteral("malformed request: not a JSON object"));
        return;
    }
    const QJsonObject req = doc.object();
    const QString op = req.value("op").toString();
    const int id = req.value("id").toInt(0);
    if (utf8.size() > kMaxTextMessage) {
        reply(s, id, kMalformed, QStringLiteral("malformed request: over %1 bytes").arg(kMaxTextMessage));
        return;
    }
    if (op.isEmpty()) {
        reply(s, id, kMalformed, QStringLiteral("malformed request: no op"));
        return;
    }
    if (op == QLatin1String("login")) {
        handleLogin(s, id, req);
        return;
    }
    if (s->userId.isEmpty()) {
        reply(s, id, kNotSignedIn, QStringLiteral("not signed in"));
        return;
    }
    if (op == QLatin1String("createRoom") || op == QLatin1String("joinRoom")) {
        const qint64 roomId = req.value("roomId").toVariant().toLongLong();
        if (roomId <= 0 || roomId > 0xFFFFFFFFLL) {
            reply(s, id, kMalformed, QStringLiteral("malformed request: bad roomId"));
            return;
        }
        const bool host = op == QLatin1String("createRoom");
        if (host && !s->mayHost) {
            reply(s, id, kNotHost, QStringLiteral("only a teacher may host a room"));
            return;
        }
        if (host) {
            for (Session* m : roomMembers(quint32(roomId))) {
                if (m->host && m->userId != s->userId) {
                    reply(s, id, kNoPermission, QStringLiteral("room %1 already has a host").arg(roomId));
                    return;
                }
            }
        }
        const bool entered = joinRoom(s, quint32(roomId), host);
        QJsonArray members;
        for (Session* m : roomMembers(s->roomId))
            members.append(m->userId);
        sendJson(s,
            QJsonObject {
                { "op", "reply" }, { "id", id }, { "code", kOk }, { "desc", "" }, { "members", members } });
        // Only after the reply: a client takes no member news for a room it has not entered yet.
        if (entered)
            tellRoomState(s);
    } else if (op == QLatin1String("rooms")) {
        // Rooms that have a host: how a member finds the class it may join.
        QList<quint32> ids = m_rooms.keys();
        std::sort(ids.begin(), ids.end());
        QJsonArray rooms;
        for (quint32 roomId : ids) {
            const QList<Session*> members = roomMembers(roomId);
            for (Session* m : members) {
                if (m->host) {
                    rooms.append(QJsonObject {
                        { "roomId", qint64(roomId) }, { "host", m->userId }, { "members", members.size() } });
                    break;
                }
            }
        }
        sendJson(s,
            QJsonObject {
                { "op", "reply" }, { "id", id }, { "code", kOk }, { "desc", "" }, { "rooms", rooms } });
    } else if (op == QLatin1String("quitRoom")) {
        leaveRoom(s);
        reply(s, id, kOk, QString());
    } else if (op == QLatin1String("groupMsg")) {
        handleMessage(s, id, req, true);
    } else if (op == QLatin1String("peerMsg")) {
        handleMessage(s, id, req, false);
    } else if (op == QLatin1String("event")) {
        const int event = req.value("event").toInt(-1);
        if (event != 3 && event != 4 && event != 7 && event != 8) {
            reply(s, id, kMalformed, QStringLiteral("malformed request: bad event"));
            return;
        }
        if (!s->roomId) {
            reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
            return;
        }
        if (event == 3 || event == 4)
            s->camera = event == 3;
        else
            s->screen = event == 7;
        broadcastEvent(s->roomId, event, s->userId, s);
        reply(s, id, kOk, QString());
    } else {
        reply(s, id, kUnknownOp, QStringLiteral("unknown op: %1").arg(op));
    }
}

void LiveRelay::handleLogin(Session* s, int id, const QJsonObject& req)
{
    const QString userId = req.value("userId").toString();
    const QString sig = req.value("userSig").toString();
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
    // One session per user: the older one is told and closed.
    if (Session* old = m_byUser.value(userId)) {
        sendJson(
            old, QJsonObject { { "op", "kicked" }, { "code", kKicked }, { "desc", "signed in elsewhere" } });
        leaveRoom(old);
        m_byUser.remove(userId);
        old->userId.clear();
        old->dead = true;
        old->ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("signed in elsewhere"));
    }
    s->userId = userId;
    s->mayHost = role == usersig::Role::Host;
    m_byUser.insert(userId, s);
    reply(s, id, kOk, QString());
    emit sessionSignedIn(userId);
}

void LiveRelay::handleMessage(Session* s, int id, const QJsonObject& req, bool group)
{
    QJsonArray elems;
    if (!cleanElems(req.value("elems"), &elems)) {
        reply(s, id, kMalformed, QStringLiteral("malformed request: bad elems"));
        return;
    }
    QJsonObject out { { "op", "msg" }, { "sender", s->userId }, { "group", group }, { "elems", elems } };
    const QByteArray bytes = QJsonDocument(out).toJson(QJsonDocument::Compact);
    if (group) {
        if (!s->roomId) {
            reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
            return;
        }
        for (Session* m : roomMembers(s->roomId))
            if (m != s)
                sendRaw(m, bytes, true, false);
    } else {
        const QString to = req.value("to").toString();
        Session* peer = m_byUser.value(to);
        if (!peer || peer->dead) {
            reply(s, id, kPeerUnknown, QStringLiteral("user not online: %1").arg(to));
            return;
        }
        sendRaw(peer, bytes, true, false);
    }
    reply(s, id, kOk, QString());
}

void LiveRelay::onBinary(Session* s, const QByteArray& data)
{
    if (s->dead)
        return;
    if (s->userId.isEmpty()) {
        sendError(s, kNotSignedIn, QStringLiteral("not signed in"));
        return;
    }
    if (!s->roomId) {
        sendError(s, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    if (data.size() <= kFrameHeaderSize || p[0] != 'L' || p[1] != 'V' || p[2] != 1) {
        sendError(s, kBadFrame, QStringLiteral("malformed frame"));
        return;
    }
    const int format = p[4];
    const int idLen = p[5];
    const quint32 width = qFromBigEndian<quint32>(p + 8);
    const quint32 height = qFromBigEndian<quint32>(p + 12);
    const qint64 payload = data.size() - kFrameHeaderSize - idLen;
    const bool sizeOk = width > 0 && height > 0 && width <= kMaxFrameSide && height <= kMaxFrameSide
        && payload > 0 && (format == 1 || (format == 2 && payload == qint64(width) * height * 4));
    if ((p[3] != 1 && p[3] != 2) || (format != 1 && format != 2) || !sizeOk) {
        sendError(s, kBadFrame, QStringLiteral("malformed frame"));
        return;
    }
    // Whose frame it is comes from the session, never from the sender's header.
    const QByteArray id = s->userId.toUtf8().left(255);
    QByteArray out;
    out.reserve(kFrameHeaderSize + id.size() + int(payload));
    out.append(data.constData(), kFrameHeaderSize);
    out[5] = char(id.size());
    out.append(id);
    out.append(data.constData() + kFrameHeaderSize + idLen, int(payload));
    for (Session* m : roomMembers(s->roomId)) {
        if (m == s)
            continue;
        if (sendRaw(m, out, false, true))
            ++m_framesForwarded;
        else
            ++m_framesDropped;
    }
}

void LiveRelay::reply(Session* s, int id, int code, const QString& desc)
{
    sendJson(s, QJsonObject { { "op", "reply" }, { "id", id }, { "code", code }, { "desc", desc } });
}

void LiveRelay::sendError(Session* s, int code, const QString& desc)
{
    sendJson(s, QJsonObject { { "op", "error" }, { "code", code }, { "desc", desc } });
}

void LiveRelay::sendJson(Session* s, const QJsonObject& obj)
{
    sendRaw(s, QJsonDocument(obj).toJson(QJsonDocument::Compact), true, false);
}

bool LiveRelay::sendRaw(Session* s, const QByteArray& bytes, bool text, bool droppable)
{
    if (s->dead)
        return false;
    const qint64 queued = s->ws->bytesToWrite();
    if (droppable && queued > m_frameBudget)
        return false;
    if (!droppable && queued > m_hardLimit) {
        // A member that reads nothing would hold every message in memory: cut it off instead.
        s->dead = true;
        QWebSocket* ws = s->ws;
        QTimer::singleShot(0, ws, [ws] { ws->abort(); });
        return false;
    }
    if (text)
        s->ws->sendTextMessage(QString::fromUtf8(bytes));
    else
        s->ws->sendBinaryMessage(bytes);
    return true;
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
    broadcastEvent(roomId, 1, s->userId, s);
    m_rooms[roomId].append(s);
    return true;
}

// The newcomer learns whose cameras and screen shares are already on.
void LiveRelay::tellRoomState(Session* s)
{
    QJsonArray cameras;
    QJsonArray screens;
    for (Session* m : roomMembers(s->roomId)) {
        if (m == s)
            continue;
        if (m->camera)
            cameras.append(m->userId);
        if (m->screen)
            screens.append(m->userId);
    }
    if (!cameras.isEmpty())
        sendJson(s, QJsonObject { { "op", "memberEvent" }, { "event", 3 }, { "ids", cameras } });
    if (!screens.isEmpty())
        sendJson(s, QJsonObject { { "op", "memberEvent" }, { "event", 7 }, { "ids", screens } });
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
        broadcastEvent(roomId, 4, s->userId, s);
    if (s->screen)
        broadcastEvent(roomId, 8, s->userId, s);
    broadcastEvent(roomId, 2, s->userId, s);
    s->roomId = 0;
    s->host = s->camera = s->screen = false;
}

void LiveRelay::broadcastEvent(quint32 roomId, int event, const QString& userId, const Session* except)
{
    const QByteArray bytes = QJsonDocument(
        QJsonObject { { "op", "memberEvent" }, { "event", event }, { "ids", QJsonArray { userId } } })
                                 .toJson(QJsonDocument::Compact);
    for (Session* m : roomMembers(roomId))
        if (m != except)
            sendRaw(m, bytes, true, false);
}
