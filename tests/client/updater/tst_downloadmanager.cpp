#include "updater/downloadmanagerHTTP.h"

#include "HttpFixture.h"

#include <QtTest>

using Handler = HttpFixture::Handler;
Q_DECLARE_METATYPE(Handler)

namespace {

QByteArray MakeContent(int size, quint32 seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = quint32(size) + seed;
    for (char& c : bytes)
        c = char((x = x * 1664525u + 1013904223u) >> 24);
    return bytes;
}

QByteArray ReadFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool WriteFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The content as a file, dribbled in chunks when chunk > 0, the connection cut after cutAfter bytes.
Handler Serve(const QByteArray& c, const QByteArray& ranges = "bytes", bool honour = true, int chunk = 0,
    qint64 cutAfter = -1, int chunkIntervalMs = 10)
{
    return [=](const HttpRequestRecord& r) {
        HttpResponse answer = HttpResponse::file(r, c, ranges, honour);
        answer.chunkBytes = chunk;
        answer.chunkIntervalMs = chunk ? chunkIntervalMs : 0;
        answer.cutAfterBytes = cutAfter;
        return answer;
    };
}

HttpResponse Status(int status, qint64 length = -1)
{
    HttpResponse answer;
    answer.status = status;
    answer.body = QByteArray(2000, 'e');
    answer.contentLength = length;
    return answer;
}

} // namespace

