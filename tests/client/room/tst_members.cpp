#include "FakeILive.h"
#include "ScriptedAppServer.h"
#include "remote/Request.h"
#include "shell/Resources.h"
#include "room/CmdMsgHelper.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "ui_LiveDlg.h"
#include "ui_MemberListItem.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QtTest>

class TestMembers : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rowsShowRoleBadgeNameAndStoredMicState();
    void listIsRebuiltFromPageOneOfAThousandAndNamesTheSenders();
    void twoQuickRefreshesRebuildTwiceAndTheLaterAnswerWins();
    void invitingBeforeTheClassStartsIsRefused();
    void oneSpeakerAtATimeAndUncheckingSendsMicOff();
    void teacherOnTheMicrophoneRefusesEveryInvitation();
    void micStateIsEachRowsOwnEvenForARepeatedUserOrASilentSetMicOn();
    void answerAfterTheWindowClosedIsIgnored();
    void speakingRulesHoldForRowsOutOfView();
    void refreshWhileARefusalBoxIsOpenDoesNotTouchTheOldRow();
    void rowsFilledOnAHiddenTabSpanTheListWhenShown();

private:
    MemberListItem* Row(int i) const;
    void StartClass();
    QList<QPair<QString, int>> SentCommands() const;

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
    m_service = FakeILive::install();
    m_service->cameras = { { "cam0", "USB Camera" } };
    m_service->mics = { { "mic0", "Microphone" } };
    m_service->players = { { "spk0", "Speakers" } };
    GetILive()->setMessageCallBack(&LiveDlg::OnMessageCallback, nullptr);
    m_dlg = new LiveDlg;
    m_dlg->setLiveId(QStringLiteral("live-7"));
    g_liveDlg = m_dlg;
    m_server.members.clear();
    m_server.calls.clear();
}

void TestMembers::cleanup()
{
    QElapsedTimer clock;
    clock.start();
    while (Request::LiveCount() > 0 && clock.elapsed() < 5000)
        QTest::qWait(10);
    g_liveDlg = nullptr;
    delete m_dlg;
    m_dlg = nullptr;
    FakeILive::uninstall();
}

MemberListItem* TestMembers::Row(int i) const
{
    QListWidget* list = m_dlg->form()->memberListWidget;
    return qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
}

void TestMembers::StartClass()
{
    BoxAnswerer boxes;
    m_dlg->OnStartButtonClick();
    QTRY_VERIFY(m_dlg->isClassStarted());
    QCOMPARE(boxes.settle(20), QStringList());
    m_service->sent.clear();
}

QList<QPair<QString, int>> TestMembers::SentCommands() const
{
    QList<QPair<QString, int>> out;
    for (const FakeILive::Sent& s : m_service->sent)
        out << qMakePair(s.to, QJsonDocument::fromJson(FakeILive::customDataOf(s.msg).toUtf8())
                                   .object().value("userAction").toInt());
    return out;
}

void TestMembers::rowsShowRoleBadgeNameAndStoredMicState()
{
    MemberListItem teacher;
    teacher.SetData(MemberRecord("t1", QStringLiteral("王老师"), "t", "1"));
    QCOMPARE(teacher.form()->styleLabel->text(), QStringLiteral("老师"));
    QCOMPARE(teacher.form()->styleLabel->styleSheet(),
             QStringLiteral("background:#0AADDD;padding:1px 4px;border-radius:3px;color:white;"));
    QVERIFY(teacher.form()->micButton->isHidden());
    QVERIFY(teacher.IsMicOn()); // hidden, yet it holds the stored state
    QCOMPARE(teacher.form()->nameLabel->text(), QStringLiteral("王老师"));

    MemberListItem student;
    QSignalSpy clicked(&student, &MemberListItem::ButtonClicked);
    // "T" is not a teacher and " 1" is not on: both compare exactly.
    student.SetData(MemberRecord("s1", QStringLiteral("小李"), "T", " 1"));
    QCOMPARE(student.form()->styleLabel->text(), QStringLiteral("学生"));
    QCOMPARE(student.form()->styleLabel->styleSheet(),
             QStringLiteral("background:#FB923B;padding:1px 4px;border-radius:3px;color:white;"));
    QVERIFY(!student.form()->micButton->isHidden());
    QVERIFY(!student.IsMicOn());
    QCOMPARE(student.GetUserId(), QStringLiteral("s1"));

    student.SetMicOn(true);
    QVERIFY(student.IsMicOn());
    QCOMPARE(clicked.count(), 0);
    student.form()->micButton->click(); // the teacher unchecks it
    QCOMPARE(clicked.count(), 1);
    QCOMPARE(clicked[0][0].toMap().value("userId").toString(), QStringLiteral("s1"));
    QCOMPARE(clicked[0][1].toBool(), false);

    // A nickname that looks like markup is shown as typed.
    const QString markup = QStringLiteral("<b>李</b>");
    student.SetData(MemberRecord("s2", markup, "s"));
    QCOMPARE(student.form()->nameLabel->text(), markup);
    QVERIFY(student.form()->nameLabel->sizeHint().width()
            >= QFontMetrics(student.form()->nameLabel->font()).horizontalAdvance(markup));
}

