#include "Student.h"

#include "media/MediaDevices.h"
#include "protocol/CmdMessage.h"
#include "protocol/AppApi.h"
#include "protocol/LoginHash.h"
#include "protocol/RelayOps.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTextStream>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

const double kSoundOnDb = -40.0;
const double kSoundOffDb = -60.0;

// The brightness class of a picture's middle, enough to tell a test's black from its white.
QString brightnessOf(const media::VideoFrame& frame)
{
    int value = 0;
    if (frame.i420)
        value = uchar(frame.data.at(frame.height / 2 * frame.width + frame.width / 2));
    else
        value = uchar(frame.data.at((frame.height / 2 * frame.width + frame.width / 2) * 4 + 1));
    return value < 50 ? QStringLiteral("dark")
        : value > 200 ? QStringLiteral("bright")
                      : QStringLiteral("mixed");
}

} // namespace

Student::Student(const StudentOptions& options, QObject* parent)
    : QObject(parent)
    , m_opt(options)
    , m_http(new QNetworkAccessManager(this))
    , m_relay(new RelayClient(this))
{
    m_relay->setUrl(m_opt.live);
    m_relay->setReconnectGraceMs(qMax(0, m_opt.reconnectMs));
    connect(m_relay, &RelayClient::pushed, this, &Student::onPush);
    connect(m_relay, &RelayClient::resumed, this, &Student::resumed);
    connect(m_relay, &RelayClient::dropped, this, [this] {
        m_dropMs = nowMs();
        if (!m_leaving && m_opt.reconnectMs > 0)
            log(QStringLiteral("live relay connection lost, reconnecting"));
    });
    connect(m_relay, &RelayClient::lost, this, [this](const QString& why) {
        if (!m_leaving)
            fail(QStringLiteral("live relay %1").arg(why));
    });
    connect(&m_chatTimer, &QTimer::timeout, this, &Student::sendChat);
    // A scripted student has no devices: a test tone and a test picture stand in for them.
    media::MediaTestKit::setEnabled(true);
    media::MediaTestKit::setToneHz(m_opt.toneHz);
    m_media = new LiveMedia(this);
    m_media->setSpeaker(QStringLiteral("test-speaker"), true);
    // A student is heard only while on the microphone.
    m_media->setMayPublish(false);
    connect(m_media, &LiveMedia::feedRemoved, this, [this](int source) {
        log(QStringLiteral("the media server removed our %1 feed; waiting for the microphone")
                .arg(source == LiveMedia::Screen ? "screen" : "camera"));
    });
    // The relay hears which handle our feed goes out on before it joins, so it can vouch for it.
    m_media->setClaim([this](quint64 session, quint64 handle, quint64 feed, std::function<void()> done) {
        const int id = m_relay->request(
            relayop::publish(session, handle, feed), [this, done](const RelayClient::Reply& r) {
                if (r.code != 0)
                    log(QStringLiteral("relay refused our media handle: %1 %2").arg(r.code).arg(r.desc));
                done();
            });
        if (!id)
            done();
    });
    connect(m_media, &LiveMedia::remoteLevel, this, &Student::heard);
    connect(m_media, &LiveMedia::remoteFrame, this, &Student::saw);
    connect(m_media, &LiveMedia::remoteEnded, this, [this](const QString& user, int source) {
        const QString key
            = QStringLiteral("%1 %2").arg(user, source == LiveMedia::Screen ? "screen" : "camera");
        m_pictures.remove(key);
        if (source == LiveMedia::Camera)
            m_soundOn.remove(user);
        log(QStringLiteral("feed from %1: ended").arg(key));
    });
    m_lookupTimer.setSingleShot(true);
    connect(&m_lookupTimer, &QTimer::timeout, this, &Student::chooseRoom);
}

void Student::log(const QString& line) const
{
    QTextStream(stdout) << "[" << m_opt.login << "] " << line << Qt::endl;
}

void Student::fail(const QString& what)
{
    QTextStream(stderr) << "[" << m_opt.login << "] " << what << Qt::endl;
    emit finished(1);
}

