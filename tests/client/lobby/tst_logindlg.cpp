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
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <atomic>
#include <thread>

class TestLoginDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // First: it needs a process in which the lobby has not been built yet.
    void forcedOfflineFromServiceThreadBeforeLobbyExists();
    void windowAndServiceStart();
    void initFailureShowsErrorAndEndsProcess();
    void emptyUserOrPasswordAsksForIt();
    void signInOpensLobbyAndRemembersLogin();
    void fieldsFilledFromSettingsSignInWithoutTyping();
    void failedLiveLoginKeepsSessionAndWindow();
    void liveLoginAnswerFromServiceThreadReachesGuiThread();
    void wrongPasswordShowsServerMessage();
    void spacesOnlyLoginIdSentUnchangedWhileWindowWaits();
    void signatureAnswerWithoutUserSigStopsQuietly();

private:
    void clearSettings();
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
    SetAppServerUrl(m_server.jsonRpcUrl());
}

void TestLoginDlg::init()
{
    m_fake = FakeILive::install();
    m_endCalls = 0;
    clearSettings();
    SessionRecord().clear();
    SetAppServerUrl(m_server.jsonRpcUrl());
}

void TestLoginDlg::cleanup()
{
    LiveListDlg::GetInstance()->hide();
    HideWaiting();
    clearSettings();
}

void TestLoginDlg::cleanupTestCase()
{
    m_server.stop();
    FakeILive::uninstall();
}

void TestLoginDlg::clearSettings()
{
    GetSettings()->clear();
    GetSettings()->sync();
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
    QCOMPARE(boxes.seen().first().title, QStringLiteral("提示"));
    // The lobby that took the notice lives on the GUI thread, where its refresh timer runs.
    QCOMPARE(LiveListDlg::GetInstance()->thread(), QCoreApplication::instance()->thread());
    QVERIFY(!LiveListDlg::GetInstance()->isVisible());
}

void TestLoginDlg::windowAndServiceStart()
{
    {
        LoginDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Tutorline直播助手"));
        QCOMPARE(dlg.size(), QSize(800, 600));
        QCOMPARE(dlg.minimumSize(), dlg.maximumSize());
        QVERIFY(dlg.windowFlags().testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!dlg.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!dlg.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
        QCOMPARE(dlg.styleSheet(), QStringLiteral("background-image:url(:/Lectern/Resources/login.png);"));
        Ui::LoginDlg* ui = dlg.form();
        QCOMPARE(ui->userTextEdit->geometry(), QRect(320, 278, 216, 40));
        QCOMPARE(ui->pwdTextEdit->geometry(), QRect(320, 332, 216, 40));
        QCOMPARE(ui->loginButton->geometry(), QRect(290, 387, 240, 40));
        QCOMPARE(ui->loginButton->text(), QStringLiteral("登录"));
        QCOMPARE(ui->pwdTextEdit->echoMode(), QLineEdit::Password);
        QCOMPARE(ui->userTextEdit->styleSheet(),
            QStringLiteral("border: 1px solid transparent;background: transparent;color:white"));
        QCOMPARE(ui->loginButton->styleSheet(),
            QStringLiteral("border: 1px solid transparent;background: transparent;color:transparent"));
        QVERIFY(ui->userTextEdit->text().isEmpty());
        QVERIFY(ui->pwdTextEdit->text().isEmpty());

        // Listeners first, then the colour format from the probe view, then the start.
        const QStringList expected
            = { "setMessageCallBack", "setForceOfflineCallback", "setRemoteVideoCallBack",
                  "setLocalVideoCallBack", "setDeviceOperationCallback", "setVideoColorFormat 8" };
        QCOMPARE(m_fake->calls.mid(0, expected.size()), expected);
        QVERIFY(m_fake->calls.value(expected.size()).startsWith("init "));
        QVERIFY(m_fake->calls.value(expected.size()).endsWith(" 1"));
        QVERIFY(m_fake->forceOfflineListener);
        QVERIFY(m_fake->messageListener && m_fake->deviceListener);
        QVERIFY(FakeRootView::all().isEmpty()); // the probe view was released again
        QCOMPARE(m_endCalls, 0);
    }
    // An accelerated render view asks for I420 frames.
    m_fake = FakeILive::install();
    m_fake->rootViewType = ilive::ROOT_VIEW_TYPE_ACCELERATED;
    LoginDlg dlg;
    QCOMPARE(m_fake->colorFormat, int(ilive::COLOR_FORMAT_I420));
}

void TestLoginDlg::initFailureShowsErrorAndEndsProcess()
{
    m_fake->initResult = 1001;
    BoxCatcher boxes([this](QMessageBox*) { QCOMPARE(m_endCalls, 0); });
    LoginDlg dlg;
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("Error"));
    QCOMPARE(boxes.seen().first().text, QStringLiteral("init sdk failed."));
    QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
    QCOMPARE(m_endCalls, 1);
}

