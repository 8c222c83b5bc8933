#include "FakeILive.h"
#include "RoomTestKit.h"
#include "ilive/RenderRootView.h"
#include "remote/AppServer.h"
#include "lobby/LiveListDlg.h"
#include "room/ActiveFilter.h"
#include "room/HoverButton.h"
#include "room/LiveDlg.h"
#include "room/VideoRender.h"
#include "shell/Resources.h"
#include "ui_LiveDlg.h"
#include "whiteboard/AutoClosePopup.h"
#include "whiteboard/renderarea.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QTabBar>
#include <QtTest>

#include <thread>

using namespace roomkit;

class TestLiveDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void formRegionsAndStartState();
    void localViewFilledAtTabsWidthFromFirstShow();
    void cameraAndShareRefusedBeforeClass();
    void startClassOpensShareCameraMicSpeakerInOrder();
    void failedBeginLiveLeavesNoClassTime();
    void noCameraFoundAtStartAndOnButton();
    void cameraAndShareButtonsDuringClass();
    void activationSwitchesSharedArea();
    void remoteVideoHidesAfterNoSignalAndReturns();
    void memberStatusBindsAndClearsViews();
    void deviceFailuresShowTheirBoxes();
    void speakerAndMicrophoneButtonsAndSliders();
    void closeWithCancelKeepsWindowNoLeavesWithoutEnd();
    void closeWithYesEndsTheLive();
    void endClassFromStartButtonAsksOnce();
    void closeNeverStartedClassLeavesWithoutQuestion();
    void enterSendsChatOtherKeysType();
    void roomDisconnectNoticeKeepsWindow();
    void windowStaysMaximisedAndClockTicks();
    void lateBeginLiveAnswerAfterCloseIsIgnored();
    void listenersFromOtherThreadsRunOnGuiThread();

private:
    // The class as "live.begin" would start it, without the server round trip.
    void startClassDirectly(LiveDlg* dlg);
    QString liveId(const QString& state) const;

    ServerProcess m_server;
    bool m_serverUp = false;
    QString m_serverError;
    QVariantList m_lives;
    FakeILive* m_service = nullptr;
};

void TestLiveDlg::initTestCase()
{
    LecternInitResources();
    m_serverUp = m_server.start(&m_serverError);
    if (m_serverUp) {
        SetAppServerUrl(m_server.jsonRpcUrl());
        QString error;
        m_serverUp = SignIn("teacher01", "123456", &error);
        if (m_serverUp)
            m_lives = ListLives(&error);
        m_serverError = error;
    }
}

void TestLiveDlg::init()
{
    m_service = InstallService();
}

void TestLiveDlg::cleanup()
{
    DiscardRoom();
    LiveListDlg::GetInstance()->hide();
    WaitForRequests();
    FakeILive::uninstall();
    m_service = nullptr;
}

void TestLiveDlg::cleanupTestCase()
{
    m_server.stop();
}

void TestLiveDlg::startClassDirectly(LiveDlg* dlg)
{
    LiveDlg::OnAppServer_BeginLiveSuccess(QVariantMap(), dlg);
}

QString TestLiveDlg::liveId(const QString& state) const
{
    for (const QVariant& v : m_lives) {
        const QVariantMap live = v.toMap();
        if (live.value("state").toString() == state)
            return live.value("liveId").toString();
    }
    return m_lives.isEmpty() ? QString() : m_lives.first().toMap().value("liveId").toString();
}

