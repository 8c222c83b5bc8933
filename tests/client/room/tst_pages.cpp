#include "FakeILive.h"
#include "shell/AppFolders.h"
#include "RoomTestKit.h"
#include "remote/AppServer.h"
#include "room/LiveDlg.h"
#include "room/PageItem.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "slides/PowerPointTool.h"
#include "ui_LiveDlg.h"
#include "ui_PageItem.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

using namespace roomkit;

namespace {
// A file to choose; with no office suite the converter reports a failure on it.
QString writeBogusDocument(const QString& path)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("PK this is not a presentation");
    return path;
}

// Counts the times a window is hidden.
class HideCounter : public QObject {
public:
    int hides = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Hide)
            ++hides;
        return false;
    }
};
} // namespace

class TestPages : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openDocumentWaitsOnTopThenSlidesBecomePagesEachWithItsOwnDrawing();
    void conversionOfClosedRoomStaysOutOfNextRoom();
    void openingCanvasAndBlankPageStayWithTheirLiveAndSurviveClosing_regression();

private:
    // Chooses path in the room's open dialog.
    bool chooseDocument(LiveDlg* dlg, const QString& path);
    QStringList makeSlides(int count, const QString& tag);
    PageItem* pageAt(LiveDlg* dlg, int row) const;
    void drawStroke(RenderArea* area, QPoint from, QPoint to);

    QTemporaryDir m_dir;
    QTemporaryDir m_appFolder;
    ServerProcess m_server;
    FakeILive* m_service = nullptr;
};

void TestPages::initTestCase()
{
    LecternInitResources();
    QVERIFY(m_dir.isValid() && m_appFolder.isValid());
    // Whiteboard files of these tests go to a folder of their own.
    // No suite there either: conversions fail, the tests hand over the images.
    SetAppFolders(m_appFolder.path(), m_appFolder.path());
    // The room asks for its members when shown: our own server answers, so no error box comes.
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    SetAppServerUrl(m_server.jsonRpcUrl());
    QVERIFY2(SignIn("teacher01", "123456", &error), qPrintable(error));
}

void TestPages::init()
{
    m_service = InstallService();
}

void TestPages::cleanup()
{
    DiscardRoom();
    HideWaiting();
    WaitForRequests();
    FakeILive::uninstall();
}

bool TestPages::chooseDocument(LiveDlg* dlg, const QString& path)
{
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        seen = true;
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->accept();
    });
    QTest::mouseClick(dlg->form()->openButton, Qt::LeftButton);
    return seen;
}

QStringList TestPages::makeSlides(int count, const QString& tag)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        QImage image(1280, 720, QImage::Format_RGB32);
        image.fill(QColor::fromHsv((i * 70) % 360, 120, 230));
        const QString path
            = m_dir.filePath(QStringLiteral("%1_%2.png").arg(tag).arg(i + 1, 3, 10, QChar('0')));
        image.save(path);
        paths << path;
    }
    return paths;
}

PageItem* TestPages::pageAt(LiveDlg* dlg, int row) const
{
    QListWidget* list = dlg->form()->imageListWidget;
    return qobject_cast<PageItem*>(list->itemWidget(list->item(row)));
}

