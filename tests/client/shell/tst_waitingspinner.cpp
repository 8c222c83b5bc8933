#include "shell/waitingspinnerwidget.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

namespace {

int spinnersLeft(QWidget* parent)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return parent->findChildren<WaitingSpinnerWidget*>().size();
}

} // namespace

class TestWaitingSpinner : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        HideWaiting();
    }

    void spinnerThatCannotTurnDoesNotDivideByZero()
    {
        QWidget parent;
        WaitingSpinnerWidget spinner(&parent);
        spinner.setRevolutionsPerSecond(0);
        QVERIFY(spinner.timerIntervalMs() > 0);
        spinner.setNumberOfLines(0);
        spinner.setRevolutionsPerSecond(1);
        spinner.rotate();
        QCOMPARE(spinner.currentCounter(), 0);
    }

    void sharedIndicatorCoversItsWindowAndPaintsAFadingTrail()
    {
        QWidget parent;
        parent.resize(200, 100);
        parent.show();
        HideWaiting(); // nothing to hide: no effect
        QVERIFY(parent.isEnabled());

        ShowWaiting(&parent);
        QPointer<WaitingSpinnerWidget> spinner = CurrentWaitingSpinner();
        QVERIFY(spinner && spinner->isVisible());
        QCOMPARE(spinner->geometry(), QRect(80, 30, 40, 40));
        QVERIFY(!parent.isEnabled());

        QImage image(spinner->size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        spinner->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        // Line 0 points right from the centre (20, 20); line 6 points left and is 6 lines behind.
        const QColor head = image.pixelColor(35, 20);
        QCOMPARE(head.alpha(), 255);
        QCOMPARE(head.rgb(), QColor(81, 4, 71).rgb());
        const int behind = image.pixelColor(5, 20).alpha();
        QVERIFY2(qAbs(behind - qRound(255 * (1.0 - 6 * 0.85 / 9))) <= 3, qPrintable(QString::number(behind)));
        QCOMPARE(image.pixelColor(20, 20).alpha(), 0);
        QTRY_VERIFY(spinner->currentCounter() > 0);

        HideWaiting();
        QVERIFY(parent.isEnabled());
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
        QCOMPARE(spinnersLeft(&parent), 0);
    }

    void secondShowWaitingLeavesNothingBehind()
    {
        QWidget first, second;
        ShowWaiting(&first);
        ShowWaiting(&first);
        QCOMPARE(spinnersLeft(&first), 1);
        QVERIFY(!first.isEnabled());

        ShowWaiting(&second);
        QVERIFY(first.isEnabled());
        QCOMPARE(spinnersLeft(&first), 0);
        QVERIFY(!second.isEnabled());
    }

    void parentDestroyedWhileWaiting()
    {
        // Regression: the shared pointer outlived the spinner its window had deleted.
        auto* parent = new QWidget;
        ShowWaiting(parent);
        delete parent;
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
        HideWaiting();
        QWidget other;
        ShowWaiting(&other);
        QVERIFY(CurrentWaitingSpinner());
    }
};

QTEST_MAIN(TestWaitingSpinner)
#include "tst_waitingspinner.moc"
