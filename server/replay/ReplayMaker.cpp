#include "ReplayMaker.h"

#include "common/ReplayFolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThread>

#include <mutex>

#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace {

const int kWidth = 1280;
const int kHeight = 720;
const int kFps = 15;
const char* const kCard = "0x202428"; // the still card where no picture was shared yet

// A tool run for the replay: at the lowest priority, and gone with the server (the thread that
// started it) so a restart never finds an old one still writing.
class Tool : public QProcess {
protected:
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::setpriority(PRIO_PROCESS, 0, 19);
    }
};

struct Track {
    QString file; // unpacked
    bool audio = false;
    bool screen = false;
    bool host = false;
    qint64 offsetMs = 0; // from the class's start
};

} // namespace

struct ReplayMaker::Work {
    QString root;
    std::atomic<bool> stopping { false };
    std::mutex mutex;
    Tool* running = nullptr;
    QObject* context = nullptr; // lives in the worker thread

    bool run(
        const QString& program, const QStringList& args, int timeoutMs, QByteArray* output, QString* error);
    bool make(qint64 liveId);
    bool fail(const QString& dir, qint64 liveId, const QString& why, bool final);
};

bool ReplayMaker::Work::run(
    const QString& program, const QStringList& args, int timeoutMs, QByteArray* output, QString* error)
{
    Tool p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    {
        std::lock_guard<std::mutex> g(mutex);
        if (stopping)
            return false;
        p.start(program, args);
        running = &p;
    }
    const bool started = p.waitForStarted(10000);
    const bool finished = started && p.waitForFinished(timeoutMs);
    {
        std::lock_guard<std::mutex> g(mutex);
        running = nullptr;
    }
    if (!finished) {
        p.kill();
        p.waitForFinished(5000);
        *error = started ? QStringLiteral("%1 did not finish in time").arg(program)
                         : QStringLiteral("cannot run %1: %2").arg(program, p.errorString());
        return false;
    }
    if (output)
        *output = p.readAllStandardOutput();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        const QByteArray err = p.readAllStandardError().trimmed();
        *error = QStringLiteral("%1 failed (%2): %3")
                     .arg(program)
                     .arg(p.exitCode())
                     .arg(QString::fromUtf8(err.right(400)));
        return false;
    }
    return true;
}

// final: the recordings cannot give a replay (nothing is tried again); otherwise the live stays
// waiting and is tried again at the next start.
bool ReplayMaker::Work::fail(const QString& dir, qint64 liveId, const QString& why, bool final)
{
    qWarning().noquote() << "replay of live" << liveId << "not made:" << why;
    if (!final || stopping)
        return false;
    QSaveFile f(QDir(dir).filePath(replayfolder::kReplayFile));
    if (f.open(QIODevice::WriteOnly)) {
        f.write(QJsonDocument(QJsonObject { { "liveId", QString::number(liveId) }, { "error", why },
                                  { "madeMs", double(QDateTime::currentMSecsSinceEpoch()) } })
                    .toJson(QJsonDocument::Compact));
        f.commit();
    }
    return false;
}