void TestPages::drawStroke(RenderArea* area, QPoint from, QPoint to)
{
    QTest::mousePress(area, Qt::LeftButton, Qt::NoModifier, from);
    for (int i = 1; i <= 5; ++i) {
        QMouseEvent move(
            QEvent::MouseMove, from + (to - from) * i / 5, Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(area, &move);
    }
    QTest::mouseRelease(area, Qt::LeftButton, Qt::NoModifier, to);
}

void TestPages::openDocumentWaitsOnTopThenSlidesBecomePagesEachWithItsOwnDrawing()
{
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    Ui::LiveDlg* ui = dlg->form();
    // Any app-server answer ends the shared waiting indicator: let the member list come first.
    QVERIFY(WaitForRequests());
    // A blank page before any document; the first slide shown unchecks it.
    QTest::mouseClick(ui->blankPageButton, Qt::LeftButton);
    QCOMPARE(dlg->renderArea()->fileName(), HashFilePath("live:1") + "blank.json");
    QVERIFY(ui->blankPageButton->isChecked() && !ui->previewLabel->pixmap(Qt::ReturnByValue).isNull());
    for (const QString& slide : makeSlides(2, "earlier"))
        dlg->OnNewSlide(slide);
    QVERIFY(!ui->blankPageButton->isChecked());
    // After a real click on a page, the blank page unselects it.
    ui->imageListWidget->setCurrentRow(1);
    QTest::mouseClick(ui->blankPageButton, Qt::LeftButton);
    QVERIFY(ui->blankPageButton->isChecked() && ui->imageListWidget->currentRow() == -1);
    BoxCatcher boxes;
    const QString doc = writeBogusDocument(m_dir.filePath("lesson.pptx"));

    bool sawWaiting = false, sawOnTop = false, sawEmptyList = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        sawWaiting |= CurrentWaitingSpinner() != nullptr;
        // What the window system is told, not only what the widget remembers.
        sawOnTop |= (dlg->windowFlags() & Qt::WindowStaysOnTopHint)
            && (dlg->windowHandle()->flags() & Qt::WindowStaysOnTopHint);
        sawEmptyList |= ui->imageListWidget->count() == 0;
    });
    probe.start(5);
    HideCounter hides;
    dlg->installEventFilter(&hides);
    QVERIFY(chooseDocument(dlg, doc));
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts() == QStringList({ "无法打开文件" }), 30000);
    probe.stop();
    QVERIFY(sawWaiting && sawOnTop && sawEmptyList);
    QTRY_VERIFY(!CurrentWaitingSpinner());
    QVERIFY(!(dlg->windowHandle()->flags() & Qt::WindowStaysOnTopHint));
    // Regression: going on top and back hid the window for a moment.
    QCOMPARE(hides.hides, 0);
    QVERIFY(dlg->isVisible() && dlg->isMaximized() && dlg->isEnabled());
    dlg->removeEventFilter(&hides);

    // The first image is shown at once, without becoming the list's current row; later ones only add rows.
    const QStringList slides = makeSlides(3, "lesson");
    for (const QString& slide : slides)
        emit PowerPointTool::GetInstance()->NewSlides(slide);
    QCOMPARE(ui->imageListWidget->count(), 3);
    QCOMPARE(ui->imageListWidget->currentRow(), -1);
    QVERIFY(!ui->previewLabel->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(pageAt(dlg, 2)->form()->nameLabel->text(), QStringLiteral("3"));
    QVERIFY(!pageAt(dlg, 2)->form()->imageLabel->pixmap(Qt::ReturnByValue).isNull());
    RenderArea* area = dlg->renderArea();
    QCOMPARE(area->fileName(), HashFilePath(doc) + "0.json");
    dlg->SelectTool(Rectangle);
    drawStroke(area, QPoint(40, 40), QPoint(160, 140));

    // Each page keeps its own drawing; the clear tool empties only the page in view.
    ui->imageListWidget->setCurrentRow(2);
    QCOMPARE(area->fileName(), HashFilePath(doc) + "2.json");
    QCOMPARE(area->shapes().size(), 0);
    dlg->SelectTool(Pen);
    drawStroke(area, QPoint(50, 50), QPoint(200, 120));
    ui->imageListWidget->setCurrentRow(1);
    drawStroke(area, QPoint(80, 80), QPoint(90, 300));
    ui->imageListWidget->setCurrentRow(2);
    QCOMPARE(area->shapes().size(), 1);
    dlg->SelectTool(Clear);
    QVERIFY(area->shapes().isEmpty() && area->instrumentType() == Pen);
    ui->imageListWidget->setCurrentRow(1);
    QCOMPARE(area->shapes().size(), 1);

    // Same document again: the list empties, the surface keeps its page until the first image,
    // which brings page 1's drawing back from disk.
    QVERIFY(chooseDocument(dlg, doc));
    QCOMPARE(ui->imageListWidget->count(), 0);
    QCOMPARE(area->shapes().size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(boxes.texts().size() == 2, 30000);
    emit PowerPointTool::GetInstance()->NewSlides(slides[0]);
    QCOMPARE(area->fileName(), HashFilePath(doc) + "0.json");
    QCOMPARE(area->shapes().size(), 1);
    QVERIFY(QFile::exists(QDir(PainterStorage::storagePath()).filePath(HashFilePath(doc) + "0.json")));
}

void TestPages::conversionOfClosedRoomStaysOutOfNextRoom()
{
    LiveDlg* first = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(first));
    QVERIFY(WaitForRequests());
    const QString doc = writeBogusDocument(m_dir.filePath("left behind.pptx"));
    QVERIFY(chooseDocument(first, doc));
    // The teacher leaves before the converter has come to an end.
    DiscardRoom();
    HideWaiting();

    LiveDlg* next = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(next));
    QVERIFY(WaitForRequests());
    BoxCatcher boxes;
    // The failure of the old conversion comes on its next tick; late images as well.
    QTest::qWait(1500);
    for (const QString& slide : makeSlides(2, "late"))
        emit PowerPointTool::GetInstance()->NewSlides(slide);
    QVERIFY(boxes.seen().isEmpty());
    QCOMPARE(next->form()->imageListWidget->count(), 0);
    QCOMPARE(next->renderArea()->fileName(), HashFilePath("live:1") + "opening.json");
    QVERIFY(next->isEnabled());
}

