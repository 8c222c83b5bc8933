#include "shell/waitingspinnerwidget.h"

#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QtTest>

namespace {

void flushDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

int spinnerChildren(QWidget* parent)
{
    return parent->findChildren<WaitingSpinnerWidget*>().size();
}

} // namespace

class TestWaitingSpinner : public QObject {
    Q_OBJECT

private slots:
    void cleanup()
    {
        HideWaiting();
        flushDeletes();
    }

    void lineAlphaAlongTheTrail_data()
    {
        QTest::addColumn<int>("distance");
        QTest::addColumn<int>("lines");
        QTest::addColumn<qreal>("fade");
        QTest::addColumn<qreal>("minOpacity");
        QTest::addColumn<qreal>("alpha");
        QTest::newRow("head") << 0 << 12 << 70.0 << 15.0 << 1.0;
        QTest::newRow("one behind") << 1 << 12 << 70.0 << 15.0 << 1.0 - 0.85 / 9;
        QTest::newRow("at threshold") << 8 << 12 << 70.0 << 15.0 << 1.0 - 8 * 0.85 / 9;
        QTest::newRow("past threshold 9") << 9 << 12 << 70.0 << 15.0 << 0.15;
        QTest::newRow("past threshold 10") << 10 << 12 << 70.0 << 15.0 << 0.15;
        QTest::newRow("past threshold 11") << 11 << 12 << 70.0 << 15.0 << 0.15;
        QTest::newRow("initial minimum") << 19 << 20 << 80.0 << 3.141592653589793 << 0.03141592653589793;
        QTest::newRow("clamped") << 1 << 12 << 70.0 << 300.0 << 1.0;
    }

    void lineAlphaAlongTheTrail()
    {
        QFETCH(int, distance);
        QFETCH(int, lines);
        QFETCH(qreal, fade);
        QFETCH(qreal, minOpacity);
        QFETCH(qreal, alpha);
        const QColor base(81, 4, 71, 255);
        const QColor c = WaitingSpinnerWidget::currentLineColor(distance, lines, fade, minOpacity, base);
        QVERIFY2(qAbs(c.alphaF() - alpha) < 1e-4, qPrintable(QString::number(c.alphaF())));
        QCOMPARE(c.rgb(), base.rgb());
    }

    void initialSpinnerGeometryAndInterval()
    {
        QWidget parent;
        WaitingSpinnerWidget spinner(&parent);
        QCOMPARE(spinner.timerIntervalMs(), 31);
        QCOMPARE(spinner.size(), QSize(40, 40));
        QVERIFY(spinner.isHidden());
        QVERIFY(!spinner.isSpinning());
        QCOMPARE(spinner.numberOfLines(), 20);
        QCOMPARE(spinner.color(), QColor(Qt::black));

        spinner.setInnerRadius(20);
        QCOMPARE(spinner.size(), QSize(60, 60));
        // No division by zero for a spinner told to stand still or to draw no lines.
        spinner.setRevolutionsPerSecond(0);
        QVERIFY(spinner.timerIntervalMs() > 0);
        spinner.setNumberOfLines(0);
        spinner.setRevolutionsPerSecond(1);
        spinner.rotate();
        QCOMPARE(spinner.currentCounter(), 0);
    }

    void sharedIndicatorSettingsAndLifecycle()
    {
        QWidget parent;
        parent.resize(200, 100);
        parent.show();
        HideWaiting(); // nothing to hide: no effect
        QVERIFY(parent.isEnabled());

        ShowWaiting(&parent);
        QPointer<WaitingSpinnerWidget> spinner = CurrentWaitingSpinner();
        QVERIFY(spinner);
        QCOMPARE(spinner->parentWidget(), &parent);
        QCOMPARE(spinner->size(), QSize(40, 40));
        QCOMPARE(spinner->timerIntervalMs(), 83);
        QCOMPARE(spinner->numberOfLines(), 12);
        QCOMPARE(spinner->roundness(), 70.0);
        QCOMPARE(spinner->color(), QColor(81, 4, 71, 255));
        QCOMPARE(spinner->pos(), QPoint(80, 30));
        QVERIFY(spinner->isVisible());
        QVERIFY(spinner->isSpinning());
        QVERIFY(!parent.isEnabled());
        QTRY_VERIFY(spinner->currentCounter() > 0);

        HideWaiting();
        QVERIFY(parent.isEnabled());
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
        QVERIFY(spinner && spinner->isHidden());
        flushDeletes();
        QVERIFY(spinner.isNull());
    }

    void secondShowWaitingLeavesNothingBehind()
    {
        QWidget first, second;
        ShowWaiting(&first);
        ShowWaiting(&first);
        flushDeletes();
        QCOMPARE(spinnerChildren(&first), 1);
        QVERIFY(!first.isEnabled());

        ShowWaiting(&second);
        flushDeletes();
        QVERIFY(first.isEnabled());
        QCOMPARE(spinnerChildren(&first), 0);
        QVERIFY(!second.isEnabled());

        HideWaiting();
        flushDeletes();
        QVERIFY(second.isEnabled());
        QCOMPARE(spinnerChildren(&second), 0);
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

    void paintsTheHeadOpaqueAndTheTrailFaded()
    {
        QWidget parent;
        WaitingSpinnerWidget spinner(&parent);
        spinner.setNumberOfLines(12);
        spinner.setTrailFadePercentage(70.0);
        spinner.setMinimumTrailOpacity(15.0);
        spinner.setLineWidth(5);
        spinner.setColor(QColor(81, 4, 71));
        spinner.setCurrentCounter(0);

        QImage image(spinner.size(), QImage::Format_ARGB32);
        image.fill(Qt::transparent);
        spinner.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
        // Line 0 points right from the centre (20, 20); line 6 points left and is 6 lines behind.
        const QColor head = image.pixelColor(35, 20);
        QCOMPARE(head.alpha(), 255);
        QCOMPARE(head.rgb(), QColor(81, 4, 71).rgb());
        const int behind = image.pixelColor(5, 20).alpha();
        QVERIFY2(qAbs(behind - qRound(255 * (1.0 - 6 * 0.85 / 9))) <= 3, qPrintable(QString::number(behind)));
        QCOMPARE(image.pixelColor(20, 20).alpha(), 0);
    }
};

QTEST_MAIN(TestWaitingSpinner)
#include "tst_waitingspinner.moc"
