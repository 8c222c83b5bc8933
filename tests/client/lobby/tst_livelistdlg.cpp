#include "BoxCatcher.h"
#include "FakeILive.h"
#include "HttpFixture.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LiveListItem.h"
#include "remote/AppServer.h"
#include "room/LiveDlg.h"
#include "room/VideoRender.h"
#include "shell/Resources.h"
#include "shell/waitingspinnerwidget.h"
#include "ui_LiveListDlg.h"
#include "ui_LiveListItem.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QPushButton>
#include <QScopeGuard>
#include <QJsonDocument>
#include <QJsonObject>
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
QVariantMap Live(const QString& id, const QString& state, const QVariant& avRoomId = QVariant(),
    qint64 start = At(2026, 12, 5, 9, 0), qint64 end = At(2026, 12, 5, 10, 0))
{
    return { { "liveId", id }, { "title", QStringLiteral("直播课 ") + id }, { "remark", QString() },
        { "startTime", QString::number(start) }, { "endTime", QString::number(end) }, { "state", state },
        { "avRoomId", avRoomId.isNull() ? QVariant() : QVariant(avRoomId.toString()) } };
}

HttpResponse Answer(const QString& key, const QVariantMap& value, int delayMs = 0)
{
    const QJsonObject answer { { "jsonrpc", "2.0" }, { key, QJsonObject::fromVariantMap(value) } };
    HttpResponse response = HttpResponse::json(QJsonDocument(answer).toJson());
    response.delayMs = delayMs;
    return response;
}

HttpResponse Ok(const QVariantMap& result = {}, int delayMs = 0)
{
    return Answer("result", result, delayMs);
}

HttpResponse Fail(const QString& code, const QString& message)
{
    return Answer("error", { { "code", code }, { "message", message } });
}

HttpResponse ListOf(int count, const QString& titlePrefix, int delayMs)
{
    QVariantList list;
    for (int i = 0; i < count; ++i) {
        QVariantMap live = Live(QString::number(100 + i), "v");
        live["title"] = titlePrefix + QString::number(i);
        list << live;
    }
    return Ok({ { "list", list } }, delayMs);
}

// Stands in for the browser: what QDesktopServices was asked to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

} // namespace