void TestLiveDlg::formRegionsAndStartState()
{
    LiveDlg dlg;
    Ui::LiveDlg* ui = dlg.form();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("直播"));
    QCOMPARE(ui->startButton->text(), QStringLiteral("上课"));
    QCOMPARE(ui->timeDisplayLabel->text(), QStringLiteral("00:00:59"));
    QCOMPARE(ui->platformLabel->text(), QStringLiteral("Tutorline"));
    QCOMPARE(ui->tabWidget->tabText(0), QStringLiteral("讨论"));
    QCOMPARE(ui->tabWidget->tabText(1), QStringLiteral("成员"));
    QCOMPARE(ui->tabWidget->widget(0), ui->discussTab);
    QCOMPARE(ui->tabWidget->widget(1), ui->memberTab);
    QCOMPARE(ui->tabWidget->styleSheet(),
             QStringLiteral("QTabBar::tab{width:135px;height:50px;color:black;\nborder-bottom:1px solid #CFCFCF;}\n"
                            "QTabBar::tab:selected{\ncolor:#11ACDD;\nborder-bottom:3px solid #11ACDD;\n}\n"
                            "QTabWidget::pane { \n    border:0;\n}"));
    QCOMPARE(ui->msgListWidget->selectionMode(), QAbstractItemView::NoSelection);
    QCOMPARE(ui->tool->styleSheet(), QStringLiteral("background-color:#323338;color:white;"));
    QCOMPARE(ui->pages->styleSheet(), QStringLiteral("background:#EFEFEF"));
    QCOMPARE(ui->previewLabel->styleSheet(), QStringLiteral("background:#5A5D65"));
    QCOMPARE(ui->studentInteractWidget->styleSheet(), QStringLiteral("background:white"));
    QCOMPARE(ui->sendButton->text(), QStringLiteral("发送"));
    QCOMPARE(ui->shareButton->text(), QStringLiteral("屏幕分享"));
    QVERIFY(ui->cameraButton->isCheckable() && ui->shareButton->isCheckable() && ui->pauseButton->isCheckable());

    // Interaction column: tabs, then the remote view (invisible at height 0), then the local view.
    QLayout* column = ui->studentInteractWidget->layout();
    QCOMPARE(column->indexOf(ui->tabWidget), 0);
    QCOMPARE(column->indexOf(dlg.remoteRender()), 1);
    QCOMPARE(column->indexOf(dlg.localRender()), 2);
    QCOMPARE(dlg.remoteRender()->maximumHeight(), 0);
    QCOMPARE(ui->msgTextEdit->height(), 70);

    // Whiteboard over the slide in one grid cell, bound to the file of no document.
    QCOMPARE(dlg.renderArea()->parentWidget(), ui->previewContainer);
    QCOMPARE(dlg.renderArea()->fileName(), QStringLiteral("test.json"));
    int row = -1, col = -1, rowSpan = 0, colSpan = 0;
    auto* grid = qobject_cast<QGridLayout*>(ui->previewContainer->layout());
    QVERIFY(grid);
    grid->getItemPosition(grid->indexOf(dlg.renderArea()), &row, &col, &rowSpan, &colSpan);
    QCOMPARE(QPoint(row, col), QPoint(0, 0));
    grid->getItemPosition(grid->indexOf(ui->previewLabel), &row, &col, &rowSpan, &colSpan);
    QCOMPARE(QPoint(row, col), QPoint(0, 0));

    dlg.showMaximized();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(!ui->pauseButton->isVisible());
    QVERIFY(!ui->volumeButton->isChecked());
    QVERIFY(!ui->cameraButton->isChecked());
    // The local view is as wide as the tabs, at 4:3.
    const int width = ui->tabWidget->width();
    QCOMPARE(dlg.localRender()->size(), QSize(width, width * 3 / 4));
}

void TestLiveDlg::localViewFilledAtTabsWidthFromFirstShow()
{
    // The shipped render view, so what the teacher sees is drawn.
    ilive::SetILiveForTesting(m_service, nullptr);
    LiveDlg dlg;
    Ui::LiveDlg* ui = dlg.form();
    // Shown at its own size: no later resize of the window comes to put the view right.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const int width = ui->tabWidget->width();
    QCOMPARE(width, ui->studentInteractWidget->width());
    QCOMPARE(dlg.localRender()->size(), QSize(width, width * 3 / 4));
    QCOMPARE(dlg.localRender()->geometry().right(), ui->studentInteractWidget->rect().right());

    auto* view = static_cast<RenderRootView*>(dlg.localRender()->rootView());
    QVERIFY(view && view->surface());
    QCOMPARE(view->surface()->geometry(), dlg.localRender()->rect());
    // Black over the whole view, no column background showing beside or below it.
    const QImage shot = ui->studentInteractWidget->grab().toImage();
    const QRect area = dlg.localRender()->geometry();
    const qreal ratio = shot.devicePixelRatio();
    for (const QPoint& p : { area.topLeft(), area.topRight(), area.bottomLeft(), area.bottomRight(), area.center() })
        QCOMPARE(QColor(shot.pixel(p * ratio)).name(), QStringLiteral("#000000"));
}

