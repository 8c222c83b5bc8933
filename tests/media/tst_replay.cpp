// A class kept as its replay, for real: lectern-server records a live on its Janus (into a folder
// under /var, which Janus protects unless start-janus.sh lets the recordings folder out), the
// teacher's live-video service switches its test picture and tone at known times, a lectern-student
// invited for a while speaks another tone, chat is sent; after "live.end" the replay is made (once,
// across a restart of lectern-server in the middle) and served to whom the roster admits.
// Runs in its own network namespace (tests/media/netns-run.sh).
#include "ChildProcess.h"
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "media/MediaDevices.h"
#include "protocol/CmdMessage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QWidget>
#include <QtTest>

#include <cmath>

using classpeers::result;

namespace {

const int kWaitMs = 20000;
// Making the replay runs at the lowest priority: on a machine busy with other work it waits.
const int kReplayWaitMs = 8 * 60 * 1000;

int g_okCalls = 0;
QList<QPair<int, int>> g_devices;
void onSuc(void*)
{
    ++g_okCalls;
}
void onErr(int code, const char* desc, void*)
{
    qWarning("call failed: %d %s", code, desc);
}
void onDevice(ilive::E_DeviceOperationType op, int code, void*)
{
    g_devices << qMakePair(int(op), code);
}

struct Fetched {
    int status = 0;
    QByteArray body;
    QByteArray contentRange;
};

Fetched fetch(const QString& url, const QByteArray& range = {})
{
    QNetworkAccessManager net;
    QNetworkRequest request { QUrl(url) };
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    QNetworkReply* reply = net.get(request);
    (void)QTest::qWaitFor([reply] { return reply->isFinished(); }, kWaitMs);
    Fetched f;
    f.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    f.body = reply->readAll();
    f.contentRange = reply->rawHeader("Content-Range");
    delete reply;
    return f;
}

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(120000);
    return p.readAllStandardOutput();
}

// The brightness (0-255) around x, y of the frame at seconds.
int brightnessAt(const QString& file, double seconds, int x, int y)
{
    const QByteArray gray = run(QStringLiteral("ffmpeg"),
        { "-v", "error", "-ss", QString::number(seconds), "-i", file, "-frames:v", "1", "-vf",
            QStringLiteral("crop=32:32:%1:%2,scale=1:1").arg(x - 16).arg(y - 16), "-f", "rawvideo",
            "-pix_fmt", "gray", "-" });
    return gray.isEmpty() ? -1 : quint8(gray[0]);
}

// The sound as 8 kHz mono samples.
QVector<double> samples(const QString& file)
{
    const QByteArray pcm = run(QStringLiteral("ffmpeg"),
        { "-v", "error", "-i", file, "-vn", "-ac", "1", "-ar", "8000", "-f", "s16le", "-" });
    QVector<double> out(pcm.size() / 2);
    for (int i = 0; i < out.size(); ++i)
        out[i] = qint16(quint8(pcm[2 * i]) | (quint8(pcm[2 * i + 1]) << 8)) / 32768.0;
    return out;
}

// Goertzel: the share of the window's energy at hz (0 … 1), and its RMS level.
struct Tone {
    double share = 0;
    double rms = 0;
};
Tone toneIn(const QVector<double>& s, double fromSecs, double toSecs, double hz)
{
    const int a = qBound(0, int(fromSecs * 8000), s.size());
    const int b = qBound(a, int(toSecs * 8000), s.size());
    const double k = 2 * std::cos(2 * M_PI * hz / 8000);
    double s1 = 0;
    double s2 = 0;
    double energy = 0;
    for (int i = a; i < b; ++i) {
        const double s0 = s[i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += s[i] * s[i];
    }
    const int n = b - a;
    if (n == 0 || energy == 0)
        return {};
    const double power = s1 * s1 + s2 * s2 - k * s1 * s2; // |X(hz)|^2
    return { 2 * power / (n * energy), std::sqrt(energy / n) };
}

} // namespace

class TestReplay : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void classBecomesOneReplayWithItsChatAcrossARestart();

private:
    bool studentSays(const QString& text, int from, qint64* atMs = nullptr);
    int studentLines()
    {
        m_log += QString::fromUtf8(m_student.readAll());
        return m_log.count('\n');
    }
    void chat(const QString& text);
    QStringList serverArguments() const
    {
        return { "--janus", m_janus.url(), "--janus-admin-key", m_janus.adminKey(), "--recordings",
            m_recordings.path() };
    }
    QList<QJsonObject> replaysFor(const QString& login);

    QTemporaryDir m_recordings { QStringLiteral("/var/tmp/lectern-replay-XXXXXX") };
    JanusProcess m_janus;
    ServerProcess m_server;
    LiveService* m_teacher = nullptr;
    classpeers::Account m_teacherAccount;
    QString m_liveId;
    qint64 m_room = 0;
    ChildProcess m_student;
    QString m_log;
    QElapsedTimer m_clock;
    QHash<QString, classpeers::Account> m_accounts;
};

