#include "updater/UpdateDlg.h"
#include "updater/downloadmanagerHTTP.h"
#include "remote/AppServer.h"
#include "shell/waitingspinnerwidget.h"

#include "BoxCatcher.h"
#include "HttpFixture.h"
#include "LogCapture.h"

#include <QProgressBar>
#include <QtTest>

#include <memory>

class TestUpdateDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        for (int i = 0; i < 240000; ++i)
            m_installer += char((i * 7919) >> 3);
        m_log.reset(new LogCapture(true));
        UpdateDlg::SetOpenFileFunction([this](const QString& path) {
            m_opened << path;
            return m_openSucceeds;
        });
        UpdateDlg::SetEndProcessFunction([this] { ++m_ended; });
    }
    void cleanupTestCase()
    {
        UpdateDlg::SetOpenFileFunction(nullptr);
        UpdateDlg::SetEndProcessFunction(nullptr);
    }
    void init()
    {
        m_server.reset(new HttpFixture);
        QVERIFY(m_server->start());
        SetAppServerUrl(m_server->url("/app-server/jsonrpc/"));
        m_dir.reset(new QTemporaryDir);
        m_dlg.reset(); // made by each test, once the server answers as it should
        m_opened.clear();
        m_boxes.clear();
        m_log->clear();
        m_ended = 0;
        m_openSucceeds = true;
        m_stallAfterFirstChunk = false;
    }

    // The check waits over nothing; a failed check, like an up-to-date client, shows nothing.
    void quietWhenTheCheckFailsOrThereIsNoUpdate()
    {
        m_server->setHandler([](const HttpRequestRecord&) { return HttpResponse::json("{}", 500); });
        start();
        QVERIFY(!CurrentWaitingSpinner());
        QVERIFY(m_server->waitForRequests(1));
        QCOMPARE(QJsonDocument::fromJson(m_server->requests()[0].body).object().value("method").toString(),
            QStringLiteral("client.version.check"));
        QTRY_VERIFY(m_log->contains("check version error,errorType: 2"));

        serve("\"type\":1,"); // scalars arrive as text, so this is "1" as well
        start();
        QTest::qWait(500);
        QCOMPARE(m_server->requests().size(), 2);
        QVERIFY(m_boxes.seen().isEmpty() && !m_dlg->isVisible() && m_opened.isEmpty());
    }

    void updateDownloadsOpensAndEnds()
    {
        serve("\"type\":\"2\",");
        start();
        bool modalWhileDownloading = false;
        int barValue = -1;
        QSize shownSize;
        connect(m_dlg->downloader(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            modalWhileDownloading = m_dlg->isVisible() && m_dlg->isModal();
            shownSize = m_dlg->size();
            barValue = m_dlg->findChild<QProgressBar*>("progressBar")->value();
            QCOMPARE(barValue, percentage);
        });
        QTRY_COMPARE_WITH_TIMEOUT(m_ended, 1, 10000);
        const QString path = m_dir->filePath("setup.exe");
        QCOMPARE(m_opened, QStringList { path });
        QVERIFY(modalWhileDownloading);
        QCOMPARE(shownSize, QSize(292, 56)); // regression: the layout grew the shown window
        QCOMPARE(barValue, 100);
        QVERIFY(m_boxes.seen().isEmpty());
        QTRY_VERIFY(!m_dlg->isVisible());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == m_installer);
        QVERIFY(m_log->lines().contains("completed at path: \"" + path + "\""));
    }

    void escapeCancelsTheUpdateForThisRun()
    {
        // Regression: Escape only hid the window while the download went on, so the client later
        // ended itself in the middle of whatever the teacher was doing.
        serve("\"type\":0,");
        start();
        bool escaped = false;
        connect(m_dlg->downloader(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            if (!escaped && percentage < 100) {
                escaped = true;
                QTest::keyClick(m_dlg.get(), Qt::Key_Escape);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(escaped, 10000);
        QVERIFY(!m_dlg->isVisible() && !m_dlg->downloader()->isRunning());
        QTest::qWait(500);
        QVERIFY(m_ended == 0 && m_opened.isEmpty() && m_boxes.seen().isEmpty());
        // What arrived is kept for the next start to resume.
        const QFileInfo part(m_dir->filePath("setup.exe.part"));
        QVERIFY(part.exists() && part.size() > 0 && part.size() < m_installer.size());
        QVERIFY(!QFile::exists(m_dir->filePath("setup.exe")));
    }

    // A failed download, and an installer that will not open, are pointed out; the client runs on.
    void failuresShowABoxAndRunOn()
    {
        serve("\"type\":0,", "missing.exe");
        start();
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.seen().size(), 1, 10000);
        QCOMPARE(m_boxes.seen()[0].title + m_boxes.seen()[0].text, QStringLiteral("下载更新失败"));
        QTRY_VERIFY(!m_dlg->isVisible());
        QVERIFY(m_opened.isEmpty() && m_log->contains("download install package fail"));
        QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());

        m_openSucceeds = false;
        serve("\"type\":0,");
        start();
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.seen().size(), 2, 10000);
        QTRY_VERIFY(!m_dlg->isVisible());
        const QString path = m_dir->filePath("setup.exe");
        QVERIFY2(m_boxes.texts()[1].contains(QDir::toNativeSeparators(path)), qPrintable(m_boxes.texts()[1]));
        QVERIFY(QFile::exists(path));
        QCOMPARE(m_ended, 0);
    }

    void stalledDownloadFailsAfterTheWatchdogAndLetsTheTeacherOn()
    {
        // Regression: a server that stopped sending left the modal window up for good.
        serve("\"type\":0,");
        m_stallAfterFirstChunk = true;
        QElapsedTimer clock;
        clock.start();
        start();
        // Frozen, the modal window would hold this test for good: closed late, the checks report it.
        QTimer::singleShot(15000, m_dlg.get(), [this] { m_dlg->reject(); });
        QVERIFY(m_server->waitForRequests(3)); // the check, HEAD, GET
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.seen().size(), 1, 15000);
        QVERIFY(clock.elapsed() >= 4750); // the watchdog's 5 s, which a coarse timer may cut by 5 %
        QCOMPARE(m_boxes.seen()[0].title + m_boxes.seen()[0].text, QStringLiteral("下载更新失败"));
        QTRY_VERIFY(!m_dlg->isVisible());
        QVERIFY(!QApplication::activeModalWidget()); // the login window takes input again
        QVERIFY(m_log->contains("DownloadManagerHTTP::timeout"));
        QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());
        QVERIFY(m_opened.isEmpty() && m_ended == 0);
    }