void Student::rpc(const QString& method, QVariantMap params, std::function<void(const QVariantMap&)> onResult)
{
    params.insert("ak", m_ak);
    params.insert("channel", "PC");
    params.insert("clientVersion", "rided4a_win_1.0");
    params.insert("appType", "rided4a_win");
    const QJsonObject envelope { { "jsonrpc", "2.0" }, { "method", method },
        { "params", QJsonObject::fromVariantMap(params) } };
    QNetworkRequest request(m_opt.server);
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setTransferTimeout(5000);
    QNetworkReply* reply = m_http->post(request, QJsonDocument(envelope).toJson());
    connect(reply, &QNetworkReply::finished, this, [this, reply, method, onResult] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError && reply->error() < QNetworkReply::ContentAccessDenied) {
            fail(QStringLiteral("%1: %2").arg(method, reply->errorString()));
            return;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(reply->readAll());
        if (!doc.isObject()) {
            fail(QStringLiteral("%1: the answer is not a JSON object").arg(method));
            return;
        }
        const QJsonValue error = doc.object().value("error");
        if (!error.isUndefined() && !error.isNull()) {
            fail(QStringLiteral("%1 refused: %2 %3")
                     .arg(method, error.toObject().value("code").toVariant().toString(),
                         error.toObject().value("message").toString()));
            return;
        }
        onResult(doc.object().value("result").toObject().toVariantMap());
    });
}

void Student::start()
{
    const QString salt = QString::number(QRandomGenerator::global()->bounded(1000, 10999));
    const QVariantMap params { { "loginId", m_opt.login },
        { "saltedPassword", loginhash::saltedPassword(m_opt.password, salt) }, { "salt", salt } };
    rpc(appapi::Method::kLogin, params, [this](const QVariantMap& result) {
        m_ak = result.value("ak").toString();
        m_userId = result.value("userId").toString();
        m_nickname = !m_opt.nickname.isEmpty() ? m_opt.nickname : result.value("nickname").toString();
        if (m_nickname.isEmpty())
            m_nickname = m_opt.login;
        if (m_userId.isEmpty()) {
            fail(QStringLiteral("%1 gave no userId").arg(appapi::Method::kLogin));
            return;
        }
        log(QStringLiteral("signed in as %1 (%2)").arg(m_userId, m_nickname));
        rpc(appapi::Method::kUserSig, {}, [this](const QVariantMap& sig) {
            m_sig = sig.value("userSig").toString();
            if (m_sig.isEmpty()) {
                fail(QStringLiteral("%1 gave no userSig").arg(appapi::Method::kUserSig));
                return;
            }
            openRelay();
        });
    });
}

void Student::chooseRoom()
{
    if (m_opt.roomId) {
        enterRoom(m_opt.roomId);
    } else if (!m_opt.liveId.isEmpty()) {
        findLive();
    } else {
        // The first room that a teacher has opened on the relay is the live in progress.
        relayRequest(relayop::rooms(), [this](const RelayClient::Reply& reply) {
            const QJsonArray rooms = reply.object.value("rooms").toArray();
            if (rooms.isEmpty()) {
                if (!m_toldWaiting)
                    log("no class in progress yet, waiting");
                m_toldWaiting = true;
                m_lookupTimer.start(2000);
            } else {
                m_hostId = rooms.first().toObject().value("host").toString();
                log(QStringLiteral("class of %1 in progress").arg(m_hostId));
                enterRoom(quint32(rooms.first().toObject().value("roomId").toVariant().toLongLong()));
            }
        });
    }
}

void Student::findLive()
{
    QVariantMap params { { "pageNum", 1 }, { "pageSize", 1000 } };
    if (!m_opt.teacher.isEmpty())
        params.insert("teacherUserId", m_opt.teacher);
    rpc(appapi::Method::kLivesOfTeacher, params, [this](const QVariantMap& result) {
        for (const QVariant& v : result.value("list").toList()) {
            const QVariantMap live = v.toMap();
            if (live.value("liveId").toString() == m_opt.liveId && live.value("avRoomId").toUInt() > 0) {
                m_liveId = m_opt.liveId;
                m_hostId = live.value("teacherUserId").toString();
                log(QStringLiteral("live %1 \"%2\"").arg(m_liveId, live.value("title").toString()));
                enterRoom(live.value("avRoomId").toUInt());
                return;
            }
        }
        // The teacher may not have opened the room yet: look again shortly.
        if (!m_toldWaiting)
            log(QStringLiteral("no live to join yet, waiting"));
        m_toldWaiting = true;
        m_lookupTimer.start(2000);
    });
}

void Student::enterRoom(quint32 roomId)
{
    m_roomId = roomId;
    rpc(appapi::Method::kEnterRoom, { { "liveRole", 0 }, { "avRoomId", m_roomId } },
        [this](const QVariantMap&) {
            log(QStringLiteral("entered room %1").arg(m_roomId));
            joinRelayRoom(QStringLiteral("join room refused"), [this] { joined(); });
        });
}

