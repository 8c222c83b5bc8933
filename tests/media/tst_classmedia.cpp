// A class's sound and video for real: lectern-server with its Janus, the teacher's shipped
// live-video service with test sources in place of devices, and a lectern-student process that
// logs what it hears and sees. Runs in its own network namespace (tests/media/netns-run.sh).
#include "ClassPeers.h"
#include "ChildProcess.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "live/RelayClient.h"
#include "media/LiveMedia.h"
#include "media/MediaDevices.h"
#include "protocol/CmdMessage.h"
#include "protocol/LoginHash.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QWebSocket>
#include <QWidget>
#include <QtTest>

#include <memory>

using classpeers::result;

namespace {

const int kWaitMs = 20000;
const double kLoudDb = -30.0;
const double kSilentDb = -70.0;

QList<QPair<int, int>> g_deviceResults;
void onDevice(ilive::E_DeviceOperationType op, int code, void*)
{
    g_deviceResults << qMakePair(int(op), code);
}
int g_okCalls = 0;
void onSuc(void*)
{
    ++g_okCalls;
}
void onErr(int code, const char* desc, void*)
{
    qWarning("call failed: %d %s", code, desc);
}
struct Remote {
    int frames = 0;
    QString id;
    int source = 0;
    int brightness = -1;
};
Remote g_remote;
void onRemote(const ilive::LiveVideoFrame* f, void*)
{
    ++g_remote.frames;
    g_remote.id = QString::fromUtf8(f->identifier.c_str());
    g_remote.source = f->desc.srcType;
    g_remote.brightness = f->data[(f->desc.height / 2 * f->desc.width + f->desc.width / 2) * 4 + 1];
}
int g_localFrames = 0;
void onLocal(const ilive::LiveVideoFrame*, void*)
{
    ++g_localFrames;
}

} // namespace

class TestClassMedia : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void studentHearsAndSeesTheTeacherAndTheSwitchesSilenceIt();
    void invitedStudentIsHeardAndSeenUntilTakenOffTheMicrophone();
    void removedFeedIsNotOfferedAgainInALoop();
    void mediaRidesOutARelayBlip();
    void classGoesOnWhenTheMediaServerDies();

private:
    // Waits for a line of the student's log that comes after the first `from` lines.
    bool studentSays(const QString& text, int from = 0);
    // Complete lines of the student's log so far.
    int studentLines()
    {
        m_log += QString::fromUtf8(m_student.readAll());
        return m_log.count('\n');
    }
    bool expect(ilive::E_DeviceOperationType op, int code);
    void command(E_CustomCmd cmd, const QString& to);
    double studentLevel() const { return m_studentDb; }

    JanusProcess m_janus;
    ServerProcess m_server;
    LiveService* m_teacher = nullptr;
    QString m_teacherId;
    QString m_studentId;
    ChildProcess m_student;
    QString m_log;
    double m_studentDb = -200;
};

bool TestClassMedia::studentSays(const QString& text, int from)
{
    return QTest::qWaitFor(
        [&] {
            m_log += QString::fromUtf8(m_student.readAll());
            return m_log.split('\n').mid(from).filter(text).size() > 0;
        },
        kWaitMs);
}

bool TestClassMedia::expect(ilive::E_DeviceOperationType op, int code)
{
    return QTest::qWaitFor([&] { return g_deviceResults.contains(qMakePair(int(op), code)); }, kWaitMs);
}

void TestClassMedia::command(E_CustomCmd cmd, const QString& to)
{
    ilive::Message msg;
    msg.elems.push_back(
        new ilive::MessageCustomElem(cmdmessage::build(cmd, QString()).constData(), cmdmessage::kExt));
    m_teacher->sendC2CMessage(to.toUtf8().constData(), msg, onSuc, onErr, nullptr);
}

