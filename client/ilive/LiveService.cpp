#include "LiveService.h"

#include "media/LiveMedia.h"
#include "lectern_config.h"
#include "protocol/RelayOps.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

namespace {

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

QString fromIlive(const ilive::String& s)
{
    return QString::fromUtf8(s.c_str(), int(s.size()));
}

ilive::String toIlive(const QString& s)
{
    const QByteArray utf8 = s.toUtf8();
    return ilive::String(utf8.constData(), size_t(utf8.size()));
}

} // namespace

QUrl LiveService::s_defaultUrl;

LiveService::LiveService(QObject* parent)
    : QObject(parent)
    , m_url(s_defaultUrl.isValid() ? s_defaultUrl : QUrl(QStringLiteral(LECTERN_LIVE_URL)))
    , m_timeoutTimer(new QTimer(this))
    , m_media(new LiveMedia(this))
    , m_shareTimer(new QTimer(this))
{
    connect(m_media, &LiveMedia::localFrame, this, [this](const media::VideoFrame& frame) {
        if (m_cameraOn)
            deliverFrame(m_userId, ilive::VIDEO_SRC_TYPE_CAMERA, frame, true);
    });
    connect(m_media, &LiveMedia::remoteFrame, this,
        [this](const QString& user, int source, const media::VideoFrame& frame) {
            if (m_inRoom)
                deliverFrame(user, ilive::E_VideoSrc(source), frame, false);
        });
    watchDevices();
    m_pingTimer = new QTimer(this);
    m_pingTimer->setInterval(m_pingIntervalMs);
    connect(m_pingTimer, &QTimer::timeout, this, &LiveService::ping);
    m_retryTimer = new QTimer(this);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &LiveService::tryReconnect);
    m_timeoutTimer->setInterval(250);
    connect(m_timeoutTimer, &QTimer::timeout, this, &LiveService::checkTimeouts);
    m_media->setClaim([this](quint64 session, quint64 handle, quint64 feed, std::function<void()> done) {
        const int id = request(
            relayop::publish(session, handle, feed), nullptr,
            [](int code, const char* desc, void*) {
                qWarning() << "live relay refused our media handle:" << code << desc;
            },
            nullptr);
        if (id)
            m_pending[id].then = std::move(done);
        else
            done();
    });
    m_shareTimer->setTimerType(Qt::PreciseTimer);
    connect(m_shareTimer, &QTimer::timeout, this, &LiveService::grabScreen);
}

LiveService::~LiveService()
{
    release();
}

void LiveService::setDefaultUrl(const QUrl& url)
{
    s_defaultUrl = url;
}

bool LiveService::isSignedIn() const
{
    return m_signedIn && m_ws;
}

void LiveService::setMessageCallBack(ilive::iLiveMessageListener listener, void* data)
{
    m_messageListener = listener;
    m_messageData = data;
}

void LiveService::setForceOfflineCallback(ilive::iLiveForceOfflineListener listener)
{
    m_forceOffline = listener;
}

void LiveService::setRemoteVideoCallBack(ilive::iLivePreviewListener listener, void* data)
{
    m_remoteVideo = listener;
    m_remoteVideoData = data;
}

void LiveService::setLocalVideoCallBack(ilive::iLivePreviewListener listener, void* data)
{
    m_localVideo = listener;
    m_localVideoData = data;
}

void LiveService::setDeviceOperationCallback(ilive::iLiveDeviceOperationListener listener, void* data)
{
    m_deviceListener = listener;
    m_deviceData = data;
}

void LiveService::setVideoColorFormat(ilive::E_ColorFormat format)
{
    m_colorFormat = format == ilive::COLOR_FORMAT_I420 ? ilive::COLOR_FORMAT_I420 : ilive::COLOR_FORMAT_RGB32;
    m_media->setI420(m_colorFormat == ilive::COLOR_FORMAT_I420);
}

int LiveService::init(int appId, int accountType, bool)
{
    if (appId <= 0 || accountType < 0)
        return kBadArgument;
    m_initialised = true;
    return kOk;
}