void TestLoginDlg::emptyUserOrPasswordAsksForIt()
{
    LoginDlg dlg;
    dlg.show();
    QList<QColor> corners;
    BoxCatcher boxes([&corners, &dlg](QMessageBox* box) {
        // Boxes over the login window, yet plain: its picture must not show through them.
        QCOMPARE(box->parentWidget(), &dlg);
        const QImage shot = box->grab().toImage();
        corners << shot.pixelColor(2, 2) << shot.pixelColor(shot.width() - 3, shot.height() - 3);
        for (const QColor& c : corners)
            QCOMPARE(c, box->palette().color(QPalette::Window));
    });
    typeAndClick(dlg, QString(), QStringLiteral("123456"));
    typeAndClick(dlg, QStringLiteral("teacher01"), QString());
    QCOMPARE(corners.size(), 4);
    QCOMPARE(boxes.texts(), QStringList({ "请输入用户名", "请输入密码" }));
    for (const auto& seen : boxes.seen()) {
        QVERIFY(seen.title.isEmpty());
        QCOMPARE(seen.icon, QMessageBox::Information);
        QVERIFY(seen.modal);
    }
    // Nothing went out: no waiting indicator, no session.
    QVERIFY(!CurrentWaitingSpinner());
    QVERIFY(SessionRecord().isEmpty());
    QVERIFY(dlg.isEnabled());
}

void TestLoginDlg::signInOpensLobbyAndRemembersLogin()
{
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    LiveListDlg* lobby = LiveListDlg::GetInstance();
    QTRY_VERIFY_WITH_TIMEOUT(lobby->isVisible(), 10000);
    QVERIFY(!dlg.isVisible());
    QVERIFY(lobby->isMaximized());
    QVERIFY(boxes.seen().isEmpty());

    QVERIFY(!SessionRecord().value("ak").toString().isEmpty());
    const QString userId = SessionRecord().value("userId").toString();
    QVERIFY(!userId.isEmpty());
    QCOMPARE(m_fake->loginUser, userId);
    QCOMPARE(m_fake->loginSig, dlg.userSig());
    QVERIFY(!dlg.userSig().isEmpty());

    // The settings file now holds the login id and the password as Base64 bytes.
    QFile file(GetSettings()->fileName());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray ini = file.readAll();
    QVERIFY2(ini.contains("user=teacher01"), ini.constData());
    QVERIFY2(ini.contains("pwd=@ByteArray(MTIzNDU2)"), ini.constData());

    // The lobby asked for the teacher's lives as it appeared.
    QTRY_VERIFY_WITH_TIMEOUT(!lobby->lives().isEmpty(), 10000);
}

void TestLoginDlg::fieldsFilledFromSettingsSignInWithoutTyping()
{
    SaveUser(QStringLiteral("teacher01"), QStringLiteral("123456"));
    LoginDlg dlg;
    QCOMPARE(dlg.form()->userTextEdit->text(), QStringLiteral("teacher01"));
    QCOMPARE(dlg.form()->pwdTextEdit->text(), QStringLiteral("123456"));
    dlg.show();
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(LiveListDlg::GetInstance()->isVisible(), 10000);
    QVERIFY(!dlg.isVisible());
}

