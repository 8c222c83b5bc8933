#include "whiteboard/PaintSettings.h"
#include "whiteboard/painterstorage.h"
#include "whiteboard/renderarea.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void press(QWidget* w, QPoint p, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mousePress(w, button, Qt::NoModifier, p);
}

void move(QWidget* w, QPoint p, Qt::MouseButtons buttons = Qt::LeftButton)
{
    QMouseEvent event(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void release(QWidget* w, QPoint p, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseRelease(w, button, Qt::NoModifier, p);
}

void drag(QWidget* w, QPoint from, QPoint to, int steps = 5)
{
    press(w, from);
    for (int i = 1; i <= steps; ++i)
        move(w, from + (to - from) * i / steps);
    release(w, to);
}

QImage render(QWidget* w, QColor background)
{
    QImage image(w->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    w->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

// What the teacher must see: every shape painted in order, straight onto the background.
QImage reference(RenderArea& area, QColor background)
{
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    for (const auto& shape : area.shapes())
        shape->draw(&painter, 1.0f);
    return image;
}

QJsonArray savedShapes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object().value("shapes").toArray();
}

} // namespace

class TestRenderArea : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void drawingToolsKeepOnlyRealShapes();
    void eraserPicksTopmostWithinTolerance();
    void eraserBandIsStrict();
    void moveToolSelectsAndDrags();
    void clearAndPageSwitchSaveRules();
    void textEditorFinishesText();
    void pressElsewhereKeepsTypedText_regression();
    void finishAfterClearRemovesOnlyCurrentShape_regression();
    void pageSwitchKeepsDegenerateShapesFromFile_regression();
    void cachedPaintingMatchesDirectPainting();
    void draggingRepaintsOnlyWhatMoved();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RenderArea> m_area;
    QString storageFile(const QString& name) const { return m_dir->path() + "/storage/" + name; }
};

void TestRenderArea::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    PainterStorage::setApplicationFolder(m_dir->path());
    PenSettings::reset();
    FontSettings::reset();
    m_area = std::make_unique<RenderArea>();
    m_area->resize(400, 300);
    m_area->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_area.get()));
}

void TestRenderArea::cleanup()
{
    m_area.reset();
    PainterStorage::setApplicationFolder(QString());
    m_dir.reset();
}

void TestRenderArea::drawingToolsKeepOnlyRealShapes()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Pen);
    press(&area, {50, 50});
    release(&area, {50, 50});
    QVERIFY2(area.shapes().isEmpty(), "a single click is no stroke");

    PenSettings::setColor("#00A9CC");
    PenSettings::setSize(2);
    drag(&area, {10, 10}, {60, 40});
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->name(), QStringLiteral("CurveShape"));
    QCOMPARE(area.shapes()[0]->points().size(), 6);
    QCOMPARE(area.shapes()[0]->pen().color(), QColor("#00A9CC"));
    QCOMPARE(area.shapes()[0]->pen().width(), 5);

    // The right button draws as well; moves without the left button held do nothing.
    press(&area, {100, 100}, Qt::RightButton);
    move(&area, {120, 120}, Qt::RightButton);
    release(&area, {120, 120}, Qt::RightButton);
    QCOMPARE(area.shapes().size(), 1);

    area.setInstrumentType(Rectangle);
    drag(&area, {100, 100}, {200, 100});
    QCOMPARE(area.shapes().size(), 1);
    drag(&area, {100, 100}, {180, 160});
    QCOMPARE(area.shapes().size(), 2);
    QCOMPARE(area.shapes()[1]->points(), (QVector<QPointF>{{100, 100}, {180, 160}}));

    area.setInstrumentType(Arrow);
    press(&area, {300, 200});
    release(&area, {300, 200});
    QCOMPARE(area.shapes().size(), 3);
    drag(&area, {300, 50}, {350, 80});
    QCOMPARE(area.shapes().size(), 4);
    QCOMPARE(area.shapes()[3]->name(), QStringLiteral("ArrowShape"));
    QCOMPARE(area.shapes()[3]->points(), (QVector<QPointF>{{300, 50}, {350, 80}}));

    area.setInstrumentType(None);
    drag(&area, {0, 0}, {100, 100});
    area.setInstrumentType(Pointer);
    QCOMPARE(area.cursor().shape(), Qt::PointingHandCursor);
    drag(&area, {0, 0}, {100, 100});
    QCOMPARE(area.shapes().size(), 4);
    area.setInstrumentType(Pen);
    QCOMPARE(area.cursor().shape(), Qt::ArrowCursor);
}

