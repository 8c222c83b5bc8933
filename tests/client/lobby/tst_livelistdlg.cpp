#include "BoxCatcher.h"
#include "FakeILive.h"
#include "HttpFixture.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LiveListItem.h"
#include "lobby/LiveListStateItem.h"
#include "lobby/ProcessEnd.h"
#include "remote/AppServer.h"
#include "room/LiveDlg.h"
#include "ServerProcess.h"
#include "shell/Resources.h"
#include "shell/waitingspinnerwidget.h"
#include "ui_LiveListDlg.h"
#include "ui_LiveListItem.h"
#include "ui_LiveListStateItem.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <thread>

namespace {
qint64 At(int y, int m, int d, int h, int min)
{
    return QDateTime(QDate(y, m, d), QTime(h, min)).toMSecsSinceEpoch();
}

// A live record as the app server's answers bring it: every scalar as text, null where absent.
QVariantMap MakeLive(const QString& id, const QString& state, qint64 startMs, qint64 endMs,
    const QVariant& avRoomId = QVariant(), const QString& title = QString())
{
    QVariantMap live;
    live["liveId"] = id;
    live["title"] = title.isEmpty() ? QStringLiteral("直播课 ") + id : title;
    live["remark"] = QStringLiteral("备注 ") + id;
    live["startTime"] = QString::number(startMs);
    live["endTime"] = QString::number(endMs);
    live["state"] = state;
    live["avRoomId"] = avRoomId.isNull() ? QVariant() : QVariant(avRoomId.toString());
    return live;
}

QVariantMap ListResult(const QVariantList& lives)
{
    QVariantMap result;
    result["list"] = lives;
    return result;
}

QByteArray ListAnswer(int count, const QString& titlePrefix)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i) {
        QJsonObject live;
        live["liveId"] = QString::number(100 + i);
        live["title"] = titlePrefix + QString::number(i);
        live["remark"] = QStringLiteral("remark");
        live["startTime"] = double(At(2026, 12, 5, 9, 0));
        live["endTime"] = double(At(2026, 12, 5, 10, 0));
        live["state"] = QStringLiteral("v");
        live["avRoomId"] = QJsonValue::Null;
        list.append(live);
    }
    QJsonObject answer { { "jsonrpc", "2.0" }, { "result", QJsonObject { { "list", list } } } };
    return QJsonDocument(answer).toJson();
}

bool g_signedIn = false;

// The context of an app-server call is the window that waits for it.
void OnSignedIn(const QVariantMap& result, void*)
{
    SessionRecord() = result;
    g_signedIn = true;
}
} // namespace

class TestLiveListDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void windowLayoutAndTabs();
    void tabFilteringShowsInProgressOnlyUnderAll();
    void rowShowsLiveByState();
    void timeText_data();
    void timeText();
    void doubleClickWithinOneSecondOpensOnce();
    void endedLiveButtonDoesNothing();
    void refreshKeepsScrollPositionAndIsSilent();
    void showRequestsListWithWaitingIndicator();
    void fillsAvailableScreenArea();
    void entryChainWithAvRoomIdGoesStraightToLiveRoom();
    void entryChainWithoutAvRoomIdCreatesRoomFirst();
    void createRoomFailurePaths();
    void reportRoomFailureQuitsLiveRoom();
    void secondClickWhileEnteringOpensNoSecondRoom();
    void forcedOfflineBoxShownOnceAndEndsProcess();
    void quickEntryPicksRunningThenNextElseTellsNone();

private:
    void signIn();
    void showLobbyQuietly();
    void feed(const QList<QVariantMap>& lives);
    int rowCount() const { return m_lobby->form()->itemsListWidget->count(); }
    // The first row of a live that has not ended, with or without a room; -1 when there is none.
    int openRow(bool withRoom) const;
    void closeRoom();

    ServerProcess m_server;
    HttpFixture m_http; // answers an empty list unless a test queues something else
    FakeILive* m_fake = nullptr;
    LiveListDlg* m_lobby = nullptr;
    int m_endCalls = 0;
};

void TestLiveListDlg::initTestCase()
{
    LecternInitResources();
    SetEndProcessHook([this] { ++m_endCalls; });
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    QVERIFY(m_http.start());
    m_http.setHandler([](const HttpRequestRecord&) {
        return HttpResponse::json(R"({"jsonrpc":"2.0","result":{"list":[]}})");
    });
    m_fake = FakeILive::install();
    m_lobby = LiveListDlg::GetInstance();
    QCOMPARE(LiveListDlg::GetInstance(), m_lobby);
}

