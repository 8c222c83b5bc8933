#include "FakeILive.h"
#include "RoomTestKit.h"
#include "ilive/RenderRootView.h"
#include "lobby/LiveListDlg.h"
#include "remote/AppServer.h"
#include "room/ActiveFilter.h"
#include "room/HoverButton.h"
#include "room/LiveDlg.h"
#include "room/VideoRender.h"
#include "shell/Resources.h"
#include "ui_LiveDlg.h"
#include "whiteboard/AutoClosePopup.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSlider>
#include <QtTest>

#include <thread>

using namespace roomkit;

namespace {
using Commands = QList<QPair<int, QString>>;

FakeRootView* ViewOf(VideoRender* render)
{
    for (FakeRootView* v : FakeRootView::all())
        if (v->window == uintptr_t(render->winId()))
            return v;
    return nullptr;
}
} // namespace

class TestLiveDlg : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init() { m_service = InstallService(); }
    void cleanup();
    void cleanupTestCase() { m_server.stop(); }

    void localViewFilledAtTabsWidthFromFirstShow();
    void startClassOpensShareCameraMicSpeakerInOrder();
    void failedBeginLiveLeavesNoClassTime();
    void cameraAndShareButtonsBeforeAndDuringClass();
    void activationSwitchesSharedArea();
    void remoteVideoHidesAfterNoSignalAndReturns();
    void memberStatusBindsAndClearsViews();
    void deviceFailuresShowTheirBoxes();
    void speakerAndMicrophoneButtonsFollowTheDevices();
    void closingAsksWhetherToEndTheClass();
    void endClassFromStartButtonAsksOnce();
    void disconnectNoticeKeepsWindowMaximisedAndClockTicks();
    void lateBeginLiveAnswerAfterCloseIsIgnored();
    void listenersFromOtherThreadsRunOnGuiThread();

private:
    QString liveId(const QString& state) const;
    // A room whose class has started as "live.begin" would start it, without the round trip.
    LiveDlg* OpenStartedRoom(const QString& id = "1");

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
        m_serverUp = SignIn("teacher01", "123456", &m_serverError);
        if (m_serverUp)
            m_lives = ListLives(&m_serverError);
    }
}

void TestLiveDlg::cleanup()
{
    DiscardRoom();
    LiveListDlg::GetInstance()->hide();
    WaitForRequests();
    FakeILive::uninstall();
}

QString TestLiveDlg::liveId(const QString& state) const
{
    for (const QVariant& v : m_lives)
        if (v.toMap().value("state").toString() == state)
            return v.toMap().value("liveId").toString();
    return m_lives.isEmpty() ? QString() : m_lives.first().toMap().value("liveId").toString();
}

LiveDlg* TestLiveDlg::OpenStartedRoom(const QString& id)
{
    LiveDlg* dlg = OpenRoom(id, 1002);
    LiveDlg::OnAppServer_BeginLiveSuccess(QVariantMap(), dlg);
    return dlg;
}

void TestLiveDlg::localViewFilledAtTabsWidthFromFirstShow()
{
    // The shipped render view, so what the teacher sees is drawn.
    ilive::SetILiveForTesting(m_service, nullptr);
    LiveDlg dlg;
    Ui::LiveDlg* ui = dlg.form();
    // Regression: shown at its own size, with no later resize, the view kept a wrong size.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const int width = ui->tabWidget->width();
    QCOMPARE(width, ui->studentInteractWidget->width());
    QCOMPARE(dlg.localRender()->size(), QSize(width, width * 3 / 4));
    QCOMPARE(dlg.remoteRender()->maximumHeight(), 0);
    auto* view = static_cast<RenderRootView*>(dlg.localRender()->rootView());
    QVERIFY(view && view->surface());
    QCOMPARE(view->surface()->geometry(), dlg.localRender()->rect());
    // Black over the whole view, no column background showing beside or below it.
    const QImage shot = ui->studentInteractWidget->grab().toImage();
    const QRect area = dlg.localRender()->geometry();
    for (const QPoint& p : { area.topLeft(), area.bottomRight(), area.center() })
        QCOMPARE(QColor(shot.pixel(p * shot.devicePixelRatio())).name(), QStringLiteral("#000000"));
}