void TestLoginDlg::failedLiveLoginKeepsSessionAndWindow()
{
    m_fake->loginCode = 8050;
    m_fake->loginDesc = QStringLiteral("签名已过期");
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.seen().size(), 1, 10000);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("iLive Login Error"));
    QCOMPARE(boxes.seen().first().text, QStringLiteral("错误码:   8050\n错误信息: 签名已过期"));
    QCOMPARE(boxes.seen().first().icon, QMessageBox::Critical);
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.isEnabled());
    QVERIFY(!CurrentWaitingSpinner());
    QVERIFY(!LiveListDlg::GetInstance()->isVisible());
    QVERIFY(!SessionRecord().value("userId").toString().isEmpty());
    QVERIFY(!GetSettings()->contains("user"));

    // Another attempt starts over and succeeds.
    m_fake->loginCode = 0;
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(LiveListDlg::GetInstance()->isVisible(), 10000);
    QCOMPARE(m_fake->calls.filter("login ").size(), 2);
}

void TestLoginDlg::liveLoginAnswerFromServiceThreadReachesGuiThread()
{
    m_fake->answerLogin = false;
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes(
        [](QMessageBox* box) { QCOMPARE(box->thread(), QCoreApplication::instance()->thread()); });
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingErr != nullptr, 10000);

    // The failure arrives on a thread of the service and waits until the GUI thread took it.
    std::atomic<bool> returned { false };
    std::thread service([this, &returned] {
        m_fake->answerPending(6012, QStringLiteral("timeout"));
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
    service.join();
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("iLive Login Error"));
    QVERIFY(dlg.isVisible());

    // A success from a service thread opens the lobby on the GUI thread as well.
    QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m_fake->pendingSuc != nullptr, 10000);
    std::thread again([this] { m_fake->answerPending(0); });
    QTRY_VERIFY_WITH_TIMEOUT(LiveListDlg::GetInstance()->isVisible(), 5000);
    again.join();
    QVERIFY(!dlg.isVisible());
    QCOMPARE(GetSettings()->value("user").toString(), QStringLiteral("teacher01"));
}

void TestLoginDlg::wrongPasswordShowsServerMessage()
{
    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("wrong"));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.seen().size(), 1, 10000);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("网络错误"));
    QVERIFY(!boxes.seen().first().text.isEmpty());
    QVERIFY(dlg.isVisible());
    QVERIFY(dlg.isEnabled());
    QVERIFY(SessionRecord().isEmpty());
    QVERIFY(!m_fake->calls.filter("login ").size());
}

void TestLoginDlg::spacesOnlyLoginIdSentUnchangedWhileWindowWaits()
{
    HttpFixture http;
    QVERIFY(http.start());
    HttpResponse answer
        = HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1001","message":"用户不存在"}})");
    answer.delayMs = 300;
    http.enqueue(answer);
    SetAppServerUrl(http.url("/app-server/jsonrpc/"));

    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    typeAndClick(dlg, QStringLiteral("   "), QStringLiteral("x"));
    // While the app server works the window takes no input.
    QVERIFY(!dlg.isEnabled());
    QVERIFY(http.waitForRequests(1));
    const QJsonObject params
        = QJsonDocument::fromJson(http.requests().first().body).object().value("params").toObject();
    QCOMPARE(params.value("loginId").toString(), QStringLiteral("   "));
    QVERIFY(!params.contains("password"));
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ "用户不存在" }), 5000);
    QVERIFY(dlg.isEnabled());
}

void TestLoginDlg::signatureAnswerWithoutUserSigStopsQuietly()
{
    HttpFixture http;
    QVERIFY(http.start());
    http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{"userId":"u1","ak":"k1"}})"));
    http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{"userSig":null}})"));
    SetAppServerUrl(http.url("/app-server/jsonrpc/"));

    LoginDlg dlg;
    dlg.show();
    BoxCatcher boxes;
    typeAndClick(dlg, QStringLiteral("teacher01"), QStringLiteral("123456"));
    QVERIFY(http.waitForRequests(2));
    QTRY_VERIFY(!CurrentWaitingSpinner());
    QTest::qWait(100);
    QVERIFY(boxes.seen().isEmpty());
    QVERIFY(m_fake->calls.filter("login ").isEmpty());
    QVERIFY(dlg.isVisible() && dlg.isEnabled());
    QCOMPARE(SessionRecord().value("ak").toString(), QStringLiteral("k1"));
    // The second call already carried the new session's key.
    const QJsonObject params
        = QJsonDocument::fromJson(http.requests().at(1).body).object().value("params").toObject();
    QCOMPARE(params.value("ak").toString(), QStringLiteral("k1"));
}

QTEST_MAIN(TestLoginDlg)
#include "tst_logindlg.moc"