void TestLiveListDlg::init()
{
    m_fake = FakeILive::install();
    m_endCalls = 0;
    m_http.clearRequests();
    SetAppServerUrl(m_http.url("/app-server/jsonrpc/"));
    m_lobby->hide();
    m_lobby->form()->stateListWidget->setCurrentRow(0);
    feed({});
}

void TestLiveListDlg::cleanup()
{
    // A create-room left unanswered would keep the lobby busy for the next test.
    if (m_fake->pendingErr) {
        BoxCatcher boxes;
        m_fake->answerPending(6012, QStringLiteral("test over"));
    }
    closeRoom();
    m_lobby->hide();
    HideWaiting();
}

void TestLiveListDlg::cleanupTestCase()
{
    m_server.stop();
    FakeILive::uninstall();
}

void TestLiveListDlg::signIn()
{
    SetAppServerUrl(m_server.jsonRpcUrl());
    g_signedIn = false;
    AppServer_Login("teacher01", "123456", OnSignedIn, nullptr, m_lobby);
    QTRY_VERIFY_WITH_TIMEOUT(g_signedIn, 10000);
}

void TestLiveListDlg::showLobbyQuietly()
{
    m_lobby->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_lobby));
    QTRY_VERIFY_WITH_TIMEOUT(!CurrentWaitingSpinner(), 5000);
    m_http.clearRequests();
}

void TestLiveListDlg::feed(const QList<QVariantMap>& lives)
{
    QVariantList list;
    for (const QVariantMap& live : lives)
        list << live;
    LiveListDlg::OnAppServer_LiveListSuccess(ListResult(list), m_lobby);
}

int TestLiveListDlg::openRow(bool withRoom) const
{
    for (int i = 0; i < rowCount(); ++i) {
        const QVariantMap live = m_lobby->itemAt(i)->data();
        if (LiveListDlg::LiveState(live) != 2 && live.value("avRoomId").isNull() != withRoom)
            return i;
    }
    return -1;
}

void TestLiveListDlg::closeRoom()
{
    if (g_liveDlg) {
        // The room window's own closing asks questions; here it is only put away.
        g_liveDlg->hide();
        g_liveDlg->deleteLater();
        g_liveDlg = nullptr;
    }
}

void TestLiveListDlg::windowLayoutAndTabs()
{
    Ui::LiveListDlg* ui = m_lobby->form();
    QCOMPARE(m_lobby->windowTitle(), QStringLiteral("直播列表"));
    const Qt::WindowFlags flags = m_lobby->windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));
    QCOMPARE(ui->stateListContainer->minimumWidth(), 200);
    QCOMPARE(ui->stateListContainer->maximumWidth(), 200);
    QCOMPARE(ui->stateListContainer->styleSheet(), QStringLiteral("background:#323337"));
    QCOMPARE(ui->enterButton->text(), QStringLiteral("快速进入直播"));
    QCOMPARE(ui->enterButton->styleSheet(), QStringLiteral("background:#0097F7;color:white;border:0"));
    QCOMPARE(ui->enterButton->font().family(), QStringLiteral("微软雅黑"));
    QCOMPARE(ui->enterButton->font().pointSize(), 14);
    QVERIFY(ui->enterButton->minimumHeight() >= 40);
    QCOMPARE(ui->enterButton->parentWidget(), ui->enterButtonContaner);
    QCOMPARE(ui->itemListContainer->styleSheet(), QStringLiteral("background:#5A5D65"));
    QCOMPARE(ui->itemListContainer->layout()->contentsMargins(), QMargins(30, 30, 30, 30));
    QCOMPARE(ui->itemsListWidget->selectionMode(), QAbstractItemView::NoSelection);

    QCOMPARE(ui->stateListWidget->count(), 3);
    const QStringList titles = { "全部直播", "未开始", "已结束" };
    for (int i = 0; i < 3; ++i) {
        LiveListStateItem* tab = m_lobby->stateItemAt(i);
        QVERIFY(tab);
        QCOMPARE(tab->form()->titleLabel->text(), titles.at(i));
        QCOMPARE(tab->form()->titleLabel->font().pointSize(), 13);
        QCOMPARE(tab->form()->lineWidget->minimumHeight(), 2);
        QCOMPARE(tab->form()->lineWidget->maximumHeight(), 2);
        QCOMPARE(ui->stateListWidget->item(i)->sizeHint(), tab->sizeHint());
    }
    LiveListStateItem* all = m_lobby->stateItemAt(0);
    QCOMPARE(all->styleSheet(), QStringLiteral("background:#335870"));
    QCOMPARE(all->form()->lineWidget->styleSheet(), QStringLiteral("background:#33ABEF"));
    QCOMPARE(all->form()->titleLabel->styleSheet(), QStringLiteral("color:white;font-weight:bold;"));
    LiveListStateItem* ended = m_lobby->stateItemAt(2);
    QCOMPARE(ended->styleSheet(), QStringLiteral("background:#323338"));
    QCOMPARE(ended->form()->lineWidget->styleSheet(), QStringLiteral("background:#999999"));
    QCOMPARE(ended->form()->titleLabel->styleSheet(), QStringLiteral("color:#B3B3B3;font-weight:bold;"));

    QVERIFY(m_lobby->refreshTimer()->isActive());
    QCOMPARE(m_lobby->refreshTimer()->interval(), 10000);
}

