#include "BoxCatcher.h"
#include "FakeILive.h"
#include "LogCapture.h"
#include "RoomTestKit.h"
#include "ilive/RenderRootView.h"
#include "remote/AppServer.h"
#include "room/ActiveFilter.h"
#include "room/HoverButton.h"
#include "room/LiveDlg.h"
#include "room/VideoRender.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "ui_LiveDlg.h"
#include "whiteboard/AutoClosePopup.h"

#include <QGuiApplication>
#include <QMenu>
#include <QScreen>
#include <QSlider>
#include <QtTest>

#include <thread>

using namespace roomkit;

namespace {
using Commands = QList<QPair<int, QString>>;

// Clicks a ▲ and returns the menu that opened.
QMenu* OpenDeviceMenu(LiveDlg* dlg, QLabel* triangle)
{
    QTest::mouseClick(triangle, Qt::LeftButton);
    QMenu* shown = nullptr;
    const bool opened = QTest::qWaitFor([&] {
        for (QMenu* menu : dlg->findChildren<QMenu*>("deviceMenu"))
            if (menu->isVisible())
                shown = menu;
        return shown != nullptr;
    });
    return opened ? shown : nullptr;
}

QStringList MenuLines(QMenu* menu)
{
    QStringList lines;
    for (QAction* action : menu->actions())
        lines << (action->isChecked() ? "* " : "  ") + action->text();
    return lines;
}

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
    void activationSwitchesSharedArea();
    void videoFramesAndMemberStatusReachTheirViews();
    void deviceResultsShowBoxesAndBringButtonsToTheDevicesState();
    void speakerAndMicrophoneButtonsFollowTheDevices();
    void deviceMenusSwitchAndRememberTheChoice_data();
    void deviceMenusSwitchAndRememberTheChoice();
    void microphoneMeterAndReplacedMicrophoneNotice();
    void endingOrLeavingTheClassAsksOnce();
    void lateBeginLiveAnswerAfterCloseIsIgnored();

private:
    // A room whose class has started as "live.begin" would start it, without the round trip.
    LiveDlg* OpenStartedRoom(const QString& id = "1");

    ServerProcess m_server;
    FakeILive* m_service = nullptr;
};

void TestLiveDlg::initTestCase()
{
    LecternInitResources();
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    SetAppServerUrl(m_server.jsonRpcUrl());
    QVERIFY2(SignIn("teacher01", "123456", &error), qPrintable(error));
}

void TestLiveDlg::cleanup()
{
    DiscardRoom();
    WaitForRequests();
    FakeILive::uninstall();
}

LiveDlg* TestLiveDlg::OpenStartedRoom(const QString& id)
{
    LiveDlg* dlg = OpenRoom(id, 1002);
    LiveDlg::OnAppServer_BeginLiveSuccess(QVariantMap(), dlg);
    return dlg;
}

void TestLiveDlg::localViewFilledAtTabsWidthFromFirstShow()
{
    ilive::SetILiveForTesting(m_service, nullptr); // the shipped render view
    LiveDlg dlg;
    Ui::LiveDlg* ui = dlg.form();
    // Regression: shown at its own size, with no later resize, the view kept a wrong size.
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const int width = ui->tabWidget->width();
    QCOMPARE(dlg.localRender()->size(), QSize(width, width * 3 / 4));
    auto* view = static_cast<RenderRootView*>(dlg.localRender()->rootView());
    QVERIFY(view && view->surface());
    QCOMPARE(view->surface()->geometry(), dlg.localRender()->rect());
}

void TestLiveDlg::startClassOpensShareCameraMicSpeakerInOrder()
{
    LogCapture log;
    LiveDlg* dlg = OpenRoom("1", 1001);
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
    const QRect area(preview->mapToGlobal(QPoint(0, 0)),
        preview->mapToGlobal(QPoint(preview->width(), preview->height())));
    QCOMPARE(QRect(QPoint(m_service->shareLeft, m_service->shareTop),
                 QPoint(m_service->shareRight, m_service->shareBottom)),
        area);
    QCOMPARE(m_service->shareFps, 10u);
    QVERIFY(ui->cameraButton->isChecked() && ui->microPhoneButton->isChecked() && boxes.seen().isEmpty());
}

void TestLiveDlg::failedBeginLiveLeavesNoClassTime()
{
    LiveDlg* dlg = OpenRoom("no-such-live", 1);
    BoxCatcher boxes;
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QVERIFY(WaitForRequests());
    QTRY_VERIFY(!boxes.seen().isEmpty()); // the app server's error box
    QVERIFY(!dlg->isClassStarted() && !m_service->calls.join('\n').contains("openCamera"));
    // A student entering now must not be told that a class is running.
    m_service->sent.clear();
    dlg->BroadcastClassTime();
    QVERIFY(SentCommands(m_service).isEmpty());
}

