// A class with a real student: the teacher signs in and enters the live in progress with the shipped
// live-video service, against the real lectern-server (app server and relay), and a lectern-student
// process enters, chats, is invited and accepts, goes off the microphone and leaves; all on loopback.
#include "BoxCatcher.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LoginDlg.h"
#include "remote/AppServer.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "shell/Resources.h"
#include "ui_LiveListDlg.h"
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

private:
    static QStringList DiscussionRows();
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

QTEST_MAIN(TestClassroom)
#include "tst_classroom.moc"