void TestLiveDlg::startClassOpensShareCameraMicSpeakerInOrder()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LogCapture log;
    LiveDlg* dlg = OpenRoom(liveId("v"), 1001);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    Ui::LiveDlg* ui = dlg->form();
    BoxCatcher boxes;
    m_service->calls.clear();

    QTest::mouseClick(ui->startButton, Qt::LeftButton);
    // The elapsed time goes out at once, before the server has answered.
    QCOMPARE(SentCommands(m_service), Commands({ { 0x805, "0" } }));
    QTRY_VERIFY_WITH_TIMEOUT(dlg->isClassStarted(), 10000);
    QVERIFY(log.contains("live.begin"));
    QCOMPARE(m_service->calls.filter(QRegularExpression("^open")),
             QStringList({ m_service->calls.filter("openScreenShare").value(0), "openCamera cam0", "openMic mic0",
                           "openPlayer spk0" }));
    // The shared area is the slide preview on screen, at 10 frames a second.
    const QLabel* preview = ui->previewLabel;
    const QRect area(preview->mapToGlobal(QPoint(0, 0)), preview->mapToGlobal(QPoint(preview->width(), preview->height())));
    QCOMPARE(dlg->PreviewShareRect(), area);
    QCOMPARE(QRect(QPoint(m_service->shareLeft, m_service->shareTop), QPoint(m_service->shareRight, m_service->shareBottom)),
             area);
    QCOMPARE(m_service->shareFps, 10u);
    QCOMPARE(ui->startButton->text(), QStringLiteral("下课"));
    QVERIFY(ui->cameraButton->isChecked() && ui->shareButton->isChecked());
    QVERIFY(ui->volumeButton->isChecked() && ui->microPhoneButton->isChecked());
    QVERIFY(boxes.seen().isEmpty());

    // A second share request while sharing does nothing.
    m_service->calls.clear();
    dlg->OpenScreenShareDocumentArea();
    QVERIFY(m_service->calls.isEmpty());
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

void TestLiveDlg::cameraAndShareButtonsBeforeAndDuringClass()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    Ui::LiveDlg* ui = dlg->form();
    BoxCatcher boxes;
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "请先上课", "请先上课" }));
    QVERIFY(boxes.seen()[0].title == "提示" && boxes.seen()[0].parent == dlg);
    QVERIFY(!ui->cameraButton->isChecked() && !ui->shareButton->isChecked());
    QVERIFY(!m_service->calls.join('\n').contains(QRegularExpression("openCamera|openScreenShare")));

    // A class without a camera: the rest of the start goes on, the button stays off.
    DiscardRoom();
    boxes.clear();
    m_service->cameras.clear();
    dlg = OpenStartedRoom();
    ui = dlg->form();
    QTRY_COMPARE(boxes.texts(), QStringList({ "找不到摄像头" }));
    QCOMPARE(boxes.seen()[0].parent, nullptr);
    QVERIFY(m_service->micOn && m_service->playerOn && m_service->shareState == 1);
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 2);
    QVERIFY(!ui->cameraButton->isChecked());

    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QVERIFY(m_service->shareState == 0 && !ui->shareButton->isChecked());
    QTest::mouseClick(ui->shareButton, Qt::LeftButton);
    QVERIFY(m_service->shareState == 1 && ui->shareButton->isChecked());
    // A camera that refuses to open leaves the button showing the real state.
    m_service->cameras = { { "cam0", "USB Camera" } };
    m_service->deviceResult = 3;
    boxes.clear();
    QTest::mouseClick(ui->cameraButton, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "打开摄像头失败" }));
    QVERIFY(!ui->cameraButton->isChecked());
}

