#include "MediaRooms.h"

#include "janus/JanusAdmin.h"
#include "janus/JanusSession.h"

#include <QDebug>
#include <QMessageAuthenticationCode>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

#include <memory>

namespace {

const int kRoomExists = 427;

QString randomPin()
{
    QString pin;
    for (int i = 0; i < 2; ++i)
        pin += QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
    return pin;
}

// Below 2^53, so it stays exact in the students' pages.
quint64 randomRoomId()
{
    for (;;)
        if (const quint64 id = QRandomGenerator::system()->generate64() & ((quint64(1) << 53) - 1))
            return id;
}

QUrl adminUrlOf(const MediaServerConfig& c)
{
    if (!c.adminUrl.isEmpty())
        return c.adminUrl;
    QUrl admin;
    admin.setScheme(QStringLiteral("ws"));
    admin.setHost(c.url.host());
    admin.setPort(c.url.port(c.url.scheme() == QLatin1String("wss") ? 443 : 80) + 1);
    return admin;
}

} // namespace

struct MediaRooms::Server {
    MediaServerConfig config;
    JanusSession* session = nullptr;
    JanusAdmin* admin = nullptr;
    QString token; // lectern-server's own session token there
    QTimer* openTimer = nullptr;
    quint64 handle = 0; // the VideoRoom handle rooms are made through; 0 until ready
    bool opening = false;
    bool down = false; // takes no new rooms until it answers again
    QList<Ready> waiting;
    int rooms = 0;
    struct Watch {
        quint64 handle = 0; // lectern-server's own participant; 0 until attached
        QSet<quint64> publishers;
    };
    QHash<quint32, Watch> watches;
};

MediaRooms::MediaRooms(const QByteArray& secret, const QList<MediaServerConfig>& servers, QObject* parent)
    : QObject(parent)
    , m_secret(secret)
    , m_probe(new QTimer(this))
{
    m_probe->setInterval(10000);
    connect(m_probe, &QTimer::timeout, this, &MediaRooms::probe);
    for (const MediaServerConfig& config : servers) {
        auto* s = new Server;
        s->config = config;
        if (s->config.publicUrl.isEmpty())
            s->config.publicUrl = config.url;
        s->session = new JanusSession(this);
        s->admin = new JanusAdmin(adminUrlOf(config), config.adminKey, this);
        s->openTimer = new QTimer(this);
        s->openTimer->setSingleShot(true);
        connect(s->openTimer, &QTimer::timeout, this, [this, s] {
            s->session->close();
            qWarning().noquote() << "media server" << s->config.url.toString() << "did not answer in time";
            settle(s, false);
        });
        connect(s->session, &JanusSession::ready, this, [this, s] {
            s->session->attach(
                QStringLiteral("janus.plugin.videoroom"), [this, s](const QJsonObject& answer) {
                    s->handle = quint64(answer.value("data").toObject().value("id").toDouble());
                    if (!JanusSession::ok(answer) || !s->handle) {
                        qWarning().noquote()
                            << "media server" << s->config.url.toString()
                            << "refused the VideoRoom plugin:" << JanusSession::errorText(answer);
                        s->handle = 0;
                        s->session->close();
                        settle(s, false);
                        return;
                    }
                    sweep(s, [this, s] { settle(s, s->handle != 0); });
                });
        });
        connect(s->session, &JanusSession::handleEvent, this,
            [this, s](quint64 handle, const QJsonObject& message) { onHandleEvent(s, handle, message); });
        connect(s->session, &JanusSession::failed, this, [this, s](const QString& why) {
            qWarning().noquote() << "media server" << s->config.url.toString() << why;
            s->handle = 0;
            s->watches.clear();
            markDown(s);
            // Rooms live on in Janus while it runs, but nothing here reaches them any more: a
            // host entering again makes the room afresh.
            QList<quint32> lost;
            for (auto it = m_rooms.begin(); it != m_rooms.end();) {
                if (it.value() == s) {
                    lost << it.key();
                    m_videoRooms.remove(it.key());
                    m_tokens.remove(it.key());
                    m_recorded.remove(it.key());
                    it = m_rooms.erase(it);
                } else {
                    ++it;
                }
            }
            s->rooms = 0;
            if (s->opening)
                settle(s, false);
            if (!lost.isEmpty())
                emit roomsLost(lost);
        });
        m_servers << s;
    }
}

