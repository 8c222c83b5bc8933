#include "FakeILive.h"
#include "room/HoverButton.h"
#include "room/VideoRender.h"
#include "whiteboard/AutoClosePopup.h"

#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QSlider>
#include <QVBoxLayout>
#include <QtTest>

namespace {
// Records the order in which the service's view is torn down.
QStringList g_viewEvents;

class RecordingView : public FakeRootView {
public:
    void uninit() override
    {
        g_viewEvents << "uninit";
        FakeRootView::uninit();
    }
    void destroy() override
    {
        g_viewEvents << "destroy";
        FakeRootView::destroy();
    }
};

ilive::iLiveRootView* createRecordingView()
{
    auto* view = new RecordingView;
    FakeRootView::all().append(view);
    return view;
}
} // namespace

class TestVideoRender : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void viewCreatedOnFirstShowAndBoundWithOptions();
    void viewReleasedAfterUninitOnDestruction();
    void doubleClickTwiceReturnsToLayoutSlotAndGeometry();
    void clearViewLeavesFullScreen();
    void fullScreenViewGoesWithItsWindow();
    void hoverButtonSliderAndPopup();
    void hoverButtonUncheckedByHandlerShowsNoPopup();
};

void TestVideoRender::init()
{
    FakeILive::install();
    g_viewEvents.clear();
}

void TestVideoRender::cleanup()
{
    FakeILive::uninstall();
}

void TestVideoRender::viewCreatedOnFirstShowAndBoundWithOptions()
{
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    auto* render = new VideoRender(&host);
    layout->addWidget(render);

    // Nothing exists to bind to before the first show.
    render->BindView("early", ilive::VIDEO_SRC_TYPE_CAMERA);
    render->ClearView();
    QVERIFY(FakeRootView::all().isEmpty());
    QVERIFY(render->boundUserId().isEmpty());

    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    QCOMPARE(FakeRootView::all().size(), 1);
    FakeRootView* view = FakeRootView::all().first();
    QCOMPARE(view->window, uintptr_t(render->winId()));
    QCOMPARE(view->background, 0xFF000000u);

    // Hiding and showing again keeps the one view and sets the colour again.
    view->background = 0;
    host.hide();
    host.show();
    QCOMPARE(FakeRootView::all().size(), 1);
    QCOMPARE(view->background, 0xFF000000u);

    render->BindView("stu1", ilive::VIDEO_SRC_TYPE_CAMERA);
    QCOMPARE(view->boundUser, QString("stu1"));
    QCOMPARE(view->boundSrc, int(ilive::VIDEO_SRC_TYPE_CAMERA));
    QCOMPARE(int(view->boundView.mode), 2);
    QCOMPARE(view->boundView.exclusive, true);
    QCOMPARE(view->boundView.rect.left, 0);
    QCOMPARE(view->boundView.rect.right, 0);
    QCOMPARE(view->boundView.rect.bottom, 0);
    QCOMPARE(view->boundView.zOrder, 5);
    QCOMPARE(render->boundUserId(), QString("stu1"));

    FakeILive::instance()->remoteVideoListener = nullptr;
    ilive::LiveVideoFrame frame;
    render->doRender(&frame);
    render->doRender(&frame);
    QCOMPARE(view->framesRendered, 2);

    render->ClearView();
    QCOMPARE(view->removeAllCalls, 1);
    QVERIFY(view->boundUser.isEmpty());
    QVERIFY(render->boundUserId().isEmpty());
}

void TestVideoRender::viewReleasedAfterUninitOnDestruction()
{
    ilive::SetILiveForTesting(FakeILive::instance(), createRecordingView);
    {
        VideoRender render;
        render.show();
        QCOMPARE(FakeRootView::all().size(), 1);
    }
    QCOMPARE(g_viewEvents, QStringList({ "uninit", "destroy" }));
    QVERIFY(FakeRootView::all().isEmpty());

    // A view that was never shown has nothing to release.
    g_viewEvents.clear();
    { VideoRender never; }
    QVERIFY(g_viewEvents.isEmpty());
}

