// The media library against a real Janus in the test's network namespace: a publisher's test tone
// and picture, switched by the test, arrive at a subscriber as sound and pictures, and the
// volume and mute controls really silence what is sent and what is played.
#include "JanusProcess.h"
#include "janus/JanusSession.h"
#include "media/MediaDevices.h"
#include "media/MediaPublisher.h"
#include "media/MediaSubscriber.h"

#include <QSignalSpy>
#include <QtTest>

#include <memory>

using namespace media;

namespace {

const int kWaitMs = 15000;
const double kLoudDb = -30.0;
const double kSilentDb = -70.0;

// Mean of the green channel over the picture's middle: black ~16 or less, white ~235 or more.
int middleBrightness(const VideoFrame& frame)
{
    if (frame.i420)
        return uchar(frame.data.at(frame.height / 2 * frame.width + frame.width / 2));
    const auto* px = reinterpret_cast<const uchar*>(frame.data.constData());
    return px[(frame.height / 2 * frame.width + frame.width / 2) * 4 + 1];
}

} // namespace

class TestMediaPublish : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void toneEdgesAndPictureSwitchesArriveAtASubscriber();
    void volumeAndMuteSilenceWhatIsSentAndWhatIsPlayed();
    void peerDyingAfterItsSessionDoesNotTouchIt();

private:
    JanusProcess m_janus;
    std::unique_ptr<JanusSession> m_session;
    RoomAccess m_access;
    quint64 m_nextFeed = 5001;
};

void TestMediaPublish::initTestCase()
{
    MediaTestKit::setEnabled(true);
    QString error;
    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(m_janus.addToken(QStringLiteral("mediapublish"), &error), qPrintable(error));
    m_session = std::make_unique<JanusSession>();
    m_session->setToken(QStringLiteral("mediapublish"));
    QSignalSpy ready(m_session.get(), &JanusSession::ready);
    m_session->open(QUrl(m_janus.url()));
    QVERIFY2(ready.wait(kWaitMs), "no session with Janus");
    quint64 handle = 0;
    m_session->attach("janus.plugin.videoroom", [&handle](const QJsonObject& a) {
        handle = quint64(a.value("data").toObject().value("id").toDouble());
    });
    QTRY_VERIFY_WITH_TIMEOUT(handle != 0, kWaitMs);
    m_access = RoomAccess { m_janus.url(), 4242, QStringLiteral("pin-4242"), QStringLiteral("mediapublish") };
    QJsonObject created;
    m_session->message(handle,
        { { "request", "create" }, { "room", 4242 }, { "admin_key", m_janus.adminKey() },
            { "pin", m_access.pin }, { "bitrate", 2000000 } },
        {}, [&created](const QJsonObject& a) { created = a; });
    QTRY_VERIFY_WITH_TIMEOUT(!created.isEmpty(), kWaitMs);
    QVERIFY2(JanusSession::ok(created), qPrintable(JanusSession::errorText(created)));
}

void TestMediaPublish::cleanupTestCase()
{
    m_session.reset();
    m_janus.stop();
}

