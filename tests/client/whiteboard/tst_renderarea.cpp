#include "shell/AppFolders.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/PaintSettings.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include "BoardTestKit.h"

#include <QGridLayout>
#include <QRadioButton>
#include <QApplication>
#include <QLineEdit>
#include <QScreen>
#include <QTemporaryDir>
#include <QMessageBox>
#include <QtTest>

namespace {

void press(QWidget* w, QPoint p)
{
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, p);
}

void click(QWidget* w, QPoint p)
{
    QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, p);
}

QImage render(QWidget* w, QColor background)
{
    QImage image(w->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    w->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// The pieces repainted on screen so far must add up to what one full paint shows.
bool screenMatchesFullPaint(QWidget* w)
{
    QApplication::processEvents();
    const QImage screen = w->screen()->grabWindow(w->winId()).toImage();
    const QImage whole = render(w, w->palette().color(QPalette::Window));
    return screen.convertToFormat(QImage::Format_RGB32) == whole.convertToFormat(QImage::Format_RGB32);
}

// Painted through the cached layer and without it, over a clear and over a coloured slide.
bool cacheMatchesDirect(RenderArea* area)
{
    for (const QColor& background : { QColor(Qt::transparent), QColor(30, 120, 200) }) {
        const QImage cached = render(area, background);
        area->setLayerCacheEnabled(false);
        const QImage direct = render(area, background);
        area->setLayerCacheEnabled(true);
        if (cached != direct)
            return false;
    }
    return true;
}

QVector<ShapeRecord> saved(const QString& name)
{
    // Pages are written in the background.
    WaitForPageFiles();
    PainterStorage storage;
    storage.load(name);
    return storage.records;
}

} // namespace

class TestRenderArea : public QObject {
    Q_OBJECT
private slots:
    void init();
    void drawingToolsKeepOnlyRealShapes();
    void eraserTakesWhatTheBandHolds();
    void moveToolSelectsAndDrags();
    void typedTextIsKeptOnEveryWayOut_regression();
    void pageSwitchKeepsDegenerateShapesAndTypedText_regression();
    void partialRepaintsAndCachedLayerMatchFullPaint_regression();
    void enterInTextBoxConfirmsTheTextWithoutReachingTheWindow_regression();
    void firstStrokeAfterChoosingPenIsNotSwallowedByTheClosingPopup_regression();
    void laserTrailFadesAndIsNeverSaved();
    void boxOpenedMidStrokeCouldNotGetThePointer_regression();

    void cleanup();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RenderArea> m_area;
};

void TestRenderArea::cleanup()
{
    m_area.reset();
    WaitForPageFiles();
}

void TestRenderArea::init()
{
    m_area.reset();
    m_dir = std::make_unique<QTemporaryDir>();
    SetAppFolders(m_dir->path(), m_dir->path());
    PenSettings::reset();
    FontSettings::reset();
    m_area = std::make_unique<RenderArea>();
    m_area->resize(400, 300);
    m_area->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_area.get()));
}

void TestRenderArea::drawingToolsKeepOnlyRealShapes()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Pen);
    click(&area, { 50, 50 });
    QVERIFY2(area.shapes().isEmpty(), "a single click is no stroke");
    PenSettings::setColor("#00A9CC");
    PenSettings::setSize(2);
    drag(&area, { 10, 10 }, { 60, 40 });
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->points().size(), 6);
    QCOMPARE(area.shapes()[0]->pen(), QPen(QColor("#00A9CC"), 5));

    // A flat rectangle is no shape; a clicked arrow stays as a dot.
    area.setInstrumentType(Rectangle);
    drag(&area, { 100, 100 }, { 200, 100 });
    drag(&area, { 100, 100 }, { 180, 160 });
    QCOMPARE(area.shapes()[1]->points(), (QVector<QPointF> { { 100, 100 }, { 180, 160 } }));
    area.setInstrumentType(Arrow);
    click(&area, { 300, 200 });
    drag(&area, { 300, 50 }, { 350, 80 });
    QCOMPARE(area.shapes().size(), 4);
    QCOMPARE(area.shapes()[3]->name(), QStringLiteral("ArrowShape"));
}

void TestRenderArea::eraserTakesWhatTheBandHolds()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Rectangle);
    drag(&area, { 100, 100 }, { 150, 150 });
    drag(&area, { 200, 100 }, { 250, 150 });
    area.setInstrumentType(Eraser);
    // The band's edge touches the second rectangle: only the first lies strictly inside.
    drag(&area, { 90, 90 }, { 250, 160 });
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->points()[0], QPointF(200, 100));
}