void LiveService::release()
{
    closeScreenShare();
    closeCameraNow();
    closeMic();
    closePlayer();
    dropSocket();
    m_initialised = false;
}

// ---- session ---------------------------------------------------------------------------------

void LiveService::login(const char* userId, const char* userSig, ilive::iLiveSucCallback suc,
    ilive::iLiveErrCallback err, void* data)
{
    if (!m_initialised) {
        failLater(err, kNotInitialised, QStringLiteral("the live service is not initialised"), data);
        return;
    }
    const QString user = QString::fromUtf8(userId ? userId : "");
    if (user.isEmpty()) {
        failLater(err, kBadArgument, QStringLiteral("empty user id"), data);
        return;
    }
    dropSocket();
    m_resumeToken.clear();
    m_pendingUser = user;
    m_pendingSig = QString::fromUtf8(userSig ? userSig : "");
    m_loginId = m_nextId++;
    Pending p;
    p.suc = suc;
    p.err = err;
    p.data = data;
    p.op = QStringLiteral("login");
    p.deadlineMs = monotonicMs() + m_timeoutMs;
    m_pending.insert(m_loginId, p);
    m_timeoutTimer->start();
    openSocket();
}

void LiveService::logout(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback, void* data)
{
    dropSocket();
    m_userId.clear();
    if (suc)
        QTimer::singleShot(0, this, [suc, data] { suc(data); });
}

