// Raised hands and quick questions in the teacher's room window, with the fake live service.
#include "FakeILive.h"
#include "RoomTestKit.h"
#include "ScriptedAppServer.h"
#include "protocol/CmdMessage.h"
#include "room/LiveDlg.h"
#include "room/MemberListItem.h"
#include "room/QuizPanel.h"
#include "shell/Resources.h"
#include "ui_LiveDlg.h"
#include "ui_MemberListItem.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

using namespace roomkit;

namespace {
QString Command(E_CustomCmd cmd, const QJsonObject& param)
{
    return QString::fromUtf8(
        cmdmessage::build(cmd, QString::fromUtf8(QJsonDocument(param).toJson(QJsonDocument::Compact))));
}
} // namespace

class TestFloor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void handsShowOnRowsUntilLoweredInvitedOrGone();
    void countsComeOnlyFromTheRelay();

private:
    MemberListItem* Row(int i) const;
    // "<to> <userAction> <actionParam>" of each command sent since the last look.
    QStringList TakeSent();
    void Raise(const QString& userId, const QString& nickname)
    {
        m_service->deliverCustom(
            userId, Command(CmdRaiseHand, { { "userId", userId }, { "nickname", nickname } }));
    }

    ScriptedAppServer m_server;
    FakeILive* m_service = nullptr;
    LiveDlg* m_dlg = nullptr;
};

void TestFloor::initTestCase()
{
    LecternInitResources();
    QVERIFY(m_server.start());
}

void TestFloor::init()
{
    m_service = InstallService();
    m_dlg = new LiveDlg;
    m_dlg->setLiveId(QStringLiteral("live-7"));
    g_liveDlg = m_dlg;
    m_server.members
        = { MemberRecord("t-1", "师", "t"), MemberRecord("s-1", "甲", "s"), MemberRecord("s-2", "乙", "s") };
}

void TestFloor::cleanup()
{
    WaitForRequests(5000);
    DiscardRoom();
    FakeILive::uninstall();
}

MemberListItem* TestFloor::Row(int i) const
{
    QListWidget* list = m_dlg->form()->memberListWidget;
    return qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
}

QStringList TestFloor::TakeSent()
{
    QStringList out;
    const auto commands = SentCommands(m_service);
    for (int i = 0; i < commands.size(); ++i)
        out << QStringLiteral("%1 %2 %3")
                   .arg(m_service->sent[i].to)
                   .arg(commands[i].first)
                   .arg(commands[i].second);
    m_service->sent.clear();
    return out;
}

void TestFloor::handsShowOnRowsUntilLoweredInvitedOrGone()
{
    m_dlg->show();
    QTRY_COMPARE(m_dlg->form()->memberListWidget->count(), 3);
    BoxCatcher boxes;
    Raise("s-2", "乙");
    QVERIFY(Row(2)->IsHandRaised() && !Row(1)->IsHandRaised() && Row(0)->GetUserId() == "t-1");
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(3人)举手1"));
    QCOMPARE(m_dlg->FloorNotice(), QStringLiteral("乙 举手了"));
    Raise("s-2", "乙"); // twice is once
    QCOMPARE(m_dlg->RaisedHandCount(), 1);
    // A refreshed list keeps the hand; no box (and no sound) came with it.
    m_dlg->RequestRoomMemberList();
    QVERIFY(m_server.waitFor("live.room.member.list", 2));
    QVERIFY(WaitForRequests());
    QTRY_VERIFY(Row(2) && Row(2)->IsHandRaised());
    QVERIFY(boxes.seen().isEmpty());

    // Lowered from its row: the student is told.
    QTest::mouseClick(Row(2)->handButton(), Qt::LeftButton);
    QVERIFY(!Row(2)->IsHandRaised() && !m_dlg->IsHandRaised("s-2"));
    QCOMPARE(TakeSent(), QStringList({ QStringLiteral("s-2 %1 {\"userId\":\"s-2\"}").arg(CmdLowerHand) }));
    QCOMPARE(m_dlg->form()->tabWidget->tabText(1), QStringLiteral("成员(3人)"));

    // The student lowers it itself; a command naming another is refused as ever.
    Raise("s-1", "甲");
    m_service->deliverCustom("s-2", Command(CmdLowerHand, { { "userId", "s-1" } }));
    QVERIFY(m_dlg->IsHandRaised("s-1"));
    m_service->deliverCustom("s-1", Command(CmdLowerHand, { { "userId", "s-1" } }));
    QVERIFY(!m_dlg->IsHandRaised("s-1") && TakeSent().isEmpty());

    // The invitation lowers it; so does leaving.
    m_dlg->OnStartButtonClick();
    QTRY_VERIFY(m_dlg->isClassStarted());
    TakeSent();
    Raise("s-1", "甲");
    Raise("s-2", "乙");
    Row(1)->form()->micButton->click();
    QCOMPARE(TakeSent(),
        QStringList({ QStringLiteral("s-1 %1 {\"userId\":\"s-1\"}").arg(CmdLowerHand),
            QStringLiteral("s-1 %1 ").arg(CmdInviteInteract) }));
    QVERIFY(!Row(1)->IsHandRaised() && Row(2)->IsHandRaised());
    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_EXIT, { "s-2" });
    QTRY_VERIFY(!Row(2)->IsHandRaised());

    // All at once.
    Raise("s-1", "甲");
    Raise("s-2", "乙");
    QTest::mouseClick(m_dlg->findChild<QPushButton*>("lowerAllHandsButton"), Qt::LeftButton);
    QVERIFY(m_dlg->RaisedHandCount() == 0 && !Row(1)->IsHandRaised() && !Row(2)->IsHandRaised());
    QCOMPARE(TakeSent(), QStringList({ QStringLiteral(" %1 ").arg(CmdLowerAllHands) }));
}