// Rooms of ours that nothing here knows of (left by an earlier run of lectern-server, their PINs
// long handed out) go before new ones are made: their secret is derived from the room id their
// description names.
void MediaRooms::sweep(Server* s, std::function<void()> then)
{
    const QJsonObject list { { "request", "list" }, { "admin_key", s->config.adminKey } };
    s->session->message(s->handle, list, {}, [this, s, then](const QJsonObject& answer) {
        const QJsonArray rooms = JanusSession::pluginData(answer).value("list").toArray();
        auto left = std::make_shared<int>(1);
        const auto oneDone = [left, then] {
            if (--*left == 0)
                then();
        };
        const QList<quint64> ours = m_videoRooms.values();
        for (const QJsonValue& v : rooms) {
            const QJsonObject r = v.toObject();
            const QString description = r.value("description").toString();
            const quint64 videoRoom = quint64(r.value("room").toDouble());
            bool ok = false;
            const quint32 roomId
                = description.startsWith(QLatin1String("live room ")) ? description.mid(10).toUInt(&ok) : 0;
            if (!ok || !roomId || ours.contains(videoRoom))
                continue;
            ++*left;
            const QJsonObject destroy { { "request", "destroy" }, { "room", double(videoRoom) },
                { "secret", secretOf(roomId) }, { "permanent", false } };
            s->session->message(s->handle, destroy, {}, [oneDone](const QJsonObject&) { oneDone(); });
        }
        oneDone();
    });
}

MediaRooms::~MediaRooms()
{
    for (Server* s : qAsConst(m_servers))
        s->session->disconnect(this);
    qDeleteAll(m_servers);
}

QString MediaRooms::secretOf(quint32 roomId) const
{
    return QString::fromLatin1(QMessageAuthenticationCode::hash(
        "videoroom:" + QByteArray::number(roomId), m_secret, QCryptographicHash::Sha256)
                                   .toHex());
}

MediaRooms::Server* MediaRooms::pickServer(const QList<Server*>& tried) const
{
    Server* best = nullptr;
    for (Server* s : m_servers)
        if (!s->down && !tried.contains(s) && (!best || s->rooms < best->rooms))
            best = s;
    return best;
}

void MediaRooms::setProbeIntervalMs(int ms)
{
    m_probe->setInterval(ms);
}

bool MediaRooms::isUp(int server) const
{
    return server >= 0 && server < m_servers.size() && !m_servers[server]->down;
}

int MediaRooms::roomCount(int server) const
{
    return server >= 0 && server < m_servers.size() ? m_servers[server]->rooms : 0;
}

void MediaRooms::markDown(Server* s)
{
    if (!s->down)
        qWarning().noquote() << "media server" << s->config.url.toString()
                             << "is down: it takes no new rooms";
    s->down = true;
    if (!m_probe->isActive())
        m_probe->start();
}

void MediaRooms::probe()
{
    bool anyDown = false;
    for (Server* s : qAsConst(m_servers)) {
        if (!s->down)
            continue;
        anyDown = true;
        whenReady(s, [](bool) {});
    }
    if (!anyDown)
        m_probe->stop();
}

void MediaRooms::whenReady(Server* s, Ready then)
{
    if (s->handle) {
        then(true);
        return;
    }
    s->waiting << std::move(then);
    if (s->opening)
        return;
    s->opening = true;
    s->session->setRequestTimeoutMs(m_timeoutMs);
    s->admin->setRequestTimeoutMs(m_timeoutMs);
    s->openTimer->start(m_timeoutMs);
    // Our own session needs a token too: a fresh one each time, as a restarted server knows none.
    if (!s->token.isEmpty())
        s->admin->removeToken(s->token);
    s->token = randomPin();
    s->admin->addToken(s->token, [this, s, token = s->token](const QJsonObject& answer) {
        if (!s->opening || token != s->token)
            return;
        if (!JanusSession::ok(answer)) {
            qWarning().noquote() << "media server" << s->config.url.toString()
                                 << "refused a token through its Admin API:"
                                 << JanusSession::errorText(answer);
            settle(s, false);
            return;
        }
        s->session->setToken(token);
        s->session->open(s->config.url);
    });
}