void TestLiveDlg::activationSwitchesSharedArea()
{
    ActiveFilter filter;
    QEvent deactivate(QEvent::ApplicationDeactivate), activate(QEvent::ApplicationActivate), other(QEvent::Show);
    // No room: nothing happens.
    QVERIFY(!filter.eventFilter(qApp, &deactivate));
    QVERIFY(m_service->calls.isEmpty());

    // Away from the window the whole screen is shared; back, only the slide area.
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QVERIFY(!filter.eventFilter(qApp, &deactivate));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(m_service->calls.last(),
             QStringLiteral("changeScreenShareSize 0 0 %1 %2").arg(screen.width()).arg(screen.height()));
    QVERIFY(!filter.eventFilter(qApp, &activate));
    const QRect area = dlg->PreviewShareRect();
    QCOMPARE(m_service->calls.last(), QStringLiteral("changeScreenShareSize %1 %2 %3 %4")
                                          .arg(area.left()).arg(area.top()).arg(area.right()).arg(area.bottom()));
    const int calls = m_service->calls.size();
    QVERIFY(!filter.eventFilter(qApp, &other));
    QCOMPARE(m_service->calls.size(), calls);
}

void TestLiveDlg::remoteVideoHidesAfterNoSignalAndReturns()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    VideoRender* remote = dlg->remoteRender();
    FakeRootView* remoteView = ViewOf(remote);
    QVERIFY(remoteView);
    const QSize shown(dlg->form()->tabWidget->width(), dlg->form()->tabWidget->width() * 3 / 4);

    // Screen frames are not for this view.
    m_service->remoteFrame("stu1", ilive::VIDEO_SRC_TYPE_SCREEN);
    QCOMPARE(remote->maximumHeight(), 0);
    QCOMPARE(remoteView->framesRendered, 0);
    // Each frame restarts the wait: shown longer than one wait with a frame in between.
    m_service->remoteFrame("stu1");
    QCOMPARE(remote->maximumSize(), shown);
    QCOMPARE(remoteView->framesRendered, 1);
    QTest::qWait(1800);
    m_service->remoteFrame("stu1");
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(1800);
    QCOMPARE(remote->maximumSize(), shown);
    QTRY_VERIFY_WITH_TIMEOUT(remote->maximumHeight() == 0, 5000);
    QVERIFY(clock.elapsed() >= 2500);
    m_service->remoteFrame("stu1");
    QCOMPARE(remote->maximumSize(), shown);

    // A hidden window takes no remote frames; local camera frames go to the local view.
    dlg->hide();
    const int rendered = remoteView->framesRendered;
    m_service->remoteFrame("stu1");
    QCOMPARE(remoteView->framesRendered, rendered);
    FakeRootView* localView = ViewOf(dlg->localRender());
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
    FakeRootView* local = ViewOf(dlg->localRender());
    FakeRootView* remote = ViewOf(dlg->remoteRender());
    QVERIFY(local && remote);

    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "teacher01", "student03" });
    QCOMPARE(local->boundUser, QStringLiteral("teacher01"));
    QCOMPARE(remote->boundUser, QStringLiteral("student03"));
    QCOMPARE(remote->boundSrc, int(ilive::VIDEO_SRC_TYPE_CAMERA));
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
    using Op = ilive::E_DeviceOperationType;
    const QList<QPair<Op, QString>> plain = { { ilive::E_CloseCamera, "关闭摄像头失败" },
        { ilive::E_OpenMic, "打开麦克风失败" }, { ilive::E_ClosePlayer, "关闭扬声器失败" },
        { ilive::E_CloseScreenShare, "关闭屏幕分享失败" } };
    for (const auto& c : plain)
        LiveDlg::OnDeviceOperation(c.first, 42, nullptr);
    for (int code : { 1002, 1008, 77 })
        LiveDlg::OnDeviceOperation(ilive::E_OpenScreenShare, code, nullptr);
    QTRY_COMPARE(boxes.seen().size(), 7);
    for (int i = 0; i < 4; ++i)
        QVERIFY(boxes.seen()[i].text == plain[i].second && boxes.seen()[i].parent == nullptr);
    QCOMPARE(boxes.seen()[4].text, QStringLiteral("屏幕分享和文件播放不能同时打开."));
    QCOMPARE(boxes.seen()[5].text, QStringLiteral("房间内其他成员已经占用辅路视频."));
    QVERIFY(boxes.seen()[6].text.contains("打开屏幕分享失败.") && boxes.seen()[6].text.contains("77"));
    for (int i = 4; i < 7; ++i)
        QVERIFY(boxes.seen()[i].title == "Error" && boxes.seen()[i].parent == dlg
                && boxes.seen()[i].icon == QMessageBox::Critical);

    // Every result, also one no handler knows, brings the buttons to the service's state.
    boxes.clear();
    m_service->playerOn = true;
    LiveDlg::OnDeviceOperation(ilive::E_OpenExternalCapture, 0, nullptr);
    QVERIFY(dlg->form()->volumeButton->isChecked());
    m_service->playerOn = false;
    LiveDlg::OnDeviceOperation(static_cast<Op>(99), 5, nullptr);
    QVERIFY(!dlg->form()->volumeButton->isChecked());
    QTest::qWait(100);
    QVERIFY(boxes.seen().isEmpty());
}

