#include "FakeILive.h"
#include "ScriptedAppServer.h"
#include "remote/Request.h"
#include "shell/Resources.h"
#include "room/CmdMsgHelper.h"
#include "room/LiveDlg.h"
#include "room/MsgItem.h"
#include "ui_LiveDlg.h"
#include "ui_MsgItem.h"

#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QTextEdit>
#include <QThread>
#include <QtTest>

namespace {
QString Identity(const QString& userId, const QString& nickname)
{
    QJsonObject o { { "userId", userId }, { "nickname", nickname } };
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QString Command(int action, const QString& param)
{
    return QString::fromUtf8(CmdMsgHelper::BuildCmdJson(E_CustomCmd(action), param));
}

// The commands the client handed to the service, in order.
QList<int> SentActions(const FakeILive* service)
{
    QList<int> actions;
    for (const FakeILive::Sent& s : service->sent) {
        const QString data = FakeILive::customDataOf(s.msg);
        if (!data.isEmpty())
            actions << QJsonDocument::fromJson(data.toUtf8()).object().value("userAction").toInt();
    }
    return actions;
}
} // namespace

class TestDiscussion : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void textAndCustomElementsOfOneMessageActInOrder();
    void sendersAreNamedFromTheCacheOrShownRaw();
    void identityWithoutNicknameFallsBackToTheSender();
    void commandsWithoutObjectOrUnknownActionChangeNothing();
    void rejectAcceptAndMicOffNoticesAndReports();
    void enterRoomBroadcastsClassTimeOnlyOnceTheClassStarted();
    void chatIsShownAsMeAtOnceAndSpacesOnlyTextIsSent();
    void enterKeyInTheTextBoxSendsInsteadOfBreakingTheLine();
    void rowsElideLongNamesAndWrapLongTextAtAnyCharacter();
    void messageFromAnotherThreadIsHandledOnTheGuiThread();
    void longDiscussionBuildsOnlyRowsNearViewAndRebuildsThemOnScroll();

private:
    QStringList RowNames() const;
    MsgItem* Row(int i) const;

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
    m_service = FakeILive::install();
    m_service->cameras = { { "cam0", "USB Camera" } };
    m_service->mics = { { "mic0", "Microphone" } };
    m_service->players = { { "spk0", "Speakers" } };
    GetILive()->setMessageCallBack(&LiveDlg::OnMessageCallback, nullptr);
    m_dlg = new LiveDlg;
    m_dlg->setLiveId(QStringLiteral("live-42"));
    m_dlg->resize(1280, 800);
    g_liveDlg = m_dlg;
    m_server.calls.clear();
}

void TestDiscussion::cleanup()
{
    // Answers still on their way belong to this test, not the next.
    QElapsedTimer clock;
    clock.start();
    while (Request::LiveCount() > 0 && clock.elapsed() < 5000)
        QTest::qWait(10);
    g_liveDlg = nullptr;
    delete m_dlg;
    m_dlg = nullptr;
    FakeILive::uninstall();
}

QStringList TestDiscussion::RowNames() const
{
    QStringList names;
    QListWidget* list = m_dlg->form()->msgListWidget;
    for (int i = 0; i < list->count(); ++i) {
        if (!Row(i)) {
            names << QString();
            continue;
        }
        names << Row(i)->form()->nameLabel->text() + "|" + Row(i)->form()->timeLabel->text() + "|"
                + Row(i)->form()->contentLabel->text();
    }
    return names;
}

MsgItem* TestDiscussion::Row(int i) const
{
    QListWidget* list = m_dlg->form()->msgListWidget;
    return qobject_cast<MsgItem*>(list->itemWidget(list->item(i)));
}

