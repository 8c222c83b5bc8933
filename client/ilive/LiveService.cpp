#include "LiveService.h"

#include "media/LiveMedia.h"
#include "lectern_config.h"
#include "protocol/RelayOps.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>

namespace {

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
    , m_relay(new RelayClient(this))
    , m_media(new LiveMedia(this))
    , m_shareTimer(new QTimer(this))
{
    m_relay->setUrl(s_defaultUrl.isValid() ? s_defaultUrl : QUrl(QStringLiteral(LECTERN_LIVE_URL)));
    connect(m_relay, &RelayClient::pushed, this, &LiveService::onPush);
    connect(m_relay, &RelayClient::dropped, this, &LiveService::onDropped);
    connect(m_relay, &RelayClient::resumed, this, &LiveService::onResumed);
    connect(m_relay, &RelayClient::lost, this, &LiveService::onLost);
    connect(m_relay, &RelayClient::kicked, this, [this] {
        m_resumeRoom = 0;
        if (m_forceOffline)
            m_forceOffline();
    });
    connect(m_media, &LiveMedia::localFrame, this, [this](const media::VideoFrame& frame) {
        if (m_cameraOn)
            deliverFrame(userId(), ilive::VIDEO_SRC_TYPE_CAMERA, frame, true);
    });
    connect(m_media, &LiveMedia::remoteFrame, this,
        [this](const QString& user, int source, const media::VideoFrame& frame) {
            if (m_inRoom)
                deliverFrame(user, ilive::E_VideoSrc(source), frame, false);
        });
    watchDevices();
    m_media->setClaim([this](quint64 session, quint64 handle, quint64 feed, std::function<void()> done) {
        const auto refused = [](int code, const char* desc, void*) {
            qWarning() << "live relay refused our media handle:" << code << desc;
        };
        if (!request(relayop::publish(session, handle, feed), nullptr, refused, nullptr, done))
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

void LiveService::setUrl(const QUrl& url)
{
    m_relay->setUrl(url);
}

QUrl LiveService::url() const
{
    return m_relay->url();
}

void LiveService::setRequestTimeoutMs(int ms)
{
    m_relay->setRequestTimeoutMs(ms);
}

void LiveService::setReconnectGraceMs(int ms)
{
    m_relay->setReconnectGraceMs(ms);
}

void LiveService::setPingIntervalMs(int ms)
{
    m_relay->setPingIntervalMs(ms);
}

bool LiveService::isReconnecting() const
{
    return m_relay->isReconnecting() || m_rejoining;
}

int LiveService::reconnectCount() const
{
    return m_relay->reconnectCount();
}

QString LiveService::userId() const
{
    return m_relay->userId();
}

bool LiveService::isSignedIn() const
{
    return m_relay->isSignedIn();
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
    endSession();
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
    endSession();
    m_relay->signIn(
        user, QString::fromUtf8(userSig ? userSig : ""), [suc, err, data](const RelayClient::Reply& reply) {
            if (reply.code == kOk) {
                if (suc)
                    suc(data);
            } else if (err) {
                err(reply.code, reply.desc.toUtf8().constData(), data);
            }
        });
}

void LiveService::logout(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback, void* data)
{
    endSession();
    if (suc)
        QTimer::singleShot(0, this, [suc, data] { suc(data); });
}

void LiveService::endSession()
{
    m_relay->signOut();
    m_inRoom = false;
    m_media->leaveRoom();
    m_resumeRoom = 0;
    m_rejoining = false;
}

void LiveService::onPush(const relayop::Push& push)
{
    switch (push.kind) {
    case relayop::Push::Msg:
        onMessage(push);
        break;
    case relayop::Push::MemberEvent:
        if (push.event == ilive::EVENT_ID_ENDPOINT_ENTER && m_inRoom)
            m_media->addFeeds(LiveMedia::parseFeeds(push.object.value("feeds").toObject()));
        onMemberEvent(push.event, push.ids);
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
    default: // Kicked: the session's own business
        break;
    }
}

int LiveService::request(const QJsonObject& req, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
    void* data, std::function<void()> then)
{
    const QString op = req.value("op").toString();
    const quint32 roomId = quint32(req.value("roomId").toVariant().toLongLong());
    const int id = m_relay->request(
        req, [this, op, roomId, suc, err, data, then](const RelayClient::Reply& reply) {
            if ((op == QLatin1String("createRoom") || op == QLatin1String("joinRoom")) && reply.code == kOk) {
                enteredRoom(roomId);
                enteredMedia(reply.object);
            }
            if (reply.code == kOk) {
                if (suc)
                    suc(data);
            } else if (err) {
                err(reply.code, reply.desc.toUtf8().constData(), data);
            }
            if (then)
                then();
        });
    if (!id)
        failLater(err, kNotSignedIn, QStringLiteral("not signed in to the live service"), data);
    return id;
}

void LiveService::failLater(ilive::iLiveErrCallback err, int code, const QString& desc, void* data)
{
    if (!err)
        return;
    const QByteArray text = desc.toUtf8();
    QTimer::singleShot(0, this, [err, code, text, data] { err(code, text.constData(), data); });
}

// ---- keeping the room through drops ---------------------------------------------------------

void LiveService::onDropped()
{
    // The room to be back in; while entering it again after an earlier drop, still that one.
    if (m_inRoom)
        m_resumeRoom = m_roomId;
    m_inRoom = false;
}

void LiveService::onResumed(bool resumed, quint32 heldRoom)
{
    const quint32 room = m_resumeRoom;
    m_rejoining = false;
    m_resumeRoom = 0;
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
    m_rejoining = true;
    m_resumeRoom = room;
    const QJsonObject enter = m_roomHost ? relayop::createRoom(room, m_roomRole) : relayop::joinRoom(room);
    request(enter, &LiveService::onRejoined, &LiveService::onRejoinFailed, this);
}

void LiveService::onRejoined(void* self)
{
    auto* service = static_cast<LiveService*>(self);
    service->m_rejoining = false;
    service->m_resumeRoom = 0;
}

void LiveService::onRejoinFailed(int code, const char* desc, void* self)
{
    auto* service = static_cast<LiveService*>(self);
    if (!service->m_relay->isConnected()) // dropped again on the way back in: the next attempt goes on
        return;
    qWarning() << "could not enter the room again after a drop:" << code << desc;
    if (service->m_rejoining)
        service->m_relay->giveUp();
}

void LiveService::onLost()
{
    const quint32 room = m_resumeRoom;
    m_rejoining = false;
    m_resumeRoom = 0;
    m_inRoom = false;
    m_media->leaveRoom();
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
        onMemberEvent(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { userId() });
    }
    if (m_shareOn)
        announce(ilive::EVENT_ID_ENDPOINT_HAS_SCREEN_VIDEO);
}

void LiveService::quitRoom(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data)
{
    if (isReconnecting() && m_resumeRoom) {
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
    m_media->enterRoom(userId(), access, feeds);
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
