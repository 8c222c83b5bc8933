#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"

#include <QApplication>
#include <QMessageBox>
#include <QtTest>

namespace {

int spinnersLeft(QWidget* parent)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return parent->findChildren<WaitingSpinnerWidget*>().size();
}

QString settingPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/setting");
}

} // namespace

class TestUtil : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The settings object binds to the file once, on first use.
        QFile::remove(settingPath());
    }

    void cleanupTestCase()
    {
        QFile::remove(settingPath());
    }

    void cleanup()
    {
        HideWaiting();
    }

    void settingsStartEmptyAndRoundTripAPassword()
    {
        QString user = QStringLiteral("stale"), password = QStringLiteral("stale");
        LoadUser(user, password);
        QCOMPARE(user + password, QString());

        const QString secret = QStringLiteral("密码pässwörd=/+");
        SaveUser(QStringLiteral("老师01"), secret);
        // Written at once: the process never shuts down in order.
        QSettings reader(settingPath(), QSettings::IniFormat);
        QCOMPARE(reader.value(QStringLiteral("user")).toString(), QStringLiteral("老师01"));
        QCOMPARE(reader.value(QStringLiteral("pwd")).toByteArray(), secret.toUtf8().toBase64());
        LoadUser(user, password);
        QCOMPARE(user, QStringLiteral("老师01"));
        QCOMPARE(password, secret);

        // Only the bytes before a NUL are kept.
        SaveUser(QStringLiteral("t"), QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
        LoadUser(user, password);
        QCOMPARE(password, QStringLiteral("ab"));
    }

    void hashFilePathIsAFileName()
    {
        QCOMPARE(Sha1Base64(QStringLiteral("C:\\课件\\第一课.pptx")), QStringLiteral("ze7gIk5WJLEc98bO3onIqQFStag="));
        QCOMPARE(HashFilePath(QString()), QStringLiteral("2jmj7l5rSw0yVb vlWAYkK YBwk="));
        QSet<QString> names;
        for (int i = 0; i < 200; ++i) {
            const QString name = HashFilePath(QStringLiteral("C:\\课件\\第%1课.pptx").arg(i));
            QCOMPARE(name.size(), 28);
            for (QChar bad : QStringLiteral("\"/:<>?\\|"))
                QVERIFY(!name.contains(bad));
            names << name;
        }
        QCOMPARE(names.size(), 200);
    }

    void topMessageIsOneBoxWithTheLatestText()
    {
        // Regression: the shared box went with the window it was first shown over.
        auto* parent = new QWidget;
        ShowTopMessage(QStringLiteral("first"), QStringLiteral("one"), parent);
        delete parent;
        ShowTopMessage(QStringLiteral("second"), QStringLiteral("two"), nullptr);
        ShowTopMessage(QStringLiteral("third"), QStringLiteral("three"), nullptr);
        QList<QMessageBox*> boxes;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                boxes << box;
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->text() + boxes.first()->windowTitle(), QStringLiteral("threethird"));
        QVERIFY(boxes.first()->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        boxes.first()->close();
    }

    void sdkErrorTakesTheWaitingIndicatorAway()
    {
        QWidget window;
        ShowWaiting(&window);
        QVERIFY(!window.isEnabled());
        QString seen;
        QTimer::singleShot(0, qApp, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = box->windowTitle() + QLatin1Char('|') + box->text();
                box->accept();
            }
        });
        ShowSdkError(-1003, QStringLiteral("network down"), &window, QStringLiteral("iLive Login Error"));
        QCOMPARE(seen, QStringLiteral("iLive Login Error|错误码:   -1003\n错误信息: network down"));
        QVERIFY(window.isEnabled());
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
    }

    void signalBlockerMutesForItsInterval()
    {
        QObject target;
        QSignalSpy spy(&target, &QObject::objectNameChanged);
        QPointer<SignalBlocker> blocker = new SignalBlocker(&target, 30);
        target.setObjectName(QStringLiteral("a"));
        QCOMPARE(spy.count(), 0);
        QTRY_VERIFY(blocker.isNull());
        target.setObjectName(QStringLiteral("b"));
        QCOMPARE(spy.count(), 1);

        // Without an interval it lives until its owner deletes it; signals are unblocked, not restored.
        target.blockSignals(true);
        auto* owned = new SignalBlocker(&target, 0);
        QTest::qWait(20);
        QVERIFY(target.signalsBlocked());
        delete owned;
        QVERIFY(!target.signalsBlocked());

        // Its target may die first; a null target is not touched either.
        auto* doomed = new QObject;
        blocker = new SignalBlocker(doomed, 20);
        delete doomed;
        QTRY_VERIFY(blocker.isNull());
        delete new SignalBlocker(nullptr, 0);
    }

    void trailAlphasAndTurnRates()
    {
        // The shared indicator: 12 lines, 70 % trail, minimum 15 %: threshold 8.
        const QColor c(81, 4, 71);
        auto alpha = [&](int distance) {
            return WaitingSpinnerWidget::currentLineColor(distance, 12, 70.0, 15.0, c).alphaF();
        };
        QCOMPARE(alpha(0), 1.0);
        QVERIFY(qAbs(alpha(1) - (1.0 - 0.85 / 9)) < 1e-3);
        for (int d : { 9, 10, 11 })
            QVERIFY(qAbs(alpha(d) - 0.15) < 1e-3);

        QWidget parent;
        WaitingSpinnerWidget plain(&parent);
        QCOMPARE(plain.timerIntervalMs(), 31);
        QVERIFY(qAbs(WaitingSpinnerWidget::currentLineColor(19, 20, 80.0, plain.minimumTrailOpacity(), Qt::black)
                         .alphaF()
                     - 0.0314) < 1e-3);
        ShowWaiting(&parent);
        QCOMPARE(CurrentWaitingSpinner()->timerIntervalMs(), 83);
    }

    void boxesShowTextsAsTheyWereTyped()
    {
        // A nickname or a server message must not be taken for markup.
        const QString typed = QStringLiteral("<b>李</b><img src=x>");
        QString shown;
        QTimer::singleShot(0, qApp, [&shown] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (box->textFormat() == Qt::PlainText)
                    shown = box->text();
                box->accept();
            }
        });
        ShowInformation(QString(), typed, nullptr);
        QCOMPARE(shown, typed);
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

QTEST_MAIN(TestUtil)
#include "tst_util.moc"