void TestFloor::countsComeOnlyFromTheRelay()
{
    m_dlg->SetMembers(m_server.members);
    QuizPanel* quiz = m_dlg->quizPanel();
    quiz->choicesBox()->setValue(4);
    quiz->textEdit()->setText(QStringLiteral("  1+1=?  "));
    QTest::mouseClick(quiz->askButton(), Qt::LeftButton);
    const QStringList sent = TakeSent();
    QCOMPARE(sent.size(), 1);
    const QJsonObject open = QJsonDocument::fromJson(sent[0].section(' ', 2).toUtf8()).object();
    QVERIFY(sent[0].startsWith(QStringLiteral(" %1 ").arg(CmdQuizOpen)));
    QCOMPARE(open.value("choices").toInt(), 4);
    QCOMPARE(open.value("text").toString(), QStringLiteral("1+1=?"));
    const double quizId = open.value("quizId").toDouble();
    QVERIFY(quizId > 0);

    const QJsonObject tally { { "quizId", quizId }, { "counts", QJsonArray { 0, 1, 1, 0 } },
        { "answers", QJsonObject { { "s-1", 2 }, { "s-2", 1 } } }, { "closed", false } };
    // Counts from a member (a student's client, or anyone's) are not the server's.
    m_service->deliverCustom("s-1", Command(CmdQuizTally, tally));
    QCOMPARE(quiz->answered(), 0);
    // Another question's counts neither.
    QJsonObject other = tally;
    other.insert("quizId", quizId + 1);
    m_service->deliverCustom("", Command(CmdQuizTally, other));
    QCOMPARE(quiz->answered(), 0);
    m_service->deliverCustom("", Command(CmdQuizTally, tally));
    QCOMPARE(QList<int>({ quiz->count(0), quiz->count(1), quiz->count(2), quiz->count(3) }),
        QList<int>({ 0, 1, 1, 0 }));
    QCOMPARE(quiz->answerOf("s-1"), QStringLiteral("C"));
    QCOMPARE(quiz->answerList()->count(), 2);
    QCOMPARE(quiz->answerList()->item(0)->text(), QStringLiteral("甲：C"));

    QTest::mouseClick(quiz->closeButton(), Qt::LeftButton);
    QTest::mouseClick(quiz->shareButton(), Qt::LeftButton);
    const QString idParam = QString::fromUtf8(
        QJsonDocument(QJsonObject { { "quizId", quizId } }).toJson(QJsonDocument::Compact));
    QCOMPARE(TakeSent(),
        QStringList({ QStringLiteral(" %1 %2").arg(CmdQuizClose).arg(idParam),
            QStringLiteral(" %1 %2").arg(CmdQuizShare).arg(idParam) }));
}

QTEST_MAIN(TestFloor)
#include "tst_floor.moc"