void TestLiveDlg::activationSwitchesSharedArea()
{
    ActiveFilter filter;
    QEvent deactivate(QEvent::ApplicationDeactivate), activate(QEvent::ApplicationActivate);
    // Away from the window the whole screen is shared; back, only the slide area.
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QVERIFY(!filter.eventFilter(qApp, &deactivate));
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(m_service->calls.last(),
        QStringLiteral("changeScreenShareSize 0 0 %1 %2").arg(screen.width()).arg(screen.height()));
    QVERIFY(!filter.eventFilter(qApp, &activate));
    const QRect area = dlg->PreviewShareRect();
    QCOMPARE(m_service->calls.last(),
        QStringLiteral("changeScreenShareSize %1 %2 %3 %4")
            .arg(area.left())
            .arg(area.top())
            .arg(area.right())
            .arg(area.bottom()));
}

void TestLiveDlg::videoFramesAndMemberStatusReachTheirViews()
{
    SessionRecord()["userId"] = "teacher01";
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    VideoRender* remote = dlg->remoteRender();
    FakeRootView* remoteView = ViewOf(remote);
    FakeRootView* localView = ViewOf(dlg->localRender());
    QVERIFY(remoteView && localView);
    const int shownHeight = dlg->form()->tabWidget->width() * 3 / 4;

    // Listener calls from the service's threads reach the widgets through the event loop.
    m_service->playerOn = true;
    std::thread worker([this] {
        LiveDlg::OnDeviceOperation(ilive::E_OpenPlayer, 0, nullptr);
        m_service->remoteFrame("stu1", ilive::VIDEO_SRC_TYPE_SCREEN); // not for this view
        m_service->remoteFrame("stu1");
        m_service->deliverText(QStringLiteral("stu1"), QStringLiteral("来自另一线程"));
    });
    worker.join();
    QVERIFY(!dlg->form()->volumeButton->isChecked() && dlg->form()->msgListWidget->count() == 0);
    QCOMPARE(remote->maximumHeight(), 0);
    QTRY_VERIFY(dlg->form()->volumeButton->isChecked() && dlg->form()->msgListWidget->count() == 1);
    QTRY_COMPARE(remote->maximumHeight(), shownHeight);
    QCOMPARE(remoteView->framesRendered, 1);
    // Without frames the remote view hides again.
    QTRY_VERIFY_WITH_TIMEOUT(remote->maximumHeight() == 0, 5000);

    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "teacher01", "student03" });
    QVERIFY(localView->boundUser == "teacher01" && remoteView->boundUser == "student03");
    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO, { "student03" });
    QVERIFY(remoteView->boundUser.isEmpty() && localView->boundUser == "teacher01");

    // A hidden window takes no remote frames; local camera frames go to the local view.
    dlg->hide();
    m_service->remoteFrame("stu1");
    QCOMPARE(remoteView->framesRendered, 1);
    m_service->localFrame();
    m_service->localFrame(ilive::VIDEO_SRC_TYPE_SCREEN);
    QCOMPARE(localView->framesRendered, 1);
}

void TestLiveDlg::deviceResultsShowBoxesAndBringButtonsToTheDevicesState()
{
    // A class without a camera: the rest of the start goes on.
    BoxCatcher boxes;
    m_service->cameras.clear();
    LiveDlg* dlg = OpenStartedRoom();
    QTRY_COMPARE(boxes.texts(), QStringList({ "找不到摄像头" }));
    QVERIFY(m_service->micOn && m_service->playerOn && m_service->shareState == 1);
    QTest::mouseClick(dlg->form()->shareButton, Qt::LeftButton);
    QVERIFY(m_service->shareState == 0 && !dlg->form()->shareButton->isChecked());
    LiveDlg::OnDeviceOperation(ilive::E_OpenScreenShare, 77, nullptr);
    QTRY_COMPARE(boxes.seen().size(), 2);
    QVERIFY(boxes.seen()[1].text.contains("打开屏幕分享失败.") && boxes.seen()[1].text.contains("77"));
    QVERIFY(boxes.seen()[1].title == "Error" && boxes.seen()[1].parent == dlg);

    // Every result, also one no handler knows, brings the buttons to the service's state.
    boxes.clear();
    m_service->playerOn = true;
    LiveDlg::OnDeviceOperation(ilive::E_OpenExternalCapture, 0, nullptr);
    QVERIFY(dlg->form()->volumeButton->isChecked());
    m_service->playerOn = false;
    LiveDlg::OnDeviceOperation(static_cast<ilive::E_DeviceOperationType>(99), 5, nullptr);
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
    speaker->slider()->setValue(70);
    QCOMPARE(m_service->playerVolume, 70u);
    QTest::mouseClick(speaker, Qt::LeftButton);
    QVERIFY(!m_service->playerOn && !speaker->isChecked() && !speaker->popup()->isVisible());

    // Regression: a device that fails to open, has nothing to open, or no list left the button on.
    BoxCatcher boxes;
    m_service->deviceResult = 9;
    QTest::mouseClick(speaker, Qt::LeftButton);
    QTRY_COMPARE(boxes.texts(), QStringList({ "打开扬声器失败" }));
    QVERIFY(!speaker->isChecked() && !speaker->popup()->isVisible());
    m_service->deviceResult = 0;
    m_service->mics.clear();
    QTest::mouseClick(mic, Qt::LeftButton);
    QVERIFY(!m_service->calls.join('\n').contains("openMic"));
    QVERIFY(!mic->isChecked() && !mic->popup()->isVisible());
    m_service->listResult = 5;
    QTest::mouseClick(speaker, Qt::LeftButton);
    QTRY_COMPARE(boxes.seen().size(), 2);
    QVERIFY(boxes.seen()[1].text.contains("获取扬声器失败") && boxes.seen()[1].text.contains("5"));
    QVERIFY(!speaker->isChecked() && !speaker->popup()->isVisible());
}