void TestVideoRender::doubleClickTwiceReturnsToLayoutSlotAndGeometry()
{
    QWidget host;
    host.resize(320, 480);
    auto* layout = new QVBoxLayout(&host);
    layout->addWidget(new QLabel("above", &host));
    auto* render = new VideoRender(&host);
    render->setFixedSize(300, 225);
    layout->addWidget(render);
    layout->addWidget(new QLabel("below", &host));
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const QRect before = render->geometry();
    const int slot = layout->indexOf(render);
    QCOMPARE(slot, 1);

    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(render->isFullScreenView());
    QVERIFY(render->isWindow());
    QCOMPARE(render->parentWidget(), nullptr);
    QVERIFY(render->windowState() & Qt::WindowFullScreen);
    QCOMPARE(layout->indexOf(render), -1);

    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(!render->isFullScreenView());
    QCOMPARE(render->parentWidget(), &host);
    QVERIFY(!render->isWindow());
    QVERIFY(render->isVisible());
    QCOMPARE(layout->indexOf(render), slot);
    QCOMPARE(render->geometry(), before);
    // The layout still places it where it was after the next pass.
    layout->activate();
    QCOMPARE(render->geometry(), before);
    QCOMPARE(render->size(), QSize(300, 225));
}

void TestVideoRender::clearViewLeavesFullScreen()
{
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    auto* render = new VideoRender(&host);
    layout->addWidget(render);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    render->BindView("stu2", ilive::VIDEO_SRC_TYPE_CAMERA);
    render->ToggleFullScreen();
    QVERIFY(render->isWindow());

    render->ClearView();
    QVERIFY(!render->isFullScreenView());
    QCOMPARE(render->parentWidget(), &host);
    QCOMPARE(layout->indexOf(render), 0);
    QVERIFY(render->boundUserId().isEmpty());
}

void TestVideoRender::fullScreenViewGoesWithItsWindow()
{
    auto* host = new QWidget;
    auto* layout = new QVBoxLayout(host);
    QPointer<VideoRender> render = new VideoRender(host);
    layout->addWidget(render);
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));

    // Full screen, back, and full screen again when the window goes away.
    render->ToggleFullScreen();
    render->ToggleFullScreen();
    render->ToggleFullScreen();
    QVERIFY(render->isWindow());
    delete host;
    QTRY_VERIFY(render.isNull());
    QVERIFY(FakeRootView::all().isEmpty());
}

void TestVideoRender::hoverButtonSliderAndPopup()
{
    QWidget bar;
    bar.resize(200, 200);
    auto* button = new HoverButton(&bar);
    button->setGeometry(80, 150, 30, 30);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));

    QSlider* slider = button->slider();
    QCOMPARE(slider->orientation(), Qt::Vertical);
    QCOMPARE(slider->value(), 50);
    QCOMPARE(slider->minimum(), 0);
    QCOMPARE(slider->maximum(), 99);
    QVERIFY(slider->styleSheet().startsWith("QSlider::groove {\nborder: 1px solid #bbb;"));
    QVERIFY(slider->styleSheet().endsWith("margin-right: -4px;\nborder-radius: 6px;\n}\n"));
    QCOMPARE(button->popup()->styleSheet(), QString("background:#0A0B0D"));
    QVERIFY(button->popup()->isWindow());

    // Hovering an unchecked button shows nothing.
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(button, &enter);
    QVERIFY(!button->popup()->isVisible());

    QSignalSpy spy(button, &HoverButton::checkChanged);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QVERIFY(button->isChecked());
    QVERIFY(button->popup()->isVisible());
    const QSize hint = button->popup()->sizeHint();
    QCOMPARE(button->popup()->pos(), button->mapToGlobal(QPoint((button->width() - hint.width()) / 2, -hint.height())));

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 2);
    QVERIFY(!button->isChecked());
    QVERIFY(!button->popup()->isVisible());

    // A checked button shows its slider again on hover, and it closes by itself.
    button->setChecked(true);
    QApplication::sendEvent(button, &enter);
    QVERIFY(button->popup()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!button->popup()->isVisible(), 3000);
}

void TestVideoRender::hoverButtonUncheckedByHandlerShowsNoPopup()
{
    HoverButton button;
    button.show();
    // As the room does when the device refuses: the handler puts the button back.
    connect(&button, &HoverButton::checkChanged, &button, [&button] { button.setChecked(false); });
    QTest::mouseClick(&button, Qt::LeftButton);
    QVERIFY(!button.isChecked());
    QVERIFY(!button.popup()->isVisible());
}

QTEST_MAIN(TestVideoRender)
#include "tst_videorender.moc"
