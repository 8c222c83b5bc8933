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

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <thread>

namespace {
QJsonObject ParamsOf(const HttpRequestRecord& request)
{
    return QJsonDocument::fromJson(request.body).object().value("params").toObject();
}

// The service answers on a thread of its own and waits until the GUI thread has taken the answer.
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
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // First: it needs a process in which the lobby has not been built yet.
    void forcedOfflineFromServiceThreadBeforeLobbyExists();
    void serviceStartsWithListenersAndViewFormat();
    void emptyUserOrPasswordAsksForItInPlainBox();
    void failedLiveLoginKeepsWindowFromAnyThread();
    void appServerRefusalsKeepWindow();

private:
    void typeAndClick(LoginDlg& dlg, const QString& user, const QString& password);

    ServerProcess m_server;
    FakeILive* m_fake = nullptr;
    int m_endCalls = 0;
};

void TestLoginDlg::initTestCase()
{
    LecternInitResources();
    SetEndProcessHook([this] { ++m_endCalls; });
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
}

void TestLoginDlg::init()
{
    m_fake = FakeILive::install();
    m_endCalls = 0;
    GetSettings()->clear();
    SessionRecord().clear();
    SetAppServerUrl(m_server.jsonRpcUrl());
}

void TestLoginDlg::cleanup()
{
    LiveListDlg::GetInstance()->hide();
    HideWaiting();
    GetSettings()->clear();
    GetSettings()->sync();
}

void TestLoginDlg::cleanupTestCase()
{
    m_server.stop();
    FakeILive::uninstall();
}

void TestLoginDlg::typeAndClick(LoginDlg& dlg, const QString& user, const QString& password)
{
    dlg.form()->userTextEdit->setText(user);
    dlg.form()->pwdTextEdit->setText(password);
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
}

void TestLoginDlg::forcedOfflineFromServiceThreadBeforeLobbyExists()
{
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    std::thread service([this] { m_fake->forceOffline(); });
    service.join();
    QTRY_COMPARE_WITH_TIMEOUT(m_endCalls, 1, 5000);
    QCOMPARE(boxes.texts(), QStringList({ "账号在其他地方登录" }));
    // The lobby that took the notice lives on the GUI thread, where its refresh timer runs.
    QCOMPARE(LiveListDlg::GetInstance()->thread(), QCoreApplication::instance()->thread());
    QVERIFY(!LiveListDlg::GetInstance()->isVisible());
}

void TestLoginDlg::serviceStartsWithListenersAndViewFormat()
{
    {
        LoginDlg dlg;
        // Listeners first, then the colour format from the probe view, then the start.
        const QStringList expected
            = { "setMessageCallBack", "setForceOfflineCallback", "setRemoteVideoCallBack",
                  "setLocalVideoCallBack", "setDeviceOperationCallback", "setVideoColorFormat 8" };
        QCOMPARE(m_fake->calls.mid(0, expected.size()), expected);
        QVERIFY(m_fake->calls.value(expected.size()).startsWith("init "));
        QVERIFY(m_fake->calls.value(expected.size()).endsWith(" 1"));
        QVERIFY(FakeRootView::all().isEmpty()); // the probe view was released again
        QCOMPARE(m_endCalls, 0);
    }
    // An accelerated render view asks for I420 frames.
    m_fake = FakeILive::install();
    m_fake->rootViewType = ilive::ROOT_VIEW_TYPE_ACCELERATED;
    {
        LoginDlg dlg;
        QCOMPARE(m_fake->colorFormat, int(ilive::COLOR_FORMAT_I420));
    }
    // A service that does not start is told, then the process ends.
    m_fake->initResult = 1001;
    BoxCatcher boxes([this](QMessageBox*) { QCOMPARE(m_endCalls, 0); });
    LoginDlg dlg;
    QCOMPARE(boxes.texts(), QStringList({ "init sdk failed." }));
    QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
    QCOMPARE(m_endCalls, 1);
}

void TestLoginDlg::emptyUserOrPasswordAsksForItInPlainBox()
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
    QVERIFY(!CurrentWaitingSpinner());
    QVERIFY(SessionRecord().isEmpty());
    QVERIFY(dlg.isEnabled());
}

void TestLoginDlg::failedLiveLoginKeepsWindowFromAnyThread()
{
    m_fake->loginCode = 8050;
    m_fake->loginDesc = QStringLiteral("签名已过期");
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes(
        [](QMessageBox* box) { QCOMPARE(box->thread(), QCoreApplication::instance()->thread()); });
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.seen().size(), 1, 10000);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("iLive Login Error"));
    QCOMPARE(boxes.seen().first().text, QStringLiteral("错误码:   8050\n错误信息: 签名已过期"));
    QVERIFY(dlg.isVisible() && dlg.isEnabled());
    QVERIFY(!CurrentWaitingSpinner());
    QVERIFY(!LiveListDlg::GetInstance()->isVisible());
    QVERIFY(!SessionRecord().value("userId").toString().isEmpty());
    QVERIFY(!GetSettings()->contains("user"));

    // The same from a service thread; then a success from one opens the lobby.
    m_fake->answerLogin = false;
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingErr, 10000);
    AnswerFromServiceThread(m_fake, 6012, QStringLiteral("timeout"));
    QTRY_COMPARE(boxes.seen().size(), 2);
    QVERIFY(dlg.isVisible());
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingSuc, 10000);
    AnswerFromServiceThread(m_fake, 0);
    QTRY_VERIFY_WITH_TIMEOUT(LiveListDlg::GetInstance()->isVisible(), 5000);
    QVERIFY(!dlg.isVisible());
    QCOMPARE(GetSettings()->value("user").toString(), QStringLiteral("teacher01"));
    QCOMPARE(m_fake->calls.filter("login ").size(), 3);
}

void TestLoginDlg::appServerRefusalsKeepWindow()
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
    QCOMPARE(ParamsOf(http.requests().first()).value("loginId").toString(), QStringLiteral("   "));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ "用户不存在" }), 5000);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("网络错误"));
    QVERIFY(SessionRecord().isEmpty());
    QVERIFY(dlg.isEnabled());

    // A signature answer without a signature stops quietly, with the new session's key used.
    http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{"userId":"u1","ak":"k1"}})"));
    http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{"userSig":null}})"));
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    QVERIFY(http.waitForRequests(3));
    QTRY_VERIFY(!CurrentWaitingSpinner());
    QTest::qWait(100);
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(ParamsOf(http.requests().at(2)).value("ak").toString(), QStringLiteral("k1"));
    QVERIFY(m_fake->calls.filter("login ").isEmpty());
    QVERIFY(dlg.isVisible() && dlg.isEnabled());
}

QTEST_MAIN(TestLoginDlg)
#include "tst_logindlg.moc"
