#include "FakeILive.h"
#include "RoomTestKit.h"
#include "ScriptedAppServer.h"
#include "room/CmdMsgHelper.h"
#include "room/LiveDlg.h"
#include "room/MsgItem.h"
#include "shell/Resources.h"
#include "ui_LiveDlg.h"
#include "ui_MsgItem.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QtTest>

using namespace roomkit;

namespace {
QString Identity(const QString& userId, const QString& nickname)
{
    return QJsonDocument(QJsonObject { { "userId", userId }, { "nickname", nickname } })
        .toJson(QJsonDocument::Compact);
}

QString Command(int action, const QString& param)
{
    return QString::fromUtf8(CmdMsgHelper::BuildCmdJson(E_CustomCmd(action), param));
}
} // namespace

class TestDiscussion : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void textAndCustomElementsOfOneMessageActInOrder();
    void sendersAreNamedFromIdentityCacheOrRawIdAndNeverAsMarkup();
    void malformedCommandsChangeNothing();
    void rejectAcceptAndMicOffNoticesAndReports();
    void enterRoomBroadcastsClassTimeOnlyOnceTheClassStarted();
    void chatIsShownAsMeAtOnceAndEnterSends();
    void longDiscussionBuildsOnlyRowsNearViewAndRebuildsThemOnScroll();
    void undeliveredChatLookedSent();
    void studentCouldSpeakAndRenameForAnother();
    void studentCouldChatUnderTheTeachersName();

private:
    MsgItem* Row(int i) const;
    QStringList RowNames() const; // "name|time|content" per row, empty where no widget is built

    ScriptedAppServer m_server;
    FakeILive* m_service = nullptr;
    LiveDlg* m_dlg = nullptr;
};

void TestDiscussion::initTestCase()
{
    LecternInitResources();
    QVERIFY(m_server.start());
}

void TestDiscussion::init()
{
    m_service = InstallService();
    m_dlg = new LiveDlg;
    m_dlg->setLiveId(QStringLiteral("live-42"));
    m_dlg->resize(1280, 800);
    g_liveDlg = m_dlg;
    m_server.calls.clear();
}

void TestDiscussion::cleanup()
{
    // Answers still on their way belong to this test, not the next.
    WaitForRequests(5000);
    DiscardRoom();
    FakeILive::uninstall();
}

MsgItem* TestDiscussion::Row(int i) const
{
    QListWidget* list = m_dlg->form()->msgListWidget;
    return qobject_cast<MsgItem*>(list->itemWidget(list->item(i)));
}

QStringList TestDiscussion::RowNames() const
{
    QStringList names;
    for (int i = 0; i < m_dlg->form()->msgListWidget->count(); ++i) {
        const Ui::MsgItem* ui = Row(i) ? Row(i)->form() : nullptr;
        names << (ui ? ui->nameLabel->text() + "|" + ui->timeLabel->text() + "|" + ui->contentLabel->text()
                     : QString());
    }
    return names;
}

void TestDiscussion::textAndCustomElementsOfOneMessageActInOrder()
{
    NicknameCache().insert(QStringLiteral("stu-a"), QStringLiteral("小红"));
    ilive::Message msg;
    msg.sender = ilive::String("stu-a");
    msg.elems.push_back(
        new ilive::MessageTextElem(ilive::String(QStringLiteral("老师好").toUtf8().constData())));
    msg.elems.push_back(new ilive::MessageCustomElem(
        ilive::String(Command(CmdLeaveRoom, Identity("stu-a", QStringLiteral("小红"))).toUtf8().constData()),
        ilive::String("anything")));
    m_service->deliverMessage(msg);

    const QStringList rows = RowNames();
    QCOMPARE(rows.size(), 2);
    QVERIFY(QRegularExpression(QStringLiteral("^小红\\|\\d\\d:\\d\\d:\\d\\d\\|老师好$"))
                .match(rows[0])
                .hasMatch());
    QCOMPARE(rows[1], QStringLiteral("小红|离开直播间|"));
    QCOMPARE(m_dlg->form()->msgListWidget->currentRow(), 1);
    // Someone left: the member list is asked for again.
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
}