void Student::joinRelayRoom(const QString& refused, std::function<void()> then)
{
    relayRequest(relayop::joinRoom(m_roomId), [this, refused, then](const RelayClient::Reply& reply) {
        if (reply.code != 0) {
            fail(QStringLiteral("%1: %2 %3").arg(refused).arg(reply.code).arg(reply.desc));
            return;
        }
        if (reply.object.contains("media"))
            enterMedia(reply.object.value("media").toObject());
        then();
    });
}

void Student::openRelay()
{
    m_relay->signIn(m_userId, m_sig, [this](const RelayClient::Reply& reply) {
        if (reply.code == RelayClient::kUnreachable) {
            fail(QStringLiteral("live relay connection lost: %1").arg(reply.desc));
        } else if (reply.code != 0) {
            m_leaving = true;
            fail(QStringLiteral("live login refused: %1 %2").arg(reply.code).arg(reply.desc));
        } else {
            chooseRoom();
        }
    });
}

void Student::resumed(bool resumed, quint32 heldRoom)
{
    log(QStringLiteral("relay connection back after %1 ms").arg(nowMs() - m_dropMs));
    if (m_inRoom && resumed && heldRoom == m_roomId)
        return;
    if (!m_inRoom) {
        chooseRoom();
        return;
    }
    // The relay no longer holds our place (it restarted): take it again without a second hello.
    joinRelayRoom(QStringLiteral("join room again refused"),
        [this] { log(QStringLiteral("back in room %1").arg(m_roomId)); });
}

int Student::relayRequest(const QJsonObject& req, std::function<void(const RelayClient::Reply&)> onReply)
{
    return m_relay->request(req, [this, onReply](const RelayClient::Reply& reply) {
        if (reply.code == RelayClient::kNotSignedIn && !m_relay->isSignedIn())
            return;
        if (onReply)
            onReply(reply);
        else if (reply.code != 0)
            log(QStringLiteral("relay refused: %1 %2").arg(reply.code).arg(reply.desc));
    });
}

void Student::onPush(const relayop::Push& push)
{
    if (push.kind == relayop::Push::MemberEvent) {
        if (push.event == 1)
            m_media->addFeeds(LiveMedia::parseFeeds(push.object.value("feeds").toObject()));
    } else if (push.kind == relayop::Push::Other
        && push.object.value("op").toString() == QLatin1String("feeds")) {
        m_media->setLiveFeeds(relayop::readLiveFeeds(push.object));
    } else if (push.kind == relayop::Push::Msg) {
        for (const QJsonValue& v : push.elems) {
            const QJsonObject e = v.toObject();
            if (e.value("type").toInt() == 0)
                log(QStringLiteral("chat from %1: %2").arg(push.sender, e.value("text").toString()));
            else if (e.value("type").toInt() == 1)
                onCommand(push.sender, e.value("data").toString());
        }
    } else if (push.kind == relayop::Push::RoomClosed) {
        leave("the class has ended");
    } else if (push.kind == relayop::Push::Kicked) {
        m_leaving = true;
        fail("signed in elsewhere");
    }
}

void Student::onCommand(const QString& sender, const QString& data)
{
    const cmdmessage::Command cmd = cmdmessage::parse(data.toUtf8()).value_or(cmdmessage::Command());
    const int action = cmd.userAction;
    const QString& param = cmd.actionParam;
    if (!m_hostId.isEmpty() && sender != m_hostId && action != CmdEnterRoom && action != CmdLeaveRoom) {
        log(QStringLiteral("ignored command %1 from %2, who is not the host").arg(action).arg(sender));
        return;
    }
    switch (action) {
    case CmdInviteInteract:
        log(QStringLiteral("invited to speak by %1").arg(sender));
        QTimer::singleShot(m_opt.answerDelayMs, this, [this, sender] {
            if (m_opt.reject) {
                sendCmd(CmdRejectInteract, QString::number(m_opt.rejectReason), sender);
                log(QStringLiteral("declined, reason %1").arg(m_opt.rejectReason));
                return;
            }
            m_onMic = true;
            sendCmd(CmdAcceptInteract, identity(), sender);
            log("accepted, on the microphone");
            publish(true);
            if (m_opt.micOffAfterSecs > 0)
                QTimer::singleShot(m_opt.micOffAfterSecs * 1000, this, [this, sender] {
                    if (!m_onMic || m_leaving)
                        return;
                    m_onMic = false;
                    publish(false);
                    sendCmd(CmdMicOff, identity(), sender);
                    log("went off the microphone");
                });
        });
        break;
    case CmdMicOff:
        m_onMic = false;
        publish(false);
        log("taken off the microphone by the teacher");
        break;
    case CmdClassTime:
        log(QStringLiteral("class time %1 s").arg(param));
        break;
    case CmdLivePause:
        log("the teacher paused the live");
        break;
    case CmdLiveEnd:
        leave("the class has ended");
        break;
    default:
        break;
    }
}