bool ReplayMaker::Work::make(qint64 liveId)
{
    const QString dir = replayfolder::liveDir(root, liveId);
    QDir d(dir);
    replayfolder::ClassNotes notes;
    if (!replayfolder::readNotes(dir, &notes) || !notes.endedMs)
        return false;
    const QStringList mjrs = d.entryList({ QStringLiteral("*.mjr") }, QDir::Files, QDir::Name);
    if (QFileInfo(d.filePath(replayfolder::kReplayFile)).isFile()) {
        // Made before a restart cut the clean-up short.
        for (const QString& f : mjrs)
            d.remove(f);
        QDir(d.filePath("work")).removeRecursively();
        return true;
    }
    const qint64 durationMs = notes.endedMs - notes.beganMs;
    if (notes.beganMs <= 0 || durationMs <= 0)
        return fail(dir, liveId, QStringLiteral("the class has no length"), true);
    if (mjrs.isEmpty())
        return fail(dir, liveId,
            QStringLiteral("RECORDED CLASS WITHOUT RECORDING FILES: the media server wrote nothing into %1 "
                           "(is the folder allowed in its configuration, outside its protected folders, "
                           "and on a disk with space?)")
                .arg(dir),
            true);

    QDir work(d.filePath("work"));
    work.removeRecursively();
    if (!d.mkpath("work"))
        return fail(dir, liveId, QStringLiteral("cannot create %1").arg(work.path()), false);

    // videoroom-<room>-user-<feed>-<time>-<audio|video>-<index>.mjr
    static const QRegularExpression name(QStringLiteral("-user-(\\d+)-"));
    QList<Track> tracks;
    QString error;
    for (int i = 0; i < mjrs.size() && !stopping; ++i) {
        const QString source = d.filePath(mjrs[i]);
        const quint64 feed = name.match(mjrs[i]).captured(1).toULongLong();
        if (!notes.feeds.contains(feed)) {
            qWarning().noquote() << "replay of live" << liveId << "leaves out" << mjrs[i]
                                 << ": no member's feed";
            continue;
        }
        QByteArray header;
        if (!run(QStringLiteral("janus-pp-rec"), { QStringLiteral("-j"), source }, 60000, &header, &error)) {
            qWarning().noquote() << "replay of live" << liveId << "leaves out" << mjrs[i] << ":" << error;
            continue;
        }
        const QJsonObject h = QJsonDocument::fromJson(header).object();
        const QString type = h.value("t").toString();
        const qint64 firstUs = qint64(h.value("u").toDouble());
        if ((type != QLatin1String("a") && type != QLatin1String("v")) || firstUs <= 0)
            continue; // nothing was written into it
        Track t;
        t.audio = type == QLatin1String("a");
        const replayfolder::Feed owner = notes.feeds.value(feed);
        t.screen = owner.screen;
        t.host = owner.userId == QString::number(notes.teacherId);
        if (!t.audio && !t.host)
            continue; // the picture is the teacher's
        t.offsetMs = firstUs / 1000 - notes.beganMs;
        t.file = work.filePath(QStringLiteral("%1.%2").arg(i).arg(t.audio ? "opus" : "webm"));
        if (!run(QStringLiteral("janus-pp-rec"),
                { QStringLiteral("-d"), QStringLiteral("1"), source, t.file },
                qMax<qint64>(120000, durationMs), nullptr, &error)
            || !QFileInfo(t.file).isFile()) {
            qWarning().noquote() << "replay of live" << liveId << "leaves out" << mjrs[i] << ":" << error;
            continue;
        }
        tracks << t;
    }
    if (stopping)
        return false;

    const auto seconds = [](qint64 ms) { return QString::number(double(ms) / 1000, 'f', 3); };
    QStringList args { QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
        QStringLiteral("-y") };
    bool anyScreen = false;
    for (const Track& t : tracks)
        anyScreen = anyScreen || (!t.audio && t.screen);
    QStringList graph;
    graph << QStringLiteral("color=c=%1:s=%2x%3:r=%4:d=%5,format=yuv420p[v0]")
                 .arg(QLatin1String(kCard))
                 .arg(kWidth)
                 .arg(kHeight)
                 .arg(kFps)
                 .arg(seconds(durationMs));
    graph << QStringLiteral("anullsrc=r=48000:cl=stereo,atrim=duration=%1[a0]").arg(seconds(durationMs));
    int video = 0;
    QStringList voices { QStringLiteral("[a0]") };
    // The main pictures go under the inset, in the order they started.
    std::stable_sort(tracks.begin(), tracks.end(), [anyScreen](const Track& a, const Track& b) {
        const bool aMain = !a.audio && a.screen == anyScreen;
        const bool bMain = !b.audio && b.screen == anyScreen;
        return aMain != bMain ? aMain : a.offsetMs < b.offsetMs;
    });
    for (int i = 0; i < tracks.size(); ++i) {
        const Track& t = tracks[i];
        // A stream that began before the class (it never should) is cut at the class's start.
        if (t.offsetMs < 0)
            args << QStringLiteral("-ss") << seconds(-t.offsetMs);
        args << QStringLiteral("-i") << t.file;
        const QString at = seconds(qMax<qint64>(0, t.offsetMs));
        if (t.audio) {
            graph << QStringLiteral("[%1:a]aresample=48000:async=1,aformat=channel_layouts=stereo,"
                                    "adelay=%2:all=1[s%1]")
                         .arg(i)
                         .arg(qMax<qint64>(0, t.offsetMs));
            voices << QStringLiteral("[s%1]").arg(i);
            continue;
        }
        const bool main = t.screen == anyScreen;
        // Slides and an inset need no better scaler than the fastest.
        if (main)
            graph << QStringLiteral("[%1:v]setpts=PTS-STARTPTS+%2/TB,scale=%3:%4:force_original_aspect_ratio="
                                    "decrease:flags=fast_bilinear,pad=%3:%4:-1:-1:color=%5[p%1]")
                         .arg(i)
                         .arg(at)
                         .arg(kWidth)
                         .arg(kHeight)
                         .arg(QLatin1String(kCard));
        else
            graph << QStringLiteral("[%1:v]setpts=PTS-STARTPTS+%2/TB,scale=%3:%4:force_original_aspect_ratio="
                                    "decrease:flags=fast_bilinear[p%1]")
                         .arg(i)
                         .arg(at)
                         .arg(kWidth / 4)
                         .arg(kHeight / 4);
        // The shared picture stays at its last frame when sharing stops; the inset goes.
        graph << QStringLiteral("[v%1][p%2]overlay=%3format=yuv420:eof_action=%4[v%5]")
                     .arg(video)
                     .arg(i)
                     .arg(main ? QString() : QStringLiteral("W-w-16:H-h-16:"))
                     .arg(main ? QStringLiteral("repeat") : QStringLiteral("pass"))
                     .arg(video + 1);
        ++video;
    }
    graph << QStringLiteral("[v%1]format=yuv420p[v]").arg(video);
    graph << QStringLiteral("%1amix=inputs=%2:duration=first:normalize=0[a]")
                 .arg(voices.join(QString()))
                 .arg(voices.size());
    const QString made = work.filePath(replayfolder::kVideoFile);
    args << QStringLiteral("-filter_complex") << graph.join(QLatin1Char(';'))
         << QStringLiteral("-filter_complex_threads") << QStringLiteral("1") << QStringLiteral("-map")
         << QStringLiteral("[v]") << QStringLiteral("-map") << QStringLiteral("[a]") << QStringLiteral("-t")
         << seconds(durationMs)
         // Real-time VP8 at the source's rate: a slide class needs few bits, and one thread
         // leaves the rest of the machine to the classes.
         << QStringLiteral("-c:v") << QStringLiteral("libvpx") << QStringLiteral("-deadline")
         << QStringLiteral("realtime") << QStringLiteral("-cpu-used") << QStringLiteral("16")
         << QStringLiteral("-threads") << QStringLiteral("1") << QStringLiteral("-b:v")
         << QStringLiteral("200k") << QStringLiteral("-maxrate") << QStringLiteral("300k")
         << QStringLiteral("-bufsize") << QStringLiteral("600k") << QStringLiteral("-g")
         << QString::number(kFps * 5) << QStringLiteral("-c:a") << QStringLiteral("libopus")
         << QStringLiteral("-b:a") << QStringLiteral("32k") << QStringLiteral("-f") << QStringLiteral("webm")
         << made;
    if (!run(QStringLiteral("ffmpeg"), args,
            int(qMin<qint64>(3600000 * 6, qMax<qint64>(600000, durationMs * 3))), nullptr, &error))
        return fail(dir, liveId, error, false);

    QByteArray probed;
    if (!run(QStringLiteral("ffprobe"),
            { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                QStringLiteral("format=duration"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), made },
            60000, &probed, &error))
        return fail(dir, liveId, error, false);
    const qint64 madeMs = qint64(probed.trimmed().toDouble() * 1000);
    if (qAbs(madeMs - durationMs) > kDurationSlackMs)
        return fail(dir, liveId,
            QStringLiteral("the replay lasts %1 ms, the class %2 ms: the recordings are kept")
                .arg(madeMs)
                .arg(durationMs),
            false);

    const QString target = d.filePath(replayfolder::kVideoFile);
    QFile::remove(target);
    if (!QFile::rename(made, target))
        return fail(dir, liveId, QStringLiteral("cannot move the replay into %1").arg(dir), false);
    const QJsonObject description { { "liveId", QString::number(liveId) },
        { "durationMs", double(durationMs) }, { "beganMs", double(notes.beganMs) },
        { "madeMs", double(QDateTime::currentMSecsSinceEpoch()) },
        { "chat", replayfolder::chatSince(dir, notes.beganMs) } };
    QSaveFile f(d.filePath(replayfolder::kReplayFile));
    if (!f.open(QIODevice::WriteOnly)
        || f.write(QJsonDocument(description).toJson(QJsonDocument::Compact)) < 0 || !f.commit())
        return fail(dir, liveId, f.errorString(), false);
    for (const QString& m : mjrs)
        d.remove(m);
    work.removeRecursively();
    qInfo().noquote() << "replay of live" << liveId << "made:" << target << QFileInfo(target).size()
                      << "bytes";
    return true;
}