void TestDiscussion::sendersAreNamedFromIdentityCacheOrRawIdAndNeverAsMarkup()
{
    LogCapture log;
    m_service->deliverText(QStringLiteral("stranger-9"), QStringLiteral("在吗"));
    QCOMPARE(RowNames().last().section('|', 0, 0), QStringLiteral("stranger-9"));
    QCOMPARE(log.count(QStringLiteral("缓存里没有此用户昵称，可能会显示错误")), 1);

    // Regression: a name or line that looks like markup was rendered instead of shown as typed.
    const QString markup = QStringLiteral("<b>大</b>");
    m_service->deliverCustom(QStringLiteral("html-1"), Command(CmdEnterRoom, Identity("html-1", markup)));
    m_service->deliverText(QStringLiteral("html-1"), QStringLiteral("<h1>x</h1>"));
    const Ui::MsgItem* ui = Row(RowNames().size() - 1)->form();
    QVERIFY(ui->nameLabel->text() == markup && ui->nameLabel->textFormat() == Qt::PlainText);
    QCOMPARE(ui->contentLabel->textFormat(), Qt::PlainText);
}

void TestDiscussion::malformedCommandsChangeNothing()
{
    BoxCatcher boxes;
    for (const QString& bad : { QStringLiteral("not json"), QStringLiteral("[2, 3]"),
             QStringLiteral("{\"userAction\":\"abc\",\"actionParam\":\"\"}"), Command(4, QString()),
             Command(99999, QString()) })
        m_service->deliverCustom(QStringLiteral("s1"), bad);
    QTest::qWait(150);
    QVERIFY(RowNames().isEmpty() && boxes.seen().isEmpty() && m_server.calls.isEmpty()
        && m_service->sent.isEmpty());
}

void TestDiscussion::rejectAcceptAndMicOffNoticesAndReports()
{
    BoxCatcher boxes;
    NicknameCache().insert(QStringLiteral("stu-m"), QStringLiteral("小明"));
    // A refusal with a numeric reason other than 2 refreshes silently.
    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdRejectInteract, QStringLiteral("7")));
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdRejectInteract, QStringLiteral("2")));
    QTRY_COMPARE(boxes.texts(), QStringList({ QStringLiteral("用户没有上麦条件") }));
    QVERIFY(m_server.waitFor("live.room.member.list", 2));
    QCOMPARE(m_server.count("live.room.member.status.report"), 0);

    // A student going off the microphone is reported, then the list is fetched again.
    m_server.calls.clear();
    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdMicOff, QString()));
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    const QVariantMap report = m_server.callsOf("live.room.member.status.report").value(0).params;
    QCOMPARE(report.value("liveId").toString() + report.value("userId").toString()
            + report.value("action").toString(),
        QStringLiteral("live-42stu-moff"));
    QCOMPARE(RowNames().size(), 0); // speaking notices stay out of the discussion
}

void TestDiscussion::enterRoomBroadcastsClassTimeOnlyOnceTheClassStarted()
{
    BoxCatcher boxes;
    m_service->deliverCustom(QStringLiteral("s1"), Command(CmdEnterRoom, Identity("s1", "甲")));
    QVERIFY(SentCommands(m_service).isEmpty());

    m_dlg->OnStartButtonClick();
    QTRY_VERIFY(m_dlg->isClassStarted());
    m_service->sent.clear();
    m_service->deliverCustom(QStringLiteral("s2"), Command(CmdEnterRoom, Identity("s2", "乙")));
    m_service->deliverCustom(QStringLiteral("s3"), Command(CmdLeaveRoom, Identity("s3", "丙")));
    const auto sent = SentCommands(m_service);
    QVERIFY(sent.size() == 1 && sent[0].first == int(CmdClassTime) && m_service->sent[0].to.isEmpty());
    QVERIFY(QRegularExpression("^[0-9]$|^[1-5][0-9]$")
                .match(sent[0].second)
                .hasMatch()); // seconds since the start
}