void TestMediaPublish::toneEdgesAndPictureSwitchesArriveAtASubscriber()
{
    MediaTestKit::setTone(true);
    MediaTestKit::setPattern(3);
    FeedSpec spec;
    spec.video = QStringLiteral("test-camera");
    spec.audio = QStringLiteral("test-microphone");
    spec.preview = true;
    const quint64 feed = m_nextFeed++;
    MediaPublisher publisher(m_session.get(), m_access, feed, spec);
    QList<VideoFrame> local;
    publisher.setFrameCallback([&local](const VideoFrame& f) { local << f; });
    QSignalSpy published(&publisher, &MediaPeer::up);
    QSignalSpy publishFailed(&publisher, &MediaPeer::failed);
    publisher.start();
    QVERIFY2(published.wait(kWaitMs), qPrintable(publishFailed.value(0).value(0).toString()));
    QTRY_VERIFY(!local.isEmpty());
    QCOMPARE(QList<int>({ local.last().width, local.last().height, int(local.last().data.size()) }),
        QList<int>({ 640, 360, 640 * 360 * 4 }));

    for (const bool i420 : { false, true }) {
        MediaSubscriber subscriber(m_session.get(), m_access, feed, QString(), i420);
        VideoFrame last;
        int frames = 0;
        subscriber.setFrameCallback([&](const VideoFrame& f) {
            last = f;
            ++frames;
        });
        QSignalSpy failed(&subscriber, &MediaPeer::failed);
        subscriber.start();
        QTRY_VERIFY2_WITH_TIMEOUT(frames > 0, qPrintable(failed.value(0).value(0).toString()), kWaitMs);
        QCOMPARE(last.i420, i420);
        QCOMPARE(int(last.data.size()), i420 ? 640 * 360 * 3 / 2 : 640 * 360 * 4);

        // Each edge of the tone and of the picture is seen in what arrives, both ways.
        for (const bool on : { true, false, true }) {
            MediaTestKit::setTone(on);
            MediaTestKit::setPattern(on ? 3 : 2);
            if (on)
                QTRY_VERIFY_WITH_TIMEOUT(subscriber.level() > kLoudDb, kWaitMs);
            else
                QTRY_VERIFY_WITH_TIMEOUT(subscriber.level() < kSilentDb, kWaitMs);
            QTRY_VERIFY_WITH_TIMEOUT(
                on ? middleBrightness(last) > 200 : middleBrightness(last) < 40, kWaitMs);
        }
        QVERIFY(failed.isEmpty());
    }
}

void TestMediaPublish::volumeAndMuteSilenceWhatIsSentAndWhatIsPlayed()
{
    MediaTestKit::setTone(true);
    FeedSpec spec;
    spec.audio = QStringLiteral("test-microphone");
    const quint64 feed = m_nextFeed++;
    MediaPublisher publisher(m_session.get(), m_access, feed, spec);
    QSignalSpy published(&publisher, &MediaPeer::up);
    publisher.start();
    QVERIFY(published.wait(kWaitMs));
    MediaSubscriber subscriber(m_session.get(), m_access, feed, QStringLiteral("test-speaker"), false);
    subscriber.start();
    QTRY_VERIFY_WITH_TIMEOUT(subscriber.level() > kLoudDb, kWaitMs);

    // Each control silences the sound, and letting go of it brings the tone back.
    const QList<std::pair<const char*, std::function<void(bool)>>> controls {
        { "microphone volume 0", [&](bool quiet) { publisher.setVolume(quiet ? 0.0 : 1.0); } },
        { "microphone muted", [&](bool quiet) { publisher.setMuted(quiet); } },
        { "speaker volume 0", [&](bool quiet) { subscriber.setVolume(quiet ? 0.0 : 1.0); } },
        { "speaker muted", [&](bool quiet) { subscriber.setMuted(quiet); } },
    };
    for (const auto& control : controls) {
        control.second(true);
        QTRY_VERIFY2_WITH_TIMEOUT(subscriber.level() < kSilentDb, control.first, kWaitMs);
        control.second(false);
        QTRY_VERIFY2_WITH_TIMEOUT(subscriber.level() > kLoudDb, control.first, kWaitMs);
    }
}

void TestMediaPublish::peerDyingAfterItsSessionDoesNotTouchIt()
{
    auto* owner = new QObject;
    auto* session = new JanusSession(owner);
    session->setToken(QStringLiteral("mediapublish"));
    QSignalSpy ready(session, &JanusSession::ready);
    session->open(QUrl(m_janus.url()));
    QVERIFY(ready.wait(kWaitMs));
    auto* publisher = new MediaPublisher(session, m_access, m_nextFeed++, FeedSpec(), owner);
    QSignalSpy joined(publisher, &MediaPublisher::joined);
    publisher->start();
    QVERIFY(joined.wait(kWaitMs));
    QVERIFY(publisher->isJoined());
    // The session, made first, is destroyed first; the publisher must not detach through it then.
    delete owner;
}

QTEST_GUILESS_MAIN(TestMediaPublish)
#include "tst_mediapublish.moc"
