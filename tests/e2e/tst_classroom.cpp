// A class with a real student: the teacher signs in and enters the live in progress with the shipped
// live-video service, against the real lectern-server (app server and relay), and a lectern-student
// process enters, chats, is invited and accepts, goes off the microphone and leaves; all on loopback.
#include "BoxCatcher.h"
#include "CallOutcome.h"
#include "FakeILive.h"
#include "LogCapture.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LoginDlg.h"
#include "remote/AppServer.h"
#include "remote/PendingLiveEnds.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "lobby/LiveListItem.h"
#include "room/MemberListItem.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "ui_LiveDlg.h"
#include "ui_LiveListDlg.h"
#include "ui_LiveListItem.h"
#include "ui_LoginDlg.h"

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

class TestClassroom : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void studentEntersChatsSpeaksAndLeaves();
    void classEndedWhileServerWasDownStayedInProgress();

private:
    static QStringList DiscussionRows();
    // The lives of teacher01 as the app server has them now.
    QVariantList ServerLives();
    // Signs in through a login window; the lobby then shows.
    bool SignInThroughLoginWindow();
    static MemberListItem* MemberRow(const QString& userId);

    ServerProcess m_server;
};

void TestClassroom::initTestCase()
{
    LecternInitResources();
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    SetAppServerUrl(m_server.jsonRpcUrl());
    LiveService::setDefaultUrl(QUrl(m_server.liveUrl()));
}

void TestClassroom::cleanupTestCase()
{
    delete std::exchange(g_liveDlg, nullptr);
    if (!QTest::qWaitFor([] { return Request::LiveCount() == 0; }, 5000))
        qWarning("app-server requests still in flight");
    m_server.stop();
}

QStringList TestClassroom::DiscussionRows()
{
    QStringList rows;
    QListWidget* list = g_liveDlg->findChild<QListWidget*>("msgListWidget");
    for (int i = 0; i < list->count(); ++i) {
        // Rows far from view have no widget; this class is short enough to have them all.
        if (QWidget* row = list->itemWidget(list->item(i)))
            rows << row->findChild<QLabel*>("nameLabel")->text() + "|"
                    + row->findChild<QLabel*>("timeLabel")->text() + "|"
                    + row->findChild<QLabel*>("contentLabel")->text();
    }
    return rows;
}

MemberListItem* TestClassroom::MemberRow(const QString& userId)
{
    QListWidget* list = g_liveDlg->findChild<QListWidget*>("memberListWidget");
    for (int i = 0; i < list->count(); ++i) {
        auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
        if (row && row->GetUserId() == userId)
            return row;
    }
    return nullptr;
}

void TestClassroom::studentEntersChatsSpeaksAndLeaves()
{
    // Sign in and enter the live in progress through the login window and the lobby.
    BoxCatcher boxes;
    LoginDlg login;
    login.show();
    login.form()->userTextEdit->setText(QStringLiteral("teacher01"));
    login.form()->pwdTextEdit->setText(QStringLiteral("123456"));
    QTest::mouseClick(login.form()->loginButton, Qt::LeftButton);
    LiveListDlg* lobby = LiveListDlg::GetInstance();
    QTRY_VERIFY_WITH_TIMEOUT(!lobby->lives().isEmpty(), 15000);
    QTest::mouseClick(lobby->form()->enterButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 15000);
    QVERIFY2(boxes.seen().isEmpty(), qPrintable(boxes.texts().join('|')));
    g_liveDlg->OnStartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg->isClassStarted(), 10000);

    QProcess student;
    student.setProcessChannelMode(QProcess::MergedChannels);
    student.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-student"),
        { "--server", m_server.jsonRpcUrl(), "--live", m_server.liveUrl(), "--login", "student01",
            "--password", "123456", "--room", QString::number(g_liveDlg->avRoomId()), "--chat-every", "2",
            "--mic-off-after", "2", "--duration", "12" });
    QVERIFY(student.waitForStarted(5000));
    QByteArray studentLog;
    connect(&student, &QProcess::readyRead, this, [&] { studentLog += student.readAll(); });

    // Enters: a notice under the student's name, a member row, and the class time for the student.
    QTRY_VERIFY_WITH_TIMEOUT(!DiscussionRows().filter("|进入直播间|").isEmpty(), 10000);
    const QString nickname = DiscussionRows().filter("|进入直播间|").first().section('|', 0, 0);
    QVERIFY(!nickname.isEmpty());
    const QString studentId = NicknameCache().key(nickname);
    QVERIFY(!studentId.isEmpty());
    QVERIFY(nickname != studentId);
    QTRY_VERIFY_WITH_TIMEOUT(MemberRow(studentId) != nullptr, 10000);
    QVERIFY(!MemberRow(studentId)->IsMicOn());
    QVERIFY(g_liveDlg->findChild<QTabWidget*>("tabWidget")->tabText(1).startsWith(QStringLiteral("成员(")));
    QTRY_VERIFY_WITH_TIMEOUT(studentLog.contains("class time"), 10000);

    // Chats: the line is shown under the student's name.
    QTRY_VERIFY_WITH_TIMEOUT(!DiscussionRows().filter(QStringLiteral("第1条消息")).isEmpty(), 10000);
    QCOMPARE(DiscussionRows().filter(QStringLiteral("第1条消息")).first().section('|', 0, 0), nickname);

    // Invited: accepts, the state is reported, and the refreshed list shows the microphone on.
    MemberRow(studentId)->findChild<QPushButton*>("micButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts().contains(QStringLiteral("用户已同意互动")), 10000);
    QVERIFY(boxes.texts().contains(QStringLiteral("已发送互动邀请,等待用户确认")));
    QTRY_VERIFY_WITH_TIMEOUT(MemberRow(studentId) && MemberRow(studentId)->IsMicOn(), 10000);

    // Goes off the microphone by itself: the notice names it and the button follows the server.
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts().contains(nickname + QStringLiteral("已下麦")), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(MemberRow(studentId) && !MemberRow(studentId)->IsMicOn(), 10000);

    // Leaves.
    QTRY_VERIFY_WITH_TIMEOUT(!DiscussionRows().filter("|离开直播间|").isEmpty(), 20000);
    QCOMPARE(DiscussionRows().filter("|离开直播间|").first().section('|', 0, 0), nickname);
    QTRY_COMPARE_WITH_TIMEOUT(student.state(), QProcess::NotRunning, 10000);
    QCOMPARE(student.exitStatus(), QProcess::NormalExit);
    QCOMPARE(student.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(MemberRow(studentId) == nullptr, 10000);
}

QVariantList TestClassroom::ServerLives()
{
    CallOutcome outcome;
    AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &outcome, nullptr, false);
    return outcome.wait(10000) && outcome.ok ? outcome.result.value("list").toList() : QVariantList();
}

