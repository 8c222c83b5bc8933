#include "whiteboard/shapes.h"

#include <QApplication>
#include <QtTest>

#include <cmath>

namespace {

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
    const QVector<QPointF> line { { 0, 0 }, { 100, 0 }, { 100, 100 } };
    const QVector<QPointF> bar { { 0, 0 }, { 100, 0 } };
    const QVector<QPointF> rect { { 10, 10 }, { 50, 30 } };
    QTest::newRow("one point") << false << QVector<QPointF> { { 3, 3 } } << 0.f << 1.f << QPointF(3, 3)
                               << 1e4f;
    QTest::newRow("second segment") << false << line << 0.f << 1.f << QPointF(103, 50) << 3.f;
    // A pointer that did not move must not poison the result.
    QTest::newRow("still") << false << QVector<QPointF> { { 10, 10 }, { 10, 10 } } << 0.f << 1.f
                           << QPointF(13, 14) << 5.f;
    QTest::newRow("turned about its centre, shrunk") << false << bar << 90.f << .5f << QPointF(50, 30) << 5.f;
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
    std::unique_ptr<GeneralShape> shape(
        rectangle ? static_cast<GeneralShape*>(new RectangleShape) : new CurveShape);
    for (const QPointF& p : points)
        shape->addPoint(p);
    shape->setRotation(rotation);
    shape->setScale(scale);
    const float distance = shape->distanceTo(query);
    QVERIFY2(near(distance, expected), qPrintable(QString::number(distance)));
}

void TestShapes::textBoxAnchoredBottomLeft()
{
    TextShape text;
    text.addPoint({ 30, 80 });
    QVERIFY(text.isEmpty());
    text.setText(QStringLiteral("Abc 你好"));
    text.setFontSize(12);
    text.translate({ 10, 10 });
    const ShapeBounds b = text.pointBounds();
    QCOMPARE(b.left, 40.0f);
    QCOMPARE(b.bottom, 90.0f);
    QVERIFY(b.top < 90 && b.right > 40);
    QCOMPARE(text.distanceTo({ b.right + 3, b.bottom + 4 }), 5.0f);

    // The box scales with |scale| in both directions, also when mirrored.
    text.setScale(-2.0f);
    const QPointF c = text.center();
    QCOMPARE(text.distanceTo({ c.x() + (b.right - b.left) - 1, c.y() }), 0.0f);
    QVERIFY(near(text.distanceTo({ c.x() + (b.right - b.left) + 3, c.y() }), 3.0f));
    QVERIFY(near(text.distanceTo({ c.x(), c.y() + (b.bottom - b.top) + 2 }), 2.0f));

    // Refitting the font to a scale never ends at a zero size: texts, empty texts, no anchor.
    TextShape empty, unanchored;
    empty.addPoint({ 0, 0 });
    for (TextShape* t : { &text, &empty, &unanchored }) {
        t->setScaleX(t == &unanchored ? 0.5f : 3.0f);
        QVERIFY(t->font().pointSize() >= 1);
    }
    QCOMPARE(text.scaleY(), 3.0f);
}

QTEST_MAIN(TestShapes)
#include "tst_shapes.moc"
