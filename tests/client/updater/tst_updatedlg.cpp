#include "updater/UpdateDlg.h"
#include "updater/downloadmanagerHTTP.h"
#include "remote/AppServer.h"
#include "shell/waitingspinnerwidget.h"

#include "HttpFixture.h"
#include "LogCapture.h"

#include <QLabel>
#include <QMessageBox>
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
        connect(&m_boxCloser, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            m_boxes << box->windowTitle() + "|" + box->text();
            box->done(QMessageBox::Ok);
        });
        m_boxCloser.start(20);
    }
    void cleanupTestCase()
    {
        UpdateDlg::SetOpenFileFunction(nullptr);
        UpdateDlg::SetEndProcessFunction(nullptr);
        m_log.reset();
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
        serve("{\"result\":{\"type\":\"1\"}}");
        UpdateDlg dlg;
        QCOMPARE(dlg.objectName(), QStringLiteral("UpdateDlg"));
        QCOMPARE(dlg.size(), QSize(292, 56));
        QVERIFY(dlg.isWindow());
        QVERIFY(dlg.windowFlags() & Qt::FramelessWindowHint);
        QCOMPARE(dlg.styleSheet(), QStringLiteral("background:#5A5D65"));
        QCOMPARE(dlg.windowTitle(), QStringLiteral("更新"));
        auto* label = dlg.findChild<QLabel*>();
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("正在下载更新..."));
        QCOMPARE(label->styleSheet(), QStringLiteral("color:white"));
        auto* bar = dlg.findChild<QProgressBar*>("progressBar");
        QVERIFY(bar);
        QCOMPARE(bar->value(), 0);
        QCOMPARE(bar->styleSheet(), QStringLiteral("color:white"));
        QVERIFY(!dlg.isVisible());
        // The check is silent: no waiting indicator over anything.
        QVERIFY(!CurrentWaitingSpinner());
        QVERIFY(m_server->waitForRequests(1));
        const QJsonObject envelope = QJsonDocument::fromJson(m_server->requests()[0].body).object();
        QCOMPARE(envelope.value("method").toString(), QStringLiteral("client.version.check"));
        QCOMPARE(envelope.value("params").toObject().value("clientVersion").toString(),
                 QStringLiteral("rided4a_win_1.0"));

        // Regression: the layout grew the shown window past its 56 pixels.
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QCOMPARE(dlg.size(), QSize(292, 56));
        for (QWidget* child : {static_cast<QWidget*>(label), static_cast<QWidget*>(bar)}) {
            QVERIFY(dlg.rect().contains(child->geometry()));
            QVERIFY2(child->height() >= child->minimumSizeHint().height(), qPrintable(child->objectName()));
        }
        QVERIFY(!label->geometry().intersects(bar->geometry()));
    }

    void noUpdateWhenTypeIsOne_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("number 1") << QByteArray("{\"result\":{\"type\":1,\"updateUrl\":\"URL\"}}");
        QTest::newRow("text 1") << QByteArray("{\"result\":{\"type\":\"1\",\"updateUrl\":\"URL\"}}");
    }
    void noUpdateWhenTypeIsOne()
    {
        QFETCH(QByteArray, answer);
        serve(answer.replace("URL", m_server->url("/downloads/setup.exe").toUtf8()));
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        QVERIFY(m_server->waitForRequests(1));
        QTest::qWait(300);
        QCOMPARE(m_server->requests().size(), 1);
        QVERIFY(!dlg.isVisible());
        QVERIFY(m_opened.isEmpty());
    }

    void updateDownloadsOpensAndEnds_data()
    {
        QTest::addColumn<QByteArray>("type");
        QTest::newRow("type 0") << QByteArray("\"type\":0,");
        QTest::newRow("type 2") << QByteArray("\"type\":\"2\",");
        QTest::newRow("no type") << QByteArray();
    }
    void updateDownloadsOpensAndEnds()
    {
        QFETCH(QByteArray, type);
        serve("{\"result\":{" + type + "\"newestVersion\":\"1.1\",\"updateUrl\":\""
              + m_server->url("/downloads/setup.exe").toUtf8() + "\"}}");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        bool modalWhileDownloading = false;
        int barValue = -1;
        connect(dlg.downloader(), &DownloadManagerHTTP::progress, this, [&](int percentage) {
            modalWhileDownloading = dlg.isVisible() && dlg.isModal();
            barValue = dlg.findChild<QProgressBar*>("progressBar")->value();
            if (percentage >= 40 && percentage < 60 && QTest::currentDataTag() == QByteArray("type 0"))
                dlg.grab().save(QStringLiteral("updatedlg_progress.png"));
            QCOMPARE(barValue, percentage);
        });
        QTRY_COMPARE_WITH_TIMEOUT(m_ended, 1, 10000);
        const QString path = m_dir->filePath("setup.exe");
        QCOMPARE(m_opened, QStringList{path});
        QVERIFY(modalWhileDownloading);
        QCOMPARE(barValue, 100);
        QVERIFY(m_boxes.isEmpty());
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
        serve("{\"result\":{\"type\":0,\"updateUrl\":\"" + m_server->url("/downloads/setup.exe").toUtf8() + "\"}}");
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
        QVERIFY(m_boxes.isEmpty());
        // What arrived is kept for the next start to resume.
        const QFileInfo part(m_dir->filePath("setup.exe.part"));
        QVERIFY(part.exists() && part.size() > 0 && part.size() < m_installer.size());
        QVERIFY(!QFile::exists(m_dir->filePath("setup.exe")));
    }

    void installerThatCannotBeOpenedIsPointedOut()
    {
        m_openSucceeds = false;
        serve("{\"result\":{\"type\":0,\"updateUrl\":\"" + m_server->url("/downloads/setup.exe").toUtf8() + "\"}}");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.size(), 1, 10000);
        QTRY_VERIFY(!dlg.isVisible());
        QCOMPARE(m_ended, 0);
        const QString path = m_dir->filePath("setup.exe");
        QVERIFY2(m_boxes[0].contains(QDir::toNativeSeparators(path)), qPrintable(m_boxes[0]));
        QVERIFY(QFile::exists(path));
    }

    void downloadFailureShowsBoxAndRunsOn()
    {
        serve("{\"result\":{\"type\":0,\"updateUrl\":\"" + m_server->url("/downloads/missing.exe").toUtf8() + "\"}}");
        UpdateDlg dlg;
        dlg.downloader()->setDownloadFolder(m_dir->path());
        QTRY_COMPARE_WITH_TIMEOUT(m_boxes.size(), 1, 10000);
        QCOMPARE(m_boxes[0], QStringLiteral("|下载更新失败"));
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
        QVERIFY(m_boxes.isEmpty());
        QVERIFY(!dlg.isVisible());
    }

private:
    void serve(const QByteArray& versionAnswer)
    {
        m_server->setHandler([this, versionAnswer](const HttpRequestRecord& r) {
            if (r.target == "/app-server/jsonrpc/")
                return HttpResponse::json(versionAnswer);
            if (r.target == "/downloads/setup.exe") {
                HttpResponse file = HttpResponse::file(r, m_installer);
                file.chunkBytes = 24000;
                file.chunkIntervalMs = 25;
                return file;
            }
            HttpResponse missing;
            missing.status = 404;
            return missing;
        });
    }

    std::unique_ptr<HttpFixture> m_server;
    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_opened;
    QStringList m_boxes;
    std::unique_ptr<LogCapture> m_log;
    QByteArray m_installer;
    int m_ended = 0;
    bool m_openSucceeds = true;
    QTimer m_boxCloser;
};

QTEST_MAIN(TestUpdateDlg)
#include "tst_updatedlg.moc"
