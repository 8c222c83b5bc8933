#include "whiteboard/shapes.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QtTest>

#include <cmath>

namespace {

QImage paint(GeneralShape& shape)
{
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    shape.draw(&painter, 1.0f);
    return image;
}

bool near(float a, float b)
{
    return std::fabs(a - b) < 0.01f;
}

} // namespace

class TestShapes : public QObject {
    Q_OBJECT
private slots:
    void distance_data();
    void distance();
    void frameFollowsRotationAndScale();
    void arrowHead();
    void textBoxAnchoredBottomLeft();
};

void TestShapes::distance_data()
{
    QTest::addColumn<bool>("rectangle");
    QTest::addColumn<QVector<QPointF>>("points");
    QTest::addColumn<float>("rotation");
    QTest::addColumn<float>("scale");
    QTest::addColumn<QPointF>("query");
    QTest::addColumn<float>("expected");
    const QVector<QPointF> line {{0, 0}, {100, 0}, {100, 100}};
    const QVector<QPointF> bar {{0, 0}, {100, 0}};
    const QVector<QPointF> rect {{10, 10}, {50, 30}};
    QTest::newRow("one point") << false << QVector<QPointF>{{3, 3}} << 0.f << 1.f << QPointF(3, 3) << 1e4f;
    QTest::newRow("second segment") << false << line << 0.f << 1.f << QPointF(103, 50) << 3.f;
    // A pointer that did not move must not poison the result.
    QTest::newRow("still") << false << QVector<QPointF>{{10, 10}, {10, 10}} << 0.f << 1.f << QPointF(13, 14) << 5.f;
    QTest::newRow("rotated") << false << bar << 90.f << 1.f << QPointF(50, 50) << 0.f;
    QTest::newRow("beyond scaled") << false << bar << 0.f << .5f << QPointF(24, 0) << 1.f;
    QTest::newRow("inside rect") << true << rect << 0.f << 1.f << QPointF(20, 20) << 0.f;
    QTest::newRow("off rect corner") << true << rect << 0.f << 1.f << QPointF(53, 34) << 5.f;
}

void TestShapes::distance()
{
    QFETCH(bool, rectangle);
    QFETCH(QVector<QPointF>, points);
    QFETCH(float, rotation);
    QFETCH(float, scale);
    QFETCH(QPointF, query);
    QFETCH(float, expected);
    std::unique_ptr<GeneralShape> shape;
    if (rectangle)
        shape = std::make_unique<RectangleShape>();
    else
        shape = std::make_unique<CurveShape>();
    for (const QPointF& p : points)
        shape->addPoint(p);
    shape->setRotation(rotation);
    shape->setScale(scale);
    const float distance = shape->distanceTo(query);
    QVERIFY2(near(distance, expected), qPrintable(QString::number(distance)));
}

void TestShapes::frameFollowsRotationAndScale()
{
    RectangleShape rect;
    rect.addPoint({0, 0});
    rect.addPoint({40, 20});
    rect.setRotation(90);
    ShapeFrame f = rect.frame();
    QVERIFY(near(f.minX, 10) && near(f.maxX, 30) && near(f.minY, -10) && near(f.maxY, 30));
    rect.setScale(2);
    f = rect.frame();
    QVERIFY(near(f.minX, 0) && near(f.maxX, 40) && near(f.minY, -30) && near(f.maxY, 50));
    // The turn is the shape's own: the painter comes back as it was given.
    QImage image(10, 10, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    rect.draw(&painter, 1.0f);
    QCOMPARE(painter.worldTransform(), QTransform());
}

void TestShapes::arrowHead()
{
    ArrowShape arrow;
    arrow.addPoint({20, 100});
    arrow.addPoint({100, 100});
    arrow.setPen(QPen(Qt::black, 1));
    const QImage image = paint(arrow);
    // The head reaches 20 beyond the end point; no brush, so it is an outline.
    QVERIFY(qAlpha(image.pixel(119, 100)) > 0 && qAlpha(image.pixel(112, 100)) == 0);

    // Coinciding ends: a point that stays, with no head in any direction.
    arrow.points()[0] = QPointF(100, 100);
    QVERIFY(!arrow.isEmpty());
    QImage dot = paint(arrow);
    QImage blank(dot.size(), dot.format());
    blank.fill(Qt::transparent);
    for (QImage* image : {&dot, &blank})
        QPainter(image).fillRect(98, 98, 5, 5, Qt::black);
    QVERIFY2(dot == blank, "head painted for a dot");
}

void TestShapes::textBoxAnchoredBottomLeft()
{
    TextShape text;
    text.addPoint({30, 80});
    QVERIFY(text.isEmpty());
    text.setText(QStringLiteral("Abc 你好"));
    text.setFontSize(12);
    text.translate({10, 10});
    const ShapeBounds b = text.pointBounds();
    QCOMPARE(b.left, 40.0f);
    QCOMPARE(b.bottom, 90.0f);
    QVERIFY(b.top < 90 && b.right > 40);
    QCOMPARE(text.distanceTo({b.right + 3, b.bottom + 4}), 5.0f);

    // The box scales with |scale| in both directions, also when mirrored.
    text.setScale(-2.0f);
    const QPointF c = text.center();
    QCOMPARE(text.distanceTo({c.x() + (b.right - b.left) - 1, c.y()}), 0.0f);
    QVERIFY(near(text.distanceTo({c.x() + (b.right - b.left) + 3, c.y()}), 3.0f));
    QVERIFY(near(text.distanceTo({c.x(), c.y() + (b.bottom - b.top) + 2}), 2.0f));

    // Refitting the font to a scale never ends at a zero size: texts, empty texts, no anchor.
    TextShape empty, unanchored;
    empty.addPoint({0, 0});
    for (TextShape* t : {&text, &empty, &unanchored}) {
        t->setScaleX(t == &unanchored ? 0.5f : 3.0f);
        QVERIFY(t->font().pointSize() >= 1);
    }
    QCOMPARE(text.scaleY(), 3.0f);
}

QTEST_MAIN(TestShapes)
#include "tst_shapes.moc"