bool TestReplay::studentSays(const QString& text, int from, qint64* atMs)
{
    return QTest::qWaitFor(
        [&] {
            m_log += QString::fromUtf8(m_student.readAll());
            if (m_log.split('\n').mid(from).filter(text).isEmpty())
                return false;
            if (atMs)
                *atMs = m_clock.elapsed();
            return true;
        },
        kWaitMs);
}

void TestReplay::chat(const QString& text)
{
    ilive::Message msg;
    msg.elems.push_back(new ilive::MessageTextElem(text.toUtf8().constData()));
    m_teacher->sendGroupMessage(msg, onSuc, onErr, nullptr);
}

QList<QJsonObject> TestReplay::replaysFor(const QString& login)
{
    if (!m_accounts.contains(login))
        m_accounts.insert(login, classpeers::signIn(m_server, login));
    const classpeers::Account a = m_accounts.value(login);
    QList<QJsonObject> list;
    for (const QJsonValue& v : result(m_server, "live.replay.list", {}, a.ak).value("list").toArray())
        list << v.toObject();
    return list;
}

void TestReplay::initTestCase()
{
    QVERIFY2(m_recordings.isValid(), qPrintable(m_recordings.errorString()));
    media::MediaTestKit::setEnabled(true);
    QString error;
    m_janus.setRecordings(m_recordings.path());
    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(m_server.start(&error, serverArguments()), qPrintable(error));

    // A live of teacher01's that has not begun, for student01 only; student02 is on another's roster.
    m_teacherAccount = classpeers::signIn(m_server, "teacher01");
    const QJsonArray lives = result(m_server, "live.list.by.teacher.id",
        { { "teacherUserId", m_teacherAccount.userId }, { "pageNum", 1 }, { "pageSize", 100 } },
        m_teacherAccount.ak)
                                 .value("list")
                                 .toArray();
    QString other;
    for (const QJsonValue& l : lives) {
        const QString state = l.toObject().value("state").toString();
        const QString id = l.toObject().value("liveId").toString();
        if (m_liveId.isEmpty() && (state == "v" || state == "s"))
            m_liveId = id;
        else if (other.isEmpty() && id != m_liveId)
            other = id;
    }
    QVERIFY(!m_liveId.isEmpty() && !other.isEmpty());
    const QStringList admin = m_server.storageArguments();
    QCOMPARE(QProcess::execute(
                 ServerProcess::program(), admin + QStringList { "live", "enrol", m_liveId, "student01" }),
        0);
    QCOMPARE(QProcess::execute(
                 ServerProcess::program(), admin + QStringList { "live", "enrol", other, "student02" }),
        0);
    m_room = result(m_server, "live.create.room",
        { { "hostUserId", m_teacherAccount.userId }, { "liveId", m_liveId } }, m_teacherAccount.ak)
                 .value("avRoomId")
                 .toVariant()
                 .toLongLong();
    QVERIFY(m_room > 0);

    m_teacher = new LiveService;
    m_teacher->setUrl(QUrl(m_server.liveUrl()));
    m_teacher->setDeviceOperationCallback(onDevice, nullptr);
    QCOMPARE(m_teacher->init(1400001234, 8848, true), 0);
    m_teacher->login(m_teacherAccount.userId.toUtf8().constData(),
        m_teacherAccount.userSig.toUtf8().constData(), onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 1, kWaitMs);
    ilive::iLiveRoomOption option;
    option.roomId = uint32_t(m_room);
    option.controlRole = "LiveMaster";
    m_teacher->createRoom(option, onSuc, onErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_okCalls, 2, kWaitMs);
    media::MediaTestKit::setPattern(3); // white
    media::MediaTestKit::setTone(true);
    m_teacher->openCamera("test-camera");
    m_teacher->openMic("test-microphone");
    QTRY_VERIFY_WITH_TIMEOUT(g_devices.contains(qMakePair(int(ilive::E_OpenCamera), 0))
            && g_devices.contains(qMakePair(int(ilive::E_OpenMic), 0)),
        kWaitMs);

    m_student.setProcessChannelMode(QProcess::MergedChannels);
    m_student.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-student"),
        { "--server", m_server.jsonRpcUrl(), "--live", m_server.liveUrl(), "--login", "student01", "--room",
            QString::number(m_room), "--tone-hz", "880", "--mic-off-after", "7" });
    QVERIFY(m_student.waitForStarted(5000));
    QVERIFY2(studentSays("media room", 0), qPrintable(m_log));
    // The teacher's picture and tone reach the class before it begins.
    QVERIFY2(
        studentSays(QStringLiteral("sound from %1: on").arg(m_teacherAccount.userId), 0), qPrintable(m_log));
}