void TestMembers::listIsRebuiltFromPageOneOfAThousandAndNamesTheSenders()
{
    m_dlg->SetMembers(QVariantList());
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(0人)"));
    QCOMPARE(m_dlg->form()->memberListWidget->count(), 0);

    m_server.members = { MemberRecord("t-9", QStringLiteral("张老师"), "t"),
                         MemberRecord("s-2", QStringLiteral("学生乙"), "s", "1"),
                         MemberRecord("s-1", QStringLiteral("学生甲"), "s") };
    m_dlg->show(); // showing asks for the list
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    QTRY_COMPARE(m_dlg->form()->memberListWidget->count(), 3);
    const QVariantMap params = m_server.callsOf("live.room.member.list").first().params;
    QCOMPARE(params.value("liveId").toString(), QStringLiteral("live-7"));
    QCOMPARE(params.value("pageNum").toInt(), 1);
    QCOMPARE(params.value("pageSize").toInt(), 1000);

    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(3人)"));
    // The server's order, unsorted.
    QCOMPARE(Row(0)->GetUserId(), QStringLiteral("t-9"));
    QCOMPARE(Row(1)->GetUserId(), QStringLiteral("s-2"));
    QCOMPARE(Row(2)->GetUserId(), QStringLiteral("s-1"));
    QVERIFY(Row(1)->IsMicOn());
    QVERIFY(!Row(2)->IsMicOn());
    QVERIFY(m_dlg->form()->memberListWidget->item(0)->sizeHint().height() > 0);

    // Listed members name their chat lines.
    QCOMPARE(NicknameCache().value("s-1"), QStringLiteral("学生甲"));
    m_service->deliverText(QStringLiteral("s-2"), QStringLiteral("到"));
    QListWidget* msgs = m_dlg->form()->msgListWidget;
    QVERIFY(msgs->count() == 1);
    QVERIFY(msgs->itemWidget(msgs->item(0))->findChild<QLabel*>("nameLabel")->text() == QStringLiteral("学生乙"));

    // A refresh replaces every row; a missing "list" empties it.
    m_server.members = { MemberRecord("s-3", QStringLiteral("学生丙"), "s") };
    m_dlg->RequestRoomMemberList();
    QTRY_COMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(1人)"));
    QCOMPARE(m_dlg->form()->memberListWidget->count(), 1);
    LiveDlg::OnAppServer_RoomMemberListSuccess(QVariantMap(), m_dlg);
    QCOMPARE(m_dlg->form()->memberListWidget->count(), 0);
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(0人)"));
}

void TestMembers::twoQuickRefreshesRebuildTwiceAndTheLaterAnswerWins()
{
    // The first answer is slow and arrives last: it is what the list shows.
    m_server.queueMemberList({ MemberRecord("a", "A", "s"), MemberRecord("b", "B", "s") }, 400);
    m_server.queueMemberList({ MemberRecord("c", "C", "s") }, 0);
    m_dlg->RequestRoomMemberList();
    m_dlg->RequestRoomMemberList();
    QVERIFY(m_server.waitFor("live.room.member.list", 2));
    QTRY_COMPARE(m_dlg->form()->memberListWidget->count(), 1);
    QTRY_COMPARE(m_dlg->form()->memberListWidget->count(), 2);
    QCOMPARE(Row(0)->GetUserId(), QStringLiteral("a"));
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(2人)"));
}

void TestMembers::invitingBeforeTheClassStartsIsRefused()
{
    m_dlg->SetMembers({ MemberRecord("s-1", "甲", "s") });
    BoxAnswerer boxes;
    Row(0)->form()->micButton->click();
    QCOMPARE(boxes.texts, QStringList({ QStringLiteral("请先上课") }));
    QVERIFY(!Row(0)->IsMicOn());
    QVERIFY(m_service->sent.isEmpty());
}