void TestLiveDlg::speakerAndMicrophoneButtonsFollowTheDevices()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    HoverButton* speaker = dlg->form()->volumeButton;
    HoverButton* mic = dlg->form()->microPhoneButton;
    // Microphone and speaker do not wait for the class.
    QTest::mouseClick(speaker, Qt::LeftButton);
    QVERIFY(m_service->playerOn && speaker->isChecked() && speaker->popup()->isVisible());
    QCOMPARE(speaker->slider()->value(), 40); // the service's volume
    speaker->slider()->setValue(70);
    QCOMPARE(m_service->playerVolume, 70u);
    mic->slider()->setValue(15);
    QCOMPARE(m_service->micVolume, 15u);
    QTest::mouseClick(speaker, Qt::LeftButton);
    QVERIFY(!m_service->playerOn && !speaker->isChecked() && !speaker->popup()->isVisible());

    // Regression: a device that fails to open, has nothing to open, or no list left the button on.
    BoxCatcher boxes;
    m_service->deviceResult = 9;
    QTest::mouseClick(speaker, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "打开扬声器失败" }));
    QCOMPARE(boxes.seen()[0].parent, dlg);
    QVERIFY(!speaker->isChecked() && !speaker->popup()->isVisible());
    m_service->deviceResult = 0;
    m_service->mics.clear();
    QTest::mouseClick(mic, Qt::LeftButton);
    QVERIFY(!m_service->calls.join('\n').contains("openMic"));
    QVERIFY(!mic->isChecked() && !mic->popup()->isVisible());
    m_service->listResult = 5;
    QTest::mouseClick(speaker, Qt::LeftButton);
    dlg->OpenMic();
    QTRY_COMPARE(boxes.seen().size(), 3);
    QVERIFY(boxes.seen()[1].text.contains("获取扬声器失败") && boxes.seen()[1].text.contains("5"));
    QVERIFY(boxes.seen()[2].text.contains("获取麦克风失败"));
    QVERIFY(boxes.seen()[2].title == "Error" && boxes.seen()[2].parent == dlg);
    QVERIFY(!speaker->isChecked() && !speaker->popup()->isVisible());

    // An empty speaker list only logs.
    LogCapture log;
    m_service->listResult = 0;
    m_service->players.clear();
    m_service->calls.clear();
    dlg->OpenPlayer();
    QVERIFY(log.contains("not player"));
    QVERIFY(m_service->calls.isEmpty());
}

