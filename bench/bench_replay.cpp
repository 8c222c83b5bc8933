// A slide class kept as its replay, on this machine, in a network namespace of its own (the bench
// starts itself again under tests/media/netns-run.sh): lectern-server records a live on its Janus
// while the teacher's client publishes its camera 640x360@15 with the test tone and shares a
// 1280x720 slide window at 10 fps whose page turns every 15 s.
//  1. Janus's CPU (% of one core) for 40 s of that class before "live.begin" and for 40 s while it
//     is recorded: the difference is what recording costs it.
//  2. After "live.end" (a class of LECTERN_BENCH_CLASS_SECS, default 120 s): the wall time and
//     the CPU time lectern-server's tools (janus-pp-rec, ffmpeg) take to make the replay, per
//     minute of class, and the replay's size scaled to an hour.
// The replay is left in build/bench/replay-sample/ for bench_replay_open.mjs.
#include "BenchLoop.h"
#include "BenchSupport.h"
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "media/MediaDevices.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QPainter>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdio>
#include <unistd.h>

using bench::pump;
using bench::waitFor;
using classpeers::result;

namespace {

const int kWaitMs = 20000;
const int kCpuWindowMs = 40000;

int g_ok = 0;
void onSuc(void*)
{
    ++g_ok;
}
void onErr(int code, const char* desc, void*)
{
    std::printf("call failed: %d %s\n", code, desc);
}

// utime + stime (own, or of the children it waited for) of a process, in seconds.
double cpuSeconds(qint64 pid, bool children)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = f.readAll().split(')').value(1).trimmed().split(' ');
    const int at = children ? 13 : 11;
    return (fields.value(at).toDouble() + fields.value(at + 1).toDouble()) / sysconf(_SC_CLK_TCK);
}

// A slide: a title, a few lines and a figure; the page number turns it.
class Slide : public QWidget {
public:
    int page = 1;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        p.setPen(QColor(30, 60, 120));
        QFont f = font();
        f.setPixelSize(48);
        p.setFont(f);
        p.drawText(80, 120, QStringLiteral("第 %1 讲：集合与函数").arg(page));
        f.setPixelSize(28);
        p.setFont(f);
        for (int i = 0; i < 6; ++i)
            p.drawText(100, 220 + i * 60,
                QStringLiteral("%1. 例题 %2 的解法与要点说明").arg(i + 1).arg(page * 10 + i));
        p.setBrush(QColor(250, 200, 80));
        p.drawEllipse(QPoint(1000, 420), 120 + 10 * (page % 4), 120);
    }
};

