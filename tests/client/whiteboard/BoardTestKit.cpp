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