void TestReplay::cleanupTestCase()
{
    if (m_student.state() != QProcess::NotRunning) {
        m_student.terminate();
        m_student.waitForFinished(5000);
    }
    delete m_teacher;
    m_server.stop();
    m_janus.stop();
}

void TestReplay::classBecomesOneReplayWithItsChatAcrossARestart()
{
    replaysFor("student02");
    const QString studentId = m_accounts.value("student01", classpeers::signIn(m_server, "student01")).userId;
    QVERIFY(replaysFor("student01").isEmpty());
    // The class, on the test's clock from just before "live.begin".
    m_clock.start();
    result(m_server, "live.begin", { { "liveId", m_liveId } }, m_teacherAccount.ak);
    const qint64 begunMs = m_clock.elapsed();
    QTest::qWait(2000 - int(m_clock.elapsed()));
    const qint64 firstChatMs = m_clock.elapsed();
    chat(QStringLiteral("先看第一题"));
    QTest::qWait(6000 - int(m_clock.elapsed()));
    media::MediaTestKit::setTone(false);
    QTest::qWait(8000 - int(m_clock.elapsed()));
    media::MediaTestKit::setPattern(2); // black
    const int from = studentLines();
    ilive::Message invite;
    invite.elems.push_back(new ilive::MessageCustomElem(
        cmdmessage::build(CmdInviteInteract, QString()).constData(), cmdmessage::kExt));
    m_teacher->sendC2CMessage(studentId.toUtf8().constData(), invite, onSuc, onErr, nullptr);
    qint64 studentOnMs = 0;
    qint64 studentOffMs = 0;
    QVERIFY2(studentSays("sending a test tone", from, &studentOnMs), qPrintable(m_log));
    QTest::qWait(12000 - int(m_clock.elapsed()));
    const qint64 secondChatMs = m_clock.elapsed();
    chat(QStringLiteral("请同学回答"));
    // A white slide shared from 13 s to 19 s.
    QWidget slide(nullptr, Qt::FramelessWindowHint);
    slide.setStyleSheet("background: white");
    slide.setGeometry(0, 0, 400, 300);
    slide.show();
    QVERIFY(QTest::qWaitForWindowExposed(&slide));
    QTest::qWait(13000 - int(m_clock.elapsed()));
    m_teacher->openScreenShare(0, 0, 320, 240, 10);
    QTRY_VERIFY_WITH_TIMEOUT(g_devices.contains(qMakePair(int(ilive::E_OpenScreenShare), 0)), kWaitMs);
    QVERIFY2(studentSays("went off the microphone", from, &studentOffMs), qPrintable(m_log));
    QTest::qWait(19000 - int(m_clock.elapsed()));
    m_teacher->closeScreenShare();
    QTest::qWait(22000 - int(m_clock.elapsed()));
    const qint64 endMs = m_clock.elapsed();
    result(m_server, "live.end", { { "liveId", m_liveId } }, m_teacherAccount.ak);
    const double lengthSecs = (endMs - begunMs) / 1000.0;

    // lectern-server stops while the replay is being made, and makes it at its next start.
    const QDir live(QDir(m_recordings.path()).filePath(m_liveId));
    QVERIFY2(QTest::qWaitFor([&] { return !live.entryList({ "*.mjr" }).isEmpty(); }, kWaitMs),
        "the media server recorded nothing");
    QVERIFY(QTest::qWaitFor([&] { return !QDir(live.filePath("work")).isEmpty(); }, kReplayWaitMs));
    m_server.stop();
    QVERIFY(!QFileInfo::exists(live.filePath("replay.webm")));
    QString error;
    QVERIFY2(m_server.start(&error, serverArguments()), qPrintable(error));
    QList<QJsonObject> listed;
    QElapsedTimer waited;
    waited.start();
    while ((listed = replaysFor("student01")).isEmpty() && waited.elapsed() < kReplayWaitMs)
        QTest::qWait(1000);
    QVERIFY2(!listed.isEmpty(), "no replay was made");
    QCOMPARE(listed.size(), 1);
    const QJsonObject replay = listed.first();
    QCOMPARE(replay.value("liveId").toString(), m_liveId);
    QVERIFY2(std::abs(replay.value("durationMs").toDouble() / 1000 - lengthSecs) < 2.0,
        qPrintable(QString::number(replay.value("durationMs").toDouble())));
    // One replay, and the recordings gone with the check.
    QCOMPARE(live.entryList({ "*.mjr", "work", "*.webm" }, QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { "replay.webm" });

    // The file as served: its length, the pictures and the voices where they were.
    const Fetched video = fetch(m_server.baseUrl() + replay.value("videoUrl").toString());
    QCOMPARE(video.status, 200);
    QTemporaryDir scratch;
    const QString file = scratch.filePath("replay.webm");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(video.body);
    }
    const double probed
        = run("ffprobe", { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file })
              .trimmed()
              .toDouble();
    QVERIFY2(std::abs(probed - lengthSecs) < 2.0, qPrintable(QString::number(probed)));
    // The screen share is the picture (a dark card before it, its last frame after it), the
    // teacher's camera the inset at the bottom right.
    struct Seen {
        double at;
        bool centreBright;
        bool insetBright;
    };
    for (const Seen& seen : { Seen { 4.0, false, true }, Seen { 11.0, false, false },
             Seen { 17.5, true, false }, Seen { 21.0, true, false } }) {
        const int centre = brightnessAt(file, seen.at, 640, 360);
        const int inset = brightnessAt(file, seen.at, 1104, 614);
        QVERIFY2(
            (seen.centreBright ? centre > 180 : centre < 60) && (seen.insetBright ? inset > 180 : inset < 60),
            qPrintable(QString("at %1 s: centre %2, inset %3").arg(seen.at).arg(centre).arg(inset)));
    }
    const QVector<double> sound = samples(file);
    const auto secs = [begunMs](qint64 ms) { return (ms - begunMs) / 1000.0; };
    const Tone teacher = toneIn(sound, 1.5, 5.5, 440);
    QVERIFY2(teacher.share > 0.5 && toneIn(sound, 1.5, 5.5, 880).share < 0.1,
        qPrintable(QString("440 Hz share %1").arg(teacher.share)));
    const Tone student = toneIn(sound, secs(studentOnMs) + 3, secs(studentOffMs) - 0.5, 880);
    QVERIFY2(student.share > 0.5, qPrintable(QString("880 Hz share %1").arg(student.share)));
    for (const auto& quiet :
        { qMakePair(7.0, secs(studentOnMs)), qMakePair(secs(studentOffMs) + 2, lengthSecs - 0.5) }) {
        const double rms = toneIn(sound, quiet.first, quiet.second, 440).rms;
        QVERIFY2(rms < 0.01,
            qPrintable(QString("%1 s to %2 s: rms %3").arg(quiet.first).arg(quiet.second).arg(rms)));
    }

    // The chat beside it, each line at its time into the class.
    const Fetched chatFile = fetch(m_server.baseUrl() + replay.value("chatUrl").toString());
    QCOMPARE(chatFile.status, 200);
    const QJsonArray lines = QJsonDocument::fromJson(chatFile.body).object().value("chat").toArray();
    QCOMPARE(lines.size(), 2);
    const qint64 sent[] = { firstChatMs, secondChatMs };
    for (int i = 0; i < 2; ++i) {
        const double at = lines[i].toObject().value("t").toDouble() / 1000;
        QVERIFY2(std::abs(at - secs(sent[i])) < 0.5, qPrintable(QString("line %1 at %2 s").arg(i).arg(at)));
    }
    QCOMPARE(lines[0].toObject().value("text").toString(), QStringLiteral("先看第一题"));

    // Byte ranges, as the download code serves them.
    const Fetched part = fetch(m_server.baseUrl() + replay.value("videoUrl").toString(), "bytes=100-199");
    QCOMPARE(part.status, 206);
    QCOMPARE(part.body, video.body.mid(100, 100));
    QCOMPARE(part.contentRange, QByteArray("bytes 100-199/") + QByteArray::number(video.body.size()));

    // A student on another live's roster neither sees it nor fetches it with an address of its own.
    QVERIFY(replaysFor("student02").isEmpty());
    const QString student02 = m_accounts.value("student02").userId;
    QString borrowed = replay.value("videoUrl").toString();
    borrowed.replace(QStringLiteral("u=") + studentId, QStringLiteral("u=") + student02);
    QCOMPARE(fetch(m_server.baseUrl() + borrowed).status, 403);
    QCOMPARE(replaysFor("teacher01").size(), 1);
}

QTEST_MAIN(TestReplay)
#include "tst_replay.moc"
