// The teacher's own microphones and speaker through a real sound server: a PulseAudio daemon of the
// test's own with a speaker and microphones that play tones, lectern-server with its Janus, the
// teacher's shipped live-video service, and a subscriber to the teacher's feed that plays into a
// sink of its own, whose tone the test measures. Runs in its own network namespace.
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "PulseDaemon.h"
#include "ServerProcess.h"
#include "ToneMeter.h"
#include "ilive/LiveService.h"
#include "janus/JanusSession.h"
#include "media/LiveMedia.h"
#include "media/MediaSubscriber.h"
#include "protocol/LoginHash.h"

#include <QJsonArray>
#include <QtTest>

using classpeers::result;

namespace {

const int kWaitMs = 20000;
const int kDefaultHz = 660;
const int kOtherHz = 440;

QList<QPair<int, int>> g_deviceResults;
void onDevice(ilive::E_DeviceOperationType op, int code, void*)
{
    g_deviceResults << qMakePair(int(op), code);
}
QStringList g_replacedBy;
void onDeviceChange(ilive::E_DeviceChangeType type, const ilive::String& id, void*)
{
    if (type == ilive::E_MicReplaced)
        g_replacedBy << QString::fromUtf8(id.c_str());
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

QStringList ids(const ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list)
{
    QStringList out;
    for (const auto& device : list)
        out << QString::fromUtf8(device.first.c_str());
    return out;
}

} // namespace

class TestTeacherDevices : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsHaveNoMonitorAndTheDefaultFirst();
    void openedDefaultMicrophoneIsHeardAndMetered();
    void anotherMicrophoneIsHeardInTheSameFeed();
    void unpluggedMicrophoneFallsBackToTheDefaultWithOneNotice();

private:
    bool expect(ilive::E_DeviceOperationType op, int code)
    {
        return QTest::qWaitFor([&] { return g_deviceResults.contains(qMakePair(int(op), code)); }, kWaitMs);
    }

    PulseDaemon m_pulse;
    JanusProcess m_janus;
    ServerProcess m_server;
    LiveService* m_teacher = nullptr;
    QString m_teacherId;
    JanusSession* m_studentSession = nullptr;
    media::MediaSubscriber* m_student = nullptr;
    int m_studentFailures = 0;
    ToneMeter m_ear;
};

void TestTeacherDevices::initTestCase()
{
    QString error;
    QVERIFY2(m_pulse.start(&error), qPrintable(error));
    // The speaker first, as on most desktops: its monitor is then listed before any microphone.
    QVERIFY2(m_pulse.addSpeaker("speaker", "Speakers", &error), qPrintable(error));
    QVERIFY2(m_pulse.addSpeaker("student_ear", "Student", &error), qPrintable(error));
    QVERIFY2(m_pulse.addToneMic("mic_usb", "USB microphone", kOtherHz, &error), qPrintable(error));
    QVERIFY2(m_pulse.addToneMic("mic_builtin", "Built-in microphone", kDefaultHz, &error), qPrintable(error));
    QVERIFY2(m_pulse.setDefaultSource("mic_builtin", &error), qPrintable(error));
    QVERIFY2(m_pulse.setDefaultSink("speaker", &error), qPrintable(error));

    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(m_server.start(&error, { "--janus", m_janus.url(), "--janus-admin-key", m_janus.adminKey() }),
        qPrintable(error));
    const classpeers::Account teacher = classpeers::signIn(m_server, "teacher01");
    m_teacherId = teacher.userId;
    const qint64 room = classpeers::roomOfLiveInProgress(m_server, teacher);
    QVERIFY(room > 0);

    m_teacher = new LiveService;
    m_teacher->setUrl(QUrl(m_server.liveUrl()));
    m_teacher->setDeviceOperationCallback(onDevice, nullptr);
    m_teacher->setDeviceChangeCallback(onDeviceChange, nullptr);
    QCOMPARE(m_teacher->init(1400001234, 8848, true), 0);
    m_teacher->login(
        m_teacherId.toUtf8().constData(), teacher.userSig.toUtf8().constData(), onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 1, kWaitMs);
    ilive::iLiveRoomOption option;
    option.roomId = uint32_t(room);
    option.controlRole = "LiveMaster";
    m_teacher->createRoom(option, onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 2, kWaitMs);
    QVERIFY2(m_ear.start("student_ear.monitor", &error), qPrintable(error));
}

void TestTeacherDevices::cleanupTestCase()
{
    delete m_student;
    delete m_studentSession;
    delete m_teacher;
    m_ear.stop();
    m_server.stop();
    m_janus.stop();
    m_pulse.stop();
}

void TestTeacherDevices::listsHaveNoMonitorAndTheDefaultFirst()
{
    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics, players;
    QCOMPARE(m_teacher->getMicList(mics), 0);
    QCOMPARE(m_teacher->getPlayerList(players), 0);
    // Ids are the sound server's own names, so a remembered choice finds its device again.
    QCOMPARE(ids(mics), QStringList({ "mic_builtin", "mic_usb" }));
    for (const auto& mic : mics)
        QVERIFY2(!QString::fromUtf8(mic.second.c_str()).startsWith("Monitor of"), mic.second.c_str());
    QCOMPARE(QString::fromUtf8(mics[0].second.c_str()), QStringLiteral("Built-in microphone"));
    QCOMPARE(ids(players).value(0), QStringLiteral("speaker"));
    QVERIFY(ids(players).contains("student_ear"));
}