void TestLiveDlg::closingAsksWhetherToEndTheClass()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LogCapture log;
    LiveDlg* dlg = OpenStartedRoom(liveId("i"));
    QPointer<LiveDlg> guard(dlg);
    BoxCatcher boxes(QMessageBox::Cancel);
    // Cancel keeps the window and the class.
    QVERIFY(!dlg->close());
    QCOMPARE(boxes.texts(), QStringList({ "是否下课？" }));
    QCOMPARE(boxes.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
    QCOMPARE(boxes.seen()[0].defaultButton, QMessageBox::Yes);
    QVERIFY(dlg->isVisible() && g_liveDlg == dlg);
    QVERIFY(!m_service->calls.contains("quitRoom"));

    // No leaves the room without ending the live, and the lobby comes back.
    m_service->sent.clear();
    boxes.setAnswer(QMessageBox::No);
    QVERIFY(dlg->close());
    QCOMPARE(g_liveDlg, nullptr);
    QVERIFY(m_service->shareState == 0 && !m_service->cameraOn);
    QCOMPARE(m_service->calls.last(), QStringLiteral("quitRoom"));
    QCOMPARE(SentCommands(m_service), Commands({ { 4, "" } }));
    QTRY_VERIFY(guard.isNull());
    QVERIFY(LiveListDlg::GetInstance()->isVisible());
    QVERIFY(WaitForRequests());
    QVERIFY(log.contains("live.quit.room") && !log.contains("live.end"));

    // A class never started is left without a question.
    boxes.clear();
    m_service->sent.clear();
    QVERIFY(OpenRoom("1", 1)->close());
    QTest::qWait(50);
    QVERIFY(!boxes.texts().contains("是否下课？"));
    QCOMPARE(SentCommands(m_service), Commands({ { 4, "" } }));
}

void TestLiveDlg::endClassFromStartButtonAsksOnce()
{
    QVERIFY2(m_serverUp, qPrintable(m_serverError));
    LiveDlg* dlg = OpenStartedRoom(liveId("i"));
    QPointer<LiveDlg> guard(dlg);
    BoxCatcher boxes(QMessageBox::No);
    // "No" keeps the class going.
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QCOMPARE(boxes.seen().size(), 1);
    QCOMPARE(boxes.seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    QVERIFY(dlg->isVisible() && dlg->isClassStarted());

    // "Yes" ends the live and leaves the room.
    LogCapture log;
    boxes.setAnswer(QMessageBox::Yes);
    m_service->sent.clear();
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QCOMPARE(boxes.seen().size(), 2); // closing did not ask again
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(SentCommands(m_service), Commands({ { 6, "" } }));
    QCOMPARE(m_service->calls.count("quitRoom"), 1);
    QVERIFY(WaitForRequests());
    QCOMPARE(log.count("live.end"), 1);
    QVERIFY(!log.contains("live.quit.room"));
}

void TestLiveDlg::disconnectNoticeKeepsWindowMaximisedAndClockTicks()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    LogCapture log;
    BoxCatcher boxes;
    m_service->roomDisconnect(3001, "net down");
    QTRY_COMPARE(boxes.texts(), QStringList({ "已掉线。请检查网络并重新进入房间" }));
    QVERIFY(log.contains("已被强制退出房间.reason:") && log.contains("net down"));
    QVERIFY(dlg->isVisible() && g_liveDlg == dlg);

    dlg->showNormal();
    QTRY_VERIFY(dlg->isMaximized());
    QLabel* clock = dlg->form()->timeDisplayLabel;
    QTRY_VERIFY_WITH_TIMEOUT(clock->text() != QStringLiteral("00:00:59"), 2500);
    const QTime shown = QTime::fromString(clock->text(), "hh:mm:ss");
    QVERIFY(shown.isValid() && qAbs(shown.secsTo(QTime::currentTime())) <= 2);
}

void TestLiveDlg::lateBeginLiveAnswerAfterCloseIsIgnored()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    DiscardRoom();
    m_service->calls.clear();
    // A "live.begin" answer for a window that is gone opens no device, nor does any listener reach it.
    LiveDlg::OnAppServer_BeginLiveSuccess(QVariantMap(), dlg);
    LiveDlg::OnDeviceOperation(ilive::E_OpenCamera, 5, nullptr);
    m_service->remoteFrame("stu1");
    QVERIFY(m_service->calls.isEmpty());
    // Deleting an open room without closing it also clears the pointer.
    delete OpenRoom("1", 1);
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
    QTRY_COMPARE(dlg->remoteRender()->maximumHeight(), dlg->form()->tabWidget->width() * 3 / 4);
}

QTEST_MAIN(TestLiveDlg)
#include "tst_livedlg.moc"
