#include "whiteboard/LayerCache.h"
#include "whiteboard/PageStore.h"
#include "whiteboard/painterstorage.h"

#include "BoardTestKit.h"

#include <QPainter>
#include <QRandomGenerator>
#include <QtTest>

namespace {

constexpr QSize kSize(400, 300);

// Enough overlapping shapes that changes fall both above and below the layer's checkpoint,
// some painting beyond their frames.
ShapeList busyPage()
{
    PainterStorage file;
    for (int i = 0; i < 60; ++i) {
        file.records.append(record(QStringLiteral("CurveShape"),
            { { 20.0 + i * 6, 15 }, { 200.0 - i * 2, 140.0 + i % 7 }, { 30.0 + i * 5, 280 } }, 1 + i % 5));
    }
    file.records.insert(
        10, record(QStringLiteral("RectangleShape"), { { 150, 40 }, { 260, 120 } }, 4, 35, 1.6f, 0.7f));
    file.records.insert(20, record(QStringLiteral("ArrowShape"), { { 330, 260 }, { 250, 200 } }, 5));
    ShapeRecord words = record(QStringLiteral("TextShape"), { { 60, 230 } }, 1);
    words.text = QStringLiteral("gjpqy 板书");
    words.fontSize = 20;
    file.records.insert(30, words);
    return file.getGeneralShape();
}

// shapes[0, count) painted in order in one go, as a paint without the layer does.
QImage paintedAtOnce(const ShapeList& shapes, int count, qreal ratio)
{
    QImage image(kSize * ratio, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (int i = 0; i < count; ++i)
        shapes[i]->draw(&painter, 1.0f);
    return image;
}

std::shared_ptr<GeneralShape> stroke(QPointF from, QPointF to)
{
    auto shape = GeneralShape::create(QStringLiteral("CurveShape"));
    shape->setPen(QPen(QColor(200, 40, 40), 4));
    shape->beginAt(from);
    shape->dragTo((from + to) / 2 + QPointF(15, -10));
    shape->dragTo(to);
    return shape;
}

} // namespace

class TestLayerCache : public QObject {
    Q_OBJECT
private slots:
    void layerPatchedWhereShapesCameOrWentMatchesFullPaint_data();
    void layerPatchedWhereShapesCameOrWentMatchesFullPaint();
    void heavyPagePaintedInPartsMatchesFullPaint_data();
    void heavyPagePaintedInPartsMatchesFullPaint();
};

void TestLayerCache::layerPatchedWhereShapesCameOrWentMatchesFullPaint_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("2x") << 2.0;
    // Areas cannot be patched at a fractional ratio: every change paints the layer anew.
    QTest::newRow("1.5x") << 1.5;
}

void TestLayerCache::layerPatchedWhereShapesCameOrWentMatchesFullPaint()
{
    QFETCH(qreal, ratio);
    ShapeList shapes = busyPage();
    QCOMPARE(shapes.size(), 63);
    const ShapeList original = shapes;
    LayerCache cache(1.0f);
    // The top shape is live (being drawn): the layer holds the ones below it.
    auto step = [&](const char* what, int live) {
        const int count = shapes.size() - live;
        cache.update(shapes, count, kSize, ratio);
        QVERIFY2(cache.layer() == paintedAtOnce(shapes, count, ratio), what);
    };
    step("first paint", 0);
    shapes.append(stroke({ 150, 120 }, { 230, 170 }));
    step("stroke being drawn", 1);
    step("stroke finished", 0);
    shapes.removeLast();
    step("stroke undone", 0);
    // Deep in the page, far below the top: the rectangle, the arrow, the text and a stroke.
    for (int index : { 10, 20, 30, 3 }) {
        const auto shape = shapes.takeAt(index);
        step("erased below the top", 0);
        shapes.insert(index, shape);
        step("erase undone", 0);
        // A move puts a changed copy in its place.
        auto copy = shape->clone();
        copy->translate(QPointF(40, -25));
        shapes[index] = copy;
        step("moved below the top", 0);
        shapes[index] = shape;
        step("move undone", 0);
    }
    // The checkpoint under the top was patched with them: the top comes and goes over it.
    shapes.append(stroke({ 120, 60 }, { 190, 20 }));
    step("stroke after the patches", 0);
    shapes.removeLast();
    step("that stroke undone", 0);
    shapes.clear();
    step("cleared", 0);
    shapes = original;
    step("clear undone", 0);

    // A new size paints anew; a layer painted with the page's read at another size is not taken.
    LoadedPage read;
    read.shapes = shapes;
    read.layer = paintedAtOnce(shapes, shapes.size(), ratio).scaled(kSize / 2);
    cache.adopt(read, kSize, ratio);
    QVERIFY(cache.layer().isNull());
    step("after a read painted at another size", 0);
}

void TestLayerCache::heavyPagePaintedInPartsMatchesFullPaint_data()
{
    QTest::addColumn<qreal>("ratio");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("1.5x") << 1.5;
}

void TestLayerCache::heavyPagePaintedInPartsMatchesFullPaint()
{
    QFETCH(qreal, ratio);
    // Enough points for parts painted side by side, strokes of every colour crossing each other.
    ShapeList shapes;
    QRandomGenerator random(31);
    for (qint64 points = 0; points < LayerCache::kPointsPerPart * 5 / 2; points += 100) {
        if (shapes.size() % 500 == 0) {
            ShapeRecord words
                = record(QStringLiteral("TextShape"), { { 20.0 + shapes.size() / 10, 150 } }, 1);
            words.text = QStringLiteral("板书 %1").arg(shapes.size());
            words.fontSize = 24;
            shapes.append(PainterStorage::shapeFromRecord(words));
        }
        auto shape = GeneralShape::create(QStringLiteral("CurveShape"));
        shape->setPen(QPen(QColor::fromHsv(random.bounded(360), 220, 230), 1 + random.bounded(5)));
        QPointF p(random.bounded(kSize.width()), random.bounded(kSize.height()));
        shape->beginAt(p);
        for (int i = 1; i < 100; ++i) {
            p += QPointF(random.bounded(13) - 6, random.bounded(13) - 6);
            shape->dragTo(p);
        }
        shapes.append(shape);
    }
    QImage parts(kSize * ratio, QImage::Format_ARGB32_Premultiplied);
    parts.setDevicePixelRatio(ratio);
    parts.fill(Qt::transparent);
    LayerCache::paintShapes(parts, shapes, 0, shapes.size(), 1.0f);
    const QImage once = paintedAtOnce(shapes, shapes.size(), ratio);
    // A level or two off where a part's strokes cross an earlier one's, nowhere more.
    int differ = 0;
    int worst = 0;
    for (int y = 0; y < once.height(); ++y) {
        for (int x = 0; x < once.width(); ++x) {
            const QRgb a = parts.pixel(x, y);
            const QRgb b = once.pixel(x, y);
            const int off = std::max({ std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                std::abs(qBlue(a) - qBlue(b)), std::abs(qAlpha(a) - qAlpha(b)) });
            differ += off > 0 ? 1 : 0;
            worst = std::max(worst, off);
        }
    }
    QVERIFY2(worst <= 3 && differ < once.width() * once.height() / 20,
        qPrintable(QStringLiteral("%1 pixels differ, by up to %2").arg(differ).arg(worst)));
}

QTEST_MAIN(TestLayerCache)
#include "tst_layercache.moc"
