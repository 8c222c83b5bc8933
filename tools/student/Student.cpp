#include "Student.h"

#include "media/MediaDevices.h"
#include "protocol/CmdMessage.h"
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
#include <QWebSocket>

namespace {

const int kPingMs = 2000;

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
{
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
        const int id = relayRequest(
            relayop::publish(session, handle, feed), [this, done](int code, const QString& desc) {
                if (code != 0)
                    log(QStringLiteral("relay refused our media handle: %1 %2").arg(code).arg(desc));
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
    connect(&m_pingTimer, &QTimer::timeout, this, &Student::ping);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &Student::openRelay);
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
    rpc("user.login", params, [this](const QVariantMap& result) {
        m_ak = result.value("ak").toString();
        m_userId = result.value("userId").toString();
        m_nickname = !m_opt.nickname.isEmpty() ? m_opt.nickname : result.value("nickname").toString();
        if (m_nickname.isEmpty())
            m_nickname = m_opt.login;
        if (m_userId.isEmpty()) {
            fail("user.login gave no userId");
            return;
        }
        log(QStringLiteral("signed in as %1 (%2)").arg(m_userId, m_nickname));
        rpc("live.usersig.create", {}, [this](const QVariantMap& sig) {
            m_sig = sig.value("userSig").toString();
            if (m_sig.isEmpty()) {
                fail("live.usersig.create gave no userSig");
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
        m_roomsId = relayRequest(relayop::rooms());
    }
}

void Student::findLive()
{
    QVariantMap params { { "pageNum", 1 }, { "pageSize", 1000 } };
    if (!m_opt.teacher.isEmpty())
        params.insert("teacherUserId", m_opt.teacher);
    rpc("live.list.by.teacher.id", params, [this](const QVariantMap& result) {
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
    rpc("live.enter.room", { { "liveRole", 0 }, { "avRoomId", m_roomId } }, [this](const QVariantMap&) {
        log(QStringLiteral("entered room %1").arg(m_roomId));
        relayRequest(relayop::joinRoom(m_roomId), [this](int code, const QString& desc) {
            if (code != 0)
                fail(QStringLiteral("join room refused: %1 %2").arg(code).arg(desc));
            else
                joined();
        });
    });
}

void Student::openRelay()
{
    if (m_ws)
        m_ws->deleteLater();
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QWebSocket* ws = m_ws;
    connect(ws, &QWebSocket::connected, this, [this] {
        m_lastHeardMs = nowMs();
        m_pingTimer.start(kPingMs);
        const QString resume = m_reconnecting ? m_resume : QString();
        relayRequest(relayop::login(m_userId, m_sig, resume), [this](int code, const QString& desc) {
            if (code != 0) {
                m_leaving = true;
                fail(QStringLiteral("live login refused: %1 %2").arg(code).arg(desc));
                return;
            }
        });
    });
    connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString& text) {
        if (ws != m_ws)
            return;
        m_lastHeardMs = nowMs();
        onRelayText(text);
    });
    connect(ws, &QWebSocket::pong, this, [this, ws] {
        if (ws == m_ws)
            m_lastHeardMs = nowMs();
    });
    connect(ws, &QWebSocket::disconnected, this, [this, ws] { relayLost(ws); });
    connect(ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [this, ws] {
        if (ws->state() != QAbstractSocket::ConnectedState)
            relayLost(ws);
    });
    ws->open(m_opt.live);
    // A relay that accepts the connection but never answers (frozen) is tried again as well.
    QTimer::singleShot(3000, ws, [this, ws] {
        if (ws == m_ws && !m_relaySignedIn && m_reconnecting)
            relayLost(ws);
    });
}

void Student::signedIn(const QJsonObject& reply)
{
    m_relaySignedIn = true;
    m_resume = reply.value("resume").toString(m_resume);
    if (!m_reconnecting) {
        chooseRoom();
        return;
    }
    m_reconnecting = false;
    const bool resumed = reply.value("resumed").toBool();
    const quint32 heldRoom = quint32(reply.value("roomId").toVariant().toLongLong());
    log(QStringLiteral("relay connection back after %1 ms").arg(nowMs() - m_dropMs));
    if (m_inRoom && resumed && heldRoom == m_roomId)
        return;
    if (!m_inRoom) {
        chooseRoom();
        return;
    }
    // The relay no longer holds our place (it restarted): take it again without a second hello.
    relayRequest(relayop::joinRoom(m_roomId), [this](int code, const QString& desc) {
        if (code != 0)
            fail(QStringLiteral("join room again refused: %1 %2").arg(code).arg(desc));
        else
            log(QStringLiteral("back in room %1").arg(m_roomId));
    });
}

void Student::relayLost(QWebSocket* ws)
{
    if (ws != m_ws || m_leaving)
        return;
    m_pingTimer.stop();
    const QString why = ws->errorString();
    ws->disconnect(this);
    ws->abort();
    if (!m_reconnecting) {
        if (!m_relaySignedIn || m_opt.reconnectMs <= 0) {
            fail(QStringLiteral("live relay connection lost: %1").arg(why));
            return;
        }
        m_reconnecting = true;
        m_dropMs = nowMs();
        log(QStringLiteral("live relay connection lost (%1), reconnecting").arg(why));
    }
    m_relaySignedIn = false;
    m_replies.clear();
    m_roomsId = 0;
    if (nowMs() - m_dropMs >= m_opt.reconnectMs) {
        fail(QStringLiteral("live relay unreachable for %1 ms").arg(nowMs() - m_dropMs));
        return;
    }
    m_retryTimer.start(500);
}

void Student::ping()
{
    if (!m_ws || m_ws->state() != QAbstractSocket::ConnectedState)
        return;
    // A frozen relay or a pulled cable closes nothing: silence is the only sign.
    if (nowMs() - m_lastHeardMs > 3 * kPingMs) {
        relayLost(m_ws);
        return;
    }
    m_ws->ping();
}

int Student::relayRequest(const QJsonObject& req, std::function<void(int, const QString&)> onReply)
{
    if (!m_ws || m_ws->state() != QAbstractSocket::ConnectedState)
        return 0;
    const int id = m_nextId++;
    if (onReply)
        m_replies.insert(id, onReply);
    m_ws->sendTextMessage(QString::fromUtf8(relayop::request(req, id)));
    return id;
}

void Student::onRelayText(const QString& text)
{
    const relayop::Push push = relayop::readPush(text.toUtf8());
    if (push.kind == relayop::Push::Reply && !m_relaySignedIn && push.code == 0) {
        m_replies.remove(push.id);
        signedIn(push.object);
    } else if (push.kind == relayop::Push::Reply && m_roomsId && push.id == m_roomsId) {
        m_roomsId = 0;
        const QJsonArray rooms = push.object.value("rooms").toArray();
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
    } else if (push.kind == relayop::Push::Reply) {
        if (push.object.contains("media"))
            enterMedia(push.object.value("media").toObject());
        const auto handler = m_replies.take(push.id);
        if (handler)
            handler(push.code, push.desc);
        else if (push.code != 0)
            log(QStringLiteral("relay refused: %1 %2").arg(push.code).arg(push.desc));
    } else if (push.kind == relayop::Push::MemberEvent) {
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
    if (!m_inRoom || !m_ws) {
        emit finished(0);
        return;
    }
    if (m_opt.camera && m_onMic)
        relayRequest(relayop::event(relayop::kCameraOff));
    m_media->leaveRoom();
    // The app server hears first, so the member list the teacher fetches on our goodbye is without us.
    rpc("live.quit.room", { { "liveRole", 0 }, { "avRoomId", m_roomId } }, [this](const QVariantMap&) {
        sendCmd(CmdLeaveRoom, identity());
        relayRequest(relayop::quitRoom(), [this](int, const QString&) {
            m_inRoom = false;
            m_ws->close();
            emit finished(0);
        });
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
