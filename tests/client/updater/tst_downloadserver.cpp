#include "updater/downloadmanagerHTTP.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

// The downloader against the installer folder of a real lectern-server.
class TestDownloadServer : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_serverDir;
    QProcess m_server;
    QString m_base;
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

    struct Run {
        std::unique_ptr<QTemporaryDir> dir{new QTemporaryDir};
        std::unique_ptr<DownloadManagerHTTP> dm{new DownloadManagerHTTP};
        std::unique_ptr<QSignalSpy> complete, error, progress;
        Run()
        {
            dm->setDownloadFolder(dir->path());
            complete.reset(new QSignalSpy(dm.get(), &DownloadManagerHTTP::downloadComplete));
            error.reset(new QSignalSpy(dm.get(), &DownloadManagerHTTP::downloadError));
            progress.reset(new QSignalSpy(dm.get(), &DownloadManagerHTTP::progress));
        }
        bool finish() { return QTest::qWaitFor([this] { return complete->count() + error->count() > 0; }, 20000); }
    };

private slots:
    void initTestCase()
    {
        const QString binary = QStringLiteral(LECTERN_BIN_DIR "/lectern-server");
        QVERIFY2(QFileInfo(binary).isExecutable(), qPrintable(binary));
        QVERIFY(m_serverDir.isValid());
        const QString downloads = m_serverDir.filePath(QStringLiteral("downloads"));
        QVERIFY(QDir().mkpath(downloads));
        // Large enough to arrive in several progress reports, odd-sized so no range lines up.
        m_installer.resize(3 * 1024 * 1024 + 77);
        quint32 x = 12345;
        for (char& c : m_installer) {
            x = x * 1664525u + 1013904223u;
            c = char(x >> 24);
        }
        QVERIFY(writeFile(downloads + QStringLiteral("/setup.exe"), m_installer));

        m_server.setProcessChannelMode(QProcess::SeparateChannels);
        m_server.start(binary, {QStringLiteral("--host"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                                QStringLiteral("0"), QStringLiteral("--live-port"), QStringLiteral("0"),
                                QStringLiteral("--db"), m_serverDir.filePath(QStringLiteral("lectern.db")),
                                QStringLiteral("--downloads"), downloads});
        QVERIFY(m_server.waitForStarted(10000));
        const QRegularExpression ready(QStringLiteral("app server on (http://127\\.0\\.0\\.1:\\d+)/"));
        QByteArray out;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         out += m_server.readAllStandardOutput();
                         return ready.match(QString::fromUtf8(out)).hasMatch()
                             || m_server.state() == QProcess::NotRunning;
                     },
                     20000),
                 out.constData());
        const QRegularExpressionMatch match = ready.match(QString::fromUtf8(out));
        QVERIFY2(match.hasMatch(), (out + m_server.readAllStandardError()).constData());
        m_base = match.captured(1);
    }

    void cleanupTestCase()
    {
        if (m_server.state() != QProcess::NotRunning) {
            m_server.terminate();
            if (!m_server.waitForFinished(10000))
                m_server.kill();
            m_server.waitForFinished(5000);
        }
    }

    void downloadsResumesAndFailsCleanly()
    {
        // A fresh download keeps the name at the end of the address.
        {
            Run run;
            run.dm->download(QUrl(m_base + QStringLiteral("/downloads/setup.exe")));
            QVERIFY(run.finish());
            QCOMPARE(run.error->count(), 0);
            const QString final = run.dir->filePath(QStringLiteral("setup.exe"));
            QCOMPARE(run.complete->at(0).at(0).toString(), final);
            QVERIFY(readFile(final) == m_installer);
            QVERIFY(!QFile::exists(final + QStringLiteral(".part")));
            QVERIFY(!run.progress->isEmpty());
            QCOMPARE(run.progress->last().at(0).toInt(), 100);
        }
        // A part file left by an earlier run is continued from its end; the server's answer to a
        // range that reaches one byte past the file must still give the exact installer.
        {
            Run run;
            const QString final = run.dir->filePath(QStringLiteral("setup.exe"));
            const int kept = 1000000;
            QVERIFY(writeFile(final + QStringLiteral(".part"), m_installer.left(kept)));
            run.dm->download(QUrl(m_base + QStringLiteral("/downloads/setup.exe")), QString());
            QVERIFY(run.finish());
            QCOMPARE(run.error->count(), 0);
            QVERIFY(readFile(final) == m_installer);
            // Progress starts from what was already there.
            QVERIFY(run.progress->first().at(0).toInt() >= kept * 100 / m_installer.size());
        }
        // Paused at the first progress report, however much had arrived by then, and resumed.
        {
            Run run;
            const QString final = run.dir->filePath(QStringLiteral("setup.exe"));
            bool paused = false;
            connect(run.dm.get(), &DownloadManagerHTTP::progress, this, [&](int) {
                if (!paused) {
                    paused = true;
                    run.dm->pause();
                }
            });
            run.dm->download(QUrl(m_base + QStringLiteral("/downloads/setup.exe")), QStringLiteral("copy.exe"));
            QVERIFY(QTest::qWaitFor([&] { return paused; }, 20000));
            QVERIFY(!run.dm->isRunning());
            QTest::qWait(100);
            QCOMPARE(run.complete->count() + run.error->count(), 0);
            run.dm->resume();
            QVERIFY(run.finish());
            QCOMPARE(run.error->count(), 0);
            QVERIFY(readFile(run.dir->filePath(QStringLiteral("copy.exe"))) == m_installer);
            QVERIFY(!QFile::exists(final));
        }
        // A name the server does not have: an error, and nothing left in the download folder.
        {
            Run run;
            run.dm->download(QUrl(m_base + QStringLiteral("/downloads/missing.exe")));
            QVERIFY(run.finish());
            QCOMPARE(run.complete->count(), 0);
            QCOMPARE(run.error->count(), 1);
            QCOMPARE(QDir(run.dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }
};

QTEST_MAIN(TestDownloadServer)
#include "tst_downloadserver.moc"