void TestLiveDlg::cameraAndShareRefusedBeforeClass()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    Ui::LiveDlg* ui = dlg->form();
    BoxCatcher boxes;

    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].title, QStringLiteral("提示"));
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("请先上课"));
    QCOMPARE(boxes.seen()[0].parent, dlg);
    QVERIFY(!ui->cameraButton->isChecked());

    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 2);
    QCOMPARE(boxes.seen()[1].text, QStringLiteral("请先上课"));
    QVERIFY(!ui->shareButton->isChecked());
    QVERIFY(!m_service->calls.join('\n').contains("openCamera"));
    QVERIFY(!m_service->calls.join('\n').contains("openScreenShare"));

    // Microphone and speaker do not wait for the class.
    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);
    QVERIFY(m_service->micOn);
    QVERIFY(ui->microPhoneButton->isChecked());
}

void TestLiveDlg::startClassOpensShareCameraMicSpeakerInOrder()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LogCapture log;
    LiveDlg* dlg = OpenRoom(liveId("v"), 1001);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    BoxCatcher boxes;
    m_service->calls.clear();

    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    // The elapsed time goes out at once, before the server has answered.
    QCOMPARE(SentCommands(m_service), (QList<QPair<int, QString>>{ { 0x805, "0" } }));
    QTRY_VERIFY_WITH_TIMEOUT(dlg->isClassStarted(), 10000);
    QVERIFY(log.contains("live.begin"));

    QStringList devices;
    for (const QString& call : m_service->calls)
        if (call.startsWith("open"))
            devices << call.section(' ', 0, 0);
    QCOMPARE(devices, QStringList({ "openScreenShare", "openCamera", "openMic", "openPlayer" }));
    QVERIFY(m_service->calls.contains("openCamera cam0"));
    QVERIFY(m_service->calls.contains("openMic mic0"));
    QVERIFY(m_service->calls.contains("openPlayer spk0"));

    const QRect area = dlg->PreviewShareRect();
    const QLabel* preview = dlg->form()->previewLabel;
    QCOMPARE(area.topLeft(), preview->mapToGlobal(QPoint(0, 0)));
    QCOMPARE(QPoint(area.right(), area.bottom()), preview->mapToGlobal(QPoint(preview->width(), preview->height())));
    QCOMPARE(m_service->shareLeft, area.left());
    QCOMPARE(m_service->shareTop, area.top());
    QCOMPARE(m_service->shareRight, area.right());
    QCOMPARE(m_service->shareBottom, area.bottom());
    QCOMPARE(m_service->shareFps, 10u);

    Ui::LiveDlg* ui = dlg->form();
    QCOMPARE(ui->startButton->text(), QStringLiteral("下课"));
    QVERIFY(ui->cameraButton->isChecked());
    QVERIFY(ui->shareButton->isChecked());
    QVERIFY(ui->volumeButton->isChecked());
    QVERIFY(ui->microPhoneButton->isChecked());
    QCOMPARE(ui->microPhoneButton->slider()->value(), 30);
    QCOMPARE(ui->volumeButton->slider()->value(), 40);
    QVERIFY(boxes.seen().isEmpty());

    // A second share request while sharing does nothing.
    m_service->calls.clear();
    dlg->OpenScreenShareDocumentArea();
    QVERIFY(m_service->calls.isEmpty());
    QVERIFY(log.contains("已经开启屏幕分享，不操作"));

    // Later arrivals are told the elapsed class time.
    m_service->sent.clear();
    dlg->BroadcastClassTime();
    QCOMPARE(SentCommands(m_service).size(), 1);
    QCOMPARE(SentCommands(m_service)[0].first, 0x805);
    QVERIFY(SentCommands(m_service)[0].second.toInt() >= 0);
}

