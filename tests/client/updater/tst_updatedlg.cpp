#include "updater/UpdateDlg.h"
#include "updater/downloadmanagerHTTP.h"
#include "remote/AppServer.h"
#include "shell/waitingspinnerwidget.h"

#include "BoxCatcher.h"
#include "HttpFixture.h"
#include "LogCapture.h"

#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include <memory>

namespace {

QByteArray Installer()
{
    QByteArray bytes(240000, Qt::Uninitialized);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char((i * 7919) >> 3);
    return bytes;
}

} // namespace

class TestUpdateDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
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
        m_opened.clear();
        m_boxes.clear();
        m_log->clear();
        m_ended = 0;
        m_openSucceeds = true;
        m_installer = Installer();
    }

    void looksAsItShould()
    {
        serve("\"type\":\"1\",");
        UpdateDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("更新"));
        auto* label = dlg.findChild<QLabel*>();
        auto* bar = dlg.findChild<QProgressBar*>("progressBar");
        QVERIFY(label && bar);
        QCOMPARE(label->text(), QStringLiteral("正在下载更新..."));
        QVERIFY(!dlg.isVisible());
        // The check is silent: no waiting indicator over anything.
        QVERIFY(!CurrentWaitingSpinner());
        QVERIFY(m_server->waitForRequests(1));
        const QJsonObject envelope = QJsonDocument::fromJson(m_server->requests()[0].body).object();
        QCOMPARE(envelope.value("method").toString(), QStringLiteral("client.version.check"));

        // Regression: the layout grew the shown window past its 56 pixels.
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.size(), QSize(292, 56));
        for (QWidget* child : { static_cast<QWidget*>(label), static_cast<QWidget*>(bar) }) {
            QVERIFY(dlg.rect().contains(child->geometry()));
            QVERIFY(child->height() >= child->minimumSizeHint().height());
        }
        QVERIFY(!label->geometry().intersects(bar->geometry()));
    }

    void updateDownloadsOpensAndEnds_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::addColumn<bool>("updates");
        QTest::newRow("number 1") << QByteArray("\"type\":1,") << false;
        QTest::newRow("text 1") << QByteArray("\"type\":\"1\",") << false;
        QTest::newRow("type 0") << QByteArray("\"type\":0,") << true;
        QTest::newRow("type 2") << QByteArray("\"type\":\"2\",") << true;
        QTest::newRow("no type") << QByteArray() << true;
    }
    void updateDownloadsOpensAndEnds()
    {
        QFETCH(QByteArray, type);
        QFETCH(bool, updates);
        serve(type);
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        bool modalWhileDownloading = false;
        int barValue = -1;
        connect(dlg.downloader(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            modalWhileDownloading = dlg.isVisible() && dlg.isModal();
            barValue = dlg.findChild<QProgressBar*>("progressBar")->value();
            QCOMPARE(barValue, percentage);
        });
        if (!updates) {
            QTest::qWait(500);
            QCOMPARE(m_server->requests().size(), 1);
            QVERIFY(!dlg.isVisible() && m_opened.isEmpty());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_ended, 1, 10000);
        const QString path = m_dir->filePath("setup.exe");
        QCOMPARE(m_opened, QStringList { path });
        QVERIFY(modalWhileDownloading);
        QCOMPARE(barValue, 100);
        QVERIFY(m_boxes.seen().isEmpty());
        QTRY_VERIFY(!dlg.isVisible());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_installer);
        QVERIFY(m_log->lines().contains("completed at path: \"" + path + "\""));
    }

    void escapeCancelsTheUpdateForThisRun()
    {
        // Regression: Escape only hid the window while the download went on, so the client later
        // ended itself in the middle of whatever the teacher was doing.
        serve("\"type\":0,");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        bool escaped = false;
        connect(dlg.downloader(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            if (escaped || percentage >= 100)
                return;
            escaped = true;
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
        QTRY_VERIFY_WITH_TIMEOUT(escaped, 10000);
        QVERIFY(!dlg.isVisible());
        QVERIFY(!dlg.downloader()->isRunning());
        QTest::qWait(500);
        QCOMPARE(m_ended, 0);
        QVERIFY(m_opened.isEmpty());
        QVERIFY(m_boxes.seen().isEmpty());
        // What arrived is kept for the next start to resume.
        const QFileInfo part(m_dir->filePath("setup.exe.part"));
        QVERIFY(part.exists() && part.size() > 0 && part.size() < m_installer.size());
        QVERIFY(!QFile::exists(m_dir->filePath("setup.exe")));
    }

    void installerThatCannotBeOpenedIsPointedOut()
    {
        m_openSucceeds = false;
        serve("\"type\":0,");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.seen().size(), 1, 10000);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(m_ended, 0);
        const QString path = m_dir->filePath("setup.exe");
        QVERIFY2(m_boxes.texts()[0].contains(QDir::toNativeSeparators(path)), qPrintable(m_boxes.texts()[0]));
        QVERIFY(QFile::exists(path));
    }

    void downloadFailureShowsBoxAndRunsOn()
    {
        serve("\"type\":0,", "missing.exe");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.seen().size(), 1, 10000);
        QCOMPARE(m_boxes.seen()[0].title + m_boxes.seen()[0].text, QStringLiteral("下载更新失败"));
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(m_ended, 0);
        QVERIFY(m_opened.isEmpty());
        QVERIFY(m_log->lines().contains("download install package fail"));
        QVERIFY(QDir(m_dir->path()).entryList(QDir::Files).isEmpty());
    }

    void failedCheckIsSilent()
    {
        m_server->setHandler([](const HttpRequestRecord&) { return HttpResponse::json("{}", 500); });
        UpdateDlg dlg;
        QVERIFY(m_server->waitForRequests(1));
        QTRY_VERIFY(!m_log->lines().filter("check version error,errorType: 2").isEmpty());
        QTest::qWait(200);
        QVERIFY(m_boxes.seen().isEmpty());
        QVERIFY(!dlg.isVisible());
    }

private:
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
                file.chunkIntervalMs = 25;
                return file;
            }
            return HttpResponse::json("{}", 404);
        });
    }

    std::unique_ptr<HttpFixture> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_opened;
    BoxCatcher m_boxes;
    std::unique_ptr<LogCapture> m_log;
    QByteArray m_installer;
    int m_ended = 0;
    bool m_openSucceeds = true;
};

QTEST_MAIN(TestUpdateDlg)
#include "tst_updatedlg.moc"