class TestDownloadManager : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dm.reset(); // before the server it talks to
        m_server.reset(new HttpFixture);
        QVERIFY(m_server->start());
        m_dir.reset(new QTemporaryDir);
        m_dm.reset(new DownloadManagerHTTP);
        m_dm->setDownloadFolder(m_dir->path());
        m_complete.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadComplete));
        m_error.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadError));
        m_progress.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::progress));
    }

    // Each run finds a stale installer and the first 1000 bytes of a part file in its folder.
    void continuesOrLeavesNothing_data()
    {
        QTest::addColumn<Handler>("handler");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name"); // the file that should land; empty: the run fails
        QTest::addColumn<QByteArray>("range"); // expected on the GET; empty: none
        const QByteArray c = m_content, resumed = "bytes=1000-20000";
        const QString path = "/files/lesson.bin", name = "lesson.bin";
        QTest::newRow("Bytes") << Serve(c, "Bytes", true, 4000) << path << name << resumed;
        QTest::newRow("none") << Serve(c, "none") << path << name << QByteArray();
        // HEAD promises ranges, GET answers 200 with the whole file.
        QTest::newRow("range ignored") << Serve(c, "bytes", false) << path << name << resumed;
        QTest::newRow("unknown size") << Handler([c](const HttpRequestRecord& r) {
            HttpResponse answer = Serve(c, QByteArray(), true, 4000)(r);
            answer.sendContentLength = false;
            return answer;
        }) << path << name << QByteArray();
        QTest::newRow("failing HEAD") << Handler([c](const HttpRequestRecord& r) {
            return r.method == "HEAD" ? Status(404, 99) : HttpResponse::file(r, c);
        }) << path << name << QByteArray();
        // A name taken from the address never climbs out of the folder.
        QTest::newRow("backslashes") << Serve(c) << "/dl/..%5C..%5Cevil.exe"
                                     << "evil.exe" << resumed;
        QTest::newRow("dot dot") << Serve(c) << "/dl/.."
                                 << "download" << resumed;

        QTest::newRow("cut after progress")
            << Serve(c, "bytes", true, 2000, 10000) << path << QString() << resumed;
        // The GET ends cleanly (connection close, no length) but short of the size HEAD gave.
        QTest::newRow("truncated") << Handler([c](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, r.method == "GET" ? c.left(3000) : c, QByteArray());
            answer.sendContentLength = r.method == "HEAD";
            return answer;
        }) << path << QString() << QByteArray();
        QTest::newRow("error page") << Handler([](const HttpRequestRecord&) { return Status(404); }) << path
                                    << QString() << QByteArray();
        QTest::newRow("rename fails") << Serve(c) << path << QString() << resumed;
        // Sizes stay 64-bit, and 2000 of 5 GB is not a finished installer.
        QTest::newRow("beyond 2 GiB") << Handler([](const HttpRequestRecord& r) {
            HttpResponse answer
                = Status(r.method == "GET" ? 206 : 200, r.method == "GET" ? 1000 : Q_INT64_C(5000000000));
            answer.body.truncate(1000);
            answer.headers
                = { { "Accept-Ranges", "bytes" }, { "Content-Range", "bytes 1000-1999/5000000000" } };
            return answer;
        }) << path << QString() << QByteArray("bytes=1000-5000000000");
    }
    void continuesOrLeavesNothing()
    {
        QFETCH(Handler, handler);
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(QByteArray, range);
        const QByteArray tag = QTest::currentDataTag();
        m_server->setHandler(handler);
        const QString folder = m_dir->filePath("inbox");
        const QString final = folder + "/" + (name.isEmpty() ? QFileInfo(path).fileName() : name);
        QVERIFY(tag == "rename fails" ? QDir().mkpath(final + "/inside") // a non-empty folder holds the name
                                      : QDir().mkpath(folder) && WriteFile(final, "old installer"));
        QVERIFY(WriteFile(final + ".part", m_content.left(1000)));
        m_dm->setDownloadFolder(folder);
        m_dm->download(QUrl(m_server->url(path)), QString());
        QCOMPARE(finish(), !name.isEmpty());
        QCOMPARE(m_server->requests()[1].header("Range"), range);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
        for (const auto& args : *m_progress)
            QVERIFY(args.at(0).toInt() >= 0 && args.at(0).toInt() <= 100);
        if (name.isEmpty()) {
            QTest::qWait(200);
            QCOMPARE(m_error->count(), 1);
            QCOMPARE(m_complete->count(), 0);
            QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList());
            if (tag == "error page")
                QCOMPARE(m_progress->count(), 0); // an error page is no progress
            return;
        }
        QCOMPARE(m_complete->at(0).at(0).toString(), final);
        QCOMPARE(m_server->requests().size(), 2);
        QVERIFY(ReadFile(final) == m_content);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList { name });
        QCOMPARE(m_progress->last().at(0).toInt(), 100);
        if (tag == "Bytes") // a continued download counts what was already there
            QVERIFY(m_progress->first().at(0).toInt() >= 5);
    }

    void pauseThenResumeGivesIdenticalFile_data()
    {
        QTest::addColumn<int>("pauseAt");
        QTest::newRow("midway") << 10;
        // Regression: every byte was in before the pause, the resumed range started past the
        // end, the server refused it and the finished download was deleted.
        QTest::newRow("after the last byte") << 100;
    }
    void pauseThenResumeGivesIdenticalFile()
    {
        QFETCH(int, pauseAt);
        const QByteArray content = MakeContent(200000);
        m_server->setHandler(Serve(content, "bytes", true, 8000));
        bool paused = false;
        connect(m_dm.get(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            if (!paused && percentage >= pauseAt) {
                paused = true;
                m_dm->pause();
            }
        });
        const QString final = m_dir->filePath("h.bin");
        m_dm->download(QUrl(m_server->url("/h.bin")), "h.bin");
        QTRY_VERIFY(paused);
        QVERIFY(!m_dm->isRunning());
        const qint64 kept = QFileInfo(final + ".part").size();
        QTest::qWait(150);
        QCOMPARE(m_complete->count() + m_error->count(), 0);
        QVERIFY(kept > 0 && QFileInfo(final + ".part").size() == kept);

        m_dm->resume();
        QVERIFY(finish());
        const QByteArray from = QByteArray::number(kept < content.size() ? kept : 0);
        QCOMPARE(m_server->requests().last().header("Range"), "bytes=" + from + "-200000");
        QVERIFY(ReadFile(final) == content);
    }

    void stallFailsSteadyTransferCompletes_data()
    {
        QTest::addColumn<Handler>("handler");
        QTest::addColumn<bool>("completes");
        const QByteArray c = m_content;
        auto silent = [c](const QByteArray& method) {
            return Handler([c, method](const HttpRequestRecord& r) {
                HttpResponse answer = HttpResponse::file(r, c);
                answer.neverAnswer = r.method == method;
                return answer;
            });
        };
        QTest::newRow("size query hangs") << silent("HEAD") << false;
        QTest::newRow("no answer to the GET") << silent("GET") << false;
        QTest::newRow("body stops midway") << Serve(c, "bytes", true, 4000, -1, 600000) << false;
        // Slower in all than the watchdog's period, but never silent for that long.
        QTest::newRow("slow and steady") << Serve(c, "bytes", true, 2000, -1, 120) << true;
    }
    void stallFailsSteadyTransferCompletes()
    {
        QFETCH(Handler, handler);
        QFETCH(bool, completes);
        m_server->setHandler(handler);
        m_dm->setStallTimeoutMs(600);
        QElapsedTimer clock;
        clock.start();
        m_dm->download(QUrl(m_server->url("/s.bin")), QString());
        QCOMPARE(finish(), completes);
        QCOMPARE(m_error->count(), completes ? 0 : 1);
        QVERIFY(clock.elapsed() >= 570); // a coarse timer may fire 5 % early
        if (completes) {
            QVERIFY(ReadFile(m_dir->filePath("s.bin")) == m_content);
            return;
        }
        QVERIFY(!m_dm->isRunning());
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
    }

    // A part file kept by an earlier start meets the file the server has now.
    void resumesOnlyTheSameFileNeverMixesTwo_data()
    {
        QTest::addColumn<QByteArray>("oldEtag");
        QTest::addColumn<QByteArray>("oldDate");
        QTest::addColumn<QByteArray>("newEtag");
        QTest::addColumn<QByteArray>("newDate");
        QTest::addColumn<bool>("sameBytes"); // the server's file is still the one the part came from
        QTest::addColumn<QByteArray>("ifRange"); // expected on the second GET; empty: the part restarts
        const QByteArray v1 = "\"v1\"", v2 = "\"v2\"";
        const QByteArray d1 = "Mon, 07 Dec 2026 00:10:00 GMT", d2 = "Mon, 07 Dec 2026 00:20:00 GMT";
        const QByteArray none, weak = "W/\"v1\"";
        QTest::newRow("same ETag") << v1 << d1 << v1 << d2 << true << v1;
        QTest::newRow("ETag changed") << v1 << d1 << v2 << d1 << false << none;
        QTest::newRow("same date") << none << d1 << none << d1 << true << d1;
        QTest::newRow("date changed") << none << d1 << none << d2 << false << none;
        QTest::newRow("weak ETag, same date") << weak << d1 << weak << d1 << true << d1;
        // Kept by a client that stored no validator: nothing says whose bytes these are.
        QTest::newRow("validator new") << none << none << v1 << none << false << none;
        // HEAD still describes the old file, the GET already sends the new one.
        QTest::newRow("changed after HEAD") << v1 << d1 << v2 << d2 << false << v1;
    }
    void resumesOnlyTheSameFileNeverMixesTwo()
    {
        QFETCH(QByteArray, oldEtag);
        QFETCH(QByteArray, oldDate);
        QFETCH(QByteArray, newEtag);
        QFETCH(QByteArray, newDate);
        QFETCH(bool, sameBytes);
        QFETCH(QByteArray, ifRange);
        const QByteArray tag = QTest::currentDataTag();
        const QByteArray oldFile = MakeContent(60000), newFile = MakeContent(60000, sameBytes ? 0 : 1);
        m_server->setHandler([=](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, oldFile, "bytes", true, oldEtag, oldDate);
            answer.chunkBytes = 3000;
            answer.chunkIntervalMs = 10;
            return answer;
        });
        bool paused = false;
        connect(m_dm.get(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            if (!paused && percentage >= 20) {
                paused = true;
                m_dm->pause();
            }
        });
        m_dm->download(QUrl(m_server->url("/i.bin")), QString());
        QTRY_VERIFY(paused);
        const qint64 kept = QFileInfo(m_dir->filePath("i.bin.part")).size();
        QVERIFY(kept > 0 && kept < oldFile.size());

        // The next start.
        m_dm.reset(new DownloadManagerHTTP);
        m_dm->setDownloadFolder(m_dir->path());
        m_complete.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadComplete));
        m_error.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadError));
        m_server->setHandler([=](const HttpRequestRecord& r) {
            if (tag == "changed after HEAD" && r.method == "HEAD")
                return HttpResponse::file(r, oldFile, "bytes", true, oldEtag, oldDate);
            return HttpResponse::file(r, newFile, "bytes", true, newEtag, newDate);
        });
        m_server->clearRequests();
        m_dm->download(QUrl(m_server->url("/i.bin")), QString());
        QVERIFY(finish());
        QVERIFY(ReadFile(m_dir->filePath("i.bin")) == newFile);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList { "i.bin" });
        const HttpRequestRecord get = m_server->requests().at(1);
        QCOMPARE(get.header("If-Range"), ifRange);
        QCOMPARE(get.header("Range"),
            "bytes=" + QByteArray::number(ifRange.isEmpty() ? 0 : kept) + "-"
                + QByteArray::number(oldFile.size()));
    }

private:
    // Waits for the download's end; true when it completed without an error.
    bool finish()
    {
        return QTest::qWaitFor([this] { return m_complete->count() + m_error->count() > 0; }, 10000)
            && m_complete->count() == 1 && m_error->isEmpty();
    }

    const QByteArray m_content = MakeContent(20000);
    std::unique_ptr<HttpFixture> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DownloadManagerHTTP> m_dm;
    std::unique_ptr<QSignalSpy> m_complete, m_error, m_progress;
};

QTEST_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