void TestLiveListDlg::tabFilteringShowsInProgressOnlyUnderAll()
{
    showLobbyQuietly();
    const qint64 s = At(2026, 12, 5, 9, 0), e = At(2026, 12, 5, 10, 0);
    feed({ MakeLive("1", "v", s, e), MakeLive("2", "s", s, e), MakeLive("3", "i", s, e, 77),
        MakeLive("4", "e", s, e, 78), MakeLive("5", "x", s, e) });
    auto ids = [this] {
        QStringList list;
        for (int i = 0; i < rowCount(); ++i)
            list << m_lobby->itemAt(i)->data().value("liveId").toString();
        return list;
    };
    QCOMPARE(ids(), QStringList({ "1", "2", "3", "4", "5" }));
    QTest::mouseClick(m_lobby->form()->stateListWidget->viewport(), Qt::LeftButton, {},
        m_lobby->form()->stateListWidget->visualItemRect(m_lobby->form()->stateListWidget->item(1)).center());
    QCOMPARE(m_lobby->currentTab(), 1);
    QCOMPARE(ids(), QStringList({ "1", "2" }));
    QVERIFY(m_lobby->stateItemAt(1)->isSelected());
    QVERIFY(!m_lobby->stateItemAt(0)->isSelected());
    QCOMPARE(m_lobby->stateItemAt(0)->styleSheet(), QStringLiteral("background:#323338"));
    m_lobby->form()->stateListWidget->setCurrentRow(2);
    QCOMPARE(ids(), QStringList({ "4", "5" }));

    // A refresh keeps the chosen tab.
    feed({ MakeLive("6", "e", s, e), MakeLive("7", "i", s, e) });
    QCOMPARE(ids(), QStringList({ "6" }));
    m_lobby->form()->stateListWidget->setCurrentRow(0);
    QCOMPARE(ids(), QStringList({ "6", "7" }));
}