void TestRenderArea::eraserPicksTopmostWithinTolerance()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Pen);
    drag(&area, {20, 100}, {220, 100});
    area.setInstrumentType(Eraser);
    press(&area, {120, 104});
    release(&area, {120, 104});
    QCOMPARE(area.shapes().size(), 1);
    press(&area, {120, 103});
    release(&area, {120, 103});
    QVERIFY(area.shapes().isEmpty());

    area.setInstrumentType(Rectangle);
    drag(&area, {50, 50}, {150, 150});
    area.setInstrumentType(Pen);
    drag(&area, {40, 100}, {160, 100});
    const auto bottom = area.shapes()[0];
    area.setInstrumentType(Eraser);
    press(&area, {100, 100});
    release(&area, {100, 100});
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0], bottom);
}

void TestRenderArea::eraserBandIsStrict()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Rectangle);
    drag(&area, {100, 100}, {150, 150});
    drag(&area, {200, 100}, {250, 150});
    area.setInstrumentType(Eraser);
    press(&area, {10, 10});
    release(&area, {10, 10});
    QCOMPARE(area.shapes().size(), 2);

    // The band's edge touches the second rectangle: only the first lies strictly inside.
    drag(&area, {90, 90}, {250, 160});
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->points()[0], QPointF(200, 100));
}

void TestRenderArea::moveToolSelectsAndDrags()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Rectangle);
    drag(&area, {20, 20}, {60, 60});
    drag(&area, {100, 20}, {140, 60});
    drag(&area, {250, 200}, {300, 250});
    const auto a = area.shapes()[0];
    const auto b = area.shapes()[1];
    const auto c = area.shapes()[2];

    area.setInstrumentType(Move);
    drag(&area, {10, 10}, {150, 70});
    QCOMPARE(area.pickedShapes(), (ShapeList{a, b}));

    // Dragging a picked shape moves the whole selection.
    drag(&area, {40, 20}, {50, 30});
    QCOMPARE(a->points()[0], QPointF(30, 30));
    QCOMPARE(b->points()[0], QPointF(110, 30));
    QCOMPARE(c->points()[0], QPointF(250, 200));

    // Another tool chosen and Move chosen again: the selection only survives the latter.
    area.setInstrumentType(Move);
    QCOMPARE(area.pickedShapes().size(), 2);

    // An unpicked shape replaces the selection.
    drag(&area, {250, 225}, {240, 215});
    QCOMPARE(area.pickedShapes(), ShapeList{c});
    QCOMPARE(c->points()[0], QPointF(240, 190));
    QCOMPARE(a->points()[0], QPointF(30, 30));

    // The right button empties the selection first, then picks; it drags nothing.
    drag(&area, {10, 10}, {160, 80});
    QCOMPARE(area.pickedShapes().size(), 2);
    press(&area, {30, 50}, Qt::RightButton);
    move(&area, {0, 0}, Qt::RightButton);
    release(&area, {0, 0}, Qt::RightButton);
    QCOMPARE(area.pickedShapes(), ShapeList{a});
    QCOMPARE(a->points()[0], QPointF(30, 30));
    // A press on empty space empties it.
    press(&area, {200, 20});
    release(&area, {200, 20});
    QVERIFY(area.pickedShapes().isEmpty());

    drag(&area, {10, 10}, {160, 80});
    area.setInstrumentType(Eraser);
    QVERIFY(area.pickedShapes().isEmpty());
}

