// Sound and video through Janus with the media library, on this machine, in a network namespace
// of its own (the bench starts itself again under tests/media/netns-run.sh).
//  1. Glass-to-glass latency teacher -> student: the test picture switches black/white and the test
//     tone on/off once a second, 20 times; the time until the subscriber sees each switch.
//  2. The teacher's CPU (% of one core) and memory while publishing camera 640x360@15 + Opus and a
//     screen 1280x720@10, for 10 s (no subscriber in this process).
//  3. Bytes per second one subscriber receives for a 1280x720@10 screen share of a still slide, then
//     of one being drawn on, 10 s each.
#include "BenchLoop.h"
#include "BenchSupport.h"
#include "JanusProcess.h"
#include "janus/JanusSession.h"
#include "media/MediaDevices.h"
#include "media/MediaPublisher.h"
#include "media/MediaSubscriber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <unistd.h>

using namespace media;
using bench::pump;
using bench::waitFor;

namespace {

const int kWaitMs = 15000;

double percentile(QList<double> v, double p)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    return v.at(std::min(v.size() - 1, int(p * (v.size() - 1) + 0.5)));
}

// User + system CPU seconds of this process.
double cpuSeconds()
{
    QFile f("/proc/self/stat");
    f.open(QIODevice::ReadOnly);
    const QList<QByteArray> fields = f.readAll().split(')').value(1).trimmed().split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / sysconf(_SC_CLK_TCK);
}