void TestLiveListDlg::rowShowsLiveByState()
{
    const qint64 s = At(2026, 12, 5, 9, 0), e = At(2026, 12, 5, 10, 30);
    feed({ MakeLive("1", "v", s, e, QVariant(), "语文"), MakeLive("2", "i", s, e, 5),
        MakeLive("3", "e", s, e, 6) });
    QCOMPARE(rowCount(), 3);
    const QStringList texts = { "尚未开始", "进入直播", "已结束" };
    const QStringList colours = { "#B3B3B3", "#0097F7", "#27B459" };
    for (int i = 0; i < 3; ++i) {
        Ui::LiveListItem* row = m_lobby->itemAt(i)->form();
        QCOMPARE(row->startButton->text(), texts.at(i));
        QCOMPARE(row->startButton->styleSheet(),
            "color:white;padding:12px 50px;border:0;border-radius:23px;background:" + colours.at(i));
        QCOMPARE(row->startButton->font().pointSize(), 13);
        QCOMPARE(m_lobby->form()->itemsListWidget->item(i)->sizeHint().height(),
            m_lobby->itemAt(i)->sizeHint().height());
    }
    Ui::LiveListItem* first = m_lobby->itemAt(0)->form();
    QCOMPARE(first->titleLabel->text(), QStringLiteral("语文"));
    QCOMPARE(first->titleLabel->styleSheet(), QStringLiteral("color:#0098F7;font-weight:bold"));
    QCOMPARE(first->titleLabel->font().pointSize(), 14);
    QCOMPARE(first->remarkLabel->text(), QStringLiteral("备注 1"));
    QCOMPARE(first->remarkLabel->styleSheet(), QStringLiteral("color:#808080"));
    QCOMPARE(first->remarkLabel->font().pointSize(), 12);
    QCOMPARE(first->timeLabel->styleSheet(), QStringLiteral("color:#FA7600"));
    QCOMPARE(first->timeLabel->text(), QStringLiteral("直播时间：2026年12月05日 09:00~10:30"));
    QCOMPARE(first->coverLabel->pixmap(Qt::ReturnByValue).size(), QSize(200, 112));
    QCOMPARE(
        m_lobby->itemAt(0)->parentWidget() ? m_lobby->itemAt(0)->form()->container->styleSheet() : QString(),
        QStringLiteral("background:white"));

    // A reused row takes the look of its new live, state included.
    feed({ MakeLive("3", "e", s, e, 6), MakeLive("2", "i", s, e, 5) });
    QCOMPARE(m_lobby->itemAt(0)->form()->startButton->text(), QStringLiteral("已结束"));
    QVERIFY(m_lobby->itemAt(0)->form()->startButton->styleSheet().endsWith("#27B459"));
    QCOMPARE(m_lobby->itemAt(0)->data().value("liveId").toString(), QStringLiteral("3"));
}

void TestLiveListDlg::timeText_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QString>("text");
    QTest::newRow("same day") << At(2026, 12, 5, 9, 0) << At(2026, 12, 5, 23, 59)
                              << "直播时间：2026年12月05日 09:00~23:59";
    QTest::newRow("next day") << At(2026, 12, 5, 23, 0) << At(2026, 12, 6, 0, 30)
                              << "直播时间：2026年12月05日 23:00~2026年12月06日 00:30";
    QTest::newRow("same day a year later") << At(2026, 1, 2, 8, 5) << At(2027, 1, 2, 9, 5)
                                           << "直播时间：2026年01月02日 08:05~2027年01月02日 09:05";
    QTest::newRow("afternoon 24h") << At(2026, 3, 1, 14, 0) << At(2026, 3, 1, 15, 45)
                                   << "直播时间：2026年03月01日 14:00~15:45";
}

void TestLiveListDlg::timeText()
{
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    QFETCH(QString, text);
    QCOMPARE(LiveListItem::TimeText(start, end), text);
}

void TestLiveListDlg::doubleClickWithinOneSecondOpensOnce()
{
    m_fake->answerCreateRoom = false;
    showLobbyQuietly();
    feed({ MakeLive("9", "i", At(2026, 12, 5, 9, 0), At(2026, 12, 5, 10, 0), 4321) });
    QPushButton* button = m_lobby->itemAt(0)->form()->startButton;
    QSignalSpy spy(m_lobby->itemAt(0), &LiveListItem::ButtonClicked);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::qWait(300);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.first().first().toMap().value("liveId").toString(), QStringLiteral("9"));
    QCOMPARE(m_fake->calls.filter("createRoom").size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!button->signalsBlocked(), 1500);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.size(), 2);
}

void TestLiveListDlg::endedLiveButtonDoesNothing()
{
    showLobbyQuietly();
    feed({ MakeLive("8", "e", At(2026, 12, 5, 9, 0), At(2026, 12, 5, 10, 0)) });
    QTest::mouseClick(m_lobby->itemAt(0)->form()->startButton, Qt::LeftButton);
    QTest::qWait(200);
    QVERIFY(m_http.requests().isEmpty());
    QVERIFY(m_fake->calls.filter("createRoom").isEmpty());
    QVERIFY(!g_liveDlg);
}