void LiveService::openSocket()
{
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QWebSocket* ws = m_ws;
    ws->setMaxAllowedIncomingMessageSize(32 << 20);
    connect(ws, &QWebSocket::connected, this, [this, ws] {
        if (ws == m_ws)
            onConnected();
    });
    connect(ws, &QWebSocket::disconnected, this, [this, ws] {
        if (ws == m_ws)
            onDisconnected();
    });
    connect(ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [this, ws] {
        if (ws == m_ws && ws->state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
    connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString& t) {
        if (ws != m_ws)
            return;
        m_lastHeardMs = monotonicMs();
        onText(t);
    });
    connect(ws, &QWebSocket::pong, this, [this, ws] {
        if (ws == m_ws)
            m_lastHeardMs = monotonicMs();
    });
    ws->open(m_url);
}

void LiveService::dropSocket()
{
    if (m_ws) {
        QWebSocket* ws = m_ws;
        m_ws = nullptr;
        ws->disconnect(this);
        ws->close();
        ws->deleteLater();
    }
    m_signedIn = false;
    m_inRoom = false;
    m_media->leaveRoom();
    m_kicked = false;
    m_reconnecting = false;
    m_resumeRoom = 0;
    m_retryTimer->stop();
    m_pingTimer->stop();
    // Later, not inside login() or logout(): a failure callback may well sign in again.
    const QHash<int, Pending> pending = m_pending;
    m_pending.clear();
    for (const Pending& p : pending)
        failLater(p.err, kNotSignedIn, QStringLiteral("signed out of the live service"), p.data);
}

void LiveService::onConnected()
{
    m_lastHeardMs = monotonicMs();
    m_pingTimer->start();
    const QString resume = m_reconnecting ? m_resumeToken : QString();
    m_ws->sendTextMessage(
        QString::fromUtf8(relayop::request(relayop::login(m_pendingUser, m_pendingSig, resume), m_loginId)));
}

void LiveService::onDisconnected()
{
    QWebSocket* ws = m_ws;
    m_ws = nullptr;
    ws->disconnect(this);
    ws->deleteLater();
    m_pingTimer->stop();
    const bool wasSignedIn = m_signedIn;
    const bool wasInRoom = m_inRoom;
    const bool kicked = m_kicked;
    m_signedIn = m_inRoom = m_kicked = false;
    const bool keep = !kicked && m_graceMs > 0 && (wasSignedIn || m_reconnecting);
    if (wasSignedIn)
        failAllPending(kNotSignedIn, QStringLiteral("connection to the live service lost"));
    else
        failAllPending(
            kUnreachable, QStringLiteral("cannot reach the live service: %1").arg(ws->errorString()));
    if (kicked) {
        qDebug() << "live session ended: signed in elsewhere";
        if (m_forceOffline)
            m_forceOffline();
        return;
    }
    if (keep) {
        if (!m_reconnecting)
            startReconnect(wasInRoom ? m_roomId : 0);
        else
            m_retryTimer->start(500);
        return;
    }
    if (m_reconnecting) {
        giveUpReconnect();
        return;
    }
    m_media->leaveRoom();
    if (wasInRoom && m_roomDisconnect)
        m_roomDisconnect(kNotSignedIn, "connection to the live service lost", m_roomData);
}

void LiveService::onText(const QString& text)
{
    const relayop::Push push = relayop::readPush(text.toUtf8());
    switch (push.kind) {
    case relayop::Push::Invalid:
        qWarning() << "live relay sent something that is not a JSON object";
        break;
    case relayop::Push::Reply:
        onReply(push);
        break;
    case relayop::Push::Msg:
        onMessage(push);
        break;
    case relayop::Push::MemberEvent:
        if (push.event == ilive::EVENT_ID_ENDPOINT_ENTER && m_inRoom)
            m_media->addFeeds(LiveMedia::parseFeeds(push.object.value("feeds").toObject()));
        onMemberEvent(push.event, push.ids);
        break;
    case relayop::Push::Kicked:
        // The relay closes the connection right after; the listener runs then.
        m_kicked = true;
        break;
    case relayop::Push::RoomClosed:
        // Ending the class is the host's own doing; the window leaves the room as it always did.
        qInfo() << "live relay closed room" << push.roomId << push.desc;
        break;
    case relayop::Push::Error:
        qWarning() << "live relay error" << push.code << push.desc;
        break;
    case relayop::Push::Other:
        // Feeds the relay vouches for (from a relay that hands out media tokens).
        if (push.object.value("op").toString() == QLatin1String("feeds") && m_inRoom)
            m_media->setLiveFeeds(relayop::readLiveFeeds(push.object));
        break;
    }
}

void LiveService::onReply(const relayop::Push& push)
{
    const int id = push.id;
    const int code = push.code;
    if (!m_pending.contains(id))
        return;
    const Pending p = m_pending.take(id);
    const QByteArray descUtf8 = push.desc.toUtf8();
    if (p.op == QLatin1String("login") && m_reconnecting) {
        if (code == kOk) {
            reconnected(push.object);
        } else {
            qWarning().noquote() << "live relay refused to resume the session:" << code << push.desc;
            giveUpReconnect();
        }
        return;
    }
    if (p.op == QLatin1String("login")) {
        if (code == kOk) {
            m_signedIn = true;
            m_userId = m_pendingUser;
            m_resumeToken = push.object.value("resume").toString();
        } else {
            // A refused session is of no further use; nobody needs to hear that it closes.
            QWebSocket* ws = m_ws;
            m_ws = nullptr;
            if (ws) {
                ws->disconnect(this);
                ws->close();
                ws->deleteLater();
            }
        }
    } else if ((p.op == QLatin1String("createRoom") || p.op == QLatin1String("joinRoom")) && code == kOk) {
        enteredRoom(p.roomId);
        enteredMedia(push.object);
    }
    if (code == kOk) {
        if (p.suc)
            p.suc(p.data);
    } else if (p.err) {
        p.err(code, descUtf8.constData(), p.data);
    }
    if (p.then)
        p.then();
}

void LiveService::checkTimeouts()
{
    const qint64 now = monotonicMs();
    QList<int> expired;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->deadlineMs <= now)
            expired << it.key();
    for (int id : expired) {
        const Pending p = m_pending.take(id);
        if (p.op == QLatin1String("login")) {
            QWebSocket* ws = m_ws;
            m_ws = nullptr;
            if (ws) {
                ws->disconnect(this);
                ws->abort();
                ws->deleteLater();
            }
            m_pingTimer->stop();
            if (m_reconnecting)
                m_retryTimer->start(500);
        }
        if (p.err)
            p.err(kTimeout, "the live service did not answer in time", p.data);
        if (p.then)
            p.then();
    }
    if (m_pending.isEmpty())
        m_timeoutTimer->stop();
}