void TestMembers::oneSpeakerAtATimeAndUncheckingSendsMicOff()
{
    StartClass();
    m_dlg->SetMembers({ MemberRecord("t-1", "师", "t"), MemberRecord("s-1", "甲", "s"),
                        MemberRecord("s-2", "乙", "s") });
    BoxAnswerer boxes;

    Row(1)->form()->micButton->click();
    QCOMPARE(SentCommands(), (QList<QPair<QString, int>>({ { "s-1", CmdInviteInteract } })));
    QCOMPARE(FakeILive::customDataOf(m_service->sent[0].msg).toUtf8(),
             CmdMsgHelper::BuildCmdJson(CmdInviteInteract, QString()));
    QVERIFY(Row(1)->IsMicOn()); // checked while the student decides
    QCOMPARE(boxes.settle(20), QStringList({ QStringLiteral("已发送互动邀请,等待用户确认") }));

    Row(2)->form()->micButton->click();
    QCOMPARE(boxes.settle(20).last(), QStringLiteral("已有学生正在上麦"));
    QVERIFY(!Row(2)->IsMicOn());
    QCOMPARE(m_service->sent.size(), 1);

    // Taking the speaker off asks nothing and reports nothing.
    m_server.calls.clear();
    boxes.texts.clear();
    Row(1)->form()->micButton->click();
    QCOMPARE(SentCommands().last(), qMakePair(QStringLiteral("s-1"), int(CmdMicOff)));
    QVERIFY(!Row(1)->IsMicOn());
    QCOMPARE(boxes.settle(50), QStringList());
    QCOMPARE(m_server.count("live.room.member.status.report"), 0);

    // Now the other student may be invited.
    Row(2)->form()->micButton->click();
    QCOMPARE(SentCommands().last(), qMakePair(QStringLiteral("s-2"), int(CmdInviteInteract)));
    QVERIFY(Row(2)->IsMicOn());
}

void TestMembers::teacherOnTheMicrophoneRefusesEveryInvitation()
{
    StartClass();
    m_dlg->SetMembers({ MemberRecord("t-1", "师", "t", "1"), MemberRecord("s-1", "甲", "s"),
                        MemberRecord("s-2", "乙", "s") });
    BoxAnswerer boxes;
    Row(1)->form()->micButton->click();
    Row(2)->form()->micButton->click();
    QCOMPARE(boxes.settle(20), QStringList({ QStringLiteral("已有学生正在上麦"), QStringLiteral("已有学生正在上麦") }));
    QVERIFY(!Row(1)->IsMicOn());
    QVERIFY(!Row(2)->IsMicOn());
    QVERIFY(m_service->sent.isEmpty());
}

void TestMembers::micStateIsEachRowsOwnEvenForARepeatedUserOrASilentSetMicOn()
{
    StartClass();
    // The same student listed twice (two devices): only the clicked row is checked.
    m_dlg->SetMembers({ MemberRecord("s-1", "甲", "s"), MemberRecord("s-2", "乙", "s"),
                        MemberRecord("s-1", "甲", "s") });
    BoxAnswerer boxes;
    Row(2)->form()->micButton->click();
    QCOMPARE(SentCommands(), (QList<QPair<QString, int>>({ { "s-1", CmdInviteInteract } })));
    QVERIFY(Row(2)->IsMicOn());
    QVERIFY(!Row(0)->IsMicOn());
    Row(2)->form()->micButton->click();
    QCOMPARE(SentCommands().last(), qMakePair(QStringLiteral("s-1"), int(CmdMicOff)));
    QVERIFY(!Row(2)->IsMicOn());
    boxes.settle(20);
    boxes.texts.clear();
    m_service->sent.clear();

    // A button checked without a click still counts as someone speaking.
    Row(0)->SetMicOn(true);
    Row(1)->form()->micButton->click();
    QCOMPARE(boxes.settle(20), QStringList({ QStringLiteral("已有学生正在上麦") }));
    QVERIFY(!Row(1)->IsMicOn());
    QVERIFY(m_service->sent.isEmpty());
}

