#include "updater/downloadmanagerHTTP.h"

#include "HttpFixture.h"

#include <QtTest>

namespace {

QByteArray MakeContent(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = seed;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
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

QByteArray Sha1(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

QList<int> Percentages(const QSignalSpy& spy)
{
    QList<int> values;
    for (const auto& args : spy)
        values << args.at(0).toInt();
    return values;
}

} // namespace

class TestDownloadManager : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_server.reset(new HttpFixture);
        QVERIFY(m_server->start());
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_dm.reset(new DownloadManagerHTTP);
        m_dm->setDownloadFolder(m_dir->path());
        m_complete.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadComplete));
        m_error.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::downloadError));
        m_progress.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::progress));
        m_lines.reset(new QSignalSpy(m_dm.get(), &DownloadManagerHTTP::addLine));
    }
    void cleanup()
    {
        m_complete.reset();
        m_error.reset();
        m_progress.reset();
        m_lines.reset();
        m_dm.reset();
        m_server.reset();
    }

    void resumesPartFileWhereRangesAreAccepted_data()
    {
        QTest::addColumn<QByteArray>("acceptRanges");
        QTest::newRow("bytes") << QByteArray("bytes");
        QTest::newRow("Bytes") << QByteArray("Bytes");
    }
    void resumesPartFileWhereRangesAreAccepted()
    {
        QFETCH(QByteArray, acceptRanges);
        const QByteArray content = MakeContent(5000, 1);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content, acceptRanges);
            answer.chunkBytes = 1000;
            answer.chunkIntervalMs = 10;
            return answer;
        });
        const QString final = m_dir->filePath("lesson.bin");
        QVERIFY(WriteFile(final + ".part", content.left(1000)));
        m_dm->download(QUrl(m_server->url("/files/x.bin")), "lesson.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        QCOMPARE(m_complete->at(0).at(0).toString(), final);

        const auto& requests = m_server->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].method, QByteArray("HEAD"));
        QCOMPARE(requests[1].method, QByteArray("GET"));
        QCOMPARE(requests[1].header("Range"), QByteArray("bytes=1000-5000"));
        const QList<int> percentages = Percentages(*m_progress);
        QVERIFY(!percentages.isEmpty());
        QVERIFY2(percentages.first() >= 20, qPrintable(QString::number(percentages.first())));
        QCOMPARE(percentages.last(), 100);
        QCOMPARE(Sha1(ReadFile(final)), Sha1(content));
        QVERIFY(!QFile::exists(final + ".part"));

        QStringList lines;
        for (const auto& args : *m_lines)
            lines << args.at(0).toString();
        QVERIFY2(lines.contains("Accept-Ranges = " + QString::fromLatin1(acceptRanges)), qPrintable(lines.join('|')));
        QVERIFY(lines.contains("Content-Length = 5000"));
    }

    void serverWithoutRangesStartsFromEmptyPartFile_data()
    {
        QTest::addColumn<QByteArray>("acceptRanges");
        QTest::newRow("no header") << QByteArray();
        QTest::newRow("none") << QByteArray("none");
    }
    void serverWithoutRangesStartsFromEmptyPartFile()
    {
        QFETCH(QByteArray, acceptRanges);
        const QByteArray content = MakeContent(4000, 2);
        m_server->setHandler([&](const HttpRequestRecord& r) { return HttpResponse::file(r, content, acceptRanges); });
        const QString final = m_dir->filePath("a.bin");
        QVERIFY(WriteFile(final + ".part", QByteArray(1000, 'x')));
        m_dm->download(QUrl(m_server->url("/a.bin")), "a.bin");
        QTRY_COMPARE(m_complete->count(), 1);
        QVERIFY(!m_server->requests()[1].hasHeader("Range"));
        QCOMPARE(ReadFile(final), content);
    }

    void rangeIgnoredByServerStartsOver()
    {
        // HEAD promises ranges, GET answers 200 with the whole file.
        const QByteArray content = MakeContent(4000, 3);
        m_server->setHandler([&](const HttpRequestRecord& r) { return HttpResponse::file(r, content, "bytes", false); });
        const QString final = m_dir->filePath("b.bin");
        QVERIFY(WriteFile(final + ".part", content.left(1000)));
        m_dm->download(QUrl(m_server->url("/b.bin")), "b.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        QCOMPARE(m_server->requests()[1].header("Range"), QByteArray("bytes=1000-4000"));
        QCOMPARE(ReadFile(final).size(), content.size());
        QCOMPARE(Sha1(ReadFile(final)), Sha1(content));
    }

    void nameFromUrlThroughPartFileReplacingOldFile()
    {
        const QByteArray content = MakeContent(20000, 4);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content);
            answer.chunkBytes = 4000;
            answer.chunkIntervalMs = 40;
            return answer;
        });
        const QString final = m_dir->filePath("setup.exe");
        QVERIFY(WriteFile(final, "old installer"));
        bool partSeen = false;
        connect(m_dm.get(), &DownloadManagerHTTP::progress, this,
                [&] { partSeen = partSeen || QFile::exists(final + ".part"); });
        m_dm->download(QUrl(m_server->url("/downloads/setup.exe")), QString());
        QTRY_COMPARE(m_complete->count(), 1);
        QCOMPARE(m_complete->at(0).at(0).toString(), final);
        QVERIFY(partSeen);
        QCOMPARE(ReadFile(final), content);
        QVERIFY(!QFile::exists(final + ".part"));
    }

    void nameFromUrlStaysInTheDownloadFolder_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("name");
        QTest::newRow("backslashes") << "/dl/..%5C..%5Cevil.exe" << "evil.exe";
        QTest::newRow("dot dot") << "/dl/.." << "download";
        QTest::newRow("no name") << "/dl/" << "download";
    }
    void nameFromUrlStaysInTheDownloadFolder()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        const QByteArray content = MakeContent(1000, 11);
        m_server->setHandler([&](const HttpRequestRecord& r) { return HttpResponse::file(r, content); });
        const QString folder = m_dir->filePath("inbox");
        m_dm->setDownloadFolder(folder);
        m_dm->download(QUrl(m_server->url(path)), QString());
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        QCOMPARE(m_complete->at(0).at(0).toString(), folder + "/" + name);
        QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{name});
        QCOMPARE(ReadFile(folder + "/" + name), content);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
    }

    void failureAfterProgressLeavesNothing()
    {
        const QByteArray content = MakeContent(20000, 5);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content);
            answer.chunkBytes = 2000;
            answer.chunkIntervalMs = 20;
            answer.cutAfterBytes = 10000;
            return answer;
        });
        const QString final = m_dir->filePath("c.bin");
        QVERIFY(WriteFile(final, "stale"));
        m_dm->download(QUrl(m_server->url("/c.bin")), "c.bin");
        QTRY_COMPARE(m_error->count(), 1);
        QVERIFY(m_progress->count() > 0);
        QTest::qWait(200);
        QCOMPARE(m_error->count(), 1);
        QCOMPARE(m_complete->count(), 0);
        QVERIFY(!QFile::exists(final));
        QVERIFY(!QFile::exists(final + ".part"));
    }

    void truncatedBodyIsNeverComplete()
    {
        // The GET ends cleanly (connection close, no length) but short of the size HEAD gave.
        const QByteArray content = MakeContent(8000, 6);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content, QByteArray());
            if (r.method == "GET") {
                answer.body = content.left(3000);
                answer.sendContentLength = false;
            }
            return answer;
        });
        m_dm->download(QUrl(m_server->url("/d.bin")), "d.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_error->count(), 1);
        QVERIFY(!QFile::exists(m_dir->filePath("d.bin")));
        QVERIFY(!QFile::exists(m_dir->filePath("d.bin.part")));
    }

    void sizesBeyond2GiBStay64Bit()
    {
        const qint64 huge = Q_INT64_C(5000000000);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer;
            answer.headers.append(HttpHeaders::value_type("Accept-Ranges", "bytes"));
            if (r.method == "HEAD") {
                answer.contentLength = huge;
                return answer;
            }
            answer.status = 206;
            answer.headers.append(
                HttpHeaders::value_type("Content-Range", "bytes 1000-1999/" + QByteArray::number(huge)));
            answer.body = QByteArray(1000, 'z');
            return answer;
        });
        QVERIFY(WriteFile(m_dir->filePath("big.iso.part"), QByteArray(1000, 'y')));
        m_dm->download(QUrl(m_server->url("/big.iso")), QString());
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_server->requests()[1].header("Range"), QByteArray("bytes=1000-5000000000"));
        for (int p : Percentages(*m_progress))
            QVERIFY(p >= 0 && p <= 100);
        // 2000 of 5 GB arrived: that is not a finished installer.
        QCOMPARE(m_error->count(), 1);
        QVERIFY(!QFile::exists(m_dir->filePath("big.iso")));
    }

    void unknownSizeGivesNoBogusPercentage()
    {
        const QByteArray content = MakeContent(6000, 7);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content, QByteArray());
            answer.sendContentLength = false;
            answer.chunkBytes = 1500;
            answer.chunkIntervalMs = 10;
            return answer;
        });
        m_dm->download(QUrl(m_server->url("/e.bin")), "e.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        for (int p : Percentages(*m_progress))
            QVERIFY2(p >= 0 && p <= 100, qPrintable(QString::number(p)));
        QCOMPARE(ReadFile(m_dir->filePath("e.bin")), content);
    }

    void failedRenameIsAnError()
    {
        const QByteArray content = MakeContent(3000, 8);
        m_server->setHandler([&](const HttpRequestRecord& r) { return HttpResponse::file(r, content); });
        // A non-empty folder of the final name can be neither removed nor replaced.
        QVERIFY(QDir(m_dir->path()).mkpath("f.bin/inside"));
        m_dm->download(QUrl(m_server->url("/f.bin")), "f.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_error->count(), 1);
        QVERIFY(!QFile::exists(m_dir->filePath("f.bin.part")));
    }

    void failingHeadStillDownloads()
    {
        const QByteArray content = MakeContent(3000, 9);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            if (r.method == "HEAD") {
                HttpResponse missing;
                missing.status = 404;
                missing.contentLength = 99;
                return missing;
            }
            return HttpResponse::file(r, content);
        });
        m_dm->download(QUrl(m_server->url("/g.bin")), "g.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        QCOMPARE(ReadFile(m_dir->filePath("g.bin")), content);
    }

    void pauseThenResumeGivesIdenticalFile_data()
    {
        QTest::addColumn<QByteArray>("acceptRanges");
        QTest::newRow("ranges") << QByteArray("bytes");
        QTest::newRow("no ranges") << QByteArray();
    }
    void pauseThenResumeGivesIdenticalFile()
    {
        QFETCH(QByteArray, acceptRanges);
        const QByteArray content = MakeContent(200000, 10);
        m_server->setHandler([&](const HttpRequestRecord& r) {
            HttpResponse answer = HttpResponse::file(r, content, acceptRanges);
            answer.chunkBytes = 8000;
            answer.chunkIntervalMs = 15;
            return answer;
        });
        const QString final = m_dir->filePath("h.bin");
        m_dm->download(QUrl(m_server->url("/h.bin")), "h.bin");
        QTRY_VERIFY(m_progress->count() >= 3);
        m_dm->pause();
        QVERIFY(!m_dm->isRunning());
        const qint64 kept = QFileInfo(final + ".part").size();
        QVERIFY(kept > 0 && kept < content.size());
        QTest::qWait(150);
        QCOMPARE(m_complete->count() + m_error->count(), 0);
        QCOMPARE(QFileInfo(final + ".part").size(), kept);

        m_dm->resume();
        QTRY_COMPARE_WITH_TIMEOUT(m_complete->count() + m_error->count(), 1, 10000);
        QCOMPARE(m_complete->count(), 1);
        const HttpRequestRecord& second = m_server->requests().last();
        if (acceptRanges.isEmpty())
            QVERIFY(!second.hasHeader("Range"));
        else
            QCOMPARE(second.header("Range"), "bytes=" + QByteArray::number(kept) + "-200000");
        QCOMPARE(Sha1(ReadFile(final)), Sha1(content));
    }

    void pausedWithEveryByteInResumes()
    {
        // Regression: the whole body arrived before the pause, and the resumed range started past
        // the end of the file, which the server refuses; the finished download was then deleted.
        const QByteArray content = MakeContent(30000, 12);
        m_server->setHandler([&](const HttpRequestRecord& r) { return HttpResponse::file(r, content); });
        connect(m_dm.get(), &DownloadManagerHTTP::progress, this, [this](int percentage) {
            if (percentage == 100 && m_server->requests().size() == 2)
                m_dm->pause();
        });
        m_dm->download(QUrl(m_server->url("/i.bin")), "i.bin");
        QTRY_VERIFY(!m_progress->isEmpty());
        QTRY_VERIFY(!m_dm->isRunning());
        QCOMPARE(m_complete->count() + m_error->count(), 0);
        m_dm->resume();
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_complete->count(), 1);
        QCOMPARE(Sha1(ReadFile(m_dir->filePath("i.bin"))), Sha1(content));
    }

    void errorPageIsNeitherDataNorProgress()
    {
        m_server->setHandler([](const HttpRequestRecord&) {
            HttpResponse missing;
            missing.status = 404;
            missing.body = QByteArray(2000, 'e');
            return missing;
        });
        m_dm->download(QUrl(m_server->url("/j.bin")), "j.bin");
        QTRY_COMPARE(m_complete->count() + m_error->count(), 1);
        QCOMPARE(m_error->count(), 1);
        QCOMPARE(m_progress->count(), 0);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files), QStringList());
    }

private:
    std::unique_ptr<HttpFixture> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DownloadManagerHTTP> m_dm;
    std::unique_ptr<QSignalSpy> m_complete, m_error, m_progress, m_lines;
};

QTEST_MAIN(TestDownloadManager)
#include "tst_downloadmanager.moc"