void TestDiscussion::textAndCustomElementsOfOneMessageActInOrder()
{
    NicknameCache().insert(QStringLiteral("stu-a"), QStringLiteral("小红"));
    ilive::Message msg;
    msg.sender = ilive::String("stu-a");
    msg.elems.push_back(new ilive::MessageTextElem(ilive::String(QStringLiteral("老师好").toUtf8().constData())));
    msg.elems.push_back(new ilive::MessageCustomElem(
        ilive::String(Command(CmdLeaveRoom, Identity("stu-a", QStringLiteral("小红"))).toUtf8().constData()),
        ilive::String("anything")));
    m_service->deliverMessage(msg);

    const QStringList rows = RowNames();
    QCOMPARE(rows.size(), 2);
    QVERIFY2(rows[0].startsWith(QStringLiteral("小红|")) && rows[0].endsWith(QStringLiteral("|老师好")),
             qPrintable(rows[0]));
    QVERIFY(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d$").match(Row(0)->form()->timeLabel->text()).hasMatch());
    QCOMPARE(rows[1], QStringLiteral("小红|离开直播间|"));
    // The notice has no content line; the chat line has one.
    QCOMPARE(Row(1)->form()->contentLabel->height(), 0);
    QCOMPARE(Row(1)->form()->verticalLayout->spacing(), 0);
    QVERIFY(Row(0)->form()->contentLabel->minimumHeight() > 0);
    QCOMPARE(m_dlg->form()->msgListWidget->currentRow(), 1);
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    const QVariantMap params = m_server.callsOf("live.room.member.list").first().params;
    QCOMPARE(params.value("liveId").toString(), QStringLiteral("live-42"));
}

void TestDiscussion::sendersAreNamedFromTheCacheOrShownRaw()
{
    LogLines log;
    m_service->deliverText(QStringLiteral("stranger-9"), QStringLiteral("在吗"));
    QCOMPARE(RowNames().last().section('|', 0, 0), QStringLiteral("stranger-9"));
    QCOMPARE(log.count(QStringLiteral("缓存里没有此用户昵称，可能会显示错误")), 1);

    // An identity object names the sender from then on; a newer name replaces the older one.
    m_service->deliverCustom(QStringLiteral("stranger-9"), Command(CmdEnterRoom, Identity("stranger-9", "阿强")));
    QCOMPARE(RowNames().last(), QStringLiteral("阿强|进入直播间|"));
    m_service->deliverCustom(QStringLiteral("stranger-9"), Command(CmdLeaveRoom, Identity("stranger-9", "强哥")));
    m_service->deliverText(QStringLiteral("stranger-9"), QStringLiteral("再见"));
    QCOMPARE(RowNames().last().section('|', 0, 0), QStringLiteral("强哥"));
    QCOMPARE(NicknameCache().value("stranger-9"), QStringLiteral("强哥"));

    // A numeric user id in the identity object is cached under its decimal text.
    m_service->deliverCustom(QStringLiteral("10086"),
                             Command(CmdEnterRoom, QStringLiteral("{\"userId\":10086,\"nickname\":\"数字\"}")));
    m_service->deliverText(QStringLiteral("10086"), QStringLiteral("hi"));
    QCOMPARE(RowNames().last().section('|', 0, 0), QStringLiteral("数字"));

    // A name or a line that looks like markup is shown as typed, never rendered.
    const QString markup = QStringLiteral("<b>大</b>");
    m_service->deliverCustom(QStringLiteral("html-1"), Command(CmdEnterRoom, Identity("html-1", markup)));
    m_service->deliverText(QStringLiteral("html-1"), QStringLiteral("<h1>x</h1>"));
    for (MsgItem* row : { Row(RowNames().size() - 2), Row(RowNames().size() - 1) }) {
        QLabel* name = row->form()->nameLabel;
        QCOMPARE(name->text(), markup);
        QVERIFY2(name->sizeHint().width() >= QFontMetrics(name->font()).horizontalAdvance(markup),
                 qPrintable(QString::number(name->sizeHint().width())));
    }
    QCOMPARE(Row(RowNames().size() - 1)->form()->contentLabel->textFormat(), Qt::PlainText);
}

void TestDiscussion::identityWithoutNicknameFallsBackToTheSender()
{
    LogLines log;
    NicknameCache().insert(QStringLiteral("stu-cached"), QStringLiteral("缓存名"));
    m_service->deliverCustom(QStringLiteral("stu-cached"), Command(CmdEnterRoom, Identity("other-id", "")));
    QCOMPARE(RowNames().last(), QStringLiteral("缓存名|进入直播间|"));
    QVERIFY(!NicknameCache().contains(QStringLiteral("other-id")));

    // Not an object at all: logged, and the raw sender id names the notice.
    m_service->deliverCustom(QStringLiteral("stu-raw"), Command(CmdEnterRoom, QStringLiteral("[1,2]")));
    QCOMPARE(RowNames().last(), QStringLiteral("stu-raw|进入直播间|"));
    QVERIFY(log.count(QStringLiteral("parse actionParam fail")) >= 1);

    // A nickname without a user id: the report goes to the sender, not to an empty id.
    m_service->deliverCustom(QStringLiteral("stu-noid"),
                             Command(CmdAcceptInteract, QStringLiteral("{\"nickname\":\"无号\"}")));
    QVERIFY(m_server.waitFor("live.room.member.status.report", 1));
    QCOMPARE(m_server.callsOf("live.room.member.status.report").first().params.value("userId").toString(),
             QStringLiteral("stu-noid"));
    QCOMPARE(NicknameCache().value("stu-noid"), QStringLiteral("无号"));
    BoxAnswerer boxes;
    boxes.settle(50);
}

void TestDiscussion::commandsWithoutObjectOrUnknownActionChangeNothing()
{
    BoxAnswerer boxes;
    m_service->deliverCustom(QStringLiteral("s1"), QStringLiteral("not json"));
    m_service->deliverCustom(QStringLiteral("s1"), QStringLiteral("[2, 3]"));
    m_service->deliverCustom(QStringLiteral("s1"), QStringLiteral("{\"userAction\":\"abc\",\"actionParam\":\"\"}"));
    m_service->deliverCustom(QStringLiteral("s1"), Command(4, QString()));
    m_service->deliverCustom(QStringLiteral("s1"), Command(99999, QString()));
    // An element of an unknown kind is skipped; the next one still counts.
    ilive::Message msg;
    msg.sender = ilive::String("s1");
    auto* odd = new ilive::MessageTextElem(ilive::String("x"));
    odd->type = ilive::E_MessageElemType(7);
    msg.elems.push_back(odd);
    msg.elems.push_back(new ilive::MessageTextElem(ilive::String("after")));
    m_service->deliverMessage(msg);

    QCOMPARE(RowNames().size(), 1);
    QVERIFY(RowNames().first().endsWith(QStringLiteral("|after")));
    QCOMPARE(boxes.settle(150), QStringList());
    QCOMPARE(m_server.calls.size(), 0);
    QVERIFY(m_service->sent.isEmpty());
}

void TestDiscussion::rejectAcceptAndMicOffNoticesAndReports()
{
    BoxAnswerer boxes;
    NicknameCache().insert(QStringLiteral("stu-m"), QStringLiteral("小明"));

    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdRejectInteract, QStringLiteral("7")));
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    QCOMPARE(boxes.settle(), QStringList());

    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdRejectInteract, QStringLiteral("abc")));
    QCOMPARE(boxes.settle(), QStringList({ QStringLiteral("用户拒绝互动") }));
    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdRejectInteract, QStringLiteral("2")));
    QCOMPARE(boxes.settle().last(), QStringLiteral("用户没有上麦条件"));
    QVERIFY(m_server.waitFor("live.room.member.list", 3));
    QCOMPARE(m_server.count("live.room.member.status.report"), 0);

    m_server.calls.clear();
    boxes.texts.clear();
    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdAcceptInteract, QString()));
    QCOMPARE(boxes.settle(), QStringList({ QStringLiteral("用户已同意互动") }));
    // The report succeeds, then the list is fetched again.
    QVERIFY(m_server.waitFor("live.room.member.list", 1));
    QList<ScriptedAppServer::Call> reports = m_server.callsOf("live.room.member.status.report");
    QCOMPARE(reports.size(), 1);
    QCOMPARE(reports[0].params.value("userId").toString(), QStringLiteral("stu-m"));
    QCOMPARE(reports[0].params.value("action").toString(), QStringLiteral("on"));
    QCOMPARE(reports[0].params.value("liveId").toString(), QStringLiteral("live-42"));

    m_service->deliverCustom(QStringLiteral("stu-m"), Command(CmdMicOff, QString()));
    QCOMPARE(boxes.settle().last(), QStringLiteral("小明已下麦"));
    QVERIFY(m_server.waitFor("live.room.member.list", 2));
    reports = m_server.callsOf("live.room.member.status.report");
    QCOMPARE(reports.size(), 2);
    QCOMPARE(reports[1].params.value("action").toString(), QStringLiteral("off"));
    // Notices of the speaking control stay out of the discussion.
    QCOMPARE(RowNames().size(), 0);
}