void TestLiveDlg::failedBeginLiveLeavesNoClassTime()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LiveDlg* dlg = OpenRoom("no-such-live", 1);
    BoxCatcher boxes;
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QVERIFY(WaitForRequests());
    QTRY_VERIFY(!boxes.seen().isEmpty()); // the app server's error box
    QVERIFY(!dlg->isClassStarted());
    QCOMPARE(dlg->form()->startButton->text(), QStringLiteral("上课"));
    QVERIFY(!m_service->calls.join('\n').contains("openCamera"));

    // A student entering now must not be told that a class is running.
    m_service->sent.clear();
    dlg->BroadcastClassTime();
    QVERIFY(SentCommands(m_service).isEmpty());
}

void TestLiveDlg::noCameraFoundAtStartAndOnButton()
{
    m_service->cameras.clear();
    LiveDlg* dlg = OpenRoom("1", 1);
    BoxCatcher boxes;
    startClassDirectly(dlg);
    QTRY_COMPARE(boxes.texts(), QStringList({ "找不到摄像头" }));
    QCOMPARE(boxes.seen()[0].parent, nullptr);
    QVERIFY(boxes.seen()[0].title.isEmpty());
    // The rest of the start went on.
    QVERIFY(m_service->micOn && m_service->playerOn && m_service->shareState != 0);

    QTest::mouseClick(dlg->form()->cameraButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "找不到摄像头", "找不到摄像头" }));
    QVERIFY(!dlg->form()->cameraButton->isChecked());

    // Microphone and speaker list failures are SDK errors owned by the window.
    m_service->listResult = 7;
    dlg->OpenMic();
    dlg->OpenPlayer();
    QTRY_COMPARE(boxes.seen().size(), 4);
    QVERIFY(boxes.seen()[2].text.contains("获取麦克风失败"));
    QVERIFY(boxes.seen()[2].text.contains("7"));
    QCOMPARE(boxes.seen()[2].title, QStringLiteral("Error"));
    QCOMPARE(boxes.seen()[2].parent, dlg);
    QVERIFY(boxes.seen()[3].text.contains("获取扬声器失败"));

    // An empty speaker list only logs.
    LogCapture log;
    m_service->listResult = 0;
    m_service->players.clear();
    m_service->calls.clear();
    dlg->OpenPlayer();
    QVERIFY(log.contains("not player"));
    QVERIFY(m_service->calls.isEmpty());
}

void TestLiveDlg::cameraAndShareButtonsDuringClass()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    Ui::LiveDlg* ui = dlg->form();
    startClassDirectly(dlg);
    QVERIFY(ui->cameraButton->isChecked());

    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QVERIFY(!m_service->cameraOn);
    QVERIFY(!ui->cameraButton->isChecked());
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QVERIFY(m_service->cameraOn);
    QVERIFY(ui->cameraButton->isChecked());

    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QCOMPARE(m_service->shareState, 0);
    QVERIFY(!ui->shareButton->isChecked());
    LogCapture log;
    dlg->CloseScreenShare();
    QVERIFY(log.contains("已经关闭屏幕分享，不操作"));
    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QCOMPARE(m_service->shareState, 1);
    QVERIFY(ui->shareButton->isChecked());

    // A camera that refuses to open leaves the button showing the real state.
    BoxCatcher boxes;
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    m_service->deviceResult = 3;
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "打开摄像头失败" }));
    QVERIFY(!ui->cameraButton->isChecked());
}

void TestLiveDlg::activationSwitchesSharedArea()
{
    ActiveFilter filter;
    QEvent deactivate(QEvent::ApplicationDeactivate);
    QEvent activate(QEvent::ApplicationActivate);
    // No room: nothing happens.
    QVERIFY(!filter.eventFilter(qApp, &deactivate));
    QVERIFY(m_service->calls.isEmpty());

    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    LogCapture log;
    QVERIFY(!filter.eventFilter(qApp, &deactivate));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(m_service->calls.last(),
             QStringLiteral("changeScreenShareSize 0 0 %1 %2").arg(screen.width()).arg(screen.height()));
    QVERIFY(log.contains("Deactivate, call changeScreenShareSize"));
    QVERIFY(log.contains("share full screen:"));

    QVERIFY(!filter.eventFilter(qApp, &activate));
    const QRect area = dlg->PreviewShareRect();
    QCOMPARE(m_service->calls.last(), QStringLiteral("changeScreenShareSize %1 %2 %3 %4")
                                          .arg(area.left())
                                          .arg(area.top())
                                          .arg(area.right())
                                          .arg(area.bottom()));
    QVERIFY(log.contains("activate, call changeScreenShareSize"));
    QVERIFY(log.contains("share ppt area:"));

    // Other events pass untouched.
    const int calls = m_service->calls.size();
    QEvent other(QEvent::Show);
    QVERIFY(!filter.eventFilter(qApp, &other));
    QCOMPARE(m_service->calls.size(), calls);
}