void TestRenderArea::moveToolSelectsAndDrags()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Rectangle);
    drag(&area, { 20, 20 }, { 60, 60 });
    drag(&area, { 100, 20 }, { 140, 60 });
    drag(&area, { 250, 200 }, { 300, 250 });
    const auto a = area.shapes()[0];
    const auto b = area.shapes()[1];
    const auto c = area.shapes()[2];

    area.setInstrumentType(Move);
    drag(&area, { 10, 10 }, { 150, 70 });
    QCOMPARE(area.pickedShapes(), (ShapeList { a, b }));
    // Dragging a picked shape moves the whole selection; an unpicked one replaces it.
    drag(&area, { 40, 20 }, { 50, 30 });
    // The page holds moved copies; the shapes as they were stay for undo.
    QCOMPARE(area.shapes()[0]->points()[0], QPointF(30, 30));
    QCOMPARE(area.shapes()[1]->points()[0], QPointF(110, 30));
    QCOMPARE(a->points()[0], QPointF(20, 20));
    QCOMPARE(area.pickedShapes(), (ShapeList { area.shapes()[0], area.shapes()[1] }));
    drag(&area, { 250, 225 }, { 240, 215 });
    QCOMPARE(area.pickedShapes(), ShapeList { area.shapes()[2] });
    QCOMPARE(area.shapes()[2]->points()[0], QPointF(240, 190));
    QCOMPARE(c->points()[0], QPointF(250, 200));
}

void TestRenderArea::typedTextIsKeptOnEveryWayOut_regression()
{
    RenderArea& area = *m_area;
    area.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&area));
    FontSettings::setColor("#FF6599");
    FontSettings::setFontSize(16);
    area.setInstrumentType(Text);
    click(&area, { 50, 120 });
    QLineEdit* editor = area.textEditor();
    QVERIFY(editor && editor->isVisible());
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClicks(editor, QStringLiteral("abc"));
    QTest::keyClick(editor, Qt::Key_Return);
    QVERIFY(editor->isHidden());
    QCOMPARE(area.shapes().size(), 1);
    auto* text = static_cast<TextShape*>(area.shapes()[0].get());
    QCOMPARE(text->text(), QStringLiteral("abc"));
    QCOMPARE(text->font().pointSize(), 16);
    QCOMPARE(text->pen().color(), QColor("#FF6599"));
    QCOMPARE(text->pointBounds().bottom, 120.0f);

    // Losing the keyboard focus finishes as well.
    click(&area, { 50, 200 });
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClicks(editor, QStringLiteral("de"));
    editor->clearFocus();
    QVERIFY(editor->isHidden());
    QCOMPARE(area.shapes().size(), 2);

    // A press elsewhere, or another tool, finishes what was typed instead of dropping it.
    click(&area, { 50, 250 });
    editor->setText(QStringLiteral("第一行"));
    click(&area, { 200, 250 });
    QVERIFY(editor->isVisible() && editor->text().isEmpty());
    editor->setText(QStringLiteral("second"));
    area.setInstrumentType(Arrow);
    drag(&area, { 200, 50 }, { 300, 60 });
    QCOMPARE(area.shapes().size(), 5);
    QCOMPARE(static_cast<TextShape*>(area.shapes()[2].get())->text(), QStringLiteral("第一行"));
    QCOMPARE(static_cast<TextShape*>(area.shapes()[3].get())->text(), QStringLiteral("second"));

    // A text pending when the page was cleared must not take the next stroke when it finishes.
    area.setInstrumentType(Text);
    click(&area, { 50, 120 });
    area.clearDrawing();
    area.setInstrumentType(Pen);
    drag(&area, { 10, 10 }, { 60, 60 });
    area.textEditor()->setText(QStringLiteral("late"));
    area.editingFinished();
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->name(), QStringLiteral("CurveShape"));
}

void TestRenderArea::pageSwitchKeepsDegenerateShapesAndTypedText_regression()
{
    // Shapes the tools would never finish can still come from a file; leaving the page keeps them.
    PainterStorage file;
    file.records = { record("CurveShape", { { 5, 5 } }), record("RectangleShape", { { 10, 40 }, { 90, 40 } }),
        record("ArrowShape", { { 1, 1 }, { 50, 60 } }) };
    QVERIFY(file.save("odd.json"));
    RenderArea& area = *m_area;
    area.setFileName("empty.json");
    area.setFileName("odd.json");
    QVERIFY2(
        !QFile::exists(PainterStorage::storagePath() + "/empty.json"), "nothing to save on an empty page");
    QCOMPARE(area.shapes().size(), 3);
    area.setInstrumentType(Text);
    click(&area, { 200, 200 });
    area.setFileName("next.json");
    const QVector<ShapeRecord> odd = saved("odd.json");
    QCOMPARE(odd.size(), 3);
    QCOMPARE(odd[0].points, QVector<QPointF> { QPointF(5, 5) });
    QCOMPARE(odd[1].name, QStringLiteral("RectangleShape"));

    // A surface hidden while the teacher types still keeps the text when the page changes.
    click(&area, { 30, 100 });
    area.textEditor()->setText(QStringLiteral("隐藏"));
    area.hide();
    area.setFileName("odd.json");
    const QVector<ShapeRecord> next = saved("next.json");
    QCOMPARE(next.size(), 1);
    QCOMPARE(next[0].text, QStringLiteral("隐藏"));
    // A cleared page is saved cleared.
    area.clearDrawing();
    area.setFileName("next.json");
    QVERIFY(saved("odd.json").isEmpty());
}