void TestRenderArea::clearAndPageSwitchSaveRules()
{
    RenderArea& area = *m_area;
    area.setFileName("empty.json");
    area.setFileName("page1.json");
    QVERIFY2(!QFile::exists(storageFile("empty.json")), "nothing to save on an empty page");

    area.setInstrumentType(Pen);
    drag(&area, {10, 10}, {80, 80});
    drag(&area, {100, 10}, {180, 80});
    area.setInstrumentType(Pointer);
    QCOMPARE(savedShapes(storageFile("page1.json")).size(), 2);

    area.setInstrumentType(Pen);
    area.clearDrawing();
    QVERIFY(area.shapes().isEmpty());
    QCOMPARE(area.instrumentType(), Pen);
    QCOMPARE(savedShapes(storageFile("page1.json")).size(), 2);

    // Leaving the page saves it (now empty); coming back loads what was saved.
    area.setFileName("page2.json");
    QCOMPARE(savedShapes(storageFile("page1.json")).size(), 0);
    drag(&area, {10, 10}, {30, 30});
    area.setFileName("page1.json");
    QVERIFY(area.shapes().isEmpty());
    QCOMPARE(area.fileName(), QStringLiteral("page1.json"));
    area.setFileName("page2.json");
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->points().first(), QPointF(10, 10));
}

void TestRenderArea::textEditorFinishesText()
{
    RenderArea& area = *m_area;
    area.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&area));
    FontSettings::setColor("#FF6599");
    FontSettings::setFontSize(16);
    area.setInstrumentType(Text);
    press(&area, {50, 120});
    release(&area, {50, 120});
    QLineEdit* editor = area.textEditor();
    QVERIFY(editor && editor->isVisible());
    QCOMPARE(editor->geometry().bottomLeft() + QPoint(0, 1), QPoint(50, 120));
    QVERIFY(editor->styleSheet().endsWith("color:#FF6599"));
    QCOMPARE(editor->font().pointSize(), 16);
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
    press(&area, {50, 200});
    release(&area, {50, 200});
    QTRY_VERIFY(editor->hasFocus());
    QTest::keyClicks(editor, QStringLiteral("de"));
    editor->clearFocus();
    QVERIFY(editor->isHidden());
    QCOMPARE(area.shapes().size(), 2);

    // Nothing typed: no shape.
    press(&area, {200, 200});
    release(&area, {200, 200});
    QTest::keyClick(editor, Qt::Key_Return);
    QCOMPARE(area.shapes().size(), 2);

    // The editor of a page goes when the page changes; a new one comes with the next text.
    area.setFileName("other.json");
    QVERIFY(!area.textEditor());
    press(&area, {20, 40});
    release(&area, {20, 40});
    QVERIFY(area.textEditor() && area.textEditor() != editor);
}

void TestRenderArea::pressElsewhereKeepsTypedText_regression()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Text);
    press(&area, {50, 120});
    release(&area, {50, 120});
    area.textEditor()->setText(QStringLiteral("第一行"));
    press(&area, {50, 200});
    release(&area, {50, 200});
    QCOMPARE(area.shapes().size(), 2);
    QCOMPARE(static_cast<TextShape*>(area.shapes()[0].get())->text(), QStringLiteral("第一行"));
    QVERIFY(area.textEditor()->isVisible());
    QVERIFY(area.textEditor()->text().isEmpty());

    // Switching to another tool and drawing keeps it too, and the arrow is drawn.
    area.textEditor()->setText(QStringLiteral("second"));
    area.setInstrumentType(Arrow);
    drag(&area, {200, 50}, {300, 60});
    QCOMPARE(area.shapes().size(), 3);
    QCOMPARE(area.shapes()[1]->name(), QStringLiteral("TextShape"));
    QCOMPARE(area.shapes()[2]->name(), QStringLiteral("ArrowShape"));

    // A page left while typing keeps what was typed, and an unfinished text is never saved.
    area.setFileName("a.json");
    area.setInstrumentType(Text);
    press(&area, {10, 280});
    release(&area, {10, 280});
    area.textEditor()->setText(QStringLiteral("keep me"));
    area.setFileName("b.json");
    const QJsonArray page = savedShapes(storageFile("a.json"));
    QCOMPARE(page.size(), 1);
    QCOMPARE(page[0].toObject().value("text").toString(), QStringLiteral("keep me"));
}

