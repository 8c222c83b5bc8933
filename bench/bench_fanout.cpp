// Fan-out of one teacher to many students through one Janus: the teacher publishes camera
// 640x360@15 and Opus from the test sources; students (media-library subscribers in this process,
// each decoding the picture) are added one at a time while every one still gets the full frame
// rate, that is at 90 % or more of the rate the teacher really sends (on a loaded machine the
// test camera itself falls short of 15). Prints, per number of students, the slowest student's frame rate,
// Janus's CPU and memory, and the time from a student's join to its first decoded teacher frame. Run inside
// the media tests' network namespace: tests/media/netns-run.sh build/bench/bench_fanout
#include "JanusProcess.h"
#include "ProcessMemory.h"
#include "janus/JanusSession.h"
#include "media/MediaDevices.h"
#include "media/MediaPublisher.h"
#include "media/MediaSubscriber.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTest>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

using namespace media;

namespace {

const int kWaitMs = 15000;
const int kFps = 15;
const int kWindowMs = 5000;
const int kMaxStudents = 24;

// CPU seconds a process has used.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15, counted from the state (field 3) here.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

QString loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readLine()) : QStringLiteral("?\n");
}

struct Student {
    std::unique_ptr<MediaSubscriber> peer;
    int frames = 0;
    qint64 firstFrameMs = -1;
};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    MediaTestKit::setEnabled(true);
    MediaTestKit::setTone(true);
    MediaTestKit::setPattern(0);
    JanusProcess janus;
    QString error;
    if (!janus.start(&error)) {
        std::fprintf(stderr, "bench_fanout: %s\n", qPrintable(error));
        return 1;
    }
    if (!janus.addToken(QStringLiteral("bench"), &error)) {
        std::fprintf(stderr, "bench_fanout: %s\n", qPrintable(error));
        return 1;
    }
    JanusSession session;
    session.setToken(QStringLiteral("bench"));
    QSignalSpy ready(&session, &JanusSession::ready);
    session.open(QUrl(janus.url()));
    if (!ready.wait(kWaitMs))
        return 1;
    quint64 handle = 0;
    session.attach("janus.plugin.videoroom", [&handle](const QJsonObject& a) {
        handle = quint64(a.value("data").toObject().value("id").toDouble());
    });
    if (!QTest::qWaitFor([&] { return handle != 0; }, kWaitMs))
        return 1;
    const RoomAccess access { janus.url(), 7001, QStringLiteral("fanout-pin"), QStringLiteral("bench") };
    bool created = false;
    session.message(handle,
        { { "request", "create" }, { "room", 7001 }, { "admin_key", janus.adminKey() }, { "pin", access.pin },
            { "bitrate", 1500000 }, { "videocodec", "vp8" }, { "audiocodec", "opus" } },
        {}, [&created](const QJsonObject& a) { created = JanusSession::ok(a); });
    if (!QTest::qWaitFor([&] { return created; }, kWaitMs))
        return 1;

    FeedSpec spec;
    spec.video = QStringLiteral("test-camera");
    spec.audio = QStringLiteral("test-microphone");
    spec.fps = kFps;
    spec.preview = true;
    spec.previewI420 = true;
    MediaPublisher teacher(&session, access, 1, spec);
    // What the teacher really sends on this machine is the full rate a student can get.
    int sent = 0;
    teacher.setFrameCallback([&sent](const VideoFrame&) { ++sent; });
    QSignalSpy up(&teacher, &MediaPeer::up);
    teacher.start();
    if (!up.wait(kWaitMs)) {
        std::fprintf(stderr, "bench_fanout: the teacher's feed did not come up\n");
        return 1;
    }
    QTest::qWait(2000);
    const qint64 pid = janus.processId();
    double cpu0 = cpuSeconds(pid);
    QTest::qWait(kWindowMs);
    const double idleCpu = (cpuSeconds(pid) - cpu0) * 1000.0 / kWindowMs * 100.0;
    const qint64 rss0 = RssKb(pid);
    std::printf("Janus with the teacher alone: %.1f %% CPU, %.1f MB\n", idleCpu, rss0 / 1024.0);
    std::printf("%8s %10s %12s %12s %12s %16s\n", "students", "sent fps", "slowest fps", "Janus CPU %",
        "Janus MB", "join->frame ms");

    std::vector<std::unique_ptr<Student>> students;
    int held = 0;
    double cpuPerStudent = 0, mbPerStudent = 0;
    for (int n = 1; n <= kMaxStudents; ++n) {
        auto s = std::make_unique<Student>();
        Student* raw = s.get();
        s->peer = std::make_unique<MediaSubscriber>(&session, access, 1, QString(), true);
        QElapsedTimer joined;
        s->peer->setFrameCallback([raw, &joined](const VideoFrame&) {
            if (raw->firstFrameMs < 0)
                raw->firstFrameMs = joined.elapsed();
            ++raw->frames;
        });
        joined.start();
        s->peer->start();
        students.push_back(std::move(s));
        if (!QTest::qWaitFor([raw] { return raw->firstFrameMs >= 0; }, kWaitMs)) {
            std::printf("%8d: the new student got no picture in %d ms\n", n, kWaitMs);
            break;
        }
        QTest::qWait(1000);
        for (auto& st : students)
            st->frames = 0;
        sent = 0;
        cpu0 = cpuSeconds(pid);
        QTest::qWait(kWindowMs);
        const double cpu = (cpuSeconds(pid) - cpu0) * 1000.0 / kWindowMs * 100.0;
        double slowest = 1e9;
        for (auto& st : students)
            slowest = std::min(slowest, st->frames * 1000.0 / kWindowMs);
        const qint64 rss = RssKb(pid);
        const double sentFps = sent * 1000.0 / kWindowMs;
        std::printf("%8d %10.1f %12.1f %12.1f %12.1f %16lld\n", n, sentFps, slowest, cpu, rss / 1024.0,
            static_cast<long long>(raw->firstFrameMs));
        std::fflush(stdout);
        if (slowest < sentFps * 0.9)
            break;
        held = n;
        cpuPerStudent = (cpu - idleCpu) / n;
        mbPerStudent = (rss - rss0) / 1024.0 / n;
    }
    std::printf("load average while measured: %s", qPrintable(loadAverage()));
    std::printf("students held at the full frame rate (>= 90 %% of what the teacher sent): %d%s\n", held,
        held == kMaxStudents ? " (the most tried)" : "");
    std::printf("Janus per student: %.2f %% CPU, %.2f MB\n", cpuPerStudent, mbPerStudent);
    students.clear();
    return held > 0 ? 0 : 1;
}