int fail(const char* why)
{
    std::printf("bench_replay: %s\n", why);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!bench::inMediaNamespace(argv[0]))
        return fail("cannot start itself in a network namespace");
    QApplication app(argc, argv);
    media::MediaTestKit::setEnabled(true);
    const int classSecs = qMax(30, qEnvironmentVariableIntValue("LECTERN_BENCH_CLASS_SECS") ?: 120);

    QTemporaryDir recordings(QStringLiteral("/var/tmp/lectern-bench-replay-XXXXXX"));
    JanusProcess janus;
    janus.setRecordings(recordings.path());
    QString error;
    if (!janus.start(&error))
        return fail(qPrintable(error));
    ServerProcess server;
    const QStringList args { "--janus", janus.url(), "--janus-admin-key", janus.adminKey(), "--recordings",
        recordings.path() };
    if (!server.start(&error, args))
        return fail(qPrintable(error));
    const classpeers::Account teacher = classpeers::signIn(server, "teacher01");
    QString liveId;
    for (const QJsonValue& l : result(server, "live.list.by.teacher.id",
             { { "teacherUserId", teacher.userId }, { "pageNum", 1 }, { "pageSize", 100 } }, teacher.ak)
                                   .value("list")
                                   .toArray())
        if (liveId.isEmpty() && (l.toObject().value("state") == "v" || l.toObject().value("state") == "s"))
            liveId = l.toObject().value("liveId").toString();
    const qint64 room = result(
        server, "live.create.room", { { "hostUserId", teacher.userId }, { "liveId", liveId } }, teacher.ak)
                            .value("avRoomId")
                            .toVariant()
                            .toLongLong();
    if (room <= 0)
        return fail("no live to hold");

    Slide slide;
    slide.setWindowFlags(Qt::FramelessWindowHint);
    slide.setGeometry(0, 0, 1280, 720);
    slide.show();
    LiveService service;
    service.setUrl(QUrl(server.liveUrl()));
    service.init(1400001234, 8848, true);
    service.login(
        teacher.userId.toUtf8().constData(), teacher.userSig.toUtf8().constData(), onSuc, onErr, nullptr);
    if (!waitFor([] { return g_ok == 1; }, kWaitMs))
        return fail("teacher not signed in");
    ilive::iLiveRoomOption option;
    option.roomId = uint32_t(room);
    option.controlRole = "LiveMaster";
    service.createRoom(option, onSuc, onErr, nullptr);
    if (!waitFor([] { return g_ok == 2; }, kWaitMs))
        return fail("teacher not in the room");
    media::MediaTestKit::setPattern(18); // a moving ball: the camera never stands still
    service.openCamera("test-camera");
    service.openMic("test-microphone");
    service.openScreenShare(0, 0, 1280, 720, 10);
    QTimer turner;
    QObject::connect(&turner, &QTimer::timeout, [&slide] {
        ++slide.page;
        slide.update();
    });
    turner.start(15000);
    pump(5000);

    const qint64 janusPid = janus.processId();
    double before = cpuSeconds(janusPid, false);
    pump(kCpuWindowMs);
    const double idleCpu = (cpuSeconds(janusPid, false) - before) / (kCpuWindowMs / 1000.0);

    QElapsedTimer clock;
    clock.start();
    result(server, "live.begin", { { "liveId", liveId } }, teacher.ak);
    pump(2000);
    before = cpuSeconds(janusPid, false);
    pump(kCpuWindowMs);
    const double recordingCpu = (cpuSeconds(janusPid, false) - before) / (kCpuWindowMs / 1000.0);
    pump(int(qMax<qint64>(0, classSecs * 1000 - clock.elapsed())));
    const double lengthSecs = clock.elapsed() / 1000.0;
    const double toolsBefore = cpuSeconds(server.processId(), true);
    result(server, "live.end", { { "liveId", liveId } }, teacher.ak);
    QElapsedTimer making;
    making.start();
    const QDir folder(QDir(recordings.path()).filePath(liveId));
    if (!waitFor([&] { return QFileInfo::exists(folder.filePath("replay.json")); }, 30 * 60 * 1000))
        return fail("no replay was made");
    // The replay maker starts 3 s after the end, so Janus has closed its files.
    const double makingSecs = making.elapsed() / 1000.0 - 3.0;
    const double toolsCpu = cpuSeconds(server.processId(), true) - toolsBefore;
    const qint64 bytes = QFileInfo(folder.filePath("replay.webm")).size();

    std::printf("class: %.0f s recorded (camera 640x360@15 + tone, slides 1280x720@10)\n", lengthSecs);
    std::printf(
        "janus CPU: %.1f %% of a core publishing, %.1f %% while recording: +%.1f %% (target <= 5 %%)\n",
        idleCpu * 100, recordingCpu * 100, (recordingCpu - idleCpu) * 100);
    std::printf("making the replay: %.1f s wall (%.3f x the class; at nice 19 on a %s machine), "
                "%.1f s CPU = %.2f s CPU per minute of class (%.3f x; target <= 0.2 x)\n",
        makingSecs, makingSecs / lengthSecs, "shared", toolsCpu, toolsCpu / (lengthSecs / 60),
        toolsCpu / lengthSecs);
    std::printf("replay size: %.2f MB, %.0f MB per hour (target <= 150 MB)\n", bytes / 1e6,
        bytes / 1e6 * 3600 / lengthSecs);

    const QString sample = QCoreApplication::applicationDirPath() + QStringLiteral("/replay-sample");
    QDir(sample).removeRecursively();
    QDir().mkpath(sample);
    for (const char* name : { "replay.webm", "replay.json", "class.json" })
        QFile::copy(folder.filePath(name), QDir(sample).filePath(name));
    std::printf("sample kept in %s\n", qPrintable(sample));
    service.quitRoom(nullptr, nullptr, nullptr);
    server.stop();
    janus.stop();
    return 0;
}