long rssKb()
{
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

int brightness(const VideoFrame& f)
{
    return uchar(f.data.at((f.height / 2 * f.width + f.width / 2) * 4 + 1));
}

int fail(const char* why)
{
    std::printf("bench_webrtc: %s\n", why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!bench::inMediaNamespace(argv[0]))
        return fail("cannot start itself in a network namespace");
    QGuiApplication app(argc, argv);
    MediaTestKit::setEnabled(true);
    JanusProcess janus;
    QString error;
    if (!janus.start(&error))
        return fail(qPrintable(error));
    if (!janus.addToken(QStringLiteral("bench"), &error))
        return fail(qPrintable(error));
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
    bool created = false;
    waitFor([&] { return handle != 0; }, kWaitMs);
    session.message(handle,
        { { "request", "create" }, { "room", 1 }, { "admin_key", janus.adminKey() }, { "pin", "p" },
            { "bitrate", 2000000 } },
        {}, [&created](const QJsonObject& a) { created = JanusSession::ok(a); });
    if (!waitFor([&] { return created; }, kWaitMs))
        return fail("no room");
    const RoomAccess access { janus.url(), 1, "p", QStringLiteral("bench") };

    // 1. Latency.
    {
        FeedSpec spec;
        spec.video = "test-camera";
        spec.audio = "test-microphone";
        MediaTestKit::setPattern(2);
        MediaTestKit::setTone(false);
        MediaPublisher pub(&session, access, 11, spec);
        pub.start();
        if (!waitFor([&] { return pub.isUp(); }, kWaitMs))
            return fail("camera feed not up");
        MediaSubscriber sub(&session, access, 11, QString(), false);
        QElapsedTimer clock;
        clock.start();
        bool bright = false;
        qint64 switchedMs = -1, videoSeenMs = -1, audioSeenMs = -1;
        sub.setFrameCallback([&](const VideoFrame& f) {
            if (switchedMs >= 0 && videoSeenMs < 0 && (brightness(f) > 128) == bright)
                videoSeenMs = clock.elapsed();
        });
        QObject::connect(&sub, &MediaSubscriber::audioLevel, [&](double db) {
            if (switchedMs >= 0 && audioSeenMs < 0 && (db > -30) == bright)
                audioSeenMs = clock.elapsed();
        });
        sub.start();
        if (!waitFor([&] { return sub.isUp(); }, kWaitMs))
            return fail("subscriber not up");
        pump(2000);
        QList<double> video, audio;
        for (int i = 0; i < 20; ++i) {
            bright = !bright;
            videoSeenMs = audioSeenMs = -1;
            switchedMs = clock.elapsed();
            MediaTestKit::setPattern(bright ? 3 : 2);
            MediaTestKit::setTone(bright);
            waitFor([&] { return videoSeenMs >= 0 && audioSeenMs >= 0; }, 1000);
            if (videoSeenMs >= 0)
                video << double(videoSeenMs - switchedMs);
            if (audioSeenMs >= 0)
                audio << double(audioSeenMs - switchedMs);
            pump(1000 - int(clock.elapsed() - switchedMs) > 0 ? 1000 - int(clock.elapsed() - switchedMs) : 0);
        }
        std::printf("latency video ms  median %.0f  p95 %.0f  (%d of 20 switches seen)\n",
            percentile(video, 0.5), percentile(video, 0.95), int(video.size()));
        std::printf("latency audio ms  median %.0f  p95 %.0f  (%d of 20 switches seen)\n",
            percentile(audio, 0.5), percentile(audio, 0.95), int(audio.size()));
    }

    // 2. The teacher's CPU and memory.
    {
        MediaTestKit::setPattern(0);
        MediaTestKit::setTone(true);
        FeedSpec camera;
        camera.video = "test-camera";
        camera.audio = "test-microphone";
        camera.preview = true;
        FeedSpec screen;
        screen.video = "test-camera";
        screen.width = 1280;
        screen.height = 720;
        screen.fps = 10;
        screen.videoBitrate = 800000;
        MediaPublisher cam(&session, access, 21, camera);
        MediaPublisher scr(&session, access, 22, screen);
        cam.setFrameCallback([](const VideoFrame&) {});
        cam.start();
        scr.start();
        if (!waitFor([&] { return cam.isUp() && scr.isUp(); }, kWaitMs))
            return fail("teacher's feeds not up");
        pump(2000);
        const double cpu0 = cpuSeconds();
        QElapsedTimer t;
        t.start();
        long peakKb = 0;
        while (t.elapsed() < 10000) {
            pump(500);
            peakKb = std::max(peakKb, rssKb());
        }
        const double share = (cpuSeconds() - cpu0) / (t.elapsed() / 1000.0) * 100.0;
        std::printf(
            "teacher publishing 640x360@15 + 1280x720@10 + Opus: CPU %.0f %% of one core, RSS %ld MB\n",
            share, peakKb / 1024);
    }

    // 3. Bytes a student receives for a screen share of a slide, still and drawn on.
    {
        FeedSpec spec;
        spec.pushedVideo = true;
        spec.width = 1280;
        spec.height = 720;
        spec.fps = 10;
        spec.videoBitrate = 800000;
        MediaPublisher pub(&session, access, 31, spec);
        pub.start();
        QImage slide(1280, 720, QImage::Format_RGB32);
        slide.fill(Qt::white);
        {
            QPainter p(&slide);
            p.setFont(QFont("DejaVu Sans", 40));
            p.drawText(QRect(80, 60, 1120, 120), Qt::AlignLeft, "Photosynthesis");
            p.setFont(QFont("DejaVu Sans", 24));
            for (int i = 0; i < 6; ++i)
                p.drawText(QRect(120, 220 + i * 70, 1040, 60), Qt::AlignLeft,
                    QStringLiteral("• point %1: light, water and carbon dioxide").arg(i + 1));
        }
        bool drawing = false;
        QRandomGenerator random(7);
        QPoint pen(640, 360);
        QTimer frames;
        QObject::connect(&frames, &QTimer::timeout, [&] {
            if (drawing) {
                QPainter p(&slide);
                p.setPen(QPen(Qt::red, 4));
                for (int i = 0; i < 5; ++i) {
                    const QPoint next(std::clamp(pen.x() + int(random.bounded(41)) - 20, 0, 1279),
                        std::clamp(pen.y() + int(random.bounded(41)) - 20, 0, 719));
                    p.drawLine(pen, next);
                    pen = next;
                }
            }
            VideoFrame f;
            f.width = slide.width();
            f.height = slide.height();
            f.data = QByteArray(reinterpret_cast<const char*>(slide.constBits()), int(slide.sizeInBytes()));
            pub.pushFrame(f);
        });
        frames.start(100);
        if (!waitFor([&] { return pub.isUp(); }, kWaitMs))
            return fail("screen feed not up");
        MediaSubscriber sub(&session, access, 31, QString(), false);
        sub.start();
        if (!waitFor([&] { return sub.isUp(); }, kWaitMs))
            return fail("screen subscriber not up");
        pump(3000);
        for (const bool draw : { false, true }) {
            drawing = draw;
            const qint64 before = sub.receivedBytes();
            QElapsedTimer t;
            t.start();
            pump(10000);
            std::printf("screen share 1280x720@10, %s: %.1f KB/s received\n",
                draw ? "drawn on" : "still slide",
                (sub.receivedBytes() - before) / 1024.0 / (t.elapsed() / 1000.0));
        }
    }
    session.close();
    janus.stop();
    return 0;
}
