// The teacher's microphones through a real sound server (a PulseAudio daemon of the bench's own,
// microphones playing tones), Janus in a network namespace of its own (the bench starts itself
// again under tests/media/netns-run.sh), the teacher's room media publishing, and a student's
// subscription playing into a sink whose tone is measured every 50 ms.
//  1. Another microphone chosen: the time until the student hears its tone; 12 switches.
//     Beside it the time a mute takes to be heard, which is the path every change travels (encoder,
//     Janus, jitter buffer, the student's sink, the measurement); the rest is the device move.
//  2. The microphone in use unplugged: the time until the student hears the default's tone, and
//     until the room is told; 6 times.
// Both with microphones whose sinks render in short blocks, as a real microphone delivers, and
// again with the null sinks' own 2 s blocks (the raw test rig).
#include "BenchLoop.h"
#include "BenchSupport.h"
#include "JanusProcess.h"
#include "PulseDaemon.h"
#include "ToneMeter.h"
#include "janus/JanusSession.h"
#include "media/LiveMedia.h"
#include "media/MediaDevices.h"
#include "media/MediaSubscriber.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QSignalSpy>

#include <algorithm>
#include <cstdio>
#include <unistd.h>

using bench::waitFor;

namespace {

const int kWaitMs = 15000;
const int kSwitches = 12;
const int kUnplugs = 6;

int fail(const QString& why)
{
    std::printf("bench_devices: %s\n", qPrintable(why));
    return 1;
}

QString figures(QList<qint64> v)
{
    if (v.isEmpty())
        return QStringLiteral("no samples");
    std::sort(v.begin(), v.end());
    return QStringLiteral("median %1 ms, min %2, max %3 (n=%4)")
        .arg(v.at(v.size() / 2))
        .arg(v.first())
        .arg(v.last())
        .arg(v.size());
}

// Milliseconds from now until the meter's first block of the tone; -1 on timeout.
qint64 untilTone(ToneMeter& ear, double hz)
{
    // Two blocks in a row: a block half tone, half silence can count crossings like another tone.
    QElapsedTimer t;
    t.start();
    int inRow = 0;
    qint64 first = -1;
    QMetaObject::Connection c = QObject::connect(&ear, &ToneMeter::block, [&](double block) {
        if (inRow >= 2)
            return;
        inRow = ToneMeter::near(block, hz) ? inRow + 1 : 0;
        if (inRow == 1)
            first = t.elapsed() - ToneMeter::kBlockMs;
    });
    waitFor([&] { return inRow >= 2; }, kWaitMs);
    QObject::disconnect(c);
    return inRow >= 2 ? std::max<qint64>(0, first) : -1;
}

qint64 untilSilence(ToneMeter& ear)
{
    QElapsedTimer t;
    t.start();
    int inRow = 0;
    qint64 first = -1;
    QMetaObject::Connection c = QObject::connect(&ear, &ToneMeter::block, [&](double block) {
        if (inRow >= 2)
            return;
        inRow = block == 0.0 ? inRow + 1 : 0;
        if (inRow == 1)
            first = t.elapsed() - ToneMeter::kBlockMs;
    });
    waitFor([&] { return inRow >= 2; }, kWaitMs);
    QObject::disconnect(c);
    return inRow >= 2 ? std::max<qint64>(0, first) : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!bench::inMediaNamespace(argv[0]))
        return fail("cannot start itself in a network namespace");
    QGuiApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    QString error;
    PulseDaemon pulse;
    if (!pulse.start(&error) || !pulse.addSpeaker("student_ear", "Student", &error))
        return fail(error);
    JanusProcess janus;
    if (!janus.start(&error))
        return fail(error);
    if (!janus.addToken(QStringLiteral("bench"), &error))
        return fail(error);
    JanusSession session;
    session.setToken(QStringLiteral("bench"));
    QSignalSpy ready(&session, &JanusSession::ready);
    session.open(QUrl(janus.url()));
    if (!ready.wait(kWaitMs))
        return fail("no Janus session");
    quint64 handle = 0;
    session.attach("janus.plugin.videoroom", [&handle](const QJsonObject& a) {
        handle = quint64(a.value("data").toObject().value("id").toDouble());
    });
    waitFor([&] { return handle != 0; }, kWaitMs);
    bool created = false;
    session.message(handle,
        { { "request", "create" }, { "room", 1 }, { "admin_key", janus.adminKey() }, { "pin", "p" } }, {},
        [&created](const QJsonObject& a) { created = JanusSession::ok(a); });
    if (!waitFor([&] { return created; }, kWaitMs))
        return fail("no room");
    const media::RoomAccess access { janus.url(), 1, "p", QStringLiteral("bench") };
    ToneMeter ear;