class TestLiveListDlg : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LecternInitResources();
        QVERIFY(m_http.start());
        m_http.setHandler([](const HttpRequestRecord&) { return Ok({ { "list", QVariantList() } }); });
        m_fake = FakeILive::install();
        m_lobby = LiveListDlg::GetInstance();
    }

    void init()
    {
        m_fake = FakeILive::install();
        m_http.clearRequests();
        SetAppServerUrl(m_http.url("/app-server/jsonrpc/"));
        m_lobby->hide();
        m_lobby->form()->stateListWidget->setCurrentRow(0);
        feed({});
    }

    void cleanup()
    {
        // A create-room left unanswered would keep the lobby busy for the next test.
        if (m_fake->pendingErr) {
            BoxCatcher boxes;
            m_fake->answerPending(6012, QStringLiteral("test over"));
        }
        if (g_liveDlg) {
            // The room window's own closing asks questions; here it is only put away.
            g_liveDlg->hide();
            g_liveDlg->deleteLater();
            g_liveDlg = nullptr;
        }
        m_lobby->hide();
        HideWaiting();
    }

    void cleanupTestCase() { FakeILive::uninstall(); }

    void tabsFilterRowsAndRowsFollowTheirLive()
    {
        showQuietly();
        feed({ Live("1", "v"), Live("2", "s", {}, At(2026, 12, 5, 23, 0), At(2026, 12, 6, 0, 30)),
            Live("3", "i", 77), Live("4", "e", 78), Live("5", "x") });
        QStringList buttons;
        for (int i = 0; i < rowCount(); ++i)
            buttons << m_lobby->itemAt(i)->form()->startButton->text();
        QCOMPARE(buttons, QStringList({ "尚未开始", "尚未开始", "进入直播", "已结束", "已结束" }));
        QCOMPARE(m_lobby->itemAt(0)->form()->timeLabel->text(),
            QStringLiteral("直播时间：2026年12月05日 09:00~10:00"));
        QCOMPARE(m_lobby->itemAt(1)->form()->timeLabel->text(),
            QStringLiteral("直播时间：2026年12月05日 23:00~2026年12月06日 00:30"));

        QListWidget* tabList = m_lobby->form()->stateListWidget;
        QTest::mouseClick(
            tabList->viewport(), Qt::LeftButton, {}, tabList->visualItemRect(tabList->item(1)).center());
        QCOMPARE(shownIds(), QStringList({ "1", "2" }));

        // A reused row takes the look of its new live; an ended live's button does nothing.
        tabList->setCurrentRow(2);
        QCOMPARE(shownIds(), QStringList({ "4", "5" }));
        QCOMPARE(m_lobby->itemAt(0)->form()->startButton->text(), QStringLiteral("已结束"));
        click(0);
        QTest::qWait(200);
        // Only the quiet question for the ended lives' replays went out.
        for (const HttpRequestRecord& r : m_http.requests())
            QVERIFY2(r.body.contains("live.replay.list"), r.body.constData());
        QVERIFY(m_fake->calls.filter("createRoom").isEmpty());

        // A refresh keeps the chosen tab.
        feed({ Live("6", "e"), Live("7", "i") });
        QCOMPARE(shownIds(), QStringList({ "6" }));
        tabList->setCurrentRow(0);
        QCOMPARE(shownIds(), QStringList({ "6", "7" }));
        // Each answer with an ended live asked for the replays; both are answered before the next test.
        QTRY_COMPARE(std::count_if(m_http.requests().begin(), m_http.requests().end(),
                         [](const HttpRequestRecord& r) { return r.body.contains("live.replay.list"); }),
            2);
    }

    void showAndRefreshKeepRowsToTheView()
    {
        // Showing asks for the list behind a spinner and covers the available area.
        m_http.enqueue(ListOf(40, "第一次", 300));
        BoxCatcher boxes;
        m_lobby->show();
        QVERIFY(CurrentWaitingSpinner() && !m_lobby->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(rowCount() == 40 && m_lobby->isEnabled(), 5000);
        QTRY_COMPARE(m_lobby->frameGeometry(), m_lobby->screen()->availableGeometry());

        // The timed refresh is silent and keeps the scroll position, also when it fails.
        QScrollBar* bar = m_lobby->form()->itemsListWidget->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        bar->setValue(bar->maximum() / 2);
        const int scroll = bar->value();
        m_http.enqueue(ListOf(40, "第二次", 200));
        m_lobby->timer_tick();
        QVERIFY(!CurrentWaitingSpinner() && m_lobby->isEnabled());
        QTRY_COMPARE_WITH_TIMEOUT(
            m_lobby->itemAt(0)->form()->titleLabel->text(), QStringLiteral("第二次0"), 5000);
        QCOMPARE(bar->value(), scroll);
        m_http.enqueue(Fail("500", "boom"));
        m_lobby->timer_tick();
        QVERIFY(m_http.waitForRequests(3));
        QTest::qWait(200);
        QVERIFY(boxes.seen().isEmpty());
        QCOMPARE(rowCount(), 40);
        QCOMPARE(bar->value(), scroll);

        // A row scrolled into view shows its live and takes exactly the view's width, even where that
        // is less than it would like (the 800-pixel test screen): nothing runs under the list's edge.
        QListWidget* view = m_lobby->form()->itemsListWidget;
        bar->setValue(bar->maximum());
        QTRY_VERIFY(view->itemWidget(view->item(39)));
        auto* last = qobject_cast<LiveListItem*>(view->itemWidget(view->item(39)));
        QCOMPARE(last->form()->titleLabel->text(), QStringLiteral("第二次39"));
        QCOMPARE(last->width(), view->viewport()->width());
        QVERIFY(last->width() < last->sizeHint().width());
    }

    void entryFailureQuitsRoomAndFreesLobby_data()
    {
        QTest::addColumn<QVariant>("room");
        QTest::addColumn<int>("sdkCode");
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<QString>("text");
        QTest::newRow("live-video room refused")
            << QVariant(555) << 1003 << QByteArrayList() << "错误码:   1003\n错误信息: 房间忙";
        QTest::newRow("room report refused")
            << QVariant(555) << 0 << QByteArrayList({ Fail("109007", "x").body }) << "没有权限进入该直播";
        QTest::newRow("entry refused")
            << QVariant(555) << 0 << QByteArrayList({ Ok().body, Fail("1", "房间已满").body }) << "房间已满";
        // Room 0 would be some other class's room.
        QTest::newRow("room without number")
            << QVariant() << 0 << QByteArrayList({ Ok({ { "avRoomId", QVariant() } }).body })
            << "创建房间失败";
    }

    void entryFailureQuitsRoomAndFreesLobby()
    {
        QFETCH(QVariant, room);
        QFETCH(int, sdkCode);
        QFETCH(QByteArrayList, answers);
        QFETCH(QString, text);
        for (const QByteArray& body : answers)
            m_http.enqueue(HttpResponse::json(body));
        m_fake->answerCreateRoom = false;
        feed({ Live("5", "i", room) });
        BoxCatcher boxes;
        m_lobby->OnItemButtonClick(m_lobby->liveAt(0));
        if (m_fake->pendingErr)
            answerFromServiceThread(sdkCode);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts(), QStringList({ text }), 5000);
        // A room the service entered is quit again.
        const QStringList calls
            = room.isNull() ? QStringList() : QStringList({ "createRoom 555", "quitRoom" });
        QTRY_COMPARE(m_fake->calls.filter(QRegExp("createRoom|quitRoom")), calls);
        QTRY_VERIFY(!m_lobby->isEntering());
        QCOMPARE(m_http.requests().size(), answers.size());
        QVERIFY(!g_liveDlg);
    }

    void endedLiveWithAReplayOpensItsPageOfTheAppServerInTheBrowser()
    {
        UrlCatcher browser;
        QDesktopServices::setUrlHandler("http", &browser, "open");
        QDesktopServices::setUrlHandler("https", &browser, "open");
        const auto replay = [](const char* id, const char* page) {
            return QVariantMap { { "liveId", id }, { "pageUrl", page } };
        };
        const QVariantList replays { replay("4", "/student/replay.html?live=4&u=1&s=ab"),
            replay("3", "/student/replay.html?live=3"), replay("5", "https://elsewhere.example/student/x") };
        m_http.setHandler([replays](const HttpRequestRecord& r) {
            return Ok({ { "list", r.body.contains("live.replay.list") ? replays : QVariantList() } });
        });
        auto restore = qScopeGuard([this] {
            QDesktopServices::unsetUrlHandler("http");
            QDesktopServices::unsetUrlHandler("https");
            m_http.setHandler([](const HttpRequestRecord&) { return Ok({ { "list", QVariantList() } }); });
            LiveListDlg::OnAppServer_ReplayListSuccess({}, m_lobby);
        });
        showQuietly();
        feed({ Live("3", "i", 77), Live("4", "e", 78), Live("5", "e", 79), Live("6", "e", 80) });
        const auto offered = [this] {
            QList<bool> shown;
            for (int i = 0; i < rowCount(); ++i)
                shown << m_lobby->itemAt(i)
                             ->findChild<QPushButton*>("replayButton")
                             ->isVisibleTo(m_lobby->itemAt(i));
            return shown;
        };
        QTRY_COMPARE_WITH_TIMEOUT(offered(), (QList<bool> { false, true, false, false }), 5000);
        QTest::mouseClick(m_lobby->itemAt(1)->findChild<QPushButton*>("replayButton"), Qt::LeftButton);
        QCOMPARE(browser.opened, QList<QUrl> { QUrl(m_http.url("/student/replay.html?live=4&u=1&s=ab")) });
    }

    void clicksWhileEnteringOpenOneRoomThatMissedCamerasAlreadyOn_regression()
    {
        m_fake->answerCreateRoom = false;
        showQuietly();
        // The first live has no room yet: the app server makes one.
        feed({ Live("21", "i"), Live("22", "v", 2200) });
        m_http.enqueue(Ok({ { "avRoomId", "2100" } }, 200));
        BoxCatcher boxes;
        // A double click counts once, and the lobby enters only the first live, whatever else is
        // clicked meanwhile.
        QSignalSpy clicks(m_lobby->itemAt(0), &LiveListItem::ButtonClicked);
        click(0);
        click(0);
        QCOMPARE(clicks.size(), 1);
        click(1);
        QTest::mouseClick(m_lobby->form()->enterButton, Qt::LeftButton);
        QTRY_COMPARE(m_fake->calls.filter("createRoom"), QStringList({ "createRoom 2100" }));
        const ilive::iLiveRoomOption& option = m_fake->lastRoomOption;
        QVERIFY(option.roomKind == 1 && option.authBits == ~quint64(0) && option.controlRole == "LiveMaster");
        QVERIFY(option.roomDisconnectListener && option.memberStatusListener);

        // A student whose camera is on when the teacher enters is announced before the window exists.
        m_fake->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "s9" });

        // A success from the service thread goes on to exactly one room window, for the first live.
        m_http.enqueue(Ok());
        m_http.enqueue(Ok());
        answerFromServiceThread(0);
        QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg, 5000);
        QCOMPARE(
            g_liveDlg->liveId() + ' ' + QString::number(g_liveDlg->avRoomId()), QStringLiteral("21 2100"));
        QCOMPARE(g_liveDlg->remoteRender()->boundUserId(), QStringLiteral("s9"));
        QTRY_VERIFY(!m_lobby->isVisible());
        // While the room window is open the lobby opens nothing either.
        m_lobby->OnItemButtonClick(m_lobby->liveAt(1));
        QCOMPARE(m_fake->calls.filter("createRoom").size(), 1);
        QVERIFY(boxes.seen().isEmpty());

        // Leaving the room (no class started: nothing to ask) brings the lobby back.
        QPointer<LiveDlg> room(g_liveDlg);
        QVERIFY(room->close());
        QVERIFY(m_lobby->isVisible() && !g_liveDlg);
        QTRY_VERIFY(room.isNull());
    }

    void quickEntryPicksRunningThenNextFromEveryTab()
    {
        const qint64 now = At(2026, 12, 5, 12, 0);
        const QVariantMap ended = Live("1", "e", 11, At(2026, 12, 5, 8, 0), At(2026, 12, 5, 9, 0));
        const QVariantMap overdue = Live("2", "v", {}, At(2026, 12, 4, 8, 0), At(2026, 12, 4, 9, 0));
        const QVariantMap later = Live("3", "v", {}, At(2026, 12, 6, 8, 0), At(2026, 12, 6, 9, 0));
        const QVariantMap soon = Live("4", "s", 14, At(2026, 12, 5, 14, 0), At(2026, 12, 5, 15, 0));
        const QVariantMap running = Live("5", "i", 15, At(2026, 12, 5, 11, 0), At(2026, 12, 5, 13, 0));
        QCOMPARE(LiveListDlg::QuickEntryLive({ ended, later, running, soon }, now).value("liveId"), "5");
        QCOMPARE(LiveListDlg::QuickEntryLive({ ended, overdue, later, soon }, now).value("liveId"), "4");
        QVERIFY(LiveListDlg::QuickEntryLive({ ended, overdue }, now).isEmpty());

        // The button uses every live, whatever the tab shows.
        m_fake->answerCreateRoom = false;
        feed({ ended, running });
        m_lobby->form()->stateListWidget->setCurrentRow(2);
        QTest::mouseClick(m_lobby->form()->enterButton, Qt::LeftButton);
        QCOMPARE(m_fake->calls.filter("createRoom"), QStringList({ "createRoom 15" }));
    }