void TestDiscussion::chatIsShownAsMeAtOnceAndEnterSends()
{
    m_dlg->show();
    QTextEdit* edit = m_dlg->form()->msgTextEdit;
    m_service->sendCode = 10004; // the send fails: the line stays anyway
    edit->setPlainText(QStringLiteral("第一行\n第二行"));
    m_dlg->form()->sendButton->click();
    QVERIFY(edit->toPlainText().isEmpty() && RowNames().size() == 1);
    QVERIFY(RowNames()[0].startsWith(QStringLiteral("我|"))
        && RowNames()[0].endsWith(QStringLiteral("|第一行\n第二行")));
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("第一行\n第二行"));

    // Either Enter key sends instead of breaking the line.
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClicks(edit, QStringLiteral("d"));
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(FakeILive::textOf(m_service->sent[m_service->sent.size() - 2].msg), QStringLiteral("abc"));
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("d"));
}

void TestDiscussion::longDiscussionBuildsOnlyRowsNearViewAndRebuildsThemOnScroll()
{
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QListWidget* list = m_dlg->form()->msgListWidget;
    for (int i = 0; i < 300; ++i)
        m_dlg->AddMessage(QStringLiteral("学生%1").arg(i), QStringLiteral("第%1条").arg(i), true);
    QTest::qWait(50); // released rows go with the event loop
    const int built = RowNames().size() - RowNames().count(QString());
    QVERIFY2(built > 0 && built < 100, qPrintable(QString::number(built)));
    // Released rows are deleted, not left lying under the view.
    QCOMPARE(list->viewport()->findChildren<MsgItem*>().size(), built);
    QVERIFY(Row(299) && !Row(0));

    // Back at the top the first rows show their own texts again.
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    QVERIFY(RowNames()[0].startsWith(QStringLiteral("学生0|"))
        && RowNames()[0].endsWith(QStringLiteral("|第0条")));

    // A new line scrolls the list back to the end and is built there.
    m_dlg->AddMessage(QStringLiteral("最后"), QStringLiteral("尾"), true);
    QVERIFY(Row(300) && list->currentRow() == 300);
}

// Regression: after the relay dropped, a typed line appeared as sent; only the log said otherwise.
void TestDiscussion::undeliveredChatLookedSent()
{
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QTextEdit* edit = m_dlg->form()->msgTextEdit;
    m_service->sendCode = 8001;
    m_service->sendDesc = QStringLiteral("not signed in");
    edit->setPlainText(QStringLiteral("丢了"));
    m_dlg->form()->sendButton->click();
    m_service->sendCode = 0;
    edit->setPlainText(QStringLiteral("到了"));
    m_dlg->form()->sendButton->click();
    QCOMPARE(RowNames().size(), 2);
    QVERIFY2(
        RowNames()[0].contains(QStringLiteral("发送失败")) && RowNames()[0].endsWith(QStringLiteral("|丢了")),
        qPrintable(RowNames()[0]));
    QVERIFY2(!RowNames()[1].contains(QStringLiteral("发送失败")), qPrintable(RowNames()[1]));

    // The mark stays with the line when its row is built again after a scroll.
    for (int i = 0; i < 100; ++i)
        m_dlg->AddMessage(QStringLiteral("学生"), QString::number(i), true);
    QListWidget* list = m_dlg->form()->msgListWidget;
    QTRY_VERIFY(!Row(0));
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    QVERIFY(RowNames()[0].contains(QStringLiteral("发送失败"))
        && !RowNames()[1].contains(QStringLiteral("发送失败")));
}