void TestPages::openingCanvasAndBlankPageStayWithTheirLiveAndSurviveClosing_regression()
{
    // Drawn on entering live 1, with a text still being typed when the teacher closes the room.
    BoxCatcher boxes;
    LiveDlg* dlg = OpenRoom("1", 1);
    QVERIFY(QTest::qWaitForWindowExposed(dlg));
    QVERIFY(WaitForRequests());
    dlg->SelectTool(Pen);
    drawStroke(dlg->renderArea(), QPoint(40, 40), QPoint(160, 140));
    dlg->SelectTool(Text);
    QTest::mouseClick(dlg->renderArea(), Qt::LeftButton, Qt::NoModifier, QPoint(60, 220));
    dlg->renderArea()->textEditor()->setText(QStringLiteral("未完"));
    QPointer<LiveDlg> closing(dlg);
    QVERIFY(dlg->close());
    QTRY_VERIFY(!closing);
    // The blank page before any document, in the same live.
    dlg = OpenRoom("1", 1);
    QVERIFY(WaitForRequests());
    QCOMPARE(dlg->renderArea()->shapes().size(), 2);
    QCOMPARE(dlg->renderArea()->shapes()[1]->textContent(), QStringLiteral("未完"));
    QTest::mouseClick(dlg->form()->blankPageButton, Qt::LeftButton);
    QVERIFY(dlg->renderArea()->shapes().isEmpty());
    dlg->SelectTool(Rectangle);
    drawStroke(dlg->renderArea(), QPoint(50, 50), QPoint(150, 150));
    closing = dlg;
    QVERIFY(dlg->close());
    QTRY_VERIFY(!closing);

    // Another live sees none of it.
    dlg = OpenRoom("2", 2);
    QVERIFY(WaitForRequests());
    QVERIFY(dlg->renderArea()->shapes().isEmpty());
    QTest::mouseClick(dlg->form()->blankPageButton, Qt::LeftButton);
    QVERIFY(dlg->renderArea()->shapes().isEmpty());
    DiscardRoom();

    dlg = OpenRoom("1", 1);
    QVERIFY(WaitForRequests());
    QCOMPARE(dlg->renderArea()->shapes().size(), 2);
    QTest::mouseClick(dlg->form()->blankPageButton, Qt::LeftButton);
    QCOMPARE(dlg->renderArea()->shapes().size(), 1);
    QCOMPARE(dlg->renderArea()->shapes()[0]->name(), QStringLiteral("RectangleShape"));
}

QTEST_MAIN(TestPages)
#include "tst_pages.moc"