int LiveService::request(
    const QJsonObject& req, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data)
{
    if (!isSignedIn()) {
        failLater(err, kNotSignedIn, QStringLiteral("not signed in to the live service"), data);
        return 0;
    }
    const int id = m_nextId++;
    Pending p;
    p.suc = suc;
    p.err = err;
    p.data = data;
    p.op = req.value("op").toString();
    p.deadlineMs = monotonicMs() + m_timeoutMs;
    p.roomId = quint32(req.value("roomId").toVariant().toLongLong());
    m_pending.insert(id, p);
    m_timeoutTimer->start();
    m_ws->sendTextMessage(QString::fromUtf8(relayop::request(req, id)));
    return id;
}

void LiveService::failLater(ilive::iLiveErrCallback err, int code, const QString& desc, void* data)
{
    if (!err)
        return;
    const QByteArray text = desc.toUtf8();
    QTimer::singleShot(0, this, [err, code, text, data] { err(code, text.constData(), data); });
}

void LiveService::failAllPending(int code, const QString& desc)
{
    const QHash<int, Pending> pending = m_pending;
    m_pending.clear();
    const QByteArray text = desc.toUtf8();
    for (const Pending& p : pending) {
        if (p.err)
            p.err(code, text.constData(), p.data);
        if (p.then)
            p.then();
    }
}

// ---- keeping the session through drops ------------------------------------------------------

void LiveService::setPingIntervalMs(int ms)
{
    m_pingIntervalMs = qMax(50, ms);
    m_pingTimer->setInterval(m_pingIntervalMs);
}

void LiveService::ping()
{
    if (!m_ws || m_ws->state() != QAbstractSocket::ConnectedState)
        return;
    // A connection that went silent (a cable pulled, a frozen relay) never reports a close by itself.
    if (monotonicMs() - m_lastHeardMs > 3 * m_pingIntervalMs) {
        qWarning() << "live relay silent for" << monotonicMs() - m_lastHeardMs << "ms: connection dropped";
        m_ws->disconnect(this);
        m_ws->abort();
        onDisconnected();
        return;
    }
    m_ws->ping();
}

void LiveService::startReconnect(quint32 roomId)
{
    qWarning() << "connection to the live relay lost; reconnecting for up to" << m_graceMs << "ms";
    m_reconnecting = true;
    m_dropMs = monotonicMs();
    m_resumeRoom = roomId;
    tryReconnect();
}

void LiveService::tryReconnect()
{
    if (!m_reconnecting || m_ws)
        return;
    if (monotonicMs() - m_dropMs >= m_graceMs) {
        giveUpReconnect();
        return;
    }
    m_pendingUser = m_userId;
    m_loginId = m_nextId++;
    Pending p;
    p.op = QStringLiteral("login");
    p.deadlineMs = monotonicMs() + qMin(m_timeoutMs, 3000);
    m_pending.insert(m_loginId, p);
    m_timeoutTimer->start();
    openSocket();
}

void LiveService::reconnected(const QJsonObject& reply)
{
    m_signedIn = true;
    m_resumeToken = reply.value("resume").toString(m_resumeToken);
    const bool resumed = reply.value("resumed").toBool();
    const quint32 heldRoom = quint32(reply.value("roomId").toVariant().toLongLong());
    const quint32 room = m_resumeRoom;
    m_reconnecting = false;
    m_resumeRoom = 0;
    ++m_reconnects;
    qDebug() << "live session back after" << monotonicMs() - m_dropMs << "ms, resumed:" << resumed;
    if (resumed && heldRoom == room) {
        if (room) {
            m_inRoom = true;
            m_roomId = room;
        }
        return;
    }
    if (heldRoom) // kept for a room that was left meanwhile
        request(relayop::quitRoom(), nullptr, nullptr, nullptr);
    if (!room)
        return;
    // The relay forgot us (it restarted, or the place expired): enter the same room again quietly.
    m_roomId = room;
    m_reconnecting = true;
    m_resumeRoom = room;
    const QJsonObject enter = m_roomHost ? relayop::createRoom(room, m_roomRole) : relayop::joinRoom(room);
    request(enter, &LiveService::onRejoined, &LiveService::onRejoinFailed, this);
}

