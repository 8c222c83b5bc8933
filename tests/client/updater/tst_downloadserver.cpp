#include "updater/downloadmanagerHTTP.h"

#include "ServerProcess.h"

#include <QtTest>

// The downloader against the installer folder of a real lectern-server.
class TestDownloadServer : public QObject {
    Q_OBJECT

private:
    ServerProcess m_server;
    QByteArray m_installer;

    static QByteArray readFile(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static bool writeFile(const QString& path, const QByteArray& bytes)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

    QUrl url(const QString& name) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/downloads/%2").arg(m_server.port()).arg(name));
    }

    struct Run {
        QTemporaryDir dir;
        DownloadManagerHTTP dm;
        QSignalSpy complete { &dm, &DownloadManagerHTTP::downloadComplete };
        QSignalSpy error { &dm, &DownloadManagerHTTP::downloadError };
        QSignalSpy progress { &dm, &DownloadManagerHTTP::progress };
        Run() { dm.setDownloadFolder(dir.path()); }
        bool finish()
        {
            return QTest::qWaitFor([this] { return !complete.isEmpty() || !error.isEmpty(); }, 20000);
        }
    };

private slots:
    void initTestCase()
    {
        // Large enough to arrive in several progress reports, odd-sized so no range lines up.
        m_installer.resize(3 * 1024 * 1024 + 77);
        quint32 x = 12345;
        for (char& c : m_installer) {
            x = x * 1664525u + 1013904223u;
            c = char(x >> 24);
        }
        QVERIFY(QDir().mkpath(m_server.downloadsPath())
            && writeFile(m_server.downloadsPath() + "/setup.exe", m_installer));
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
    }

    void downloadsResumesAndFailsCleanly()
    {
        // A fresh download keeps the name at the end of the address.
        {
            Run run;
            run.dm.download(url("setup.exe"));
            QVERIFY(run.finish() && run.error.isEmpty());
            const QString final = run.dir.filePath("setup.exe");
            QCOMPARE(run.complete.at(0).at(0).toString(), final);
            QVERIFY(readFile(final) == m_installer && !QFile::exists(final + ".part"));
            QVERIFY(!run.progress.isEmpty() && run.progress.last().at(0).toInt() == 100);
        }
        // A part file left by an earlier run is continued from its end; the server's answer to a
        // range that reaches one byte past the file must still give the exact installer.
        {
            Run run;
            const QString final = run.dir.filePath("setup.exe");
            const int kept = 1000000;
            QVERIFY(writeFile(final + ".part", m_installer.left(kept)));
            run.dm.download(url("setup.exe"), QString());
            QVERIFY(run.finish() && run.error.isEmpty());
            QVERIFY(readFile(final) == m_installer);
            // Progress starts from what was already there.
            QVERIFY(run.progress.first().at(0).toInt() >= kept * 100 / m_installer.size());
        }
        // Paused at the first progress report, however much had arrived by then, and resumed.
        {
            Run run;
            bool paused = false;
            connect(&run.dm, &DownloadManagerHTTP::progress, this, [&](int) {
                if (!paused) {
                    paused = true;
                    run.dm.pause();
                }
            });
            run.dm.download(url("setup.exe"), QStringLiteral("copy.exe"));
            QVERIFY(QTest::qWaitFor([&] { return paused; }, 20000));
            QTest::qWait(100);
            QVERIFY(!run.dm.isRunning());
            QCOMPARE(run.complete.count() + run.error.count(), 0);
            run.dm.resume();
            QVERIFY(run.finish() && run.error.isEmpty());
            QVERIFY(readFile(run.dir.filePath(QStringLiteral("copy.exe"))) == m_installer);
            QVERIFY(!QFile::exists(run.dir.filePath("setup.exe")));
        }
        // A name the server does not have: an error, and nothing left in the download folder.
        {
            Run run;
            run.dm.download(url("missing.exe"));
            QVERIFY(run.finish());
            QCOMPARE(run.error.count(), 1);
            QCOMPARE(QDir(run.dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }
};

QTEST_MAIN(TestDownloadServer)
#include "tst_downloadserver.moc"