void TestLiveDlg::deviceMenusSwitchAndRememberTheChoice_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("open");
    QTest::addColumn<QString>("key");
    QTest::newRow("speaker") << int(LiveDlg::SpeakerDevice) << "openPlayer"
                             << "device/speaker";
    QTest::newRow("microphone") << int(LiveDlg::MicDevice) << "openMic"
                                << "device/microphone";
    QTest::newRow("camera") << int(LiveDlg::CameraDevice) << "openCamera"
                            << "device/camera";
}

void TestLiveDlg::deviceMenusSwitchAndRememberTheChoice()
{
    QFETCH(int, kind);
    QFETCH(QString, open);
    QFETCH(QString, key);
    GetSettings()->remove(key);
    const QList<QPair<QString, QString>> two { { "dev0", "Default device" }, { "dev1", "Headset" } };
    auto setList = [&](const QList<QPair<QString, QString>>& list) {
        (kind == LiveDlg::SpeakerDevice      ? m_service->players
                : kind == LiveDlg::MicDevice ? m_service->mics
                                             : m_service->cameras)
            = list;
    };
    setList(two);
    auto triangleOf = [&](LiveDlg* dlg) {
        Ui::LiveDlg* ui = dlg->form();
        return kind == LiveDlg::SpeakerDevice ? ui->triangle1
            : kind == LiveDlg::MicDevice      ? ui->triangle2
                                              : ui->triangle3;
    };
    auto opened = [&] { return m_service->calls.filter(QRegularExpression("^" + open + " ")); };

    // Class start opens the first, the system's default; the menu lists both, that one marked.
    LiveDlg* dlg = OpenStartedRoom();
    QCOMPARE(opened(), QStringList({ open + " dev0" }));
    QMenu* menu = OpenDeviceMenu(dlg, triangleOf(dlg));
    QVERIFY(menu);
    QCOMPARE(MenuLines(menu), QStringList({ "* Default device", "  Headset" }));
    // Choosing switches the open device at once and remembers the choice.
    menu->actions().at(1)->trigger();
    QCOMPARE(opened(), QStringList({ open + " dev0", open + " dev1" }));
    QCOMPARE(GetSettings()->value(key).toString(), QStringLiteral("dev1"));
    menu = OpenDeviceMenu(dlg, triangleOf(dlg));
    QVERIFY(menu);
    QCOMPARE(MenuLines(menu), QStringList({ "  Default device", "* Headset" }));
    menu->close();

    // The next class (a restart of the client reads the same "setting") opens the choice.
    DiscardRoom();
    m_service->calls.clear();
    dlg = OpenStartedRoom();
    QCOMPARE(opened(), QStringList({ open + " dev1" }));

    // Gone since: the default, and the log says why.
    DiscardRoom();
    m_service->calls.clear();
    setList({ two.first() });
    LogCapture log;
    dlg = OpenStartedRoom();
    QCOMPARE(opened(), QStringList({ open + " dev0" }));
    QVERIFY2(log.contains("dev1 is not there; using the default dev0"), qPrintable(log.lines().join('\n')));
}