private:
    void showQuietly()
    {
        m_lobby->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_lobby));
        QTRY_VERIFY_WITH_TIMEOUT(!CurrentWaitingSpinner(), 5000);
        m_http.clearRequests();
    }
    void feed(const QVariantList& lives)
    {
        LiveListDlg::OnAppServer_LiveListSuccess({ { "list", lives } }, m_lobby);
    }
    int rowCount() const { return m_lobby->form()->itemsListWidget->count(); }
    void click(int row) { QTest::mouseClick(m_lobby->itemAt(row)->form()->startButton, Qt::LeftButton); }
    QStringList shownIds() const
    {
        QStringList ids;
        for (int i = 0; i < rowCount(); ++i)
            ids << m_lobby->liveAt(i).value("liveId").toString();
        return ids;
    }
    void answerFromServiceThread(int code)
    {
        // The answer comes on a thread of its own, as the service's does; it is queued, not waited for.
        std::atomic<bool> returned { false };
        std::thread service([&] {
            m_fake->answerPending(code, QStringLiteral("房间忙"));
            returned = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned, 5000);
        service.join();
    }

    HttpFixture m_http; // answers an empty list unless a test queues something else
    FakeILive* m_fake = nullptr;
    LiveListDlg* m_lobby = nullptr;
};

QTEST_MAIN(TestLiveListDlg)
#include "tst_livelistdlg.moc"