void TestLiveDlg::remoteVideoHidesAfterNoSignalAndReturns()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    VideoRender* remote = dlg->remoteRender();
    FakeRootView* remoteView = nullptr;
    for (FakeRootView* v : FakeRootView::all())
        if (v->window == uintptr_t(remote->winId()))
            remoteView = v;
    QVERIFY(remoteView);
    const int width = dlg->form()->tabWidget->width();

    // Screen frames are not for this view.
    m_service->remoteFrame("stu1", ilive::VIDEO_SRC_TYPE_SCREEN);
    QCOMPARE(remote->maximumHeight(), 0);
    QCOMPARE(remoteView->framesRendered, 0);

    m_service->remoteFrame("stu1");
    QCOMPARE(remote->maximumSize(), QSize(width, width * 3 / 4));
    QCOMPARE(remoteView->framesRendered, 1);

    LogCapture log;
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(remote->maximumHeight() == 0, 5000);
    QVERIFY(clock.elapsed() >= 2500);
    QVERIFY(log.contains("no remote signal,hide video render"));

    m_service->remoteFrame("stu1");
    QCOMPARE(remote->maximumSize(), QSize(width, width * 3 / 4));

    // Frames keep it visible: each one restarts the wait.
    for (int i = 0; i < 4; ++i) {
        QTest::qWait(1000);
        m_service->remoteFrame("stu1");
    }
    QCOMPARE(remote->maximumHeight(), width * 3 / 4);

    // A hidden window takes no remote frames.
    dlg->hide();
    const int rendered = remoteView->framesRendered;
    m_service->remoteFrame("stu1");
    QCOMPARE(remoteView->framesRendered, rendered);

    // Local camera frames go to the local view.
    FakeRootView* localView = nullptr;
    for (FakeRootView* v : FakeRootView::all())
        if (v->window == uintptr_t(dlg->localRender()->winId()))
            localView = v;
    QVERIFY(localView);
    m_service->localFrame();
    m_service->localFrame(ilive::VIDEO_SRC_TYPE_SCREEN);
    QCOMPARE(localView->framesRendered, 1);
}

void TestLiveDlg::memberStatusBindsAndClearsViews()
{
    SessionRecord()["userId"] = "teacher01";
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    auto viewOf = [](VideoRender* render) -> FakeRootView* {
        for (FakeRootView* v : FakeRootView::all())
            if (v->window == uintptr_t(render->winId()))
                return v;
        return nullptr;
    };
    FakeRootView* local = viewOf(dlg->localRender());
    FakeRootView* remote = viewOf(dlg->remoteRender());
    QVERIFY(local && remote);

    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "teacher01", "student03" });
    QCOMPARE(local->boundUser, QStringLiteral("teacher01"));
    QCOMPARE(remote->boundUser, QStringLiteral("student03"));
    QCOMPARE(remote->boundSrc, int(ilive::VIDEO_SRC_TYPE_CAMERA));

    // Audio events change nothing.
    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_NO_AUDIO, { "student03" });
    QCOMPARE(remote->boundUser, QStringLiteral("student03"));

    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO, { "student03" });
    QVERIFY(remote->boundUser.isEmpty());
    QCOMPARE(local->boundUser, QStringLiteral("teacher01"));

    // Without a room only a log line.
    DiscardRoom();
    LogCapture log;
    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "student03" });
    QVERIFY(log.contains("OnMemStatusChange:g_liveDlg not init"));
}