void TestRenderArea::finishAfterClearRemovesOnlyCurrentShape_regression()
{
    RenderArea& area = *m_area;
    area.setInstrumentType(Text);
    press(&area, {50, 120});
    release(&area, {50, 120});
    area.clearDrawing();
    area.setInstrumentType(Pen);
    drag(&area, {10, 10}, {60, 60});
    QCOMPARE(area.shapes().size(), 1);
    // The pending text is no longer in the drawing: finishing it must not take the stroke.
    area.textEditor()->setText(QStringLiteral("late"));
    area.editingFinished();
    QCOMPARE(area.shapes().size(), 1);
    QCOMPARE(area.shapes()[0]->name(), QStringLiteral("CurveShape"));
}

void TestRenderArea::pageSwitchKeepsDegenerateShapesFromFile_regression()
{
    // Shapes the tools would never finish can still come from a file: a one-point stroke, a flat
    // rectangle (painted as a line). Leaving the page must write them back, not drop them.
    PainterStorage file;
    auto record = [](const QString& name, QVector<QPointF> points) {
        ShapeRecord r;
        r.name = name;
        r.points = points;
        r.penColor = Qt::red;
        r.penWidth = 3;
        return r;
    };
    file.records = {record("CurveShape", {{5, 5}}), record("RectangleShape", {{10, 40}, {90, 40}}),
                    record("ArrowShape", {{1, 1}, {50, 60}})};
    QVERIFY(file.save("odd.json"));

    RenderArea& area = *m_area;
    area.setFileName("odd.json");
    QCOMPARE(area.shapes().size(), 3);
    area.setInstrumentType(Text);
    press(&area, {200, 200});
    release(&area, {200, 200});
    area.setFileName("next.json");
    PainterStorage reread;
    QVERIFY(reread.load("odd.json"));
    QCOMPARE(reread.records.size(), 3);
    QCOMPARE(reread.records[0].points, QVector<QPointF>{QPointF(5, 5)});
    QCOMPARE(reread.records[1].name, QStringLiteral("RectangleShape"));

    // A surface hidden while the teacher types still keeps the text when the page changes.
    press(&area, {30, 100});
    release(&area, {30, 100});
    area.textEditor()->setText(QStringLiteral("隐藏"));
    area.hide();
    area.setFileName("odd.json");
    const QJsonArray next = savedShapes(storageFile("next.json"));
    QCOMPARE(next.size(), 1);
    QCOMPARE(next[0].toObject().value("text").toString(), QStringLiteral("隐藏"));
}