void MediaRooms::settle(Server* s, bool ok)
{
    s->opening = false;
    s->openTimer->stop();
    if (ok && s->down)
        qInfo().noquote() << "media server" << s->config.url.toString() << "answers again";
    if (ok)
        s->down = false;
    else
        markDown(s);
    const QList<Ready> waiting = std::move(s->waiting);
    s->waiting.clear();
    for (const Ready& then : waiting)
        then(ok);
}

void MediaRooms::create(quint32 roomId, Created done)
{
    // A room made again (the host entering anew) stays where it is while that server is up.
    Server* home = m_rooms.value(roomId);
    if (home && !home->down) {
        whenReady(home, [this, home, roomId, done](bool ok) {
            if (ok)
                createOn(home, roomId, false, done);
            else
                createAny(roomId, { home }, done);
        });
        return;
    }
    createAny(roomId, {}, done);
}

// Fewest rooms first; a server that does not answer is marked down and the next one is tried.
void MediaRooms::createAny(quint32 roomId, QList<Server*> tried, Created done)
{
    Server* s = pickServer(tried);
    if (!s) {
        done(std::nullopt);
        return;
    }
    tried << s;
    whenReady(s, [this, s, roomId, tried, done](bool ok) {
        if (!ok)
            createAny(roomId, tried, done);
        else
            createOn(s, roomId, false, done);
    });
}

void MediaRooms::createOn(Server* s, quint32 roomId, bool replacing, Created done)
{
    // One left from an earlier host entry goes: its PIN has been seen.
    if (!replacing && m_videoRooms.contains(roomId) && m_rooms.value(roomId) == s) {
        unwatch(s, roomId);
        const QJsonObject destroy { { "request", "destroy" }, { "room", double(m_videoRooms.value(roomId)) },
            { "secret", secretOf(roomId) }, { "permanent", false } };
        s->session->message(s->handle, destroy, {}, nullptr);
    }
    const QString pin = randomPin();
    const quint64 videoRoom = randomRoomId();
    QJsonObject body { { "request", "create" }, { "room", double(videoRoom) },
        { "admin_key", s->config.adminKey }, { "description", QStringLiteral("live room %1").arg(roomId) },
        { "secret", secretOf(roomId) }, { "pin", pin }, { "is_private", true }, { "permanent", false },
        { "publishers", kPublishers }, { "bitrate", kBitrateCap }, { "bitrate_cap", true },
        { "fir_freq", kKeyFrameSecs }, { "audiocodec", "opus" }, { "videocodec", "vp8" } };
    const std::optional<Recording> rec = m_recordingOf ? m_recordingOf(roomId, s->config) : std::nullopt;
    if (rec) {
        body.insert("rec_dir", rec->dir);
        body.insert("record", rec->on);
        body.insert("lock_record", true);
    }
    s->session->message(s->handle, body, {},
        [this, s, roomId, replacing, videoRoom, pin, done, recorded = bool(rec)](const QJsonObject& answer) {
            if (JanusSession::ok(answer)) {
                if (recorded)
                    m_recorded.insert(roomId);
                else
                    m_recorded.remove(roomId);
                Server* before = m_rooms.value(roomId);
                if (before != s) {
                    if (before)
                        --before->rooms;
                    ++s->rooms;
                }
                m_rooms.insert(roomId, s);
                m_videoRooms.insert(roomId, videoRoom);
                watch(s, roomId, pin);
                done(Room { s->config.publicUrl.toString(), videoRoom, pin });
                return;
            }
            // Another room drew the same id: draw once more.
            if (!replacing && JanusSession::pluginData(answer).value("error_code").toInt() == kRoomExists
                && s->handle) {
                createOn(s, roomId, true, done);
                return;
            }
            qWarning().noquote() << "media room" << roomId
                                 << "not created:" << JanusSession::errorText(answer);
            done(std::nullopt);
        });
}

