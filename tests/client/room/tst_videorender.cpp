#include "FakeILive.h"
#include "room/VideoRender.h"

#include <QLabel>
#include <QPointer>
#include <QVBoxLayout>
#include <QtTest>

namespace {
// Records the order in which the service's view is torn down.
QStringList g_viewEvents;

class RecordingView : public FakeRootView {
public:
    void uninit() override { g_viewEvents << "uninit"; }
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
    void fullScreenReturnsToLayoutSlotAndGoesWithItsWindow();
};

void TestVideoRender::viewCreatedOnFirstShowBoundAndReleasedAfterUninit()
{
    g_viewEvents.clear();
    ilive::SetILiveForTesting(FakeILive::instance(), []() -> ilive::iLiveRootView* {
        auto* view = new RecordingView;
        FakeRootView::all().append(view);
        return view;
    });
    {
        QWidget host;
        auto* render = new VideoRender(&host);
        (new QVBoxLayout(&host))->addWidget(render);
        render->BindView("early", ilive::VIDEO_SRC_TYPE_CAMERA); // nothing to bind to before the first show
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        host.hide();
        host.show();
        QCOMPARE(FakeRootView::all().size(), 1); // showing again keeps the one view
        FakeRootView* view = FakeRootView::all().first();

        render->BindView("stu1", ilive::VIDEO_SRC_TYPE_CAMERA);
        QVERIFY(view->boundUser == "stu1" && view->boundView.exclusive);
        ilive::LiveVideoFrame frame;
        render->doRender(&frame);
        QCOMPARE(view->framesRendered, 1);
        render->ClearView();
        QVERIFY(view->removeAllCalls == 1 && view->boundUser.isEmpty() && render->boundUserId().isEmpty());
        QVERIFY(g_viewEvents.isEmpty());
    }
    QCOMPARE(g_viewEvents, QStringList({ "uninit", "destroy" }));
    QVERIFY(FakeRootView::all().isEmpty());
}

void TestVideoRender::fullScreenReturnsToLayoutSlotAndGoesWithItsWindow()
{
    auto* host = new QWidget;
    auto* layout = new QVBoxLayout(host);
    QPointer<VideoRender> render = new VideoRender(host);
    render->setFixedSize(300, 225);
    layout->addWidget(new QLabel("above"));
    layout->addWidget(render);
    layout->addWidget(new QLabel("below"));
    host->show();
    QVERIFY(QTest::qWaitForWindowExposed(host));
    const QRect before = render->geometry();

    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(
        render->isFullScreenView() && render->isWindow() && (render->windowState() & Qt::WindowFullScreen));
    QTest::mouseDClick(render, Qt::LeftButton);
    QVERIFY(!render->isWindow() && render->isVisible() && layout->indexOf(render) == 1);
    layout->activate();
    QCOMPARE(render->geometry(), before);

    // Clearing the view brings a full-screen view home too.
    render->ToggleFullScreen();
    render->ClearView();
    QVERIFY(!render->isFullScreenView() && layout->indexOf(render) == 1);

    // Regression: a full-screen view outlived the window it came from.
    render->ToggleFullScreen();
    QVERIFY(render->isWindow());
    delete host;
    QTRY_VERIFY(render.isNull());
    QVERIFY(FakeRootView::all().isEmpty());
}

QTEST_MAIN(TestVideoRender)
#include "tst_videorender.moc"