void TestRenderArea::partialRepaintsAndCachedLayerMatchFullPaint_regression()
{
    // Shapes that paint beyond their frames: a turned, stretched rectangle, a shrunken text and arrow
    // (glyphs and head keep their size), a text measured as rich but painted as plain; strokes over all.
    auto text = [](QPointF at, const QString& words, int fontSize, float scale) {
        ShapeRecord r = record("TextShape", { at }, 1, 0, scale, scale);
        r.text = words;
        r.fontSize = fontSize;
        return r;
    };
    PainterStorage file;
    file.records = { record("RectangleShape", { { 20, 20 }, { 120, 90 } }, 5),
        record("RectangleShape", { { 150, 40 }, { 260, 120 } }, 4, 35, 1.6f, 0.7f),
        text({ 60, 230 }, QStringLiteral("gjpqy 板书 Descent"), 20, 0.4f),
        record("ArrowShape", { { 330, 260 }, { 250, 200 } }, 5),
        record("ArrowShape", { { 200, 280 }, { 390, 170 } }, 3, 50, 0.3f, 0.3f) };
    for (int i = 0; i < 12; ++i)
        file.records.append(record("CurveShape",
            { { 40.0 + i * 25, 10 }, { 60.0 + i * 20, 150 }, { 30.0 + i * 28, 290 } }, 1 + i % 5));
    file.records.append(
        text({ 30, 200 }, QStringLiteral("<p style=\"font-size:1pt\">tiny box, wide line</p>"), 14, 1));
    QVERIFY(file.save("busy.json"));

    RenderArea& area = *m_area;
    QVERIFY(area.layerCacheEnabled());
    area.setFileName("busy.json");
    QCOMPARE(area.shapes().size(), 18);
    area.setInstrumentType(Move);
    QVERIFY(screenMatchesFullPaint(&area));
    QVERIFY(cacheMatchesDirect(&area));

    // A point where the shape is the one picked: on it and away from everything above it.
    auto grip = [&](int index) {
        for (int y = 2; y < area.height(); y += 2) {
            for (int x = 2; x < area.width(); x += 2) {
                bool free = area.shapes()[index]->distanceTo(QPointF(x, y)) < 1;
                for (int above = index + 1; above < area.shapes().size() && free; ++above)
                    free = area.shapes()[above]->distanceTo(QPointF(x, y)) >= 6;
                if (free)
                    return QPoint(x, y);
            }
        }
        return QPoint(-1, -1);
    };
    for (int index : { 0, 1, 2, 3, 4, 17 }) {
        const QPoint from = grip(index);
        QVERIFY2(from.x() >= 0, qPrintable(QStringLiteral("no grip on shape %1").arg(index)));
        QApplication::processEvents();
        press(&area, from);
        QCOMPARE(area.pickedShapes(), ShapeList { area.shapes()[index] });
        // Away from where the shape was, so that nothing but its own old extent clears it.
        const int sideways = from.x() < area.width() / 2 ? 9 : -9;
        for (int step = 1; step <= 12; ++step) {
            QApplication::processEvents();
            move(&area, from + QPoint(step * sideways, (step % 4) * 11 - step * 3));
        }
        QVERIFY2(screenMatchesFullPaint(&area), qPrintable(QStringLiteral("dragging shape %1").arg(index)));
        QVERIFY2(cacheMatchesDirect(&area), "dragging");
        QTest::mouseRelease(&area, Qt::LeftButton, Qt::NoModifier, from + QPoint(108, -36));
        QVERIFY2(cacheMatchesDirect(&area), "dragged");
    }

    // A pen stroke over the page repaints only its new pieces.
    area.setInstrumentType(Pen);
    PenSettings::setSize(2);
    press(&area, { 40, 40 });
    for (int i = 1; i < 60; ++i) {
        QApplication::processEvents();
        move(&area, { 40 + (i * 37) % 300, 40 + (i * 53) % 220 });
    }
    QVERIFY2(screenMatchesFullPaint(&area), "a stroke in progress");
    QVERIFY2(cacheMatchesDirect(&area), "a stroke in progress");
    QTest::mouseRelease(&area, Qt::LeftButton, Qt::NoModifier, { 40, 40 });
    area.clearDrawing();
    QVERIFY2(cacheMatchesDirect(&area), "cleared");
}