void TestClassMedia::initTestCase()
{
    media::MediaTestKit::setEnabled(true);
    QString error;
    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(m_server.start(&error, { "--janus", m_janus.url(), "--janus-admin-key", m_janus.adminKey() }),
        qPrintable(error));

    const QJsonObject login = result(m_server, "user.login",
        { { "loginId", "teacher01" }, { "saltedPassword", loginhash::saltedPassword("123456", "4321") },
            { "salt", "4321" } });
    const QString ak = login.value("ak").toString();
    m_teacherId = login.value("userId").toString();
    const QString sig = result(m_server, "live.usersig.create", {}, ak).value("userSig").toString();
    QVERIFY(!sig.isEmpty());
    const qint64 room = classpeers::roomOfLiveInProgress(m_server, { ak, m_teacherId, sig });
    QVERIFY(room > 0);

    m_teacher = new LiveService;
    m_teacher->setUrl(QUrl(m_server.liveUrl()));
    m_teacher->setDeviceOperationCallback(onDevice, nullptr);
    m_teacher->setRemoteVideoCallBack(onRemote, nullptr);
    m_teacher->setLocalVideoCallBack(onLocal, nullptr);
    QCOMPARE(m_teacher->init(1400001234, 8848, true), 0);
    m_teacher->login(m_teacherId.toUtf8().constData(), sig.toUtf8().constData(), onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 1, kWaitMs);
    ilive::iLiveRoomOption option;
    option.roomId = uint32_t(room);
    option.controlRole = "LiveMaster";
    m_teacher->createRoom(option, onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 2, kWaitMs);
    connect(m_teacher->media(), &LiveMedia::remoteLevel, this, [this](const QString& user, double db) {
        if (user == m_studentId)
            m_studentDb = db;
    });

    m_teacher->openCamera("test-camera");
    m_teacher->openMic("test-microphone");
    m_teacher->openPlayer("test-speaker");
    QVERIFY(expect(ilive::E_OpenCamera, 0) && expect(ilive::E_OpenMic, 0) && expect(ilive::E_OpenPlayer, 0));

    m_student.setProcessChannelMode(QProcess::MergedChannels);
    m_student.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-student"),
        { "--server", m_server.jsonRpcUrl(), "--live", m_server.liveUrl(), "--login", "student01", "--room",
            QString::number(room), "--camera", "--reconnect-ms", "15000" });
    QVERIFY(m_student.waitForStarted(5000));
    QVERIFY2(studentSays("joined room"), qPrintable(m_log));
    QVERIFY2(studentSays("media room"), qPrintable(m_log));
    m_studentId = result(m_server, "user.login",
        { { "loginId", "student01" }, { "saltedPassword", loginhash::saltedPassword("123456", "4321") },
            { "salt", "4321" } })
                      .value("userId")
                      .toString();
    QVERIFY(!m_studentId.isEmpty());
}

void TestClassMedia::cleanupTestCase()
{
    if (m_student.state() != QProcess::NotRunning) {
        m_student.terminate();
        m_student.waitForFinished(5000);
    }
    delete m_teacher;
    m_server.stop();
    m_janus.stop();
}