void Student::joined()
{
    m_inRoom = true;
    log(QStringLiteral("joined room %1").arg(m_roomId));
    sendCmd(CmdEnterRoom, identity());
    if (m_opt.chatEverySecs > 0)
        m_chatTimer.start(m_opt.chatEverySecs * 1000);
    if (m_opt.durationSecs > 0)
        QTimer::singleShot(m_opt.durationSecs * 1000, this, [this] { leave("time is up"); });
}

void Student::leave(const QString& why)
{
    if (m_leaving)
        return;
    m_leaving = true;
    m_chatTimer.stop();
    log(QStringLiteral("leaving: %1").arg(why));
    if (!m_inRoom || !m_relay->isConnected()) {
        emit finished(0);
        return;
    }
    if (m_opt.camera && m_onMic)
        relayRequest(relayop::event(relayop::kCameraOff));
    m_media->leaveRoom();
    // The app server hears first, so the member list the teacher fetches on our goodbye is without us.
    rpc(appapi::Method::kQuitRoom, { { "liveRole", 0 }, { "avRoomId", m_roomId } },
        [this](const QVariantMap&) {
            sendCmd(CmdLeaveRoom, identity());
            // Whatever the answer, or none: the student is done.
            const auto done = [this] {
                m_inRoom = false;
                m_relay->signOut();
                emit finished(0);
            };
            if (!m_relay->request(relayop::quitRoom(), [done](const RelayClient::Reply&) { done(); }))
                done();
        });
}

QString Student::identity() const
{
    const QJsonObject id { { "nickname", m_nickname }, { "userId", m_userId } };
    return QString::fromUtf8(QJsonDocument(id).toJson(QJsonDocument::Compact));
}

void Student::sendCmd(E_CustomCmd cmd, const QString& param, const QString& to)
{
    const QJsonArray elems { relayop::customElem(
        QString::fromUtf8(cmdmessage::build(cmd, param)), cmdmessage::kExt) };
    relayRequest(to.isEmpty() ? relayop::groupMsg(elems) : relayop::peerMsg(to, elems));
}

void Student::sendChat()
{
    ++m_chatCount;
    const QString text = QStringLiteral("%1：第%2条消息").arg(m_nickname).arg(m_chatCount);
    if (relayRequest(relayop::groupMsg({ relayop::textElem(text) })))
        log(QStringLiteral("chat: %1").arg(text));
    else
        log(QStringLiteral("chat not sent, no relay connection: %1").arg(text));
}

void Student::enterMedia(const QJsonObject& reply)
{
    media::RoomAccess access;
    LiveMedia::FeedMap feeds;
    if (!LiveMedia::parseRoom(reply, &access, &feeds)) {
        log("no media room: no sound or video");
        return;
    }
    log(QStringLiteral("media room %1 on %2").arg(access.room).arg(access.url));
    m_media->enterRoom(m_userId, access, feeds);
}

void Student::publish(bool on)
{
    // Off the microphone the feed ends rather than goes quiet: a feed left published is removed.
    m_media->setMayPublish(on);
    m_media->setMic(on ? QStringLiteral("test-microphone") : QString());
    if (m_opt.camera) {
        m_media->setCamera(on ? QStringLiteral("test-camera") : QString());
        relayRequest(relayop::event(on ? relayop::kCameraOn : relayop::kCameraOff));
    }
    log(on ? QStringLiteral("sending a test tone%1").arg(m_opt.camera ? " and a test picture" : "")
           : QStringLiteral("sending nothing"));
}

void Student::heard(const QString& user, double db)
{
    bool& on = m_soundOn[user];
    if ((!on && db > kSoundOnDb) || (on && db < kSoundOffDb)) {
        on = !on;
        log(QStringLiteral("sound from %1: %2 (%3 dB)").arg(user, on ? "on" : "off").arg(db, 0, 'f', 1));
    }
}

void Student::saw(const QString& user, int source, const media::VideoFrame& frame)
{
    const QString key = QStringLiteral("%1 %2").arg(user, source == LiveMedia::Screen ? "screen" : "camera");
    const QString seen
        = QStringLiteral("%1x%2 %3").arg(frame.width).arg(frame.height).arg(brightnessOf(frame));
    if (m_pictures.value(key) != seen) {
        m_pictures.insert(key, seen);
        log(QStringLiteral("picture from %1: %2").arg(key, seen));
    }
}
