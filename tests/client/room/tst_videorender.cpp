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
} // namespace

class TestVideoRender : public QObject {
    Q_OBJECT
private slots:
    void init() { FakeILive::install(); }
    void cleanup() { FakeILive::uninstall(); }
    void viewCreatedOnFirstShowBoundAndReleasedAfterUninit();
    void fullScreenReturnsToLayoutSlotAndGeometry();
    void fullScreenViewGoesWithItsWindow();
    void hoverButtonSliderAndPopup();
};

void TestVideoRender::viewCreatedOnFirstShowBoundAndReleasedAfterUninit()
{
    g_viewEvents.clear();
    ilive::SetILiveForTesting(FakeILive::instance(), [] () -> ilive::iLiveRootView* {
        auto* view = new RecordingView;
        FakeRootView::all().append(view);
        return view;
    });
    {
        QWidget host;
        auto* render = new VideoRender(&host);
        (new QVBoxLayout(&host))->addWidget(render);
        // Nothing exists to bind to before the first show.
        render->BindView("early", ilive::VIDEO_SRC_TYPE_CAMERA);
        render->ClearView();
        QVERIFY(FakeRootView::all().isEmpty());

        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        QCOMPARE(FakeRootView::all().size(), 1);
        FakeRootView* view = FakeRootView::all().first();
        // Showing again keeps the one view and paints it black again.
        view->background = 0;
        host.hide();
        host.show();
        QCOMPARE(FakeRootView::all().size(), 1);
        QCOMPARE(view->background, 0xFF000000u);

        render->BindView("stu1", ilive::VIDEO_SRC_TYPE_CAMERA);
        QVERIFY(view->boundUser == "stu1" && view->boundSrc == int(ilive::VIDEO_SRC_TYPE_CAMERA));
        QVERIFY(view->boundView.exclusive && render->boundUserId() == "stu1");
        ilive::LiveVideoFrame frame;
        render->doRender(&frame);
        QCOMPARE(view->framesRendered, 1);

        render->ClearView();
        QCOMPARE(view->removeAllCalls, 1);
        QVERIFY(view->boundUser.isEmpty() && render->boundUserId().isEmpty());
        QVERIFY(g_viewEvents.isEmpty());
    }
    QCOMPARE(g_viewEvents, QStringList({ "uninit", "destroy" }));
    QVERIFY(FakeRootView::all().isEmpty());

    // A view that was never shown has nothing to release.
    g_viewEvents.clear();
    { VideoRender never; }
    QVERIFY(g_viewEvents.isEmpty());
}

void TestVideoRender::fullScreenReturnsToLayoutSlotAndGeometry()
{
    QWidget host;
    auto* layout = new QVBoxLayout(&host);
    auto* render = new VideoRender(&host);
    render->setFixedSize(300, 225);
    for (QWidget* w : { static_cast<QWidget*>(new QLabel("above")), static_cast<QWidget*>(render), static_cast<QWidget*>(new QLabel("below")) })
        layout->addWidget(w);
    host.show();
    QVERIFY(QTest::qWaitForWindowExposed(&host));
    const QRect before = render->geometry();

    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(render->isFullScreenView() && render->isWindow() && (render->windowState() & Qt::WindowFullScreen));
    QCOMPARE(layout->indexOf(render), -1);

    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(!render->isFullScreenView() && !render->isWindow() && render->isVisible());
    QCOMPARE(render->parentWidget(), &host);
    QCOMPARE(layout->indexOf(render), 1);
    layout->activate();
    QCOMPARE(render->geometry(), before);

    // Clearing the view brings a full-screen view home too.
    render->BindView("stu2", ilive::VIDEO_SRC_TYPE_CAMERA);
    render->ToggleFullScreen();
    QVERIFY(render->isWindow());
    render->ClearView();
    QVERIFY(!render->isFullScreenView());
    QCOMPARE(layout->indexOf(render), 1);
}

void TestVideoRender::fullScreenViewGoesWithItsWindow()
{
    auto* host = new QWidget;
    QPointer<VideoRender> render = new VideoRender(host);
    (new QVBoxLayout(host))->addWidget(render);
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    for (int i = 0; i < 3; ++i)
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
    QCOMPARE(button->slider()->value(), 50);

    // Hovering an unchecked button shows nothing.
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(button, &enter);
    QVERIFY(!button->popup()->isVisible());

    QSignalSpy spy(button, &HoverButton::checkChanged);
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(spy.count() == 1 && button->popup()->isVisible());
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(spy.count() == 2 && !button->popup()->isVisible());

    // A checked button shows its slider again on hover, and it closes by itself.
    button->setChecked(true);
    QApplication::sendEvent(button, &enter);
    QVERIFY(button->popup()->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!button->popup()->isVisible(), 3000);
}

QTEST_MAIN(TestVideoRender)
#include "tst_videorender.moc"