void TestLiveDlg::deviceFailuresShowTheirBoxes()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    BoxCatcher boxes;
    struct Case {
        ilive::E_DeviceOperationType op;
        QString text;
        bool ownedByWindow;
    };
    const QList<Case> cases = {
        { ilive::E_OpenCamera, "打开摄像头失败", false },   { ilive::E_CloseCamera, "关闭摄像头失败", false },
        { ilive::E_OpenMic, "打开麦克风失败", false },      { ilive::E_CloseMic, "关闭麦克风失败", false },
        { ilive::E_OpenPlayer, "打开扬声器失败", true },    { ilive::E_ClosePlayer, "关闭扬声器失败", false },
        { ilive::E_CloseScreenShare, "关闭屏幕分享失败", false },
    };
    for (const Case& c : cases) {
        boxes.clear();
        LiveDlg::OnDeviceOperation(c.op, 42, nullptr);
        QTRY_COMPARE(boxes.texts(), QStringList({ c.text }));
        QVERIFY(boxes.seen()[0].title.isEmpty());
        QCOMPARE(boxes.seen()[0].parent, c.ownedByWindow ? dlg : nullptr);
    }

    boxes.clear();
    LiveDlg::OnDeviceOperation(ilive::E_OpenScreenShare, 1002, nullptr);
    LiveDlg::OnDeviceOperation(ilive::E_OpenScreenShare, 1008, nullptr);
    LiveDlg::OnDeviceOperation(ilive::E_OpenScreenShare, 77, nullptr);
    QTRY_COMPARE(boxes.seen().size(), 3);
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("屏幕分享和文件播放不能同时打开."));
    QCOMPARE(boxes.seen()[1].text, QStringLiteral("房间内其他成员已经占用辅路视频."));
    QVERIFY(boxes.seen()[2].text.contains("打开屏幕分享失败."));
    QVERIFY(boxes.seen()[2].text.contains("77"));
    for (const auto& seen : boxes.seen()) {
        QCOMPARE(seen.title, QStringLiteral("Error"));
        QCOMPARE(seen.parent, dlg);
        QCOMPARE(seen.icon, QMessageBox::Critical);
    }

    // Every result, also one no handler knows, brings the buttons to the service's state.
    m_service->playerOn = true;
    boxes.clear();
    LiveDlg::OnDeviceOperation(ilive::E_OpenExternalCapture, 0, nullptr);
    QVERIFY(dlg->form()->volumeButton->isChecked());
    m_service->playerOn = false;
    LiveDlg::OnDeviceOperation(static_cast<ilive::E_DeviceOperationType>(99), 5, nullptr);
    QVERIFY(!dlg->form()->volumeButton->isChecked());
    QTest::qWait(100);
    QVERIFY(boxes.seen().isEmpty());
}

void TestLiveDlg::speakerAndMicrophoneButtonsAndSliders()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    Ui::LiveDlg* ui = dlg->form();
    QSignalSpy toggles(ui->volumeButton, &QPushButton::toggled);

    QTest::mouseClick(ui->volumeButton, Qt::LeftButton);
    QVERIFY(m_service->playerOn);
    QVERIFY(ui->volumeButton->isChecked());
    QCOMPARE(ui->volumeButton->slider()->value(), 40); // the service's volume
    QVERIFY(ui->volumeButton->popup()->isVisible());

    ui->volumeButton->slider()->setValue(70);
    QCOMPARE(m_service->playerVolume, 70u);
    ui->microPhoneButton->slider()->setValue(15);
    QCOMPARE(m_service->micVolume, 15u);

    QTest::mouseClick(ui->volumeButton, Qt::LeftButton);
    QVERIFY(!m_service->playerOn);
    QVERIFY(!ui->volumeButton->isChecked());
    QVERIFY(!ui->volumeButton->popup()->isVisible());

    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);
    QVERIFY(m_service->micOn);
    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);
    QVERIFY(!m_service->micOn);
    QVERIFY(!ui->microPhoneButton->isChecked());

    // A speaker that fails to open: the button shows it is off and no popup stays.
    BoxCatcher boxes;
    m_service->deviceResult = 9;
    QTest::mouseClick(ui->volumeButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "打开扬声器失败" }));
    QVERIFY(!ui->volumeButton->isChecked());
    QVERIFY(!ui->volumeButton->popup()->isVisible());

    // Nothing to open (no result ever comes) or no list at all: the buttons still show "off".
    m_service->deviceResult = 0;
    m_service->mics.clear();
    m_service->calls.clear();
    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);
    QVERIFY(!m_service->calls.join('\n').contains("openMic"));
    QVERIFY(!ui->microPhoneButton->isChecked());
    QVERIFY(!ui->microPhoneButton->popup()->isVisible());
    boxes.clear();
    m_service->listResult = 5;
    QTest::mouseClick(ui->volumeButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 1);
    QVERIFY(boxes.seen()[0].text.contains("获取扬声器失败"));
    QVERIFY(!ui->volumeButton->isChecked());
    QVERIFY(!ui->volumeButton->popup()->isVisible());
}

