// Speaking control holds in the media room: lectern-server removes every publisher that is not the
// host or a student the host invited and that accepted, and every publisher under a feed id that
// is not its own, before any member takes it in; against a real Janus and lectern-server. Runs in
// its own network namespace (tests/media/netns-run.sh).
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "janus/JanusSession.h"
#include "media/LiveMedia.h"
#include "media/MediaDevices.h"
#include "media/MediaPublisher.h"
#include "media/MediaSubscriber.h"
#include "protocol/CmdMessage.h"
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
const double kLoudDb = -30.0;

} // namespace

class TestMediaPolice : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    // First: the teacher has named no media handle yet.
    void aFeedIdIsPublishedOnlyByItsOwner();
    void onlyTheHostAndAnInvitedStudentArePublished();

private:
    struct Published {
        std::unique_ptr<MediaPublisher> peer;
        std::unique_ptr<QSignalSpy> failed; // removed from the room, or refused
        std::unique_ptr<QSignalSpy> kicked; // put out while joined without media
        bool up = false;
        bool removed()
        {
            return QTest::qWaitFor([this] { return !failed->isEmpty() || !kicked->isEmpty(); }, kWaitMs);
        }
    };
    // Publishes test sound and picture under feed on who's own media session, having told the
    // relay its handle as clients do, until Janus has it up or it fails. Without media it only
    // joins under the feed id.
    Published publish(const Account& who, quint64 feed, bool media = true);
    // Whether a subscriber to feed gets pictures and loud sound (waits for both, or for its failure).
    bool received(quint64 feed);

    JanusProcess m_janus;
    ServerProcess m_server;
    RelayClient* relayOf(const Account& who) const;

    QHash<QString, std::shared_ptr<JanusSession>> m_sessions; // each member's, with its token
    RoomAccess m_access;
    Account m_teacher, m_rogue, m_other;
    std::unique_ptr<RelayClient> m_teacherRelay, m_rogueRelay, m_otherRelay;
    QHash<QString, quint64> m_cameras;
    QHash<QString, QString> m_tokens;
    LiveMedia::FeedMap m_feeds;
};

void TestMediaPolice::initTestCase()
{
    MediaTestKit::setEnabled(true);
    MediaTestKit::setTone(true);
    MediaTestKit::setPattern(3);
    QString error;
    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(m_server.start(&error, { "--janus", m_janus.url(), "--janus-admin-key", m_janus.adminKey() }),
        qPrintable(error));
    m_teacher = signIn(m_server, "teacher01");
    m_rogue = signIn(m_server, "student01");
    m_other = signIn(m_server, "student02");
    QVERIFY(!m_teacher.userSig.isEmpty() && !m_rogue.userSig.isEmpty() && !m_other.userSig.isEmpty());

    const qint64 room = classpeers::roomOfLiveInProgress(m_server, m_teacher);
    QVERIFY(room > 0);

    const std::pair<Account*, std::unique_ptr<RelayClient>*> members[]
        = { { &m_teacher, &m_teacherRelay }, { &m_rogue, &m_rogueRelay }, { &m_other, &m_otherRelay } };
    for (const auto& [account, relay] : members) {
        const bool host = account == &m_teacher;
        if (!host)
            QVERIFY(rpc(m_server, "live.enter.room", { { "liveRole", 0 }, { "avRoomId", room } }, account->ak)
                        .contains("result"));
        *relay = std::make_unique<RelayClient>(m_server.liveUrl());
        QCOMPARE((*relay)->ask(relayop::login(account->userId, account->userSig)).code, 0);
        const relayop::Push in = (*relay)->ask(
            host ? relayop::createRoom(quint32(room), "LiveMaster") : relayop::joinRoom(quint32(room)));
        QCOMPARE(in.code, 0);
        const QJsonObject media = in.object.value("media").toObject();
        m_access = RoomAccess { media.value("url").toString(), quint64(media.value("room").toDouble()),
            media.value("pin").toString(), media.value("token").toString() };
        m_tokens.insert(account->userId, media.value("token").toString());
        m_feeds = LiveMedia::parseFeeds(media.value("feeds").toObject());
        m_cameras.insert(account->userId, m_feeds.value(account->userId).camera);
    }
    QVERIFY(m_access.isValid());

    for (const Account* account : { &m_teacher, &m_rogue, &m_other }) {
        auto session = std::make_shared<JanusSession>();
        session->setToken(m_tokens.value(account->userId));
        QSignalSpy ready(session.get(), &JanusSession::ready);
        session->open(QUrl(m_access.url));
        QVERIFY(ready.wait(kWaitMs));
        m_sessions.insert(account->userId, session);
    }
}