ReplayMaker::ReplayMaker(const QString& root, QObject* parent)
    : QObject(parent)
    , m_root(root)
    , m_thread(new QThread(this))
    , m_work(std::make_shared<Work>())
{
    m_work->root = root;
    m_work->context = new QObject;
    m_work->context->moveToThread(m_thread);
    m_thread->start(QThread::IdlePriority);
}

ReplayMaker::~ReplayMaker()
{
    {
        std::lock_guard<std::mutex> g(m_work->mutex);
        m_work->stopping = true;
        if (m_work->running)
            m_work->running->kill();
    }
    m_thread->quit();
    m_thread->wait();
    delete m_work->context;
}

void ReplayMaker::enqueue(qint64 liveId)
{
    if (m_pending.contains(liveId))
        return;
    m_pending.insert(liveId);
    ++m_queued;
    QMetaObject::invokeMethod(
        m_work->context,
        [this, work = m_work, liveId] {
            if (work->stopping)
                return;
            const bool ok = work->make(liveId);
            if (!work->stopping)
                QMetaObject::invokeMethod(
                    this, [this, liveId, ok] { done(liveId, ok); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void ReplayMaker::done(qint64 liveId, bool ok)
{
    m_pending.remove(liveId);
    --m_queued;
    emit made(liveId, ok);
}

void ReplayMaker::enqueueUnmade()
{
    for (const replayfolder::Replay& r : replayfolder::list(m_root))
        if (r.state == replayfolder::State::Waiting
            || (r.state == replayfolder::State::Ready
                && !QDir(replayfolder::liveDir(m_root, r.liveId))
                        .entryList({ QStringLiteral("*.mjr") })
                        .isEmpty()))
            enqueue(r.liveId);
}