void TestLiveDlg::closeWithCancelKeepsWindowNoLeavesWithoutEnd()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LiveDlg* dlg = OpenRoom(liveId("i"), 1002);
    QPointer<LiveDlg> guard(dlg);
    startClassDirectly(dlg);
    LogCapture log;
    BoxCatcher boxes(QMessageBox::Cancel);

    QVERIFY(!dlg->close());
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].title, QStringLiteral("确认"));
    QCOMPARE(boxes.seen()[0].text, QStringLiteral("是否下课？"));
    QCOMPARE(boxes.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QCOMPARE(boxes.seen()[0].defaultButton, QMessageBox::Yes);
    QVERIFY(dlg->isVisible());
    QCOMPARE(g_liveDlg, dlg);
    QVERIFY(!m_service->calls.contains("quitRoom"));

    m_service->sent.clear();
    boxes.setAnswer(QMessageBox::No);
    QVERIFY(dlg->close());
    QCOMPARE(g_liveDlg, nullptr);
    QCOMPARE(m_service->shareState, 0);
    QVERIFY(!m_service->cameraOn);
    QCOMPARE(m_service->calls.last(), QStringLiteral("quitRoom"));
    QCOMPARE(SentCommands(m_service), (QList<QPair<int, QString>>{ { 4, "" } }));
    QTRY_VERIFY(guard.isNull());
    QVERIFY(LiveListDlg::GetInstance()->isVisible());
    QVERIFY(WaitForRequests());
    QVERIFY(log.contains("live.quit.room"));
    QVERIFY(!log.contains("live.end"));
}

void TestLiveDlg::closeWithYesEndsTheLive()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LiveDlg* dlg = OpenRoom(liveId("i"), 1002);
    startClassDirectly(dlg);
    LogCapture log;
    BoxCatcher boxes(QMessageBox::Yes);
    m_service->sent.clear();
    QVERIFY(dlg->close());
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(SentCommands(m_service), (QList<QPair<int, QString>>{ { 6, "" } }));
    QVERIFY(WaitForRequests());
    QVERIFY(log.contains("live.end"));
    QVERIFY(!log.contains("live.quit.room"));
}

void TestLiveDlg::endClassFromStartButtonAsksOnce()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LiveDlg* dlg = OpenRoom(liveId("i"), 1002);
    QPointer<LiveDlg> guard(dlg);
    startClassDirectly(dlg);
    BoxCatcher boxes(QMessageBox::No);

    // "No" keeps the class going.
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(dlg->isVisible());
    QVERIFY(dlg->isClassStarted());

    LogCapture log;
    boxes.setAnswer(QMessageBox::Yes);
    m_service->sent.clear();
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QCOMPARE(boxes.seen().size(), 2); // closing did not ask again
    QCOMPARE(g_liveDlg, nullptr);
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(SentCommands(m_service), (QList<QPair<int, QString>>{ { 6, "" } }));
    QCOMPARE(m_service->calls.count("quitRoom"), 1);
    QVERIFY(WaitForRequests());
    QCOMPARE(log.count("live.end"), 1);
}

void TestLiveDlg::closeNeverStartedClassLeavesWithoutQuestion()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    BoxCatcher boxes;
    m_service->sent.clear();
    QVERIFY(dlg->close());
    QCOMPARE(g_liveDlg, nullptr);
    QTest::qWait(50);
    for (const auto& seen : boxes.seen())
        QVERIFY(seen.text != QStringLiteral("是否下课？"));
    QCOMPARE(SentCommands(m_service), (QList<QPair<int, QString>>{ { 4, "" } }));
    QVERIFY(m_service->calls.contains("quitRoom"));
}

