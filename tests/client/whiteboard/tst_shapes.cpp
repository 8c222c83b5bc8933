#include "whiteboard/shapes.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>

namespace {

QImage blankImage()
{
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

QImage paint(const QList<GeneralShape*>& shapes)
{
    QImage image = blankImage();
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (GeneralShape* shape : shapes)
        shape->draw(&painter, 1.0f);
    return image;
}

} // namespace

class TestShapes : public QObject {
    Q_OBJECT
private slots:
    void buildingByPointerDropsDegenerateShapes();
    void polylineDistanceAndSegments();
    void rectangleAndTextDistance();
    void frameUnderRotationScaleAndBand();
    void pointsTextRoundTrip();
    void rotatedRectangleLeavesPainterUntouched();
    void arrowHead();
    void textBoxAnchoredBottomLeft();
};

void TestShapes::buildingByPointerDropsDegenerateShapes()
{
    CurveShape click;
    click.beginAt({10, 10});
    QCOMPARE(click.points().size(), 1);
    QVERIFY(click.isEmpty());
    click.dragTo({12, 10});
    QVERIFY(!click.isEmpty());
    click.dragTo({14, 11});
    QCOMPARE(click.points().size(), 3);

    // A rectangle keeps two points; the second one follows the pointer.
    RectangleShape rect;
    rect.beginAt({5, 5});
    rect.dragTo({30, 5});
    rect.dragTo({30, 40});
    QCOMPARE(rect.points().size(), 2);
    QCOMPARE(rect.points()[1], QPointF(30, 40));
    QVERIFY(!rect.isEmpty());
    rect.removeLastPoint();
    rect.addPoint({30, 5});
    QVERIFY2(rect.isEmpty(), "zero height");
    rect.removeLastPoint();
    rect.addPoint({5, 40});
    QVERIFY2(rect.isEmpty(), "zero width");

    ArrowShape arrow;
    arrow.addPoint({7, 7});
    arrow.addPoint({7, 7});
    QVERIFY2(!arrow.isEmpty(), "an arrow of two equal points stays");

    TextShape text;
    text.addPoint({0, 50});
    QVERIFY(text.isEmpty());
    text.setText(QStringLiteral("板书"));
    QVERIFY(!text.isEmpty());

    // removeLastPoint on nothing is harmless.
    CurveShape none;
    none.removeLastPoint();
    QVERIFY(none.points().isEmpty());
}

void TestShapes::polylineDistanceAndSegments()
{
    CurveShape one;
    one.addPoint({3, 3});
    QCOMPARE(one.distanceTo({3, 3}), 10000.0f);

    CurveShape line;
    line.addPoint({0, 0});
    line.addPoint({100, 0});
    line.addPoint({100, 100});
    QCOMPARE(line.distanceTo({50, 3}), 3.0f);
    QCOMPARE(line.distanceTo({103, 50}), 3.0f);
    // Beyond the end the distance is to the end point.
    QCOMPARE(line.distanceTo({-3, -4}), 5.0f);

    // Repeated points (a pointer that did not move) do not poison the result.
    CurveShape still;
    still.addPoint({10, 10});
    still.addPoint({10, 10});
    QCOMPARE(still.distanceTo({13, 14}), 5.0f);
    QCOMPARE(GeneralShape::segmentDistance({0, 5}, {0, 0}, {0, 0}), 5.0f);

    // A scaled and rotated stroke is measured where it is drawn.
    CurveShape turned;
    turned.addPoint({0, 0});
    turned.addPoint({100, 0});
    turned.setRotation(90);
    QVERIFY(std::fabs(turned.distanceTo({50, 50})) < 0.01f);
    QVERIFY(turned.distanceTo({0, 0}) > 40);
    turned.setRotation(0);
    turned.setScale(0.5f);
    QCOMPARE(turned.distanceTo({26, 0}), 0.0f);
    QVERIFY(std::fabs(turned.distanceTo({24, 0}) - 1.0f) < 0.01f);
}

void TestShapes::rectangleAndTextDistance()
{
    RectangleShape rect;
    rect.addPoint({10, 10});
    rect.addPoint({50, 30});
    QCOMPARE(rect.distanceTo({20, 20}), 0.0f);
    QCOMPARE(rect.distanceTo({10, 10}), 0.0f);
    QCOMPARE(rect.distanceTo({30, 35}), 5.0f);
    QCOMPARE(rect.distanceTo({5, 20}), 5.0f);
    QCOMPARE(rect.distanceTo({53, 34}), 5.0f);

    TextShape text;
    text.addPoint({100, 100});
    text.setText(QStringLiteral("Hello 你好"));
    const ShapeBounds b = text.pointBounds();
    QVERIFY(b.right > b.left && b.bottom > b.top);
    QCOMPARE(text.distanceTo({(b.left + b.right) / 2, (b.top + b.bottom) / 2}), 0.0f);
    QCOMPARE(text.distanceTo({b.right + 3, b.bottom + 4}), 5.0f);
    // The box scales with |scaleX| in both directions, also when mirrored.
    text.setScale(-2.0f);
    const float width = b.right - b.left;
    const float height = b.bottom - b.top;
    const QPointF c = text.center();
    QCOMPARE(text.distanceTo({c.x() + width - 1, c.y()}), 0.0f);
    QVERIFY(std::fabs(text.distanceTo({c.x() + width + 3, c.y()}) - 3.0f) < 0.01f);
    QVERIFY(std::fabs(text.distanceTo({c.x(), c.y() + height + 2}) - 2.0f) < 0.01f);
}

void TestShapes::frameUnderRotationScaleAndBand()
{
    RectangleShape rect;
    rect.addPoint({0, 0});
    rect.addPoint({40, 20});
    ShapeFrame f = rect.frame();
    QCOMPARE(f.minX, 0.0f);
    QCOMPARE(f.maxX, 40.0f);
    QCOMPARE(f.minY, 0.0f);
    QCOMPARE(f.maxY, 20.0f);

    // Strict on every side: touching the band's edge is not inside.
    QVERIFY(rect.frameInside({-1, -1}, {41, 21}));
    QVERIFY(rect.frameInside({41, 21}, {-1, -1}));
    QVERIFY(!rect.frameInside({0, -1}, {41, 21}));
    QVERIFY(!rect.frameInside({-1, -1}, {40, 21}));
    QVERIFY(!rect.frameInside({-1, 0}, {41, 21}));
    QVERIFY(!rect.frameInside({-1, -1}, {41, 20}));
    QVERIFY(!rect.frameInside({10, 10}, {10, 10}));

    rect.setRotation(90);
    f = rect.frame();
    QVERIFY(std::fabs(f.minX - 10) < 1e-3f && std::fabs(f.maxX - 30) < 1e-3f);
    QVERIFY(std::fabs(f.minY + 10) < 1e-3f && std::fabs(f.maxY - 30) < 1e-3f);
    rect.setRotation(0);
    rect.setScale(2);
    f = rect.frame();
    QVERIFY(std::fabs(f.minX + 20) < 1e-3f && std::fabs(f.maxX - 60) < 1e-3f);

    // Moving carries bounds and frame along.
    rect.setScale(1);
    rect.translate({5, -5});
    QCOMPARE(rect.pointBounds().left, 5.0f);
    QCOMPARE(rect.frame().minY, -5.0f);
    CurveShape curve;
    curve.addPoint({1, 2});
    curve.addPoint({3, 4});
    curve.scaleBy(2, 3);
    QCOMPARE(curve.points()[1], QPointF(6, 12));
    QCOMPARE(curve.pointBounds().bottom, 12.0f);
}

void TestShapes::pointsTextRoundTrip()
{
    CurveShape curve;
    curve.addPoint({1, 2.5});
    curve.addPoint({10, 20});
    QCOMPARE(curve.pointsToString(), QStringLiteral("(1,2.5)(10,20)"));

    CurveShape copy;
    copy.addPoint({99, 99});
    copy.pointsFromString(QStringLiteral("(1,2.5)(10,20)"));
    QCOMPARE(copy.points().size(), 2);
    QCOMPARE(copy.points()[0], QPointF(1, 2.5));
    QCOMPARE(copy.points()[1], QPointF(10, 20));
    QCOMPARE(copy.pointBounds().right, 10.0f);

    CurveShape empty;
    QCOMPARE(empty.pointsToString(), QString());
    // A truncated last point ends the parse; what came before stays.
    empty.pointsFromString(QStringLiteral("(1,2)(3,"));
    QCOMPARE(empty.points().size(), 1);
    QCOMPARE(QStringLiteral("(123457,-0.001)"), [] {
        CurveShape c;
        c.addPoint({123456.7, -0.001});
        return c.pointsToString();
    }());
}

void TestShapes::rotatedRectangleLeavesPainterUntouched()
{
    RectangleShape rotated;
    rotated.addPoint({20, 20});
    rotated.addPoint({90, 60});
    rotated.setRotation(33.3f);
    rotated.setScale(1.7f);
    CurveShape stroke;
    for (int i = 0; i < 20; ++i)
        stroke.addPoint({110.0 + i * 4, 150.0 - i * 3});
    stroke.setPen(QPen(Qt::blue, 3));

    QImage both = blankImage();
    {
        QPainter painter(&both);
        painter.setRenderHint(QPainter::Antialiasing);
        rotated.draw(&painter, 1.0f);
        QCOMPARE(painter.worldTransform(), QTransform());
        both.fill(Qt::transparent);
        stroke.draw(&painter, 1.0f);
    }
    QCOMPARE(both, paint({&stroke}));
}

void TestShapes::arrowHead()
{
    ArrowShape arrow;
    arrow.addPoint({20, 100});
    arrow.addPoint({100, 100});
    arrow.setPen(QPen(Qt::black, 1));
    const QImage image = paint({&arrow});
    // The tip lies 20 beyond the end point; the base is 20 wide, centred on it.
    // Without a brush the head is an outline.
    QVERIFY(qAlpha(image.pixel(119, 100)) > 0);
    QVERIFY(qAlpha(image.pixel(110, 105)) > 0);
    QVERIFY(qAlpha(image.pixel(100, 108)) > 0);
    QVERIFY(qAlpha(image.pixel(100, 92)) > 0);
    QCOMPARE(qAlpha(image.pixel(112, 100)), 0);
    QCOMPARE(qAlpha(image.pixel(125, 100)), 0);
    QCOMPARE(qAlpha(image.pixel(100, 115)), 0);

    // Coinciding ends: a point, no head in any direction.
    ArrowShape dot;
    dot.addPoint({100, 100});
    dot.addPoint({100, 100});
    dot.setPen(QPen(Qt::black, 1));
    const QImage dotImage = paint({&dot});
    for (int y = 0; y < dotImage.height(); ++y) {
        for (int x = 0; x < dotImage.width(); ++x) {
            if (qAlpha(dotImage.pixel(x, y)) > 0)
                QVERIFY2(std::abs(x - 100) <= 2 && std::abs(y - 100) <= 2, "head painted for a dot");
        }
    }
}

void TestShapes::textBoxAnchoredBottomLeft()
{
    TextShape text;
    QCOMPARE(text.font().pointSize(), 20);
    QCOMPARE(text.font().family(), QStringLiteral("宋体"));
    text.addPoint({30, 80});
    text.setText(QStringLiteral("Abc"));
    text.setFontSize(12);
    const ShapeBounds b = text.pointBounds();
    QCOMPARE(b.left, 30.0f);
    QCOMPARE(b.bottom, 80.0f);
    QVERIFY(b.top < 80 && b.right > 30);
    text.translate({10, 10});
    QCOMPARE(text.pointBounds().left, 40.0f);
    QCOMPARE(text.pointBounds().bottom, 90.0f);

    text.setPen(QPen(Qt::red, 1));
    const QImage image = paint({&text});
    int inked = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) > 0) {
                ++inked;
                QVERIFY(x >= 38 && x <= text.pointBounds().right + 2);
                QVERIFY(y >= text.pointBounds().top - 2 && y <= 92);
            }
        }
    }
    QVERIFY(inked > 0);

    // The refit ends for texts, for empty texts and for a degenerate box.
    text.setScaleX(2.0f);
    QVERIFY(text.font().pointSize() >= 1);
    QCOMPARE(text.scaleY(), 2.0f);
    TextShape empty;
    empty.addPoint({0, 0});
    empty.setScaleX(3.0f);
    QVERIFY(empty.font().pointSize() >= 1);
    TextShape unanchored;
    unanchored.setScaleX(0.5f);
    QVERIFY(unanchored.font().pointSize() >= 1);
}

QTEST_MAIN(TestShapes)
#include "tst_shapes.moc"
