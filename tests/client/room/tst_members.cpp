#include "FakeILive.h"
#include "RoomTestKit.h"
#include "ScriptedAppServer.h"
#include "room/CmdMsgHelper.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "shell/Resources.h"
#include "ui_LiveDlg.h"
#include "ui_MemberListItem.h"

#include <QListWidget>
#include <QtTest>

using namespace roomkit;

class TestMembers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listIsRebuiltFromPageOneOfAThousand();
    void oneSpeakerAtATimeOnlyDuringClass();
    void answerAfterTheWindowClosedIsIgnored();
    void speakingRulesHoldForRowsOutOfView();

private:
    MemberListItem* Row(int i) const;
    void Click(int row) { Row(row)->form()->micButton->click(); }
    void StartClass();
    // "<to> <userAction>" of each command sent.
    QStringList Sent() const;

    ScriptedAppServer m_server;
    FakeILive* m_service = nullptr;
    LiveDlg* m_dlg = nullptr;
};

void TestMembers::initTestCase()
{
    LecternInitResources();
    QVERIFY(m_server.start());
}

void TestMembers::init()
{
    m_service = InstallService();
    m_dlg = new LiveDlg;
    m_dlg->setLiveId(QStringLiteral("live-7"));
    g_liveDlg = m_dlg;
    m_server.members.clear();
    m_server.calls.clear();
}

void TestMembers::cleanup()
{
    WaitForRequests(5000);
    DiscardRoom();
    FakeILive::uninstall();
}

MemberListItem* TestMembers::Row(int i) const
{
    QListWidget* list = m_dlg->form()->memberListWidget;
    return qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
}

void TestMembers::StartClass()
{
    m_dlg->OnStartButtonClick();
    QTRY_VERIFY(m_dlg->isClassStarted());
    m_service->sent.clear();
}

QStringList TestMembers::Sent() const
{
    QStringList out;
    const auto commands = SentCommands(m_service);
    for (int i = 0; i < commands.size(); ++i)
        out << QStringLiteral("%1 %2").arg(m_service->sent[i].to).arg(commands[i].first);
    return out;
}

void TestMembers::listIsRebuiltFromPageOneOfAThousand()
{
    // "T" is not a teacher and " 1" is not on: both compare exactly.
    const QString markup = QStringLiteral("<b>李</b>");
    m_server.members
        = { MemberRecord("t-9", QStringLiteral("张老师"), "t", "1"), MemberRecord("s-2", "乙", "s", "1"),
              MemberRecord("s-1", "甲", "T", " 1"), MemberRecord("s-0", markup, "s") };
    m_dlg->show(); // showing asks for the list
    QTRY_COMPARE(m_dlg->form()->memberListWidget->count(), 4);
    const QVariantMap params = m_server.callsOf("live.room.member.list").first().params;
    QCOMPARE(QStringList({ params.value("liveId").toString(), params.value("pageNum").toString(),
                 params.value("pageSize").toString() }),
        QStringList({ "live-7", "1", "1000" }));
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(4人)"));
    // The server's order, unsorted.
    QCOMPARE(Row(0)->GetUserId() + Row(1)->GetUserId() + Row(2)->GetUserId(), QStringLiteral("t-9s-2s-1"));
    QVERIFY(Row(0)->form()->styleLabel->text() == "老师" && Row(0)->form()->micButton->isHidden()
        && Row(0)->IsMicOn());
    QVERIFY(Row(1)->IsMicOn() && !Row(2)->IsMicOn() && Row(2)->form()->styleLabel->text() == "学生");
    // Regression: a nickname that looks like markup was rendered.
    QVERIFY(Row(3)->form()->nameLabel->text() == markup
        && Row(3)->form()->nameLabel->textFormat() == Qt::PlainText);

    // A refresh replaces every row; a missing "list" empties it.
    m_server.members = { MemberRecord("s-3", QStringLiteral("学生丙"), "s") };
    m_dlg->RequestRoomMemberList();
    QTRY_COMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(1人)"));
    LiveDlg::OnAppServer_RoomMemberListSuccess(QVariantMap(), m_dlg);
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(0人)"));
}