void TestLiveDlg::enterSendsChatOtherKeysType()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QTextEdit* edit = dlg->form()->msgTextEdit;
    edit->setFocus();
    QTest::keyClicks(edit, "hi ");
    edit->insertPlainText(QStringLiteral("你好"));
    QCOMPARE(edit->toPlainText(), QStringLiteral("hi 你好"));
    QVERIFY(m_service->sent.isEmpty());

    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(m_service->sent.size(), 1);
    QCOMPARE(FakeILive::textOf(m_service->sent[0].msg), QStringLiteral("hi 你好"));
    // Enter never reaches the editor as a line break.
    QVERIFY(!edit->toPlainText().contains('\n'));

    edit->setPlainText("second");
    QTest::keyClick(edit, Qt::Key_Enter);
    QCOMPARE(m_service->sent.size(), 2);
    QCOMPARE(FakeILive::textOf(m_service->sent[1].msg), QStringLiteral("second"));
}

void TestLiveDlg::roomDisconnectNoticeKeepsWindow()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    LogCapture log;
    BoxCatcher boxes;
    m_service->roomDisconnect(3001, "net down");
    QTRY_COMPARE(boxes.texts(), QStringList({ "已掉线。请检查网络并重新进入房间" }));
    QVERIFY(boxes.seen()[0].title.isEmpty());
    QCOMPARE(boxes.seen()[0].parent, nullptr);
    QVERIFY(log.contains("已被强制退出房间.reason:"));
    QVERIFY(log.contains("net down"));
    QVERIFY(dlg->isVisible());
    QCOMPARE(g_liveDlg, dlg);
}

void TestLiveDlg::windowStaysMaximisedAndClockTicks()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QVERIFY(dlg->isMaximized());
    dlg->showNormal();
    QTRY_VERIFY(dlg->isMaximized());

    QLabel* clock = dlg->form()->timeDisplayLabel;
    QTRY_VERIFY_WITH_TIMEOUT(clock->text() != QStringLiteral("00:00:59"), 2500);
    const QTime shown = QTime::fromString(clock->text(), "hh:mm:ss");
    QVERIFY(shown.isValid());
    QVERIFY(qAbs(shown.secsTo(QTime::currentTime())) <= 2);
}

void TestLiveDlg::lateBeginLiveAnswerAfterCloseIsIgnored()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    DiscardRoom();
    (void)dlg;
    m_service->calls.clear();
    // A "live.begin" answer for a window that is gone opens no device.
    LiveDlg::OnAppServer_BeginLiveSuccess(QVariantMap(), dlg);
    QVERIFY(m_service->calls.isEmpty());
    // Nor does any listener reach it.
    LiveDlg::OnDeviceOperation(ilive::E_OpenCamera, 5, nullptr);
    m_service->remoteFrame("stu1");
    QVERIFY(m_service->calls.isEmpty());

    // Deleting an open room without closing it also clears the pointer.
    auto* other = OpenRoom("1", 1);
    delete other;
    QCOMPARE(g_liveDlg, nullptr);
}

void TestLiveDlg::listenersFromOtherThreadsRunOnGuiThread()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    m_service->playerOn = true;
    std::thread worker([this] {
        LiveDlg::OnDeviceOperation(ilive::E_OpenPlayer, 0, nullptr);
        m_service->remoteFrame("stu9");
    });
    worker.join();
    // Nothing has touched the widgets yet; the event loop carries the calls over.
    QVERIFY(!dlg->form()->volumeButton->isChecked());
    QCOMPARE(dlg->remoteRender()->maximumHeight(), 0);
    QTRY_VERIFY(dlg->form()->volumeButton->isChecked());
    const int width = dlg->form()->tabWidget->width();
    QTRY_COMPARE(dlg->remoteRender()->maximumHeight(), width * 3 / 4);
}

QTEST_MAIN(TestLiveDlg)
#include "tst_livedlg.moc"