void TestMediaPolice::cleanupTestCase()
{
    m_sessions.clear();
    m_server.stop();
    m_janus.stop();
}

RelayClient* TestMediaPolice::relayOf(const Account& who) const
{
    return who.userId == m_teacher.userId ? m_teacherRelay.get()
        : who.userId == m_rogue.userId    ? m_rogueRelay.get()
                                          : m_otherRelay.get();
}

TestMediaPolice::Published TestMediaPolice::publish(const Account& who, quint64 feed, bool media)
{
    FeedSpec spec;
    if (media) {
        spec.video = QStringLiteral("test-camera");
        spec.audio = QStringLiteral("test-microphone");
    }
    JanusSession* session = m_sessions.value(who.userId).get();
    Published p;
    p.peer = std::make_unique<MediaPublisher>(session, m_access, feed, spec);
    RelayClient* relay = relayOf(who);
    p.peer->setBeforeJoin([relay, session](quint64 id, quint64 handle, std::function<void()> proceed) {
        relay->send(relayop::publish(session->sessionId(), handle, id),
            [proceed](const relayop::Push&) { proceed(); });
    });
    p.failed = std::make_unique<QSignalSpy>(p.peer.get(), &MediaPeer::failed);
    p.kicked = std::make_unique<QSignalSpy>(p.peer.get(), &MediaPublisher::removed);
    if (!media) {
        QSignalSpy joined(p.peer.get(), &MediaPublisher::joined);
        p.peer->start();
        p.up = QTest::qWaitFor([&] { return !joined.isEmpty() || !p.failed->isEmpty(); }, kWaitMs)
            && p.failed->isEmpty();
        return p;
    }
    QSignalSpy isUp(p.peer.get(), &MediaPeer::up);
    p.peer->start();
    p.up = QTest::qWaitFor([&] { return !isUp.isEmpty() || !p.failed->isEmpty(); }, kWaitMs)
        && p.failed->isEmpty();
    return p;
}

bool TestMediaPolice::received(quint64 feed)
{
    MediaSubscriber subscriber(m_sessions.value(m_other.userId).get(), m_access, feed, QString(), true);
    int frames = 0;
    subscriber.setFrameCallback([&frames](const VideoFrame&) { ++frames; });
    QSignalSpy failed(&subscriber, &MediaPeer::failed);
    subscriber.start();
    (void)QTest::qWaitFor(
        [&] { return !failed.isEmpty() || (frames > 0 && subscriber.level() > kLoudDb); }, kWaitMs);
    return failed.isEmpty() && frames > 0;
}

void TestMediaPolice::onlyTheHostAndAnInvitedStudentArePublished()
{
    Published teacher = publish(m_teacher, m_cameras.value(m_teacher.userId));
    QVERIFY2(teacher.up, "the host's camera was refused");
    QVERIFY(received(teacher.peer->feedId()));

    // A student that was not invited is removed under any feed id it claims, and nobody gets it.
    const QList<std::pair<const char*, quint64>> rogueFeeds { { "its own camera",
                                                                  m_cameras.value(m_rogue.userId) },
        { "another student's camera", m_cameras.value(m_other.userId) }, { "an id nobody was given", 777 } };
    for (const auto& [what, feed] : rogueFeeds) {
        Published rogue = publish(m_rogue, feed);
        QVERIFY2(rogue.removed(), what);
        QVERIFY2(!received(feed), what);
    }

    // Invited and accepted: heard and seen; off the microphone by either side: removed again.
    for (const bool byTeacher : { true, false }) {
        QCOMPARE(m_teacherRelay->command(m_rogue.userId, CmdInviteInteract), 0);
        QCOMPARE(m_rogueRelay->command(m_teacher.userId, CmdAcceptInteract), 0);
        Published student = publish(m_rogue, m_cameras.value(m_rogue.userId));
        QVERIFY2(student.up, "the invited student's camera was refused");
        QVERIFY(received(student.peer->feedId()));
        QVERIFY2(student.failed->isEmpty(), "removed while on the microphone");
        QCOMPARE(byTeacher ? m_teacherRelay->command(m_rogue.userId, CmdMicOff)
                           : m_rogueRelay->command(m_teacher.userId, CmdMicOff),
            0);
        QVERIFY2(student.removed(), byTeacher ? "CmdMicOff from the teacher" : "CmdMicOff from the student");
        QVERIFY(!received(student.peer->feedId()));
    }

    // Accepting without an invitation is refused and puts nobody on the microphone; the host stays on
    // throughout.
    QCOMPARE(m_rogueRelay->command(m_teacher.userId, CmdAcceptInteract), 10022);
    QVERIFY(publish(m_rogue, m_cameras.value(m_rogue.userId)).removed());
    QVERIFY(teacher.failed->isEmpty());
    QVERIFY(received(teacher.peer->feedId()));
}

