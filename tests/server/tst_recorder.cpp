// What the recorder has the media server record, and what it notes beside the recordings: only
// rooms of lives on a media server of this host, only while the live runs, and nothing (said in the
// log, the class going on) where the folder cannot be written.
#include "LogCapture.h"
#include "common/ReplayFolder.h"
#include "replay/Recorder.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

MediaServerConfig server(const char* url)
{
    MediaServerConfig c;
    c.url = QUrl(QString::fromLatin1(url));
    c.adminKey = QStringLiteral("k");
    return c;
}

} // namespace

class TestRecorder : public QObject {
    Q_OBJECT
private slots:
    void recordsLivesOnThisHostWhileTheyRunAndNotesTheirFeedsAndChat()
    {
        QTemporaryDir dir;
        bool running = false;
        Recorder recorder(dir.path(), {}, [&running](quint32 roomId) {
            return roomId == 7 ? std::optional<Recorder::Live>(Recorder::Live { 42, 10001, running })
                               : std::nullopt;
        });
        const QString live = replayfolder::liveDir(dir.path(), 42);

        struct Case {
            const char* url;
            quint32 room;
            bool recorded;
        };
        for (const Case& c :
            { Case { "ws://127.0.0.1:8188", 7, true }, Case { "ws://localhost:8188", 7, true },
                Case { "ws://127.0.1.1:8188", 7, true }, Case { "ws://192.0.2.10:8188", 7, false },
                Case { "ws://media.example:8188", 7, false }, Case { "ws://127.0.0.1:8188", 8, false } }) {
            const auto r = recorder.recordingOf(c.room, server(c.url));
            QVERIFY2(bool(r) == c.recorded, c.url);
            if (r) {
                QCOMPARE(r->dir, live);
                QVERIFY(!r->on); // made before "live.begin": the folder is set, the recording off
            }
        }
        recorder.chatLine(7, "10003", "小明", "too early"); // not begun yet: not kept
        running = true;
        QVERIFY(recorder.recordingOf(7, server("ws://127.0.0.1:8188"))->on);

        recorder.feedsDrawn(7, "10001", 111, 222);
        QSignalSpy ended(&recorder, &Recorder::classEnded);
        recorder.liveBegun(42, 7, 10001);
        recorder.chatLine(7, "10003", "小明", "老师好");
        recorder.liveBegun(42, 7, 10001); // begun again after a pause: one class
        recorder.liveEnded(42, 7);
        QCOMPARE(ended.size(), 1);
        recorder.chatLine(7, "10003", "小明", "after the end");

        replayfolder::ClassNotes notes;
        QVERIFY(replayfolder::readNotes(live, &notes));
        QCOMPARE(notes.liveId, qint64(42));
        QCOMPARE(notes.teacherId, qint64(10001));
        QVERIFY(notes.beganMs > 0 && notes.endedMs >= notes.beganMs);
        QCOMPARE(notes.feeds.value(111).userId, QStringLiteral("10001"));
        QVERIFY(!notes.feeds.value(111).screen && notes.feeds.value(222).screen);
        const QJsonArray chat = replayfolder::chatSince(live, notes.beganMs);
        QCOMPARE(chat.size(), 1);
        QCOMPARE(chat[0].toObject().value("text").toString(), QStringLiteral("老师好"));
        QCOMPARE(replayfolder::replayOf(dir.path(), 42)->state, replayfolder::State::Waiting);
    }

    void fullDiskStopsTheRecordingAndSaysSoUntilThereIsRoomAgain()
    {
        QTemporaryDir dir;
        LogCapture log;
        Recorder recorder(dir.path(), {}, [](quint32) {
            return std::optional<Recorder::Live>(Recorder::Live { 9, 10001, true });
        });
        // More free space asked for than the disk has: as good as full.
        recorder.setMinFreeBytes(QStorageInfo(dir.path()).bytesTotal() + 1);
        recorder.liveBegun(9, 4, 10001);
        QVERIFY2(log.contains("recording stops; the classes go on"), qPrintable(log.lines().join('\n')));
        const auto full = recorder.recordingOf(4, server("ws://127.0.0.1:8188"));
        QVERIFY(full && !full->on);
        recorder.setMinFreeBytes(0);
        recorder.liveBegun(9, 4, 10001);
        QVERIFY2(log.contains("recording goes on"), qPrintable(log.lines().join('\n')));
        QVERIFY(recorder.recordingOf(4, server("ws://127.0.0.1:8188"))->on);
        // The class was recorded all along as far as its notes go: it ends and its replay is made.
        QSignalSpy ended(&recorder, &Recorder::classEnded);
        recorder.liveEnded(9, 4);
        QCOMPARE(ended.size(), 1);
    }

    void folderThatCannotBeWrittenRecordsNothingAndSaysSo()
    {
        QTemporaryDir dir;
        // A file where the recordings folder should be: nothing can be made inside it.
        const QString root = dir.filePath("recordings");
        QFile blocker(root);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        LogCapture log;
        Recorder recorder(root, { server("ws://127.0.0.1:8188") }, [](quint32) {
            return std::optional<Recorder::Live>(Recorder::Live { 5, 10001, true });
        });
        QVERIFY(!recorder.recordingOf(3, server("ws://127.0.0.1:8188")));
        QVERIFY2(log.contains("live 5 is not recorded"), qPrintable(log.lines().join('\n')));
        QSignalSpy ended(&recorder, &Recorder::classEnded);
        recorder.liveBegun(5, 3, 10001);
        recorder.chatLine(3, "10003", "小明", "hi");
        recorder.liveEnded(5, 3);
        QCOMPARE(ended.size(), 0);
        QVERIFY(QFileInfo(root).isFile());
    }
};

QTEST_MAIN(TestRecorder)
#include "tst_recorder.moc"
