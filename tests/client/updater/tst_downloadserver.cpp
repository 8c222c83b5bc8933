#include "updater/downloadmanagerHTTP.h"

#include "ServerProcess.h"

#include <QtTest>

// The downloader against the installer folder of a real lectern-server.
class TestDownloadServer : public QObject {
    Q_OBJECT
private slots:
    void resumesAndFailsCleanly()
    {
        // Large enough to arrive in several progress reports, odd-sized so no range lines up.
        QByteArray installer(3 * 1024 * 1024 + 77, Qt::Uninitialized);
        quint32 x = 12345;
        for (char& c : installer)
            c = char((x = x * 1664525u + 1013904223u) >> 24);
        ServerProcess server;
        QFile setup(server.downloadsPath() + "/setup.exe");
        QVERIFY(QDir().mkpath(server.downloadsPath()) && setup.open(QIODevice::WriteOnly));
        QCOMPARE(setup.write(installer), qint64(installer.size()));
        setup.close();
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const QString base = QStringLiteral("http://127.0.0.1:%1/downloads/").arg(server.port());

        // A part file left by an earlier run is continued from its end; the server's answer to a
        // range that reaches one byte past the file must still give the exact installer.
        QTemporaryDir dir;
        DownloadManagerHTTP dm;
        dm.setDownloadFolder(dir.path());
        QSignalSpy complete(&dm, &DownloadManagerHTTP::downloadComplete);
        QSignalSpy failed(&dm, &DownloadManagerHTTP::downloadError);
        QSignalSpy progress(&dm, &DownloadManagerHTTP::progress);
        const QString final = dir.filePath("setup.exe");
        QFile part(final + ".part");
        QVERIFY(part.open(QIODevice::WriteOnly) && part.write(installer.left(1000000)) == 1000000);
        part.close();
        dm.download(QUrl(base + "setup.exe"), QString());
        QVERIFY(QTest::qWaitFor([&] { return complete.size() + failed.size() > 0; }, 20000));
        QCOMPARE(complete.value(0).value(0).toString(), final);
        QFile file(final);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == installer);
        QVERIFY(!part.exists());
        QVERIFY(progress.first().at(0).toInt() >= 1000000 * 100 / installer.size());
        QCOMPARE(progress.last().at(0).toInt(), 100);

        // A name the server does not have: an error, and nothing left in the download folder.
        QVERIFY(file.remove());
        dm.download(QUrl(base + "missing.exe"));
        QVERIFY(QTest::qWaitFor([&] { return !failed.isEmpty(); }, 20000));
        QCOMPARE(complete.size(), 1);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    }
};

QTEST_MAIN(TestDownloadServer)
#include "tst_downloadserver.moc"