    for (const bool steady : { true, false }) {
        const QString a = steady ? "mic_a" : "raw_a";
        const QString b = steady ? "mic_b" : "raw_b";
        if (!pulse.addToneMic(b, "Default microphone", 660, &error, steady)
            || !pulse.addToneMic(a, "Other microphone", 440, &error, steady)
            || !pulse.setDefaultSource(b, &error))
            return fail(error);
        // Started after the default changed: the sound server moves a recording to a new default.
        ear.stop();
        if (!ear.start("student_ear.monitor", &error))
            return fail(error);
        std::printf("%s\n",
            steady ? "Microphones delivering in short blocks:"
                   : "The raw rig (null sinks rendering 2 s blocks):");

        LiveMedia teacher;
        teacher.enterRoom("teacher", access, { { "teacher", LiveMedia::Feeds { 11, 0 } } });
        teacher.setMic(b);
        if (!waitFor([&] { return teacher.publisherUpCount() == 1; }, kWaitMs))
            return fail("the teacher's feed did not come up");
        media::MediaSubscriber student(&session, access, 11, "student_ear", false);
        student.start();
        if (untilTone(ear, 660) < 0)
            return fail("the student never heard the default microphone");

        QList<qint64> switches, mutes;
        for (int i = 0; i < kSwitches; ++i) {
            waitFor([] { return false; }, 700);
            teacher.setMicMuted(true);
            mutes << untilSilence(ear);
            teacher.setMicMuted(false);
            const bool toA = i % 2 == 0;
            untilTone(ear, toA ? 660 : 440);
            waitFor([] { return false; }, 500);
            teacher.setMic(toA ? a : b);
            switches << untilTone(ear, toA ? 440 : 660);
        }
        std::printf(
            "  another microphone chosen, until the student hears it: %s\n", qPrintable(figures(switches)));
        std::printf(
            "  a mute, until the student hears it (the path alone): %s\n", qPrintable(figures(mutes)));

        QList<qint64> unplugs, notices;
        for (int i = 0; i < kUnplugs; ++i) {
            teacher.setMic(a);
            if (untilTone(ear, 440) < 0)
                return fail("the other microphone was not heard");
            waitFor([] { return false; }, 500);
            QSignalSpy told(&teacher, &LiveMedia::micReplaced);
            QElapsedTimer t;
            t.start();
            if (!pulse.removeMic(a, &error))
                return fail(error);
            unplugs << untilTone(ear, 660);
            waitFor([&] { return told.size() > 0; }, kWaitMs);
            notices << (told.isEmpty() ? -1 : t.elapsed());
            if (!pulse.addToneMic(a, "Other microphone", 440, &error, steady))
                return fail(error);
            waitFor([&] { return media::MediaDevices::exists(media::MediaDevices::Microphone, a); }, kWaitMs);
        }
        std::printf("  the microphone in use unplugged, until the default is heard: %s\n",
            qPrintable(figures(unplugs)));
        std::printf("  ... and until the room is told: %s\n", qPrintable(figures(notices)));
        teacher.leaveRoom();
        waitFor([] { return false; }, 500);
        if (!pulse.removeMic(a, &error) || !pulse.removeMic(b, &error))
            return fail(error);
    }
    return 0;
}