void MediaRooms::destroy(quint32 roomId)
{
    m_recorded.remove(roomId);
    Server* s = m_rooms.take(roomId);
    const quint64 videoRoom = m_videoRooms.take(roomId);
    const QStringList tokens = m_tokens.take(roomId);
    if (!s)
        return;
    --s->rooms;
    for (const QString& token : tokens)
        s->admin->removeToken(token);
    if (!s->handle)
        return;
    unwatch(s, roomId);
    const QJsonObject body { { "request", "destroy" }, { "room", double(videoRoom) },
        { "secret", secretOf(roomId) }, { "permanent", false } };
    s->session->message(s->handle, body, {}, [roomId](const QJsonObject& answer) {
        if (!JanusSession::ok(answer))
            qWarning().noquote() << "media room" << roomId
                                 << "not destroyed:" << JanusSession::errorText(answer);
    });
}

void MediaRooms::watch(Server* s, quint32 roomId, const QString& pin)
{
    unwatch(s, roomId);
    s->watches.insert(roomId, {});
    s->session->attach(
        QStringLiteral("janus.plugin.videoroom"), [this, s, roomId, pin](const QJsonObject& a) {
            const quint64 handle = quint64(a.value("data").toObject().value("id").toDouble());
            auto it = s->watches.find(roomId);
            if (it == s->watches.end() || it->handle || !JanusSession::ok(a) || !handle) {
                if (handle)
                    s->session->detach(handle);
                if (it != s->watches.end() && !it->handle)
                    qWarning().noquote()
                        << "media room" << roomId << "cannot be watched:" << JanusSession::errorText(a);
                return;
            }
            it->handle = handle;
            // Joined as a publisher that never publishes: others are not told of it, and it hears of
            // every publisher that comes and goes.
            const QJsonObject join { { "request", "join" }, { "ptype", "publisher" },
                { "room", double(m_videoRooms.value(roomId)) }, { "pin", pin },
                { "display", "lectern-server" } };
            s->session->message(handle, join, {}, [this, s, roomId](const QJsonObject& answer) {
                if (!JanusSession::ok(answer)) {
                    qWarning().noquote()
                        << "media room" << roomId << "cannot be watched:" << JanusSession::errorText(answer);
                    return;
                }
                notePublishers(s, roomId, JanusSession::pluginData(answer));
            });
        });
}

void MediaRooms::unwatch(Server* s, quint32 roomId)
{
    const Server::Watch w = s->watches.take(roomId);
    if (w.handle && s->handle)
        s->session->detach(w.handle);
}

void MediaRooms::onHandleEvent(Server* s, quint64 handle, const QJsonObject& message)
{
    for (auto it = s->watches.begin(); it != s->watches.end(); ++it) {
        if (it->handle != handle)
            continue;
        const QJsonObject data = message.value("plugindata").toObject().value("data").toObject();
        const quint32 roomId = it.key();
        for (const char* gone : { "unpublished", "leaving", "kicked" }) {
            const quint64 feed = quint64(data.value(gone).toDouble());
            if (data.value(gone).isDouble() && it->publishers.remove(feed))
                emit publisherGone(roomId, feed);
        }
        notePublishers(s, roomId, data);
        return;
    }
}

void MediaRooms::notePublishers(Server* s, quint32 roomId, const QJsonObject& data)
{
    const QJsonArray publishers = data.value("publishers").toArray();
    for (const QJsonValue& p : publishers) {
        const quint64 feed = quint64(p.toObject().value("id").toDouble());
        auto it = s->watches.find(roomId);
        if (!feed || it == s->watches.end())
            return;
        it->publishers.insert(feed);
        judge(roomId, feed);
    }
}