bool TestClassroom::SignInThroughLoginWindow()
{
    LoginDlg login;
    login.show();
    login.form()->userTextEdit->setText(QStringLiteral("teacher01"));
    login.form()->pwdTextEdit->setText(QStringLiteral("123456"));
    QTest::mouseClick(login.form()->loginButton, Qt::LeftButton);
    // Until the lobby's first refresh has come, its waiting indicator keeps it from taking clicks.
    return QTest::qWaitFor(
        [] { return LiveListDlg::GetInstance()->isVisible() && !CurrentWaitingSpinner(); }, 15000);
}

// Regression: "live.end" went out once without callbacks; with the server unreachable the room
// closed as if the class had ended, two "网络错误" boxes stacked, and the server kept the class in
// progress for good.
void TestClassroom::classEndedWhileServerWasDownStayedInProgress()
{
    delete std::exchange(g_liveDlg, nullptr);
    LiveListDlg* lobby = LiveListDlg::GetInstance();
    lobby->hide();
    // The relay stops with the server: a scripted service keeps its drop out of this test.
    FakeILive* fake = FakeILive::install();
    fake->cameras = { { "cam0", "USB Camera" } };
    fake->mics = { { "mic0", "Microphone" } };
    fake->players = { { "spk0", "Speakers" } };
    PendingLiveEnds* ends = PendingLiveEnds::GetInstance();
    ends->SetRetryInterval(300);
    BoxCatcher boxes(QMessageBox::Yes);
    QVERIFY(SignInThroughLoginWindow());
    QTRY_VERIFY_WITH_TIMEOUT(!lobby->lives().isEmpty(), 10000);
    QTest::mouseClick(lobby->form()->enterButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 10000);
    const QString liveId = g_liveDlg->liveId();
    g_liveDlg->OnStartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg->isClassStarted(), 10000);
    QVERIFY2(boxes.seen().isEmpty(), qPrintable(boxes.texts().join('|')));

    LogCapture log(true);
    QVERIFY(m_server.stop());
    QTest::mouseClick(g_liveDlg->form()->startButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg == nullptr && lobby->isVisible(), 10000);
    const auto networkBoxes = [&boxes] {
        int count = 0;
        for (const BoxCatcher::Seen& box : boxes.seen())
            count += box.title == QStringLiteral("网络错误");
        return count;
    };
    // The lobby's refresh tells of the unreachable server; the end is tried again, without a box.
    QTRY_VERIFY_WITH_TIMEOUT(networkBoxes() > 0 && log.count("live.end not delivered") >= 2, 10000);
    QCOMPARE(boxes.texts().filter(QStringLiteral("是否下课")).size(), 1);
    QCOMPARE(networkBoxes(), 1);
    // Remembered, and shown in the lobby as ending.
    GetSettings()->sync();
    QCOMPARE(GetSettings()->value("pendingLiveEnd").toStringList(), QStringList { liveId });
    bool shownEnding = false;
    for (int row = 0; row < lobby->form()->itemsListWidget->count(); ++row)
        if (lobby->liveAt(row).value("liveId").toString() == liveId)
            shownEnding = lobby->itemAt(row)->form()->startButton->text() == QStringLiteral("下课中");
    QVERIFY(shownEnding);

    // The server comes back (same database, new ports): the running client gets the end through.
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    SetAppServerUrl(m_server.jsonRpcUrl());
    QTRY_VERIFY_WITH_TIMEOUT(ends->pending().isEmpty(), 10000);
    auto stateOf = [this](const QString& id) {
        for (const QVariant& live : ServerLives())
            if (live.toMap().value("liveId").toString() == id)
                return live.toMap().value("state").toString();
        return QString();
    };
    QCOMPARE(stateOf(liveId), QStringLiteral("e"));
    QVERIFY(!GetSettings()->contains("pendingLiveEnd"));

    // An end a previous run could not deliver goes out after the next sign-in.
    QString other;
    for (const QVariant& live : ServerLives())
        if (live.toMap().value("state").toString() != QLatin1String("e"))
            other = live.toMap().value("liveId").toString();
    QVERIFY(!other.isEmpty());
    GetSettings()->setValue("pendingLiveEnd", QStringList { other });
    GetSettings()->sync();
    lobby->hide();
    QVERIFY(SignInThroughLoginWindow());
    QTRY_VERIFY_WITH_TIMEOUT(ends->pending().isEmpty() && !GetSettings()->contains("pendingLiveEnd"), 10000);
    QCOMPARE(stateOf(other), QStringLiteral("e"));
    lobby->hide();
    FakeILive::uninstall();
}

QTEST_MAIN(TestClassroom)
#include "tst_classroom.moc"