void TestClassMedia::studentHearsAndSeesTheTeacherAndTheSwitchesSilenceIt()
{
    const QString sound = QStringLiteral("sound from %1: ").arg(m_teacherId);
    const QString camera = QStringLiteral("picture from %1 camera: 640x360 ").arg(m_teacherId);
    media::MediaTestKit::setTone(true);
    media::MediaTestKit::setPattern(3);
    QVERIFY2(studentSays(sound + "on"), qPrintable(m_log));
    QVERIFY2(studentSays(camera + "bright"), qPrintable(m_log));
    QTRY_VERIFY(g_localFrames > 0);

    // The tone's and the picture's edges, as the student receives them.
    int from = studentLines();
    media::MediaTestKit::setTone(false);
    media::MediaTestKit::setPattern(2);
    QVERIFY2(studentSays(sound + "off", from) && studentSays(camera + "dark", from), qPrintable(m_log));
    from = studentLines();
    media::MediaTestKit::setTone(true);
    QVERIFY2(studentSays(sound + "on", from), qPrintable(m_log));

    // The teacher's switches silence what is sent, and letting go brings the tone back.
    const QList<std::pair<const char*, std::function<void(bool)>>> switches {
        { "mic volume 0", [this](bool quiet) { m_teacher->setMicVolume(quiet ? 0 : 80); } },
        { "mic off",
            [this](bool quiet) {
                if (quiet)
                    m_teacher->closeMic();
                else
                    m_teacher->openMic("test-microphone");
            } },
    };
    for (const auto& s : switches) {
        from = studentLines();
        s.second(true);
        QVERIFY2(studentSays(sound + "off", from), s.first);
        QVERIFY(!m_teacher->getCurMicState() || qstrcmp(s.first, "mic off") != 0);
        from = studentLines();
        s.second(false);
        QVERIFY2(studentSays(sound + "on", from), s.first);
    }

    // The camera switch stops the picture; the sound goes on in a feed without it.
    from = studentLines();
    m_teacher->closeCamera();
    QVERIFY2(
        studentSays(QStringLiteral("feed from %1 camera: ended").arg(m_teacherId), from), qPrintable(m_log));
    QVERIFY2(studentSays(sound + "on", from), qPrintable(m_log));
    QVERIFY2(!m_log.split('\n').mid(from).filter(camera).size(), qPrintable(m_log));
    m_teacher->openCamera("test-camera");
    QVERIFY(expect(ilive::E_OpenCamera, 0));
    QVERIFY2(studentSays(camera, from), qPrintable(m_log));

    // The screen share, of our own window (offscreen, Qt's grab stands in for a capture source).
    QWidget slide(nullptr, Qt::FramelessWindowHint);
    slide.setStyleSheet("background: white");
    slide.setGeometry(0, 0, 400, 300);
    slide.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slide));
    m_teacher->openScreenShare(0, 0, 320, 240, 10);
    QVERIFY(expect(ilive::E_OpenScreenShare, 0));
    QVERIFY2(studentSays(QStringLiteral("picture from %1 screen: 320x240 bright").arg(m_teacherId)),
        qPrintable(m_log));
    from = studentLines();
    m_teacher->closeScreenShare();
    QVERIFY2(
        studentSays(QStringLiteral("feed from %1 screen: ended").arg(m_teacherId), from), qPrintable(m_log));
}

void TestClassMedia::invitedStudentIsHeardAndSeenUntilTakenOffTheMicrophone()
{
    bool studentEnded = false;
    QMetaObject::Connection ended
        = connect(m_teacher->media(), &LiveMedia::remoteEnded, this, [&](const QString& user, int source) {
              studentEnded |= user == m_studentId && source == LiveMedia::Camera;
          });
    auto disconnectEnded = qScopeGuard([&] { disconnect(ended); });
    int from = studentLines();
    command(CmdInviteInteract, m_studentId);
    QVERIFY2(studentSays("sending a test tone and a test picture", from), qPrintable(m_log));
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() > kLoudDb, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(g_remote.id == m_studentId && g_remote.frames > 0, kWaitMs);
    QCOMPARE(g_remote.source, int(ilive::VIDEO_SRC_TYPE_CAMERA));

    // The teacher's speaker: volume 0 and off silence what is played, and it comes back.
    m_teacher->setPlayerVolume(0);
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() < kSilentDb, kWaitMs);
    m_teacher->setPlayerVolume(60);
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() > kLoudDb, kWaitMs);
    m_teacher->closePlayer();
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() < kSilentDb, kWaitMs);
    m_teacher->openPlayer("test-speaker");
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() > kLoudDb, kWaitMs);

    // Taken off the microphone: the student says so, and the teacher hears silence.
    from = studentLines();
    studentEnded = false;
    command(CmdMicOff, m_studentId);
    QVERIFY2(studentSays("taken off the microphone by the teacher", from), qPrintable(m_log));
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() < kSilentDb, kWaitMs);
    // The student ended its feed itself, so the teacher holds no subscription to it.
    QTRY_VERIFY_WITH_TIMEOUT(studentEnded, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_teacher->media()->subscriptionCount(), 0, kWaitMs);

    // On the microphone again: heard again, under the same feed.
    from = studentLines();
    command(CmdInviteInteract, m_studentId);
    QVERIFY2(studentSays("sending a test tone and a test picture", from), qPrintable(m_log));
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() > kLoudDb, kWaitMs);
    // An honest student never left its feed for the media server to remove.
    QVERIFY2(!m_log.contains("the media server removed"), qPrintable(m_log));
    command(CmdMicOff, m_studentId);
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() < kSilentDb, kWaitMs);
}