void MediaRooms::judge(quint32 roomId, quint64 feedId)
{
    if (!m_check || m_check(roomId, feedId)) {
        emit publisherSeen(roomId, feedId);
        return;
    }
    qInfo().noquote() << "media room" << roomId << "removes publisher" << feedId;
    kick(roomId, feedId);
}

void MediaRooms::kick(quint32 roomId, quint64 feedId, std::function<void()> done)
{
    Server* s = m_rooms.value(roomId);
    if (!s || !s->handle) {
        if (done)
            QTimer::singleShot(0, this, done);
        return;
    }
    if (s->watches[roomId].publishers.remove(feedId))
        emit publisherGone(roomId, feedId);
    const QJsonObject body { { "request", "kick" }, { "room", double(m_videoRooms.value(roomId)) },
        { "secret", secretOf(roomId) }, { "id", double(feedId) } };
    s->session->message(s->handle, body, {}, [this, roomId, feedId, done](const QJsonObject& answer) {
        if (JanusSession::ok(answer))
            emit publisherRemoved(roomId, feedId);
        else if (!done) // making room for an owner: mostly nobody holds the id
            qWarning().noquote() << "media room" << roomId << "could not remove publisher" << feedId << ":"
                                 << JanusSession::errorText(answer);
        if (done)
            done();
    });
}

void MediaRooms::recheck(quint32 roomId)
{
    Server* s = m_rooms.value(roomId);
    if (!s || !s->handle)
        return;
    const QList<quint64> feeds = publishersOf(roomId);
    for (quint64 feed : feeds)
        judge(roomId, feed);
}

QList<quint64> MediaRooms::publishersOf(quint32 roomId) const
{
    Server* s = m_rooms.value(roomId);
    return s ? s->watches.value(roomId).publishers.values() : QList<quint64>();
}

void MediaRooms::allowToken(quint32 roomId, const QString& token)
{
    Server* s = m_rooms.value(roomId);
    if (!s)
        return;
    m_tokens[roomId] << token;
    s->admin->addToken(token, [roomId](const QJsonObject& answer) {
        if (!JanusSession::ok(answer))
            qWarning().noquote() << "media room" << roomId
                                 << "could not admit a member:" << JanusSession::errorText(answer);
    });
}

void MediaRooms::handleInfo(
    quint32 roomId, quint64 session, quint64 handle, std::function<void(const HandleInfo&)> done)
{
    Server* s = m_rooms.value(roomId);
    if (!s) {
        QTimer::singleShot(0, this, [done] { done(HandleInfo()); });
        return;
    }
    const quint64 videoRoom = m_videoRooms.value(roomId);
    s->admin->handleInfo(session, handle, [done, videoRoom](const QJsonObject& answer) {
        HandleInfo info;
        const QJsonObject i = answer.value("info").toObject();
        if (answer.value("janus").toString() == QLatin1String("success") && !i.isEmpty()) {
            info.known = true;
            info.token = i.value("token").toString();
            const QJsonObject plugin = i.value("plugin_specific").toObject();
            if (plugin.value("type").toString() == QLatin1String("publisher")
                && quint64(plugin.value("room").toDouble()) == videoRoom)
                info.feed = quint64(plugin.value("id").toDouble());
        }
        done(info);
    });
}

bool MediaRooms::setRecording(quint32 roomId, bool on)
{
    Server* s = m_rooms.value(roomId);
    if (!s || !s->handle || !m_recorded.contains(roomId))
        return false;
    const QJsonObject body { { "request", "enable_recording" },
        { "room", double(m_videoRooms.value(roomId)) }, { "secret", secretOf(roomId) }, { "record", on } };
    s->session->message(s->handle, body, {}, [roomId, on](const QJsonObject& answer) {
        if (!JanusSession::ok(answer))
            qWarning().noquote() << "media room" << roomId << "could not" << (on ? "start" : "stop")
                                 << "recording:" << JanusSession::errorText(answer);
    });
    return true;
}