void LiveService::onRejoined(void* self)
{
    auto* service = static_cast<LiveService*>(self);
    service->m_reconnecting = false;
    service->m_resumeRoom = 0;
}

void LiveService::onRejoinFailed(int code, const char* desc, void* self)
{
    auto* service = static_cast<LiveService*>(self);
    if (!service->m_ws) // dropped again on the way back in: the next attempt goes on
        return;
    qWarning() << "could not enter the room again after a drop:" << code << desc;
    if (service->m_reconnecting)
        service->giveUpReconnect();
}

void LiveService::giveUpReconnect()
{
    const quint32 room = m_resumeRoom;
    m_reconnecting = false;
    m_resumeRoom = 0;
    m_retryTimer->stop();
    m_pingTimer->stop();
    m_inRoom = false;
    m_signedIn = false;
    m_media->leaveRoom();
    if (m_ws) {
        QWebSocket* ws = m_ws;
        m_ws = nullptr;
        ws->disconnect(this);
        ws->abort();
        ws->deleteLater();
    }
    failAllPending(kNotSignedIn, QStringLiteral("connection to the live service lost"));
    qWarning() << "live relay unreachable for" << monotonicMs() - m_dropMs << "ms: giving up";
    if (room && m_roomDisconnect)
        m_roomDisconnect(kNotSignedIn, "connection to the live service lost", m_roomData);
}

// ---- rooms and messages ----------------------------------------------------------------------

void LiveService::createRoom(const ilive::iLiveRoomOption& option, ilive::iLiveSucCallback suc,
    ilive::iLiveErrCallback err, void* data)
{
    if (option.roomId == 0) {
        failLater(err, kBadArgument, QStringLiteral("room number 0"), data);
        return;
    }
    m_roomDisconnect = option.roomDisconnectListener;
    m_memberStatus = option.memberStatusListener;
    m_roomData = option.data;
    m_roomHost = true;
    m_roomRole = fromIlive(option.controlRole);
    request(relayop::createRoom(option.roomId, fromIlive(option.controlRole)), suc, err, data);
}

void LiveService::joinRoom(uint32_t roomId, ilive::iLiveRoomDisconnectListener disconnectListener,
    ilive::iLiveMemStatusListener memberListener, void* listenerData, ilive::iLiveSucCallback suc,
    ilive::iLiveErrCallback err, void* data)
{
    if (roomId == 0) {
        failLater(err, kBadArgument, QStringLiteral("room number 0"), data);
        return;
    }
    m_roomDisconnect = disconnectListener;
    m_memberStatus = memberListener;
    m_roomData = listenerData;
    m_roomHost = false;
    request(relayop::joinRoom(roomId), suc, err, data);
}

void LiveService::enteredRoom(quint32 roomId)
{
    m_inRoom = true;
    m_roomId = roomId;
    if (m_cameraOn) {
        announce(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO);
        onMemberEvent(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { m_userId });
    }
    if (m_shareOn)
        announce(ilive::EVENT_ID_ENDPOINT_HAS_SCREEN_VIDEO);
}

void LiveService::quitRoom(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data)
{
    if (m_reconnecting && m_resumeRoom) {
        // Left while the connection is down: nobody is taken back in, and the relay lets the
        // place go when the grace period ends.
        m_resumeRoom = 0;
        m_roomId = 0;
        m_media->leaveRoom();
        if (suc)
            QTimer::singleShot(0, this, [suc, data] { suc(data); });
        return;
    }
    if (!m_inRoom) {
        failLater(err, kNotInRoom, QStringLiteral("not in a room"), data);
        return;
    }
    // From here on a lost connection is no longer this room's business.
    m_inRoom = false;
    m_roomId = 0;
    m_media->leaveRoom();
    request(relayop::quitRoom(), suc, err, data);
}

void LiveService::announce(int event)
{
    if (m_inRoom)
        request(relayop::event(event), nullptr, nullptr, nullptr);
}

void LiveService::sendGroupMessage(
    const ilive::Message& msg, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data)
{
    if (isSignedIn() && !m_inRoom) {
        failLater(err, kNotInRoom, QStringLiteral("not in a room"), data);
        return;
    }
    sendMessage(QString(), msg, suc, err, data);
}