void TestClassMedia::removedFeedIsNotOfferedAgainInALoop()
{
    // A program holding the room's PIN publishes under a feed id the relay never gave out.
    LiveMedia rogue;
    QSignalSpy removed(&rogue, &LiveMedia::feedRemoved);
    LiveMedia::FeedMap feeds { { "rogue", LiveMedia::Feeds { 777, 0 } } };
    feeds.insert(m_teacherId, m_teacher->media()->feeds().value(m_teacherId));
    rogue.enterRoom("rogue", m_teacher->media()->access(), feeds);
    // What the relay would tell it is live: the teacher's feeds.
    rogue.setLiveFeeds({ feeds.value(m_teacherId).camera, feeds.value(m_teacherId).screen });
    rogue.setMic("test-microphone");
    QVERIFY(removed.wait(kWaitMs));
    QCOMPARE(removed.takeFirst().at(0).toInt(), int(LiveMedia::Camera));
    QVERIFY(!rogue.mayPublish());

    // Long past a retry: a student is invited and heard meanwhile, and the removed feed stayed away.
    int from = studentLines();
    command(CmdInviteInteract, m_studentId);
    QVERIFY2(studentSays("sending a test tone", from), qPrintable(m_log));
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() > kLoudDb, kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(rogue.subscriptionCount() > 0, kWaitMs);
    QCOMPARE(removed.size(), 0);
    QCOMPARE(rogue.publisherUpCount(), 0);
    command(CmdMicOff, m_studentId);
    QTRY_VERIFY_WITH_TIMEOUT(studentLevel() < kSilentDb, kWaitMs);

    // Offered again only when told it may, and removed again.
    rogue.setMayPublish(true);
    QVERIFY(removed.wait(kWaitMs));
}

void TestClassMedia::mediaRidesOutARelayBlip()
{
    auto* session = m_teacher->findChild<RelayClient*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(session);
    QWebSocket* relay = session->findChild<QWebSocket*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(relay);
    const int reconnects = m_teacher->reconnectCount();
    relay->abort();
    QTRY_COMPARE_WITH_TIMEOUT(m_teacher->reconnectCount(), reconnects + 1, kWaitMs);
    // The tone's edges still reach the student after the relay came back.
    const QString sound = QStringLiteral("sound from %1: ").arg(m_teacherId);
    int from = studentLines();
    media::MediaTestKit::setTone(false);
    QVERIFY2(studentSays(sound + "off", from), qPrintable(m_log));
    from = studentLines();
    media::MediaTestKit::setTone(true);
    QVERIFY2(studentSays(sound + "on", from), qPrintable(m_log));
}

void TestClassMedia::classGoesOnWhenTheMediaServerDies()
{
    QVERIFY(m_janus.stop());
    QTRY_VERIFY_WITH_TIMEOUT(!m_teacher->media()->isConnected(), kWaitMs);
    g_deviceResults.clear();
    m_teacher->closeCamera();
    m_teacher->closeMic();
    m_teacher->openCamera("test-camera");
    m_teacher->openMic("test-microphone");
    m_teacher->openScreenShare(0, 0, 320, 240, 10);
    const int failed = LiveService::kDeviceFailed;
    QVERIFY(expect(ilive::E_OpenCamera, failed) && expect(ilive::E_OpenMic, failed)
        && expect(ilive::E_OpenScreenShare, failed));
    QVERIFY(!m_teacher->getCurCameraState() && !m_teacher->getScreenShareState());

    // Messages still cross the relay both ways.
    const int from = studentLines();
    ilive::Message msg;
    msg.elems.push_back(new ilive::MessageTextElem("还在吗"));
    const int before = g_okCalls;
    m_teacher->sendGroupMessage(msg, onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, before + 1, kWaitMs);
    QVERIFY2(studentSays(QStringLiteral("chat from %1: 还在吗").arg(m_teacherId), from), qPrintable(m_log));
    QVERIFY(m_teacher->isInRoom());
}

QTEST_MAIN(TestClassMedia)
#include "tst_classmedia.moc"