void TestLiveListDlg::refreshKeepsScrollPositionAndIsSilent()
{
    m_http.enqueue(HttpResponse::json(ListAnswer(40, "第一次")));
    m_lobby->show();
    QTRY_COMPARE_WITH_TIMEOUT(rowCount(), 40, 5000);
    QScrollBar* bar = m_lobby->form()->itemsListWidget->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    bar->setValue(bar->maximum() / 2);
    const int scroll = bar->value();
    QVERIFY(scroll > 0);

    BoxCatcher boxes;
    HttpResponse changed = HttpResponse::json(ListAnswer(40, "第二次"));
    changed.delayMs = 200;
    m_http.enqueue(changed);
    m_lobby->timer_tick();
    QVERIFY(!CurrentWaitingSpinner());
    QVERIFY(m_lobby->isEnabled());
    QVERIFY(m_http.waitForRequests(2));
    QTRY_COMPARE_WITH_TIMEOUT(
        m_lobby->itemAt(0)->form()->titleLabel->text(), QStringLiteral("第二次0"), 5000);
    QCOMPARE(bar->value(), scroll);

    // A failed refresh shows nothing and keeps the rows.
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"500","message":"boom"}})"));
    m_lobby->timer_tick();
    QVERIFY(m_http.waitForRequests(3));
    QTest::qWait(200);
    QVERIFY(boxes.seen().isEmpty());
    QCOMPARE(rowCount(), 40);
    QCOMPARE(bar->value(), scroll);

    // Rows scrolled into view get their widgets, with the live of their row.
    QListWidget* view = m_lobby->form()->itemsListWidget;
    QVERIFY(!view->itemWidget(view->item(39)));
    bar->setValue(bar->maximum());
    QTRY_VERIFY(view->itemWidget(view->item(39)));
    auto* last = qobject_cast<LiveListItem*>(view->itemWidget(view->item(39)));
    QCOMPARE(last->form()->titleLabel->text(), QStringLiteral("第二次39"));
    QVERIFY(view->visualItemRect(view->item(39)).intersects(view->viewport()->rect()));
    // Rows take exactly the view's width, even on an 800-pixel screen where that is less than
    // they would like: nothing runs under the list's edge.
    QCOMPARE(m_lobby->frameGeometry().width(), m_lobby->screen()->availableGeometry().width());
    QCOMPARE(last->width(), view->viewport()->width());
    QVERIFY(last->width() < last->sizeHint().width());
    const QRect button = last->form()->startButton->geometry();
    QVERIFY(last->form()->startButton->mapTo(view->viewport(), QPoint(button.width(), 0)).x()
        <= view->viewport()->width());

    // Hidden: the tick asks for nothing.
    m_lobby->hide();
    m_lobby->timer_tick();
    QTest::qWait(200);
    QCOMPARE(m_http.requests().size(), 3);
}

void TestLiveListDlg::showRequestsListWithWaitingIndicator()
{
    HttpResponse slow = HttpResponse::json(ListAnswer(3, "课"));
    slow.delayMs = 300;
    m_http.enqueue(slow);
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"500","message":"列表失败"}})"));
    BoxCatcher boxes;
    m_lobby->show();
    QVERIFY(CurrentWaitingSpinner());
    QVERIFY(!m_lobby->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(rowCount(), 3, 5000);
    QVERIFY(m_lobby->isEnabled());
    const QJsonObject params
        = QJsonDocument::fromJson(m_http.requests().first().body).object().value("params").toObject();
    QCOMPARE(QJsonDocument::fromJson(m_http.requests().first().body).object().value("method").toString(),
        QStringLiteral("live.list.by.teacher.id"));
    QCOMPARE(params.value("pageSize").toInt(), 1000);

    // Every show asks again; a failure then is shown.
    m_lobby->hide();
    m_lobby->show();
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ "列表失败" }), 5000);
    QCOMPARE(rowCount(), 3);
}

void TestLiveListDlg::fillsAvailableScreenArea()
{
    m_lobby->showMaximized();
    QTRY_COMPARE(m_lobby->frameGeometry(), m_lobby->screen()->availableGeometry());
    // Even a normal window asked to shrink grows back to the whole available area.
    m_lobby->showNormal();
    m_lobby->resize(300, 200);
    QTRY_COMPARE(m_lobby->frameGeometry(), m_lobby->screen()->availableGeometry());
}

