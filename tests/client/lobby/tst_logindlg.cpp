#include "BoxCatcher.h"
#include "FakeILive.h"
#include "HttpFixture.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LoginDlg.h"
#include "lobby/ProcessEnd.h"
#include "remote/AppServer.h"
#include "ServerProcess.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "ui_LoginDlg.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <atomic>
#include <thread>

namespace {
// The service answers on a thread of its own; the answer reaches the window through the event loop.
void AnswerFromServiceThread(FakeILive* fake, int code, const QString& desc = QString())
{
    std::atomic<bool> returned { false };
    std::thread service([&] {
        fake->answerPending(code, desc);
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
    service.join();
}
} // namespace

class TestLoginDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LecternInitResources();
        SetEndProcessHook([this] { ++m_endCalls; });
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
    }

    void init()
    {
        m_fake = FakeILive::install();
        m_endCalls = 0;
        GetSettings()->clear();
        SessionRecord().clear();
        SetAppServerUrl(m_server.jsonRpcUrl());
    }

    void cleanup()
    {
        LiveListDlg::GetInstance()->hide();
        HideWaiting();
        GetSettings()->clear();
        GetSettings()->sync();
    }

    void cleanupTestCase()
    {
        m_server.stop();
        FakeILive::uninstall();
    }

    // First: it needs a process in which the lobby has not been built yet.
    void forcedOfflineFromServiceThreadBeforeLobbyExists()
    {
        LoginDlg dlg;
        dlg.show();
        int visibleBoxes = 0;
        BoxCatcher boxes([&](QMessageBox*) {
            // A second notice while the first is up adds nothing; the process ends only after the box.
            m_fake->forceOffline();
            for (QWidget* w : QApplication::topLevelWidgets())
                visibleBoxes += qobject_cast<QMessageBox*>(w) && w->isVisible();
            QCOMPARE(m_endCalls, 0);
        });
        std::thread service([this] { m_fake->forceOffline(); });
        service.join();
        QTRY_COMPARE_WITH_TIMEOUT(m_endCalls, 1, 5000);
        QCOMPARE(boxes.texts(), QStringList({ "账号在其他地方登录" }));
        QVERIFY(visibleBoxes == 1 && boxes.seen().first().modal && boxes.seen().first().onTop);
        // The lobby that took the notice lives on the GUI thread, where its refresh timer runs.
        QCOMPARE(LiveListDlg::GetInstance()->thread(), QCoreApplication::instance()->thread());
        QVERIFY(!LiveListDlg::GetInstance()->isVisible());
    }

    void serviceStartAndLiveLoginFailuresFromAnyThread()
    {
        {
            // A service that does not start is told, then the process ends.
            m_fake->initResult = 1001;
            BoxCatcher boxes([this](QMessageBox*) { QCOMPARE(m_endCalls, 0); });
            LoginDlg dlg;
            QCOMPARE(boxes.texts(), QStringList({ "init sdk failed." }));
            QCOMPARE(m_endCalls, 1);
        }
        // Listeners first, then the colour format from the probe view, then the start.
        m_fake = FakeILive::install();
        m_fake->rootViewType = ilive::ROOT_VIEW_TYPE_ACCELERATED; // asks for I420 frames
        m_fake->answerLogin = false;
        LoginDlg dlg;
        const QStringList expected
            = { "setMessageCallBack", "setForceOfflineCallback", "setRemoteVideoCallBack",
                  "setLocalVideoCallBack", "setDeviceOperationCallback", "setVideoColorFormat 0" };
        QCOMPARE(m_fake->calls.mid(0, expected.size()), expected);
        QVERIFY(m_fake->calls.value(expected.size()).startsWith("init "));
        QVERIFY(FakeRootView::all().isEmpty()); // the probe view was released again

        // A refused live login from a service thread is told on the GUI thread and keeps the window.
        dlg.show();
        BoxCatcher boxes(
            [](QMessageBox* box) { QCOMPARE(box->thread(), QCoreApplication::instance()->thread()); });
        typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
        QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingErr, 10000);
        AnswerFromServiceThread(m_fake, 8050, QStringLiteral("签名已过期"));
        QTRY_COMPARE(boxes.seen().size(), 1);
        QCOMPARE(boxes.seen().first().title, QStringLiteral("iLive Login Error"));
        QCOMPARE(boxes.seen().first().text, QStringLiteral("错误码:   8050\n错误信息: 签名已过期"));
        QVERIFY(dlg.isVisible() && dlg.isEnabled() && !CurrentWaitingSpinner());
        QVERIFY(!LiveListDlg::GetInstance()->isVisible() && !GetSettings()->contains("user"));

        // A success from a service thread opens the lobby.
        QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingSuc, 10000);
        AnswerFromServiceThread(m_fake, 0);
        QTRY_VERIFY_WITH_TIMEOUT(LiveListDlg::GetInstance()->isVisible(), 5000);
        QVERIFY(!dlg.isVisible());
        QCOMPARE(GetSettings()->value("user").toString(), QStringLiteral("teacher01"));
    }

    void emptyUserOrPasswordAsksForItInPlainBox()
    {
        LoginDlg dlg;
        dlg.show();
        int corners = 0;
        BoxCatcher boxes([&corners, &dlg](QMessageBox* box) {
            // Over the login window, yet plain: its picture must not show through.
            QCOMPARE(box->parentWidget(), &dlg);
            const QImage shot = box->grab().toImage();
            for (const QPoint& p : { QPoint(2, 2), QPoint(shot.width() - 3, shot.height() - 3) }) {
                QCOMPARE(shot.pixelColor(p), box->palette().color(QPalette::Window));
                ++corners;
            }
        });
        typeAndClick(dlg, QString(), QStringLiteral("123456"));
        typeAndClick(dlg, QStringLiteral("teacher01"), QString());
        QCOMPARE(corners, 4);
        QCOMPARE(boxes.texts(), QStringList({ "请输入用户名", "请输入密码" }));
        // Nothing went out.
        QVERIFY(!CurrentWaitingSpinner() && SessionRecord().isEmpty() && dlg.isEnabled());
    }

    void appServerRefusalKeepsWindow()
    {
        LoginDlg dlg;
        dlg.show();
        BoxCatcher boxes;
        HttpFixture http;
        QVERIFY(http.start());
        SetAppServerUrl(http.url("/app-server/jsonrpc/"));
        HttpResponse refused
            = HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1001","message":"用户不存在"}})");
        refused.delayMs = 300;
        http.enqueue(refused);
        typeAndClick(dlg, QStringLiteral("   "), QStringLiteral("x"));
        QVERIFY(!dlg.isEnabled());
        QVERIFY(http.waitForRequests(1));
        const QJsonObject params = QJsonDocument::fromJson(http.requests().first().body)["params"].toObject();
        QCOMPARE(params.value("loginId").toString(), QStringLiteral("   "));
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ "用户不存在" }), 5000);
        QCOMPARE(boxes.seen().first().title, QStringLiteral("网络错误"));
        QVERIFY(SessionRecord().isEmpty() && dlg.isEnabled());
        QVERIFY(m_fake->calls.filter("login ").isEmpty());
    }

private:
    void typeAndClick(LoginDlg& dlg, const QString& user, const QString& password)
    {
        dlg.form()->userTextEdit->setText(user);
        dlg.form()->pwdTextEdit->setText(password);
        QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    }

    ServerProcess m_server;
    FakeILive* m_fake = nullptr;
    int m_endCalls = 0;
};

QTEST_MAIN(TestLoginDlg)
#include "tst_logindlg.moc"