void TestTeacherDevices::openedDefaultMicrophoneIsHeardAndMetered()
{
    // What the room does at class start: the first of each list.
    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics, players;
    m_teacher->getMicList(mics);
    m_teacher->getPlayerList(players);
    m_teacher->openMic(mics[0].first.c_str());
    m_teacher->openPlayer(players[0].first.c_str());
    QVERIFY(expect(ilive::E_OpenMic, 0) && expect(ilive::E_OpenPlayer, 0));
    QCOMPARE(QString::fromUtf8(m_teacher->getCurMicId().c_str()), QStringLiteral("mic_builtin"));

    // A student of the class: the teacher's camera feed, played on a sink of its own.
    QTRY_COMPARE_WITH_TIMEOUT(m_teacher->media()->publisherUpCount(), 1, kWaitMs);
    const quint64 feed = m_teacher->media()->feeds().value(m_teacherId).camera;
    QVERIFY(feed);
    m_studentSession = new JanusSession;
    QSignalSpy ready(m_studentSession, &JanusSession::ready);
    // The media server lets in only sessions with a member's token; the ear listens with the teacher's.
    m_studentSession->setToken(m_teacher->media()->access().token);
    m_studentSession->open(QUrl(m_teacher->media()->access().url));
    QVERIFY(ready.wait(kWaitMs));
    m_student = new media::MediaSubscriber(
        m_studentSession, m_teacher->media()->access(), feed, QStringLiteral("student_ear"), false);
    connect(m_student, &media::MediaPeer::failed, this, [this] { ++m_studentFailures; });
    m_student->start();
    QVERIFY2(m_ear.waitForTone(kDefaultHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));

    // The room's meter: loud while the microphone sends, flat when muted.
    QTRY_VERIFY_WITH_TIMEOUT(m_teacher->getMicLevel() > -30.0, kWaitMs);
    m_teacher->setMicVolume(0);
    QTRY_VERIFY_WITH_TIMEOUT(m_teacher->getMicLevel() < -90.0, kWaitMs);
    m_teacher->setMicVolume(80);
    QTRY_VERIFY_WITH_TIMEOUT(m_teacher->getMicLevel() > -30.0, kWaitMs);
}

void TestTeacherDevices::anotherMicrophoneIsHeardInTheSameFeed()
{
    QVERIFY(m_student && m_student->isUp());
    const quint64 handle = m_student->handle();
    g_deviceResults.clear();
    m_teacher->openMic("mic_usb");
    QVERIFY(expect(ilive::E_OpenMic, 0));
    QVERIFY2(m_ear.waitForTone(kOtherHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));
    QCOMPARE(QString::fromUtf8(m_teacher->getCurMicId().c_str()), QStringLiteral("mic_usb"));
    // The same subscription carried it: the feed was neither ended nor offered anew.
    QVERIFY(m_student->isUp());
    QCOMPARE(m_student->handle(), handle);
    QCOMPARE(m_studentFailures, 0);
    QVERIFY(g_replacedBy.isEmpty());

    // And back, the same way.
    m_teacher->openMic("mic_builtin");
    QVERIFY2(m_ear.waitForTone(kDefaultHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));
    m_teacher->openMic("mic_usb");
    QVERIFY2(m_ear.waitForTone(kOtherHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));
}

void TestTeacherDevices::unpluggedMicrophoneFallsBackToTheDefaultWithOneNotice()
{
    QString error;
    QVERIFY2(m_pulse.removeMic("mic_usb", &error), qPrintable(error));
    QVERIFY2(m_ear.waitForTone(kDefaultHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));
    QTRY_COMPARE_WITH_TIMEOUT(g_replacedBy, QStringList { "mic_builtin" }, kWaitMs);
    QCOMPARE(QString::fromUtf8(m_teacher->getCurMicId().c_str()), QStringLiteral("mic_builtin"));
    QCOMPARE(m_studentFailures, 0);

    // Plugged in again mid-class: listed again, and the sound server gives the stream back to it
    // (it was the stream's own choice); the teacher sees where the sound comes from, and no second
    // notice, since nothing went away.
    QVERIFY2(m_pulse.addToneMic("mic_usb", "USB microphone", kOtherHz, &error), qPrintable(error));
    const auto micIds = [this] {
        ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics;
        m_teacher->getMicList(mics);
        return ids(mics);
    };
    QTRY_COMPARE_WITH_TIMEOUT(micIds(), QStringList({ "mic_builtin", "mic_usb" }), kWaitMs);
    QVERIFY2(m_ear.waitForTone(kOtherHz, kWaitMs), qPrintable(QString::number(m_ear.hz())));
    QTRY_COMPARE_WITH_TIMEOUT(
        QString::fromUtf8(m_teacher->getCurMicId().c_str()), QStringLiteral("mic_usb"), kWaitMs);
    QCOMPARE(g_replacedBy.size(), 1);
    QCOMPARE(m_studentFailures, 0);
}

QTEST_MAIN(TestTeacherDevices)
#include "tst_teacherdevices.moc"
