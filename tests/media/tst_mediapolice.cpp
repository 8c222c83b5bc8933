// Speaking control holds in the media room: lectern-server removes every publisher that is not the
// host or a student the host invited and that accepted, whatever feed id it claims, against a real
// Janus and lectern-server. Runs in its own network namespace (tests/media/netns-run.sh).
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "janus/JanusSession.h"
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
    void onlyTheHostAndAnInvitedStudentArePublished();

private:
    struct Published {
        std::unique_ptr<MediaPublisher> peer;
        std::unique_ptr<QSignalSpy> failed; // removed from the room, or refused
        bool up = false;
        bool removed() { return !failed->isEmpty() || failed->wait(kWaitMs); }
    };
    // Publishes test sound and picture under feed, until Janus has it up or it fails.
    Published publish(quint64 feed);
    // Whether a subscriber to feed gets pictures and loud sound (waits for both, or for its failure).
    bool received(quint64 feed);

    JanusProcess m_janus;
    ServerProcess m_server;
    std::unique_ptr<JanusSession> m_session;
    RoomAccess m_access;
    Account m_teacher, m_rogue, m_other;
    std::unique_ptr<RelayClient> m_teacherRelay, m_rogueRelay, m_otherRelay;
    QHash<QString, quint64> m_cameras;
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

    QString liveId;
    const QJsonArray lives = result(m_server, "live.list.by.teacher.id",
        { { "teacherUserId", m_teacher.userId }, { "pageNum", 1 }, { "pageSize", 100 } }, m_teacher.ak)
                                 .value("list")
                                 .toArray();
    for (const QJsonValue& l : lives)
        if (l.toObject().value("state").toString() == QLatin1String("i"))
            liveId = l.toObject().value("liveId").toString();
    const qint64 room = result(m_server, "live.create.room",
        { { "hostUserId", m_teacher.userId }, { "liveId", liveId } }, m_teacher.ak)
                            .value("avRoomId")
                            .toVariant()
                            .toLongLong();
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
        m_access = RoomAccess { media.value("url").toString(), quint64(room), media.value("pin").toString() };
        m_cameras.insert(account->userId,
            quint64(media.value("feeds")
                        .toObject()
                        .value(account->userId)
                        .toObject()
                        .value("camera")
                        .toDouble()));
    }
    QVERIFY(m_access.isValid());

    m_session = std::make_unique<JanusSession>();
    QSignalSpy ready(m_session.get(), &JanusSession::ready);
    m_session->open(QUrl(m_access.url));
    QVERIFY(ready.wait(kWaitMs));
}

void TestMediaPolice::cleanupTestCase()
{
    m_session.reset();
    m_server.stop();
    m_janus.stop();
}

TestMediaPolice::Published TestMediaPolice::publish(quint64 feed)
{
    FeedSpec spec;
    spec.video = QStringLiteral("test-camera");
    spec.audio = QStringLiteral("test-microphone");
    Published p;
    p.peer = std::make_unique<MediaPublisher>(m_session.get(), m_access, feed, spec);
    p.failed = std::make_unique<QSignalSpy>(p.peer.get(), &MediaPeer::failed);
    QSignalSpy isUp(p.peer.get(), &MediaPeer::up);
    p.peer->start();
    p.up = QTest::qWaitFor([&] { return !isUp.isEmpty() || !p.failed->isEmpty(); }, kWaitMs)
        && p.failed->isEmpty();
    return p;
}

bool TestMediaPolice::received(quint64 feed)
{
    MediaSubscriber subscriber(m_session.get(), m_access, feed, QString(), true);
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
    Published teacher = publish(m_cameras.value(m_teacher.userId));
    QVERIFY2(teacher.up, "the host's camera was refused");
    QVERIFY(received(teacher.peer->feedId()));

    // A student that was not invited is removed under any feed id it claims, and nobody gets it.
    const QList<std::pair<const char*, quint64>> rogueFeeds { { "its own camera",
                                                                  m_cameras.value(m_rogue.userId) },
        { "another student's camera", m_cameras.value(m_other.userId) }, { "an id nobody was given", 777 } };
    for (const auto& [what, feed] : rogueFeeds) {
        Published rogue = publish(feed);
        QVERIFY2(rogue.removed(), what);
        QVERIFY2(!received(feed), what);
    }

    // Invited and accepted: heard and seen; off the microphone by either side: removed again.
    for (const bool byTeacher : { true, false }) {
        QCOMPARE(m_teacherRelay->command(m_rogue.userId, CmdInviteInteract), 0);
        QCOMPARE(m_rogueRelay->command(m_teacher.userId, CmdAcceptInteract), 0);
        Published student = publish(m_cameras.value(m_rogue.userId));
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
    QVERIFY(publish(m_cameras.value(m_rogue.userId)).removed());
    QVERIFY(teacher.failed->isEmpty());
    QVERIFY(received(teacher.peer->feedId()));
}

QTEST_GUILESS_MAIN(TestMediaPolice)
#include "tst_mediapolice.moc"