void TestLiveListDlg::entryChainWithAvRoomIdGoesStraightToLiveRoom()
{
    signIn();
    m_lobby->show();
    QTRY_VERIFY_WITH_TIMEOUT(!m_lobby->lives().isEmpty(), 10000);
    const int row = openRow(true);
    QVERIFY2(row >= 0, "the demo data has an open live with a room");
    const QVariantMap live = m_lobby->itemAt(row)->data();
    const int avRoomId = live.value("avRoomId").toInt();
    QVERIFY(avRoomId > 0);

    BoxCatcher boxes;
    QTest::mouseClick(m_lobby->itemAt(row)->form()->startButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 10000);
    QVERIFY(boxes.seen().isEmpty());
    QCOMPARE(m_fake->calls.filter("createRoom"), QStringList({ QString("createRoom %1").arg(avRoomId) }));
    const ilive::iLiveRoomOption& option = m_fake->lastRoomOption;
    QCOMPARE(option.roomKind, 1);
    QCOMPARE(option.authBits, ~quint64(0));
    QCOMPARE(QString(option.controlRole.c_str()), QStringLiteral("LiveMaster"));
    QVERIFY(option.roomDisconnectListener == &LiveDlg::OnRoomDisconnect);
    QVERIFY(option.memberStatusListener == &LiveDlg::OnMemStatusChange);
    QCOMPARE(g_liveDlg->avRoomId(), avRoomId);
    QCOMPARE(g_liveDlg->liveId(), live.value("liveId").toString());
    QCOMPARE(g_liveDlg->windowTitle(), live.value("title").toString());
    QVERIFY(g_liveDlg->isVisible());
    QVERIFY(g_liveDlg->isMaximized());
    QVERIFY(!m_lobby->isVisible());
    QVERIFY(m_fake->calls.filter("quitRoom").isEmpty());
}

void TestLiveListDlg::entryChainWithoutAvRoomIdCreatesRoomFirst()
{
    signIn();
    m_lobby->show();
    QTRY_VERIFY_WITH_TIMEOUT(!m_lobby->lives().isEmpty(), 10000);
    const int row = openRow(false);
    QVERIFY2(row >= 0, "the demo data has an open live without a room");
    const QString liveId = m_lobby->itemAt(row)->data().value("liveId").toString();

    QTest::mouseClick(m_lobby->itemAt(row)->form()->startButton, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 10000);
    QVERIFY(m_lobby->avRoomId() > 0);
    QCOMPARE(m_fake->calls.filter("createRoom"),
        QStringList({ QString("createRoom %1").arg(m_lobby->avRoomId()) }));
    QCOMPARE(g_liveDlg->avRoomId(), m_lobby->avRoomId());
    QCOMPARE(g_liveDlg->liveId(), liveId);

    // The room stays with the live: the next list carries it.
    const int created = m_lobby->avRoomId();
    closeRoom();
    m_lobby->show();
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const QVariant& v : m_lobby->lives())
                if (v.toMap().value("liveId").toString() == liveId)
                    return v.toMap().value("avRoomId").toInt() == created;
            return false;
        }(),
        10000);
}

void TestLiveListDlg::createRoomFailurePaths()
{
    feed({ MakeLive("5", "v", At(2026, 12, 5, 9, 0), At(2026, 12, 5, 10, 0), 555) });

    // No right to enter.
    m_fake->createRoomCode = 10021;
    BoxCatcher boxes;
    m_lobby->OnItemButtonClick(m_lobby->itemAt(0)->data());
    QCOMPARE(boxes.seen().size(), 1);
    QVERIFY(boxes.seen().at(0).title.isEmpty());
    QCOMPARE(boxes.seen().at(0).text, QStringLiteral("没有权限进入该直播"));
    QCOMPARE(boxes.seen().at(0).icon, QMessageBox::Information);
    QCOMPARE(
        m_fake->calls.filter(QRegExp("createRoom|quitRoom")), QStringList({ "createRoom 555", "quitRoom" }));

    // Any other code, answered from a service thread.
    m_fake->calls.clear();
    m_fake->answerCreateRoom = false;
    m_lobby->OnItemButtonClick(m_lobby->itemAt(0)->data());
    QVERIFY(m_fake->pendingErr);
    std::atomic<bool> returned { false };
    std::thread service([this, &returned] {
        m_fake->answerPending(1003, QStringLiteral("房间忙"));
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
    service.join();
    QCOMPARE(boxes.seen().size(), 2);
    QCOMPARE(boxes.seen().at(1).title, QStringLiteral("sdk create room Error"));
    QCOMPARE(boxes.seen().at(1).text, QStringLiteral("错误码:   1003\n错误信息: 房间忙"));
    QCOMPARE(boxes.seen().at(1).icon, QMessageBox::Critical);
    QCOMPARE(m_fake->calls, QStringList({ "createRoom 555", "quitRoom" }));

    // Nothing reached the app server and no room window opened.
    QVERIFY(m_http.requests().isEmpty());
    QVERIFY(!g_liveDlg);
}

void TestLiveListDlg::reportRoomFailureQuitsLiveRoom()
{
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"109007","message":"x"}})"));
    feed({ MakeLive("5", "i", At(2026, 12, 5, 9, 0), At(2026, 12, 5, 10, 0), 556) });
    BoxCatcher boxes;
    m_lobby->OnItemButtonClick(m_lobby->itemAt(0)->data());
    QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ "没有权限进入该直播" }), 5000);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("网络错误"));
    QTRY_COMPARE(m_fake->calls, QStringList({ "createRoom 556", "quitRoom" }));
    QCOMPARE(m_http.requests().size(), 1);
    const QJsonObject request = QJsonDocument::fromJson(m_http.requests().first().body).object();
    QCOMPARE(request.value("method").toString(), QStringLiteral("live.report.room.info"));
    QCOMPARE(request.value("params").toObject().value("liveId").toString(), QStringLiteral("5"));
    QVERIFY(!g_liveDlg);

    // A failed entry leaves the live-video room as well.
    m_fake->calls.clear();
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{}})"));
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1","message":"房间已满"}})"));
    m_lobby->OnItemButtonClick(m_lobby->itemAt(0)->data());
    QTRY_COMPARE_WITH_TIMEOUT(boxes.seen().size(), 2, 5000);
    QTRY_COMPARE(m_fake->calls, QStringList({ "createRoom 556", "quitRoom" }));
    QVERIFY(!g_liveDlg);
}

