// A class with a real student: the teacher's room window on the shipped live-video service, the
// real lectern-server (app server and relay) and a lectern-student process, all on loopback.
// The student enters, chats, is invited and accepts, goes off the microphone and leaves.
#include "BoxCatcher.h"
#include "CallOutcome.h"
#include "ServerProcess.h"
#include "ilive/LiveService.h"
#include "lectern_config.h"
#include "remote/AppServer.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "shell/Resources.h"

#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

namespace {

int g_liveDone = 0;
int g_liveCode = -1;
void OnLiveOk(void*)
{
    g_liveDone++;
    g_liveCode = 0;
}
void OnLiveErr(int code, const char*, void*)
{
    g_liveDone++;
    g_liveCode = code;
}

} // namespace

class TestClassroom : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void studentEntersChatsSpeaksAndLeaves();

private:
    QStringList DiscussionRows() const;
    MemberListItem* MemberRow(const QString& userId) const;

    ServerProcess m_server;
    LiveDlg* m_dlg = nullptr;
};

void TestClassroom::initTestCase()
{
    LecternInitResources();
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    SetAppServerUrl(m_server.jsonRpcUrl());
    LiveService::setDefaultUrl(QUrl(m_server.liveUrl()));

    // What the login window does: listeners, service start, app-server sign-in, service sign-in.
    ilive::iLive* live = GetILive();
    live->setMessageCallBack(LiveDlg::OnMessageCallback, nullptr);
    live->setRemoteVideoCallBack(LiveDlg::OnRemoteVideoFrame, nullptr);
    live->setLocalVideoCallBack(LiveDlg::OnLocalVideoFrame, nullptr);
    live->setDeviceOperationCallback(LiveDlg::OnDeviceOperation, nullptr);
    live->setVideoColorFormat(ilive::COLOR_FORMAT_RGB32);
    QCOMPARE(live->init(LECTERN_APP_ID, LECTERN_ACCOUNT_TYPE, true), 0);

    CallOutcome login;
    AppServer_Login(QStringLiteral("teacher01"), QStringLiteral("123456"), CallOutcome::OnOk, CallOutcome::OnFail, &login);
    QVERIFY(login.wait(10000) && login.ok);
    SessionRecord() = login.result;
    CallOutcome sig;
    AppServer_CreateSig(CallOutcome::OnOk, CallOutcome::OnFail, &sig);
    QVERIFY(sig.wait(10000) && sig.ok);
    live->login(SessionRecord().value("userId").toString().toUtf8().constData(),
                sig.result.value("userSig").toString().toUtf8().constData(), OnLiveOk, OnLiveErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_liveDone, 1, 10000);
    QCOMPARE(g_liveCode, 0);
}

void TestClassroom::cleanupTestCase()
{
    if (m_dlg) {
        g_liveDlg = nullptr;
        delete m_dlg;
    }
    if (!QTest::qWaitFor([] { return Request::LiveCount() == 0; }, 5000))
        qWarning("app-server requests still in flight");
    m_server.stop();
}

QStringList TestClassroom::DiscussionRows() const
{
    QStringList rows;
    QListWidget* list = m_dlg->findChild<QListWidget*>("msgListWidget");
    for (int i = 0; i < list->count(); ++i) {
        // Rows far from view have no widget; this class is short enough to have them all.
        QWidget* row = list->itemWidget(list->item(i));
        if (!row) {
            rows << QString();
            continue;
        }
        rows << row->findChild<QLabel*>("nameLabel")->text() + "|" + row->findChild<QLabel*>("timeLabel")->text()
                + "|" + row->findChild<QLabel*>("contentLabel")->text();
    }
    return rows;
}

MemberListItem* TestClassroom::MemberRow(const QString& userId) const
{
    QListWidget* list = m_dlg->findChild<QListWidget*>("memberListWidget");
    for (int i = 0; i < list->count(); ++i) {
        auto* row = qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
        if (row && row->GetUserId() == userId)
            return row;
    }
    return nullptr;
}

void TestClassroom::studentEntersChatsSpeaksAndLeaves()
{
    BoxCatcher boxes;

    // Open the first live as the lobby does: room on the app server, then on the relay.
    CallOutcome lives;
    AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &lives, nullptr, false);
    QVERIFY(lives.wait(10000) && lives.ok);
    QVERIFY(!lives.result.value("list").toList().isEmpty());
    const QVariantMap liveRecord = lives.result.value("list").toList().first().toMap();
    const QString liveId = liveRecord.value("liveId").toString();
    CallOutcome room;
    AppServer_CreateRoom(liveId, CallOutcome::OnOk, CallOutcome::OnFail, &room);
    QVERIFY(room.wait(10000) && room.ok);
    const int avRoomId = room.result.value("avRoomId").toString().toInt();
    QVERIFY(avRoomId > 0);
    ilive::iLiveRoomOption option;
    option.roomKind = 1;
    option.roomId = uint32_t(avRoomId);
    option.authBits = ~uint64_t(0);
    option.controlRole = ilive::String("LiveMaster");
    option.roomDisconnectListener = LiveDlg::OnRoomDisconnect;
    option.memberStatusListener = LiveDlg::OnMemStatusChange;
    GetILive()->createRoom(option, OnLiveOk, OnLiveErr, nullptr);
    QTRY_COMPARE_WITH_TIMEOUT(g_liveDone, 2, 10000);
    QCOMPARE(g_liveCode, 0);
    CallOutcome entered;
    AppServer_EnterRoom(avRoomId, CallOutcome::OnOk, CallOutcome::OnFail, &entered);
    QVERIFY(entered.wait(10000) && entered.ok);

    m_dlg = new LiveDlg;
    g_liveDlg = m_dlg;
    m_dlg->setAvRoomId(avRoomId);
    m_dlg->setLiveId(liveId);
    m_dlg->showMaximized();
    m_dlg->OnStartButtonClick();
    QTRY_VERIFY_WITH_TIMEOUT(m_dlg->isClassStarted(), 10000);

    QProcess student;
    student.setProcessChannelMode(QProcess::MergedChannels);
    student.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-student"),
                  { "--server", m_server.jsonRpcUrl(), "--live", m_server.liveUrl(), "--login", "student01", "--password",
                    "123456", "--room", QString::number(avRoomId), "--chat-every", "2", "--mic-off-after", "2",
                    "--duration", "12" });
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
    QVERIFY(m_dlg->findChild<QTabWidget*>("tabWidget")->tabText(1).startsWith(QStringLiteral("成员(")));
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
