#include "MediaRooms.h"

#include "janus/JanusSession.h"

#include <QDebug>
#include <QMessageAuthenticationCode>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSet>
#include <QTimer>

namespace {

const int kRoomExists = 427;

QString randomPin()
{
    QString pin;
    for (int i = 0; i < 2; ++i)
        pin += QStringLiteral("%1").arg(QRandomGenerator::system()->generate64(), 16, 16, QLatin1Char('0'));
    return pin;
}

} // namespace

struct MediaRooms::Server {
    MediaServerConfig config;
    JanusSession* session = nullptr;
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
                    }
                    settle(s, s->handle != 0);
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
    s->openTimer->start(m_timeoutMs);
    s->session->open(s->config.url);
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
    const QString pin = randomPin();
    const QJsonObject body { { "request", "create" }, { "room", double(roomId) },
        { "admin_key", s->config.adminKey }, { "description", QStringLiteral("live room %1").arg(roomId) },
        { "secret", secretOf(roomId) }, { "pin", pin }, { "is_private", true }, { "permanent", false },
        { "publishers", kPublishers }, { "bitrate", kBitrateCap }, { "bitrate_cap", true },
        { "audiocodec", "opus" }, { "videocodec", "vp8" } };
    s->session->message(
        s->handle, body, {}, [this, s, roomId, replacing, pin, done](const QJsonObject& answer) {
            if (JanusSession::ok(answer)) {
                Server* before = m_rooms.value(roomId);
                if (before != s) {
                    if (before)
                        --before->rooms;
                    ++s->rooms;
                }
                m_rooms.insert(roomId, s);
                watch(s, roomId, pin);
                done(Room { s->config.publicUrl.toString(), pin });
                return;
            }
            // Left from before a restart, or from an earlier host entry: the secret is ours, so it
            // goes and comes back with a PIN nobody has seen.
            if (!replacing && JanusSession::pluginData(answer).value("error_code").toInt() == kRoomExists) {
                const QJsonObject destroy { { "request", "destroy" }, { "room", double(roomId) },
                    { "secret", secretOf(roomId) }, { "permanent", false } };
                s->session->message(s->handle, destroy, {}, [this, s, roomId, done](const QJsonObject& gone) {
                    if (JanusSession::ok(gone) && s->handle) {
                        createOn(s, roomId, true, done);
                    } else {
                        qWarning().noquote()
                            << "media room" << roomId
                            << "exists and cannot be replaced:" << JanusSession::errorText(gone);
                        done(std::nullopt);
                    }
                });
                return;
            }
            qWarning().noquote() << "media room" << roomId
                                 << "not created:" << JanusSession::errorText(answer);
            done(std::nullopt);
        });
}

void MediaRooms::destroy(quint32 roomId)
{
    Server* s = m_rooms.take(roomId);
    if (!s)
        return;
    --s->rooms;
    if (!s->handle)
        return;
    unwatch(s, roomId);
    const QJsonObject body { { "request", "destroy" }, { "room", double(roomId) },
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
                { "room", double(roomId) }, { "pin", pin }, { "display", "lectern-server" } };
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
        for (const char* gone : { "unpublished", "leaving", "kicked" })
            if (data.value(gone).isDouble())
                it->publishers.remove(quint64(data.value(gone).toDouble()));
        notePublishers(s, it.key(), data);
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
        judge(s, roomId, feed);
    }
}

void MediaRooms::judge(Server* s, quint32 roomId, quint64 feedId)
{
    if (!m_check || m_check(roomId, feedId))
        return;
    s->watches[roomId].publishers.remove(feedId);
    qInfo().noquote() << "media room" << roomId << "removes publisher" << feedId;
    const QJsonObject kick { { "request", "kick" }, { "room", double(roomId) },
        { "secret", secretOf(roomId) }, { "id", double(feedId) } };
    s->session->message(s->handle, kick, {}, [this, roomId, feedId](const QJsonObject& answer) {
        if (JanusSession::ok(answer))
            emit publisherRemoved(roomId, feedId);
        else
            qWarning().noquote() << "media room" << roomId << "could not remove publisher" << feedId << ":"
                                 << JanusSession::errorText(answer);
    });
}

void MediaRooms::recheck(quint32 roomId)
{
    Server* s = m_rooms.value(roomId);
    if (!s || !s->handle)
        return;
    const QList<quint64> feeds = publishersOf(roomId);
    for (quint64 feed : feeds)
        judge(s, roomId, feed);
}

QList<quint64> MediaRooms::publishersOf(quint32 roomId) const
{
    Server* s = m_rooms.value(roomId);
    return s ? s->watches.value(roomId).publishers.values() : QList<quint64>();
}