void TestLiveListDlg::secondClickWhileEnteringOpensNoSecondRoom()
{
    m_fake->answerCreateRoom = false;
    showLobbyQuietly();
    const qint64 s = At(2026, 12, 5, 9, 0), e = At(2026, 12, 5, 10, 0);
    feed({ MakeLive("21", "i", s, e, 2100), MakeLive("22", "v", s, e, 2200), MakeLive("23", "v", s, e) });
    BoxCatcher boxes;

    // While the live-video room of the first live is being created, other lives stay shut.
    QTest::mouseClick(m_lobby->itemAt(0)->form()->startButton, Qt::LeftButton);
    QTest::mouseClick(m_lobby->itemAt(1)->form()->startButton, Qt::LeftButton);
    QTest::mouseClick(m_lobby->form()->enterButton, Qt::LeftButton);
    QCOMPARE(m_fake->calls.filter("createRoom"), QStringList({ "createRoom 2100" }));
    QCOMPARE(m_lobby->liveId(), QStringLiteral("21"));
    QVERIFY(boxes.seen().isEmpty());

    // The first entry goes on to exactly one room window, for the first live.
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{}})"));
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","result":{}})"));
    // The success comes from a service thread, which waits until the GUI thread has taken it.
    std::atomic<bool> returned { false };
    std::thread service([this, &returned] {
        m_fake->answerPending(0);
        returned = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
    service.join();
    QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 5000);
    QCOMPARE(g_liveDlg->liveId(), QStringLiteral("21"));
    QCOMPARE(g_liveDlg->avRoomId(), 2100);
    const QJsonObject report = QJsonDocument::fromJson(m_http.requests().at(0).body).object();
    QCOMPARE(report.value("params").toObject().value("liveId").toString(), QStringLiteral("21"));
    const QJsonObject enter = QJsonDocument::fromJson(m_http.requests().at(1).body).object();
    QCOMPARE(enter.value("method").toString(), QStringLiteral("live.enter.room"));
    QCOMPARE(enter.value("params").toObject().value("avRoomId").toInt(), 2100);
    int roomWindows = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        roomWindows += qobject_cast<LiveDlg*>(w) && w->isVisible();
    QCOMPARE(roomWindows, 1);
    closeRoom();

    // A failed entry frees the lobby again: a refused live-video room...
    m_fake->calls.clear();
    m_lobby->OnItemButtonClick(m_lobby->liveAt(1));
    m_fake->answerPending(1003, QStringLiteral("忙"));
    QCOMPARE(boxes.seen().size(), 1);
    m_lobby->OnItemButtonClick(m_lobby->liveAt(1));
    QCOMPARE(m_fake->calls.filter("createRoom"), QStringList({ "createRoom 2200", "createRoom 2200" }));
    m_fake->answerPending(1003, QStringLiteral("忙"));

    // ...and a failed "live.create.room" as well.
    m_http.clearRequests();
    m_http.enqueue(HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1","message":"无法创建"}})"));
    m_lobby->OnItemButtonClick(m_lobby->liveAt(2));
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts().contains(QStringLiteral("无法创建")), 5000);
    QTRY_VERIFY(!m_lobby->isEntering());
    m_lobby->OnItemButtonClick(m_lobby->liveAt(2));
    QVERIFY(m_http.waitForRequests(2));
    for (const auto& request : m_http.requests())
        QCOMPARE(QJsonDocument::fromJson(request.body).object().value("method").toString(),
            QStringLiteral("live.create.room"));
    QTRY_VERIFY_WITH_TIMEOUT(!CurrentWaitingSpinner(), 5000);
}