// Regression: the identity object's userId was taken over the sender the relay named, so one
// student could put another on or off the microphone and rename anyone in the nickname cache.
void TestDiscussion::studentCouldSpeakAndRenameForAnother()
{
    BoxCatcher boxes;
    LogCapture log;
    NicknameCache().insert(QStringLiteral("stu-b"), QStringLiteral("小兰"));
    NicknameCache().insert(QStringLiteral("stu-t"), QStringLiteral("老师"));
    m_service->deliverCustom(QStringLiteral("stu-a"), Command(CmdAcceptInteract, Identity("stu-b", "小兰")));
    m_service->deliverCustom(QStringLiteral("stu-a"), Command(CmdMicOff, Identity("stu-b", "小兰")));
    m_service->deliverCustom(QStringLiteral("stu-a"), Command(CmdEnterRoom, Identity("stu-t", "骗子")));
    m_service->deliverCustom(QStringLiteral("stu-a"), Command(CmdLeaveRoom, Identity("stu-b", QString())));
    // The sender's own identity object still counts, with the id as a string or a number.
    m_service->deliverCustom(QStringLiteral("1001"),
        Command(CmdMicOff,
            QJsonDocument(QJsonObject { { "userId", 1001 }, { "nickname", QStringLiteral("小刚") } })
                .toJson(QJsonDocument::Compact)));
    QVERIFY(m_server.waitFor("live.room.member.list", 1));

    const auto reports = m_server.callsOf("live.room.member.status.report");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].params.value("userId").toString() + reports[0].params.value("action").toString(),
        QStringLiteral("1001off"));
    QTRY_COMPARE(boxes.texts(), QStringList({ QStringLiteral("小刚已下麦") }));
    QVERIFY(RowNames().isEmpty());
    QCOMPARE(NicknameCache().value("stu-b"), QStringLiteral("小兰"));
    QCOMPARE(NicknameCache().value("stu-t"), QStringLiteral("老师"));
    QCOMPARE(NicknameCache().value("1001"), QStringLiteral("小刚"));
    QCOMPARE(log.count(QStringLiteral("command refused: sent by stu-a")), 4);
}

// Regression: a student's own identity could carry any nickname, and its chat then showed under the
// teacher's name. The member list's names, from the school's records, win over what it says.
void TestDiscussion::studentCouldChatUnderTheTeachersName()
{
    LogCapture log;
    m_dlg->SetMembers({ QVariantMap { { "userId", "t-1" }, { "nickname", QStringLiteral("王老师") } },
        QVariantMap { { "userId", "stu-f" }, { "nickname", QStringLiteral("李华") } } });
    m_service->deliverCustom(
        QStringLiteral("stu-f"), Command(CmdEnterRoom, Identity("stu-f", QStringLiteral("王老师"))));
    ilive::Message chat;
    chat.sender = ilive::String("stu-f");
    chat.elems.push_back(
        new ilive::MessageTextElem(ilive::String(QStringLiteral("下课").toUtf8().constData())));
    m_service->deliverMessage(chat);
    // Someone the list does not know yet goes by what it says, until the list tells.
    m_service->deliverCustom(
        QStringLiteral("stu-n"), Command(CmdEnterRoom, Identity("stu-n", QStringLiteral("新同学"))));

    QTRY_COMPARE(RowNames().size(), 3);
    QCOMPARE(RowNames()[0], QStringLiteral("李华|进入直播间|"));
    QVERIFY2(
        RowNames()[1].startsWith(QStringLiteral("李华|")) && RowNames()[1].endsWith(QStringLiteral("|下课")),
        qPrintable(RowNames()[1]));
    QCOMPARE(RowNames()[2], QStringLiteral("新同学|进入直播间|"));
    QCOMPARE(NicknameCache().value("stu-f"), QStringLiteral("李华"));
    QCOMPARE(log.count(QStringLiteral("ignored the name 王老师 that stu-f gave itself")), 1);
}

QTEST_MAIN(TestDiscussion)
#include "tst_discussion.moc"