private:
    void start()
    {
        m_dlg.reset(new UpdateDlg);
        m_dlg->downloader()->setDownloadFolder(m_dir->path());
    }

    // The version check answers with the type field given and an installer to fetch.
    void serve(const QByteArray& type, const char* file = "setup.exe")
    {
        const QByteArray versionAnswer = "{\"result\":{" + type + "\"updateUrl\":\""
            + m_server->url("/downloads/").toUtf8() + file + "\"}}";
        m_server->setHandler([this, versionAnswer](const HttpRequestRecord& r) {
            if (r.target == "/app-server/jsonrpc/")
                return HttpResponse::json(versionAnswer);
            if (r.target == "/downloads/setup.exe") {
                HttpResponse file = HttpResponse::file(r, m_installer);
                file.chunkBytes = 24000;
                file.chunkIntervalMs = m_stallAfterFirstChunk ? 600000 : 25;
                return file;
            }
            return HttpResponse::json("{}", 404);
        });
    }

    std::unique_ptr<HttpFixture> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UpdateDlg> m_dlg;
    QStringList m_opened;
    BoxCatcher m_boxes;
    std::unique_ptr<LogCapture> m_log;
    QByteArray m_installer;
    int m_ended = 0;
    bool m_openSucceeds = true;
    bool m_stallAfterFirstChunk = false;
};

QTEST_MAIN(TestUpdateDlg)
#include "tst_updatedlg.moc"