void TestDiscussion::enterRoomBroadcastsClassTimeOnlyOnceTheClassStarted()
{
    BoxAnswerer boxes;
    m_service->deliverCustom(QStringLiteral("s1"), Command(CmdEnterRoom, Identity("s1", "甲")));
    QVERIFY(!SentActions(m_service).contains(CmdClassTime));

    m_dlg->OnStartButtonClick();
    QVERIFY(m_server.waitFor("live.begin", 1));
    QTRY_VERIFY(m_dlg->isClassStarted());
    m_service->sent.clear();

    m_service->deliverCustom(QStringLiteral("s2"), Command(CmdEnterRoom, Identity("s2", "乙")));
    m_service->deliverCustom(QStringLiteral("s3"), Command(CmdEnterRoom, Identity("s3", "丙")));
    QCOMPARE(SentActions(m_service), QList<int>({ CmdClassTime, CmdClassTime }));
    for (const FakeILive::Sent& s : m_service->sent) {
        QVERIFY(s.to.isEmpty());
        bool isNumber = false;
        const int seconds = QJsonDocument::fromJson(FakeILive::customDataOf(s.msg).toUtf8())
                                .object().value("actionParam").toString().toInt(&isNumber);
        QVERIFY(isNumber);
        QVERIFY(seconds >= 0 && seconds < 60);
    }
    // Leaving does not tell the time.
    m_service->sent.clear();
    m_service->deliverCustom(QStringLiteral("s3"), Command(CmdLeaveRoom, Identity("s3", "丙")));
    QVERIFY(m_service->sent.isEmpty());
}