void TestMediaPolice::aFeedIdIsPublishedOnlyByItsOwner()
{
    // A student as the page and lectern-student are: it takes in only feeds the relay vouches for.
    LiveMedia student;
    QHash<int, int> frames; // of the teacher's, by source
    connect(&student, &LiveMedia::remoteFrame, this,
        [&frames, this](const QString& user, int source, const VideoFrame&) {
            if (user == m_teacher.userId)
                ++frames[source];
        });
    m_otherRelay->setOnPush([&student](const relayop::Push& p) {
        if (p.object.value("op").toString() == QLatin1String("feeds"))
            student.setLiveFeeds(relayop::readLiveFeeds(p.object));
    });
    const auto unhook = qScopeGuard([this] { m_otherRelay->setOnPush(nullptr); });
    RoomAccess access = m_access;
    access.token = m_tokens.value(m_other.userId);
    student.setMayPublish(false);
    student.enterRoom(m_other.userId, access, m_feeds);
    QTRY_VERIFY_WITH_TIMEOUT(student.isConnected(), kWaitMs);
    const quint64 camera = m_feeds.value(m_teacher.userId).camera;
    const quint64 screen = m_feeds.value(m_teacher.userId).screen;

    // Before the teacher publishes anything: a student under its screen id, then its camera id, is
    // removed, and the other student never takes it in.
    for (const quint64 feed : { screen, camera }) {
        Published rogue = publish(m_rogue, feed);
        QVERIFY2(rogue.removed(), feed == screen ? "under the screen id" : "under the camera id");
    }
    QCOMPARE(frames.value(LiveMedia::Screen) + frames.value(LiveMedia::Camera), 0);
    QCOMPARE(student.subscriptionCount(), 0);

    // The teacher publishes its camera after that, and the student sees it.
    Published teacherCamera = publish(m_teacher, camera);
    QVERIFY2(teacherCamera.up, "the teacher's camera was refused after the impostor");
    QTRY_VERIFY_WITH_TIMEOUT(frames.value(LiveMedia::Camera) > 0, kWaitMs);

    // While it publishes: its camera id is taken, and its screen id is removed at once.
    QVERIFY(publish(m_rogue, camera).removed());
    QVERIFY(publish(m_rogue, screen).removed());
    QCOMPARE(frames.value(LiveMedia::Screen), 0);

    // A student sitting on the screen id without publishing is put out when the teacher shares.
    Published squatter = publish(m_rogue, screen, false);
    QVERIFY2(squatter.up, "the student could not even join under the screen id");
    Published teacherScreen = publish(m_teacher, screen);
    QVERIFY2(teacherScreen.up, "the teacher's share was refused");
    QVERIFY(squatter.removed());
    QTRY_VERIFY_WITH_TIMEOUT(frames.value(LiveMedia::Screen) > 0, kWaitMs);

    // After the share ends: the screen id is free, and a student taking it is removed again.
    QSignalSpy ended(&student, &LiveMedia::remoteEnded);
    teacherScreen.peer.reset();
    QTRY_VERIFY_WITH_TIMEOUT(
        ended.contains(QList<QVariant> { m_teacher.userId, int(LiveMedia::Screen) }), kWaitMs);
    const int screenFrames = frames.value(LiveMedia::Screen);
    QVERIFY(publish(m_rogue, screen).removed());
    QCOMPARE(frames.value(LiveMedia::Screen), screenFrames);
    QVERIFY(teacherCamera.failed->isEmpty());
}

QTEST_GUILESS_MAIN(TestMediaPolice)
#include "tst_mediapolice.moc"