void TestRenderArea::cachedPaintingMatchesDirectPainting()
{
    RenderArea& area = *m_area;
    QVERIFY(area.layerCacheEnabled());
    // The same widget painted with its layer and without it, over a clear, a white and a
    // coloured slide; over a clear one it must also equal every shape painted in order.
    auto check = [&](const char* step) {
        const QColor backgrounds[] = {Qt::transparent, Qt::white, QColor(30, 120, 200)};
        for (const QColor& background : backgrounds) {
            const QImage cached = render(&area, background);
            area.setLayerCacheEnabled(false);
            const QImage direct = render(&area, background);
            area.setLayerCacheEnabled(true);
            if (cached != direct)
                QFAIL(qPrintable(QStringLiteral("cached painting differs: %1 over %2")
                                     .arg(step, background.name(QColor::HexArgb))));
        }
        if (render(&area, Qt::transparent) != reference(area, Qt::transparent))
            QFAIL(qPrintable(QStringLiteral("painting differs from the shapes in order: %1").arg(step)));
    };

    area.setInstrumentType(Pen);
    for (int i = 0; i < 12; ++i) {
        PenSettings::setSize(i % 3);
        PenSettings::setColor(PaintPalette()[i % PaintPalette().size()]);
        drag(&area, {10 + i * 25, 20}, {60 + i * 20, 200 - i * 7}, 7);
        check("strokes");
    }
    area.setInstrumentType(Rectangle);
    drag(&area, {30, 30}, {200, 150});
    area.setInstrumentType(Arrow);
    drag(&area, {300, 250}, {120, 60});
    area.setInstrumentType(Text);
    press(&area, {40, 260});
    release(&area, {40, 260});
    area.textEditor()->setText(QStringLiteral("Lectern 板书"));
    area.editingFinished();
    check("every kind");

    // A stroke in progress over the cached layer.
    area.setInstrumentType(Pen);
    press(&area, {5, 5});
    for (int i = 1; i < 20; ++i) {
        move(&area, {5 + i * 15, 5 + (i % 4) * 20});
        check("stroke in progress");
    }
    release(&area, {300, 65});
    check("stroke finished");

    // A selection dragged from the middle of the drawing.
    area.setInstrumentType(Move);
    press(&area, {115, 90});
    QVERIFY(!area.pickedShapes().isEmpty());
    for (int i = 1; i < 5; ++i) {
        move(&area, {115 + i * 7, 90 + i * 3});
        check("dragging");
    }
    release(&area, {143, 102});
    check("dragged");

    area.setInstrumentType(Eraser);
    press(&area, {115 + 28, 102});
    release(&area, {115 + 28, 102});
    check("erased");
    drag(&area, {-50, -50}, {600, 600});
    QVERIFY(area.shapes().isEmpty());
    check("band erased");

    area.setInstrumentType(Pen);
    drag(&area, {10, 10}, {100, 100});
    area.resize(500, 350);
    check("resized");
    area.clearDrawing();
    check("cleared");
    if (QTest::currentTestFailed())
        return;

    // On screen a pen move repaints only the new piece of the stroke; the window then shows
    // what one full paint shows.
    area.setInstrumentType(Rectangle);
    drag(&area, {20, 20}, {300, 200});
    area.setInstrumentType(Pen);
    PenSettings::setSize(2);
    QApplication::processEvents();
    press(&area, {40, 40});
    QApplication::processEvents();
    for (int i = 1; i < 60; ++i) {
        move(&area, {40 + (i * 37) % 300, 40 + (i * 53) % 220});
        QApplication::processEvents();
    }
    const QImage screen = area.screen()->grabWindow(area.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QImage whole = render(&area, area.palette().color(QPalette::Window)).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(screen.size(), whole.size());
    QVERIFY2(screen == whole, "the pieces repainted on screen differ from a full paint");
    release(&area, {40, 40});
}

void TestRenderArea::draggingRepaintsOnlyWhatMoved()
{
    // A page whose shapes paint beyond their frames: a rotated and stretched rectangle from a file
    // (its frame is that of the unrotated points), a shrunken text (its glyphs keep their size),
    // a wide arrow head; a rectangle at the bottom and strokes over everything.
    PainterStorage file;
    auto record = [](const QString& name, QVector<QPointF> points, int width) {
        ShapeRecord r;
        r.name = name;
        r.points = points;
        r.penColor = QColor(20 * width, 90, 160);
        r.penWidth = width;
        return r;
    };
    ShapeRecord rotated = record("RectangleShape", {{150, 40}, {260, 120}}, 4);
    rotated.rotation = 35;
    rotated.scaleX = 1.6f;
    rotated.scaleY = 0.7f;
    ShapeRecord text = record("TextShape", {{60, 230}}, 1);
    text.text = QStringLiteral("gjpqy 板书 Descent");
    text.fontSize = 20;
    text.scaleX = text.scaleY = 0.4f;
    // An arrow's head is painted at its stored end, however its line is scaled and turned.
    ShapeRecord shrunkArrow = record("ArrowShape", {{200, 280}, {390, 170}}, 3);
    shrunkArrow.scaleX = shrunkArrow.scaleY = 0.3f;
    shrunkArrow.rotation = 50;
    file.records = {record("RectangleShape", {{20, 20}, {120, 90}}, 5), rotated, text,
                    record("ArrowShape", {{330, 260}, {250, 200}}, 5), shrunkArrow};
    for (int i = 0; i < 12; ++i)
        file.records.append(record("CurveShape", {{40.0 + i * 25, 10}, {60.0 + i * 20, 150}, {30.0 + i * 28, 290}}, 1 + i % 5));
    // Measured as rich text but painted as plain text: the box is tiny, the painted line is not.
    ShapeRecord markup = record("TextShape", {{30, 200}}, 1);
    markup.text = QStringLiteral("<p style=\"font-size:1pt\">tiny box, wide line</p>");
    markup.fontSize = 14;
    markup.scaleX = markup.scaleY = 1;
    file.records.append(markup);
    QVERIFY(file.save("busy.json"));

    RenderArea& area = *m_area;
    area.setFileName("busy.json");
    QCOMPARE(area.shapes().size(), 18);
    area.setInstrumentType(Move);
    QApplication::processEvents();
    const QImage screenBefore = area.screen()->grabWindow(area.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    QVERIFY(screenBefore == render(&area, area.palette().color(QPalette::Window)).convertToFormat(QImage::Format_RGB32));

    // A point where the shape is the one picked: near it and away from everything above it.
    auto grip = [&](int index) {
        for (int y = 2; y < area.height(); y += 2) {
            for (int x = 2; x < area.width(); x += 2) {
                const QPointF p(x, y);
                if (area.shapes()[index]->distanceTo(p) >= 1)
                    continue;
                bool covered = false;
                for (int above = index + 1; above < area.shapes().size() && !covered; ++above)
                    covered = area.shapes()[above]->distanceTo(p) < 6;
                if (!covered)
                    return QPoint(x, y);
            }
        }
        return QPoint(-1, -1);
    };
    for (int index : {0, 1, 2, 3, 4, 17}) {
        const auto target = area.shapes()[index];
        const QPoint from = grip(index);
        QVERIFY2(from.x() >= 0, qPrintable(QStringLiteral("no grip on shape %1").arg(index)));
        QApplication::processEvents();
        press(&area, from);
        QCOMPARE(area.pickedShapes(), ShapeList{target});
        QApplication::processEvents();
        // Away from where the shape was, so that nothing but its own old extent clears it.
        const int sideways = from.x() < area.width() / 2 ? 9 : -9;
        for (int step = 1; step <= 12; ++step) {
            move(&area, from + QPoint(step * sideways, (step % 4) * 11 - step * 3));
            QApplication::processEvents();
        }
        const QImage screen = area.screen()->grabWindow(area.winId()).toImage().convertToFormat(QImage::Format_RGB32);
        const QImage whole = render(&area, area.palette().color(QPalette::Window)).convertToFormat(QImage::Format_RGB32);
        if (screen != whole) {
            QRect box;
            for (int y = 0; y < screen.height(); ++y) {
                for (int x = 0; x < screen.width(); ++x) {
                    if (screen.pixel(x, y) != whole.pixel(x, y))
                        box |= QRect(x, y, 1, 1);
                }
            }
            QFAIL(qPrintable(QStringLiteral("dragging shape %1 left the screen unlike a full paint in %2,%3 %4x%5")
                                 .arg(index)
                                 .arg(box.x())
                                 .arg(box.y())
                                 .arg(box.width())
                                 .arg(box.height())));
        }
        release(&area, from + QPoint(108, -36));
        QApplication::processEvents();
    }
}

QTEST_MAIN(TestRenderArea)
#include "tst_renderarea.moc"
