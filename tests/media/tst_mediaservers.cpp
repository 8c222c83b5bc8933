// lectern-server spreads the lives' media rooms over several Janus servers, fewest rooms first, and
// puts none on a server that is down; each room carries sound and video where it was placed.
// Runs in its own network namespace (tests/media/netns-run.sh).
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "janus/JanusSession.h"
#include "media/MediaDevices.h"
#include "media/MediaPublisher.h"
#include "media/MediaSubscriber.h"
#include "protocol/LoginHash.h"
#include "protocol/RelayOps.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

#include <memory>

using namespace media;

using classpeers::Account;
using classpeers::RelayClient;
using classpeers::result;
using classpeers::rpc;
using classpeers::signIn;

namespace {

const int kWaitMs = 15000;

} // namespace

class TestMediaServers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void livesSpreadOverServersAndSkipOneThatIsDown();

private:
    // The av room of a live of the teacher in state.
    qint64 roomOf(const Account& teacher, const QString& state);
    // Hosts room; the media room handed out (empty without one) and the host's camera feed id.
    RoomAccess host(RelayClient* relay, qint64 room, const QString& userId, quint64* camera = nullptr);
    // Whether a picture published in the media room reaches a subscriber there.
    // Publishes feed as its owner would (telling the relay its handle first) and receives it.
    bool carriesMedia(RelayClient* relay, const RoomAccess& access, quint64 feed);

    JanusProcess m_janus[2];
    ServerProcess m_server;
};

void TestMediaServers::initTestCase()
{
    MediaTestKit::setEnabled(true);
    QString error;
    QStringList args;
    for (JanusProcess& j : m_janus) {
        QVERIFY2(j.start(&error), qPrintable(error));
        args << "--janus" << j.url() << "--janus-admin-key" << j.adminKey();
    }
    QVERIFY2(m_server.start(&error, args), qPrintable(error));
}

void TestMediaServers::cleanupTestCase()
{
    m_server.stop();
    for (JanusProcess& j : m_janus)
        j.stop();
}

qint64 TestMediaServers::roomOf(const Account& teacher, const QString& state)
{
    return classpeers::roomOfLive(m_server, teacher, state);
}

RoomAccess TestMediaServers::host(RelayClient* relay, qint64 room, const QString& userId, quint64* camera)
{
    const relayop::Push in = relay->ask(relayop::createRoom(quint32(room), "LiveMaster"));
    const QJsonObject media = in.object.value("media").toObject();
    if (camera)
        *camera
            = quint64(media.value("feeds").toObject().value(userId).toObject().value("camera").toDouble());
    return in.code == 0 ? RoomAccess { media.value("url").toString(), quint64(media.value("room").toDouble()),
        media.value("pin").toString(), media.value("token").toString() }
                        : RoomAccess();
}

bool TestMediaServers::carriesMedia(RelayClient* relay, const RoomAccess& access, quint64 feed)
{
    JanusSession session;
    session.setToken(access.token);
    QSignalSpy ready(&session, &JanusSession::ready);
    session.open(QUrl(access.url));
    if (!ready.wait(kWaitMs))
        return false;
    FeedSpec spec;
    spec.video = QStringLiteral("test-camera");
    MediaPublisher publisher(&session, access, feed, spec);
    publisher.setBeforeJoin([relay, &session](quint64 id, quint64 handle, std::function<void()> proceed) {
        relay->send(relayop::publish(session.sessionId(), handle, id),
            [proceed](const relayop::Push&) { proceed(); });
    });
    QSignalSpy up(&publisher, &MediaPeer::up);
    publisher.start();
    if (!up.wait(kWaitMs))
        return false;
    MediaSubscriber subscriber(&session, access, feed, QString(), true);
    int frames = 0;
    subscriber.setFrameCallback([&frames](const VideoFrame&) { ++frames; });
    QSignalSpy failed(&subscriber, &MediaPeer::failed);
    subscriber.start();
    return QTest::qWaitFor([&] { return frames > 0 || !failed.isEmpty(); }, kWaitMs) && frames > 0;
}

void TestMediaServers::livesSpreadOverServersAndSkipOneThatIsDown()
{
    const Account first = signIn(m_server, "teacher01");
    const Account second = signIn(m_server, "teacher02");
    const qint64 rooms[] = { roomOf(first, "i"), roomOf(second, "s"), roomOf(first, "s") };
    QVERIFY(rooms[0] > 0 && rooms[1] > 0 && rooms[2] > 0);
    const Account* teachers[] = { &first, &second };
    std::unique_ptr<RelayClient> relays[2];
    RoomAccess placed[2];
    quint64 cameras[2] = {};
    // Two lives: one on each server, and media flow in both where they were placed.
    for (int i = 0; i < 2; ++i) {
        relays[i] = std::make_unique<RelayClient>(m_server.liveUrl());
        QCOMPARE(relays[i]->ask(relayop::login(teachers[i]->userId, teachers[i]->userSig)).code, 0);
        placed[i] = host(relays[i].get(), rooms[i], teachers[i]->userId, &cameras[i]);
        QVERIFY2(placed[i].isValid(), "a live without media");
    }
    QCOMPARE(QSet<QString>({ placed[0].url, placed[1].url }),
        QSet<QString>({ m_janus[0].url(), m_janus[1].url() }));
    for (int i = 0; i < 2; ++i)
        QVERIFY2(carriesMedia(relays[i].get(), placed[i], cameras[i]), qPrintable(placed[i].url));

    // The server holding the first live stops: the next live goes to the other, though it holds more.
    const int stopped = placed[0].url == m_janus[0].url() ? 0 : 1;
    QVERIFY(m_janus[stopped].stop());
    QCOMPARE(relays[0]->ask(relayop::quitRoom()).code, 0);
    const RoomAccess next = host(relays[0].get(), rooms[2], first.userId);
    QCOMPARE(next.url, m_janus[1 - stopped].url());
}

QTEST_GUILESS_MAIN(TestMediaServers)
#include "tst_mediaservers.moc"