void TestDiscussion::chatIsShownAsMeAtOnceAndSpacesOnlyTextIsSent()
{
    QTextEdit* edit = m_dlg->form()->msgTextEdit;
    m_service->sendCode = 10004; // the send fails: the line stays anyway
    edit->setPlainText(QStringLiteral("第一行\n第二行"));
    m_dlg->SendChatMessage();
    QVERIFY(edit->toPlainText().isEmpty());
    QCOMPARE(RowNames().size(), 1);
    QCOMPARE(RowNames()[0].section('|', 0, 0), QStringLiteral("我"));
    QCOMPARE(RowNames()[0].section('|', 2), QStringLiteral("第一行\n第二行"));
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("第一行\n第二行"));

    edit->setPlainText(QStringLiteral("   "));
    m_dlg->form()->sendButton->click();
    QCOMPARE(RowNames().size(), 2);
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("   "));

    m_dlg->SendChatMessage(); // empty: nothing shown, nothing sent
    QCOMPARE(RowNames().size(), 2);
    QCOMPARE(m_service->sent.size(), 2);
}

void TestDiscussion::enterKeyInTheTextBoxSendsInsteadOfBreakingTheLine()
{
    m_dlg->show();
    QTextEdit* edit = m_dlg->form()->msgTextEdit;
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(RowNames().size(), 1);
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("abc"));
    QVERIFY(edit->toPlainText().isEmpty());
    QTest::keyClicks(edit, QStringLiteral("d"));
    QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(FakeILive::textOf(m_service->sent.last().msg), QStringLiteral("d"));
    QVERIFY(edit->toPlainText().isEmpty());
}