namespace {

// The room window: Enter anywhere in it sends the chat draft.
class EnterSink : public QWidget {
public:
    int enters = 0;

protected:
    void keyPressEvent(QKeyEvent* event) override
    {
        if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
            ++enters;
    }
};

int redPixels(const QImage& image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            count += c.red() > 180 && c.green() < 80 && c.blue() < 80;
        }
    }
    return count;
}

} // namespace

void TestRenderArea::enterInTextBoxConfirmsTheTextWithoutReachingTheWindow_regression()
{
    m_area.reset();
    EnterSink window;
    auto* area = new RenderArea(&window);
    area->resize(300, 200);
    window.resize(300, 200);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    area->setInstrumentType(Text);
    click(area, { 40, 100 });
    QLineEdit* editor = area->textEditor();
    QTRY_VERIFY(editor && editor->hasFocus());
    editor->insert(QStringLiteral("板书"));
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(area->shapes().size(), 1);
    QCOMPARE(area->shapes()[0]->textContent(), QStringLiteral("板书"));
    QCOMPARE(window.enters, 0);
    // Enter elsewhere still reaches the window.
    QTest::keyClick(&window, Qt::Key_Return);
    QCOMPARE(window.enters, 1);
}

void TestRenderArea::firstStrokeAfterChoosingPenIsNotSwallowedByTheClosingPopup_regression()
{
    // The board with the tool bar over its bottom left, as in the room.
    m_area.reset();
    QWidget window;
    auto* grid = new QGridLayout(&window);
    grid->setContentsMargins(0, 0, 0, 0);
    auto* area = new RenderArea;
    auto* bar = new PaintToolBar;
    grid->addWidget(area, 0, 0);
    grid->addWidget(bar, 0, 0, Qt::AlignBottom | Qt::AlignLeft);
    connect(bar, &PaintToolBar::SelectTool, area, &RenderArea::setInstrumentType);
    window.resize(640, 480);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (int attempt = 0; attempt < 2; ++attempt) {
        QTest::mouseClick(bar->button(Pen), Qt::LeftButton);
        QTRY_VERIFY(QApplication::activePopupWidget());
        // The press that closes the popup is the start of the stroke.
        QWindow* handle = window.windowHandle();
        const QPoint from(100 + attempt * 200, 60);
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, from);
        QTRY_VERIFY(!QApplication::activePopupWidget());
        for (int i = 1; i <= 5; ++i)
            QTest::mouseMove(handle, from + QPoint(i * 10, i * 8));
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, from + QPoint(50, 40));
        QTRY_COMPARE(area->shapes().size(), attempt + 1);
        QCOMPARE(area->shapes().last()->points().first(), QPointF(from));
    }
}

void TestRenderArea::laserTrailFadesAndIsNeverSaved()
{
    RenderArea& area = *m_area;
    area.setFileName(QStringLiteral("laser.json"));
    area.setInstrumentType(Laser);
    QCOMPARE(area.cursor().shape(), Qt::CrossCursor);
    drag(&area, { 40, 40 }, { 300, 200 });
    QVERIFY(area.laserPoints() > 0);
    QVERIFY2(redPixels(render(&area, Qt::white)) > 100, "the trail is drawn in red");
    QTRY_COMPARE_WITH_TIMEOUT(area.laserPoints(), 0, 1500);
    QCOMPARE(redPixels(render(&area, Qt::white)), 0);
    QVERIFY(area.shapes().isEmpty() && !area.canUndo());
    area.setFileName(QStringLiteral("other.json"));
    WaitForPageFiles();
    QVERIFY(!QFile::exists(PainterStorage::storagePath() + "/laser.json"));
    QVERIFY(!QFile::exists(PageStore::journalPath("laser.json")));
}

void TestRenderArea::boxOpenedMidStrokeCouldNotGetThePointer_regression()
{
    m_area->show();
    QVERIFY(QTest::qWaitForWindowActive(m_area.get()));
    QTest::mousePress(m_area.get(), Qt::LeftButton, Qt::NoModifier, QPoint(40, 40));
    QCOMPARE(QWidget::mouseGrabber(), m_area.get());
    // Closing the room mid-stroke asks its question while the button is still down.
    QMessageBox box(QMessageBox::Question, QStringLiteral("确认"), QStringLiteral("是否下课？"),
        QMessageBox::Yes | QMessageBox::No);
    box.show();
    box.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&box));
    QTRY_VERIFY(QWidget::mouseGrabber() == nullptr);
}

QTEST_MAIN(TestRenderArea)
#include "tst_renderarea.moc"