void TestLiveListDlg::forcedOfflineBoxShownOnceAndEndsProcess()
{
    m_fake->setForceOfflineCallback(LiveListDlg::OnForceOffline);
    int visibleBoxes = 0;
    int endsBefore = 0;
    BoxCatcher boxes([&](QMessageBox*) {
        // A second notice while the first is up adds nothing.
        m_fake->forceOffline();
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<QMessageBox*>(w) && w->isVisible())
                ++visibleBoxes;
        // The process ends only once the box is closed.
        QCOMPARE(m_endCalls, endsBefore);
    });
    m_fake->forceOffline();
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(visibleBoxes, 1);
    QCOMPARE(boxes.seen().first().title, QStringLiteral("提示"));
    QCOMPARE(boxes.seen().first().text, QStringLiteral("账号在其他地方登录"));
    QCOMPARE(boxes.seen().first().icon, QMessageBox::Information);
    QVERIFY(boxes.seen().first().modal);
    QVERIFY(boxes.seen().first().onTop);
    QCOMPARE(m_endCalls, 1);

    // From a service thread the notice is queued to the GUI thread.
    endsBefore = 1;
    std::thread service([this] { m_fake->forceOffline(); });
    service.join();
    QCOMPARE(boxes.seen().size(), 1);
    QTRY_COMPARE(m_endCalls, 2);
    QCOMPARE(boxes.seen().size(), 2);
}

void TestLiveListDlg::quickEntryPicksRunningThenNextElseTellsNone()
{
    const qint64 now = At(2026, 12, 5, 12, 0);
    const QVariantMap ended = MakeLive("1", "e", At(2026, 12, 5, 8, 0), At(2026, 12, 5, 9, 0), 11);
    const QVariantMap overdue = MakeLive("2", "v", At(2026, 12, 4, 8, 0), At(2026, 12, 4, 9, 0));
    const QVariantMap later = MakeLive("3", "v", At(2026, 12, 6, 8, 0), At(2026, 12, 6, 9, 0));
    const QVariantMap soon = MakeLive("4", "s", At(2026, 12, 5, 14, 0), At(2026, 12, 5, 15, 0), 14);
    const QVariantMap running = MakeLive("5", "i", At(2026, 12, 5, 11, 0), At(2026, 12, 5, 13, 0), 15);
    QCOMPARE(LiveListDlg::QuickEntryLive({ ended, later, running, soon }, now).value("liveId").toString(),
        QStringLiteral("5"));
    QCOMPARE(LiveListDlg::QuickEntryLive({ ended, overdue, later, soon }, now).value("liveId").toString(),
        QStringLiteral("4"));
    QVERIFY(LiveListDlg::QuickEntryLive({ ended, overdue }, now).isEmpty());

    // The button uses every live, whatever the tab shows.
    BoxCatcher boxes;
    feed({ ended });
    QTest::mouseClick(m_lobby->form()->enterButton, Qt::LeftButton);
    QCOMPARE(boxes.texts(), QStringList({ "当前没有可进入的直播" }));
    QVERIFY(m_fake->calls.filter("createRoom").isEmpty());

    m_fake->answerCreateRoom = false;
    feed({ ended, MakeLive("6", "i", At(2026, 12, 5, 11, 0), At(2026, 12, 5, 13, 0), 16) });
    m_lobby->form()->stateListWidget->setCurrentRow(2);
    QTest::mouseClick(m_lobby->form()->enterButton, Qt::LeftButton);
    QCOMPARE(m_fake->calls.filter("createRoom"), QStringList({ "createRoom 16" }));
    QCOMPARE(m_lobby->liveId(), QStringLiteral("6"));
}

QTEST_MAIN(TestLiveListDlg)
#include "tst_livelistdlg.moc"