void TestMembers::oneSpeakerAtATimeOnlyDuringClass()
{
    m_dlg->SetMembers({ MemberRecord("s-1", "甲", "s") });
    // While "请先上课" waits for OK, an answer to an earlier refresh replaces every row; the
    // same student is listed twice (two devices).
    QTimer::singleShot(0, m_dlg, [this] {
        m_dlg->SetMembers({ MemberRecord("t-1", "师", "t"), MemberRecord("s-1", "甲", "s"),
            MemberRecord("s-2", "乙", "s"), MemberRecord("s-1", "甲", "s") });
    });
    BoxCatcher boxes;
    Click(0);
    QCOMPARE(boxes.texts(), QStringList({ QStringLiteral("请先上课") }));
    QCOMPARE(m_dlg->form()->memberListWidget->count(), 4);
    QVERIFY(!Row(1)->IsMicOn() && m_service->sent.isEmpty());

    StartClass();
    boxes.clear();
    // Regression: the row of the first entry of a repeated user was checked instead of the clicked one.
    Click(3);
    QCOMPARE(Sent(), QStringList({ QStringLiteral("s-1 %1").arg(CmdInviteInteract) }));
    QVERIFY(Row(3)->IsMicOn() && !Row(1)->IsMicOn()); // checked while the student decides
    QTRY_COMPARE(boxes.texts(), QStringList({ QStringLiteral("已发送互动邀请,等待用户确认") }));
    Click(2);
    QTRY_COMPARE(boxes.texts().last(), QStringLiteral("已有学生正在上麦"));
    QVERIFY(!Row(2)->IsMicOn() && m_service->sent.size() == 1);

    // Taking the speaker off asks nothing and reports nothing.
    Click(3);
    QCOMPARE(Sent().last(), QStringLiteral("s-1 %1").arg(CmdMicOff));
    QVERIFY(!Row(3)->IsMicOn());
    QTest::qWait(50);
    QVERIFY(boxes.seen().size() == 2 && m_server.count("live.room.member.status.report") == 0);

    // Regression: a button checked without a click did not count as someone speaking.
    m_service->sent.clear();
    Row(1)->SetMicOn(true);
    Click(2);
    QTRY_COMPARE(boxes.texts().last(), QStringLiteral("已有学生正在上麦"));
    QVERIFY(!Row(2)->IsMicOn() && m_service->sent.isEmpty());
}

void TestMembers::answerAfterTheWindowClosedIsIgnored()
{
    m_server.queueMemberList({ MemberRecord("late", "迟到", "s") }, 300);
    m_dlg->RequestRoomMemberList();
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    DiscardRoom();
    // The answer arrives for a deleted window; nothing may touch it.
    QVERIFY(WaitForRequests(5000));
    QVERIFY(!NicknameCache().contains(QStringLiteral("late")));
}

void TestMembers::speakingRulesHoldForRowsOutOfView()
{
    StartClass();
    for (int i = 0; i < 400; ++i)
        m_server.members << MemberRecord(
            QStringLiteral("s-%1").arg(i), QStringLiteral("学生%1").arg(i), "s", i == 390 ? "1" : "0");
    m_dlg->show(); // asks for the list, which arrives while its tab is hidden
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QListWidget* list = m_dlg->form()->memberListWidget;
    QTRY_COMPARE(list->count(), 400);
    m_dlg->form()->tabWidget->setCurrentIndex(1);
    // Regression: rows filled on the hidden tab were narrower than the list, the button out of sight.
    QTRY_VERIFY(Row(0) && Row(0)->width() == list->viewport()->width());
    QVERIFY(Row(1)->form()->micButton->isVisible()
        && Row(1)->form()->micButton->geometry().right() < list->viewport()->width());
    QVERIFY(!Row(390)); // far below the view: no widget
    QCOMPARE(NicknameCache().value("s-399"), QStringLiteral("学生399"));

    // The student on the microphone is out of view, yet nobody else may be invited.
    BoxCatcher boxes;
    Click(0);
    QTRY_COMPARE(boxes.texts(), QStringList({ QStringLiteral("已有学生正在上麦") }));
    QVERIFY(!Row(0)->IsMicOn() && m_service->sent.isEmpty());

    // Scrolled into view, that row shows its button checked; unchecking it frees the microphone.
    list->scrollToItem(list->item(390));
    QTRY_VERIFY(Row(390) && Row(390)->IsMicOn());
    Click(390);
    QCOMPARE(Sent().last(), QStringLiteral("s-390 %1").arg(CmdMicOff));
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    Click(0);
    QCOMPARE(Sent().last(), QStringLiteral("s-0 %1").arg(CmdInviteInteract));
}

QTEST_MAIN(TestMembers)
#include "tst_members.moc"