void TestMembers::answerAfterTheWindowClosedIsIgnored()
{
    m_server.queueMemberList({ MemberRecord("late", "迟到", "s") }, 300);
    m_dlg->RequestRoomMemberList();
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    g_liveDlg = nullptr;
    delete m_dlg;
    m_dlg = nullptr;
    // The answer arrives for a deleted window; nothing may touch it.
    QElapsedTimer clock;
    clock.start();
    while (Request::LiveCount() > 0 && clock.elapsed() < 5000)
        QTest::qWait(10);
    QCOMPARE(Request::LiveCount(), 0);
    QVERIFY(!NicknameCache().contains(QStringLiteral("late")));
    m_dlg = new LiveDlg; // for cleanup
}

void TestMembers::speakingRulesHoldForRowsOutOfView()
{
    StartClass();
    for (int i = 0; i < 400; ++i)
        m_server.members << MemberRecord(QStringLiteral("s-%1").arg(i), QStringLiteral("学生%1").arg(i), "s",
                                         i == 390 ? "1" : "0");
    m_dlg->show(); // asks for the list, which arrives while its tab is hidden
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QListWidget* list = m_dlg->form()->memberListWidget;
    QTRY_COMPARE(list->count(), 400);
    m_dlg->form()->tabWidget->setCurrentIndex(1);
    // Each row spans the list's line, so the microphone button at its right end is in sight.
    QTRY_VERIFY(Row(0) && Row(0)->width() == list->viewport()->width());
    QVERIFY(Row(1)->form()->micButton->isVisible());
    QVERIFY(Row(1)->form()->micButton->geometry().right() < list->viewport()->width());
    QVERIFY(Row(0));
    QVERIFY(!Row(390)); // far below the view: no widget
    QCOMPARE(NicknameCache().value("s-399"), QStringLiteral("学生399"));

    // The student on the microphone is out of view, yet nobody else may be invited.
    BoxAnswerer boxes;
    Row(0)->form()->micButton->click();
    QCOMPARE(boxes.settle(20), QStringList({ QStringLiteral("已有学生正在上麦") }));
    QVERIFY(!Row(0)->IsMicOn());
    QVERIFY(m_service->sent.isEmpty());

    // Scrolled into view, that row shows its button checked; unchecking it frees the microphone.
    list->scrollToItem(list->item(390));
    QTRY_VERIFY(Row(390));
    QVERIFY(Row(390)->IsMicOn());
    QCOMPARE(Row(390)->GetUserId(), QStringLiteral("s-390"));
    Row(390)->form()->micButton->click();
    QCOMPARE(SentCommands().last(), qMakePair(QStringLiteral("s-390"), int(CmdMicOff)));
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    Row(0)->form()->micButton->click();
    QCOMPARE(SentCommands().last(), qMakePair(QStringLiteral("s-0"), int(CmdInviteInteract)));
    // The pending invitation survives its row leaving the view and coming back.
    list->scrollToBottom();
    QTRY_VERIFY(!Row(0));
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    QVERIFY(Row(0)->IsMicOn());
}

void TestMembers::refreshWhileARefusalBoxIsOpenDoesNotTouchTheOldRow()
{
    m_dlg->SetMembers({ MemberRecord("s-1", "甲", "s") });
    // While "请先上课" waits for OK, an answer to an earlier refresh replaces every row.
    QTimer::singleShot(0, m_dlg, [this] {
        m_dlg->SetMembers({ MemberRecord("s-1", "甲", "s"), MemberRecord("s-2", "乙", "s") });
        QTimer::singleShot(20, [] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                box->button(QMessageBox::Ok)->click();
        });
    });
    Row(0)->form()->micButton->click();
    QCOMPARE(m_dlg->form()->memberListWidget->count(), 2);
    QVERIFY(!Row(0)->IsMicOn());
    QVERIFY(m_service->sent.isEmpty());
}

void TestMembers::rowsFilledOnAHiddenTabSpanTheListWhenShown()
{
    m_server.members = { MemberRecord("t-1", QStringLiteral("王老师"), "t"),
                         MemberRecord("s-1", QStringLiteral("张小明"), "s", "1") };
    m_dlg->resize(1366, 768);
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QListWidget* list = m_dlg->form()->memberListWidget;
    QTRY_COMPARE(list->count(), 2);
    m_dlg->form()->tabWidget->setCurrentIndex(1);
    QTest::qWait(100);
    QCOMPARE(Row(1)->width(), list->viewport()->width());
    QVERIFY(Row(1)->form()->micButton->geometry().right() < list->viewport()->width());
}

QTEST_MAIN(TestMembers)
#include "tst_members.moc"