void LiveService::sendC2CMessage(const char* dstUser, const ilive::Message& msg, ilive::iLiveSucCallback suc,
    ilive::iLiveErrCallback err, void* data)
{
    const QString to = QString::fromUtf8(dstUser ? dstUser : "");
    if (to.isEmpty()) {
        failLater(err, kBadArgument, QStringLiteral("no addressee"), data);
        return;
    }
    sendMessage(to, msg, suc, err, data);
}

void LiveService::sendMessage(const QString& to, const ilive::Message& msg, ilive::iLiveSucCallback suc,
    ilive::iLiveErrCallback err, void* data)
{
    QJsonArray elems;
    for (const ilive::MessageElem* e : msg.elems) {
        if (!e)
            continue;
        if (e->type == ilive::TEXT) {
            const auto* t = static_cast<const ilive::MessageTextElem*>(e);
            elems.append(relayop::textElem(fromIlive(t->content)));
        } else if (e->type == ilive::CUSTOM) {
            const auto* c = static_cast<const ilive::MessageCustomElem*>(e);
            elems.append(relayop::customElem(fromIlive(c->data), fromIlive(c->ext)));
        }
    }
    if (elems.isEmpty()) {
        failLater(err, kBadArgument, QStringLiteral("empty message"), data);
        return;
    }
    request(to.isEmpty() ? relayop::groupMsg(elems) : relayop::peerMsg(to, elems), suc, err, data);
}

void LiveService::onMessage(const relayop::Push& push)
{
    // A group message still on its way from a room we have left belongs to no room window.
    if (!m_messageListener || (push.group && !m_inRoom))
        return;
    ilive::Message msg;
    msg.sender = toIlive(push.sender);
    for (const QJsonValue& v : push.elems) {
        const QJsonObject e = v.toObject();
        const int type = e.value("type").toInt(-1);
        if (type == ilive::TEXT)
            msg.elems.push_back(new ilive::MessageTextElem(toIlive(e.value("text").toString())));
        else if (type == ilive::CUSTOM)
            msg.elems.push_back(new ilive::MessageCustomElem(
                toIlive(e.value("data").toString()), toIlive(e.value("ext").toString())));
    }
    m_messageListener(msg, m_messageData);
}

void LiveService::onMemberEvent(int event, const QStringList& ids)
{
    if (!m_inRoom || !m_memberStatus || ids.isEmpty())
        return;
    ilive::Vector<ilive::String> list;
    for (const QString& id : ids)
        list.push_back(toIlive(id));
    m_memberStatus(ilive::E_EndpointEventId(event), list, m_roomData);
}

// ---- video ----------------------------------------------------------------------------------

void LiveService::enteredMedia(const QJsonObject& reply)
{
    media::RoomAccess access;
    LiveMedia::FeedMap feeds;
    if (!LiveMedia::parseRoom(reply.value("media").toObject(), &access, &feeds))
        qWarning() << "the room has no media server: no sound or video in it";
    m_media->enterRoom(m_userId, access, feeds);
}

void LiveService::deliverFrame(
    const QString& id, ilive::E_VideoSrc src, const media::VideoFrame& picture, bool local)
{
    ilive::iLivePreviewListener listener = local ? m_localVideo : m_remoteVideo;
    if (!listener)
        return;
    // The pictures come in the format asked when their feed started; one asked later is not
    // passed on in the wrong one.
    if (picture.i420 != (m_colorFormat == ilive::COLOR_FORMAT_I420))
        return;
    ilive::LiveVideoFrame frame;
    frame.identifier = toIlive(id);
    frame.data = reinterpret_cast<const uint8_t*>(picture.data.constData());
    frame.dataSize = uint32_t(picture.data.size());
    frame.desc.colorFormat = m_colorFormat;
    frame.desc.width = uint32_t(picture.width);
    frame.desc.height = uint32_t(picture.height);
    frame.desc.srcType = src;
    frame.timestamp = quint64(picture.timestampMs);
    listener(&frame, local ? m_localVideoData : m_remoteVideoData);
}