void TestDiscussion::rowsElideLongNamesAndWrapLongTextAtAnyCharacter()
{
    MsgItem item;
    item.SetWidth(290);
    QCOMPARE(item.form()->contentLabel->width(), 290);
    const QString longName = QStringLiteral("一个非常非常非常非常非常非常非常长的名字");
    item.SetName(longName);
    const QString shown = item.form()->nameLabel->text();
    QVERIFY(shown.endsWith(QChar(0x2026)));
    QVERIFY(QFontMetrics(item.form()->nameLabel->font()).horizontalAdvance(shown) <= 150);
    item.SetName(QStringLiteral("短名"));
    QCOMPARE(item.form()->nameLabel->text(), QStringLiteral("短名"));

    // One line of text, then a long word without spaces: the row grows, nothing is cut.
    item.SetContent(QStringLiteral("hi"));
    const int oneLine = item.form()->contentLabel->height();
    QVERIFY(oneLine > 0);
    QCOMPARE(item.form()->verticalLayout->spacing(), 4);
    const QString word(400, QLatin1Char('w'));
    item.SetContent(word);
    QCOMPARE(item.form()->contentLabel->text(), word);
    const int wrapped = item.form()->contentLabel->height();
    const QFontMetrics fm(item.form()->contentLabel->font());
    const int lines = fm.horizontalAdvance(word) / 290;
    QVERIFY2(wrapped >= lines * fm.lineSpacing(), qPrintable(QString::number(wrapped)));
    QVERIFY(item.sizeHint().height() >= wrapped + 12);

    // Painted: ink appears on the last wrapped line, inside the width.
    item.adjustSize();
    QImage image(item.form()->contentLabel->size(), QImage::Format_ARGB32);
    image.fill(Qt::white);
    item.form()->contentLabel->render(&image);
    bool inkAtBottom = false;
    for (int x = 0; x < image.width() && !inkAtBottom; ++x)
        for (int y = image.height() - fm.lineSpacing(); y < image.height(); ++y)
            if (qGray(image.pixel(x, y)) < 200) {
                inkAtBottom = true;
                break;
            }
    QVERIFY(inkAtBottom);

    // Text taller than the measuring box is still given its full height.
    const QString tall = QVector<QString>(80, QStringLiteral("line")).toList().join(QLatin1Char('\n'));
    item.SetContent(tall);
    QVERIFY(item.form()->contentLabel->height() >= 80 * fm.lineSpacing() - fm.leading());

    item.SetContent(QString());
    QCOMPARE(item.form()->contentLabel->height(), 0);
    QCOMPARE(item.form()->verticalLayout->spacing(), 0);
}

void TestDiscussion::messageFromAnotherThreadIsHandledOnTheGuiThread()
{
    NicknameCache().insert(QStringLiteral("t-user"), QStringLiteral("线程"));
    QThread* worker = QThread::create([this] {
        m_service->deliverText(QStringLiteral("t-user"), QStringLiteral("来自另一线程"));
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    delete worker;
    // Queued: nothing touched the list from the other thread.
    QCOMPARE(RowNames().size(), 0);
    QTRY_COMPARE(RowNames().size(), 1);
    QCOMPARE(RowNames()[0].section('|', 0, 0), QStringLiteral("线程"));
}

void TestDiscussion::longDiscussionBuildsOnlyRowsNearViewAndRebuildsThemOnScroll()
{
    m_dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dlg));
    QListWidget* list = m_dlg->form()->msgListWidget;
    for (int i = 0; i < 300; ++i)
        m_dlg->AddMessage(QStringLiteral("学生%1").arg(i), QStringLiteral("第%1条").arg(i), true);
    QTest::qWait(50); // released rows go with the event loop
    QCOMPARE(list->count(), 300);
    int built = 0;
    for (int i = 0; i < list->count(); ++i)
        built += list->itemWidget(list->item(i)) ? 1 : 0;
    QVERIFY2(built > 0 && built < 100, qPrintable(QString::number(built)));
    // Released rows are deleted, not left lying under the view.
    QCOMPARE(list->viewport()->findChildren<MsgItem*>().size(), built);
    QVERIFY(Row(299));
    QVERIFY(!Row(0));

    // Back at the top the first rows show their own texts again, with the height they had.
    const int firstHeight = list->item(0)->sizeHint().height();
    list->scrollToTop();
    QTRY_VERIFY(Row(0));
    QCOMPARE(RowNames()[0].section('|', 0, 0), QStringLiteral("学生0"));
    QCOMPARE(Row(0)->form()->contentLabel->text(), QStringLiteral("第0条"));
    QCOMPARE(list->item(0)->sizeHint().height(), firstHeight);
    QTest::qWait(50);
    QVERIFY(!Row(299));

    // A new line scrolls the list back to the end and is built there.
    m_dlg->AddMessage(QStringLiteral("最后"), QStringLiteral("尾"), true);
    QVERIFY(Row(300));
    QCOMPARE(list->currentRow(), 300);
}

QTEST_MAIN(TestDiscussion)
#include "tst_discussion.moc"