void TestLiveDlg::microphoneMeterAndReplacedMicrophoneNotice()
{
    m_service->mics = { { "mic0", "Microphone" }, { "mic1", "USB microphone" } };
    LiveDlg* dlg = OpenStartedRoom();
    Ui::LiveDlg* ui = dlg->form();
    QVERIFY(!ui->deviceNoticeLabel->isVisible());
    // The meter follows what the microphone sends, and lies flat when it is closed.
    m_service->micLevel = -6.0;
    QTRY_COMPARE(ui->micLevelBar->value(), 90);
    m_service->micLevel = -200.0;
    QTRY_COMPARE(ui->micLevelBar->value(), 0);
    m_service->micLevel = -30.0;
    QTRY_COMPARE(ui->micLevelBar->value(), 50);
    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);
    QVERIFY(!m_service->micOn);
    QTRY_COMPARE(ui->micLevelBar->value(), 0);
    QTest::mouseClick(ui->microPhoneButton, Qt::LeftButton);

    // The microphone in use went away: a notice in the tool bar, no box, and the menu marks the
    // device the sound comes from now.
    BoxCatcher boxes;
    QVERIFY(m_service->deviceChange);
    m_service->curMic = "mic1";
    m_service->deviceChange(ilive::E_MicReplaced, "mic1", m_service->deviceChangeData);
    QTRY_VERIFY(ui->deviceNoticeLabel->isVisible());
    QCOMPARE(ui->deviceNoticeLabel->text(), QStringLiteral("麦克风已断开，已切换到USB microphone"));
    // One line of text, not a box as tall as the tool bar.
    QTRY_VERIFY2(ui->deviceNoticeLabel->height() <= ui->deviceNoticeLabel->sizeHint().height(),
        qPrintable(QString::number(ui->deviceNoticeLabel->height())));
    QVERIFY(boxes.seen().isEmpty());
    QMenu* menu = OpenDeviceMenu(dlg, ui->triangle2);
    QVERIFY(menu);
    QCOMPARE(MenuLines(menu), QStringList({ "  Microphone", "* USB microphone" }));
    menu->close();
}

void TestLiveDlg::endingOrLeavingTheClassAsksOnce()
{
    LogCapture log;
    LiveDlg* dlg = OpenStartedRoom("3");
    QPointer<LiveDlg> guard(dlg);
    BoxCatcher boxes(QMessageBox::No);
    // "No" at the start button keeps the class going.
    QTest::mouseClick(dlg->form()->startButton, Qt::LeftButton);
    QVERIFY(boxes.seen().size() == 1 && dlg->isVisible() && dlg->isClassStarted());
    // Cancel at closing keeps the window and the class.
    boxes.setAnswer(QMessageBox::Cancel);
    QVERIFY(!dlg->close());
    QVERIFY(boxes.seen()[1].text == "是否下课？"
        && boxes.seen()[1].buttons == (QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel));
    QVERIFY(dlg->isVisible() && g_liveDlg == dlg && !m_service->calls.contains("quitRoom"));

    // No leaves the room without ending the live, and tells the lobby to come back.
    m_service->sent.clear();
    boxes.setAnswer(QMessageBox::No);
    QSignalSpy closed(dlg, &LiveDlg::closed);
    QVERIFY(dlg->close());
    QVERIFY(g_liveDlg == nullptr && m_service->shareState == 0 && !m_service->cameraOn);
    QCOMPARE(m_service->calls.last(), QStringLiteral("quitRoom"));
    QCOMPARE(SentCommands(m_service), Commands({ { 4, "" } }));
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(closed.count(), 1);
    QVERIFY(WaitForRequests());
    QVERIFY(log.contains("live.quit.room") && !log.contains("live.end"));

    // "Yes" at the start button ends the live and leaves the room, without asking again.
    log.clear();
    guard = OpenStartedRoom("3");
    boxes.clear();
    boxes.setAnswer(QMessageBox::Yes);
    m_service->sent.clear();
    m_service->calls.clear();
    QTest::mouseClick(guard->form()->startButton, Qt::LeftButton);
    QCOMPARE(boxes.seen().size(), 1);
    QTRY_VERIFY(guard.isNull());
    QCOMPARE(SentCommands(m_service), Commands({ { 6, "" } }));
    QCOMPARE(m_service->calls.count("quitRoom"), 1);
    QVERIFY(WaitForRequests());
    QVERIFY(log.count("live.end") == 1 && !log.contains("live.quit.room"));
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
    LogCapture log;
    m_service->memberStatus(ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO, { "student03" });
    QVERIFY(log.contains("OnMemStatusChange:g_liveDlg not init"));
    // Deleting an open room without closing it also clears the pointer.
    delete OpenRoom("1", 1);
    QCOMPARE(g_liveDlg, nullptr);
}

QTEST_MAIN(TestLiveDlg)
#include "tst_livedlg.moc"
