#include "BoardTestKit.h"

#include "whiteboard/PageStore.h"

#include <QApplication>
#include <QMouseEvent>
#include <QtTest>

void move(QWidget* w, QPoint p)
{
    QMouseEvent event(QEvent::MouseMove, p, w->mapToGlobal(p), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

void drag(QWidget* w, QPoint from, QPoint to)
{
    QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, from);
    for (int i = 1; i <= 5; ++i)
        move(w, from + (to - from) * i / 5);
    QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, to);
}

void WaitForPageFiles()
{
    QCoreApplication::processEvents();
    PageStore::instance()->flush();
}

ShapeRecord record(
    const QString& name, QVector<QPointF> points, int width, float rotation, float scaleX, float scaleY)
{
    ShapeRecord r;
    r.name = name;
    r.points = points;
    r.rotation = rotation;
    r.penColor = QColor(20 * width, 90, 160);
    r.penWidth = width;
    r.scaleX = scaleX;
    r.scaleY = scaleY;
    return r;
}

void writeBusyPage(const QString& name, int strokes)
{
    PainterStorage file;
    for (int s = 0; s < strokes; ++s) {
        ShapeRecord r;
        r.name = QStringLiteral("CurveShape");
        r.penColor = QColor(0, 160, 86);
        r.penWidth = 1;
        for (int i = 0; i < 100; ++i)
            r.points.append(QPointF(5 + (s * 7 + i) % 390, 5 + (s * 3 + i / 2) % 290));
        file.records.append(r);
    }
    QVERIFY(file.save(name));
}
