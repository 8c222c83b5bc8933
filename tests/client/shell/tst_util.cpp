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

    void cleanupTestCase() { QFile::remove(settingPath()); }

    void cleanup() { HideWaiting(); }

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
    }

    // The file holds the password: it was readable by every user of the machine.
    void settingFileWithPasswordWasWorldReadable()
    {
        SaveUser(QStringLiteral("t"), QStringLiteral("p"));
        QVERIFY(QFile::exists(settingPath()));
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(settingPath()) & others, QFileDevice::Permissions());
        QVERIFY(QFile::permissions(settingPath()) & QFileDevice::ReadOwner);
        // A second write, which replaces the file, keeps it so.
        SaveUser(QStringLiteral("t2"), QStringLiteral("p2"));
        QCOMPARE(QFile::permissions(settingPath()) & others, QFileDevice::Permissions());
    }

    void hashFilePathIsAFileName()
    {
        QCOMPARE(Sha1Base64(QStringLiteral("C:\\课件\\第一课.pptx")),
            QStringLiteral("ze7gIk5WJLEc98bO3onIqQFStag="));
        // The digest's '/' and '+' have no place in a file name.
        QCOMPARE(HashFilePath(QString()), QStringLiteral("2jmj7l5rSw0yVb vlWAYkK YBwk="));
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
        QCOMPARE(boxes.first()->textFormat(), Qt::PlainText);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
        boxes.first()->close();
    }

    void sdkErrorShowsTextAsTypedAndTakesTheWaitingIndicatorAway()
    {
        // A nickname or a server message must not be taken for markup.
        QWidget window;
        ShowWaiting(&window);
        QString seen;
        QTimer::singleShot(0, qApp, [&seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                if (box->textFormat() == Qt::PlainText)
                    seen = box->windowTitle() + QLatin1Char('|') + box->text();
                box->accept();
            }
        });
        ShowSdkError(
            -1003, QStringLiteral("<b>李</b><img src=x>"), &window, QStringLiteral("iLive Login Error"));
        QCOMPARE(seen, QStringLiteral("iLive Login Error|错误码:   -1003\n错误信息: <b>李</b><img src=x>"));
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

        // Its target may die first; a null target is not touched either.
        auto* doomed = new QObject;
        blocker = new SignalBlocker(doomed, 20);
        delete doomed;
        QTRY_VERIFY(blocker.isNull());
        delete new SignalBlocker(nullptr, 0);
    }

    // Regression: the shared pointer outlived the spinner its window had deleted.
    void sharedIndicatorCoversOneWindowAtATime_regression()
    {
        QWidget first, second;
        first.show();
        HideWaiting(); // nothing to hide: no effect
        QVERIFY(first.isEnabled());
        ShowWaiting(&first);
        ShowWaiting(&first);
        QCOMPARE(spinnersLeft(&first), 1);
        QPointer<WaitingSpinnerWidget> spinner = CurrentWaitingSpinner();
        QVERIFY(spinner && spinner->isVisible() && !first.isEnabled());
        QTRY_VERIFY(spinner->currentCounter() > 0);

        ShowWaiting(&second);
        QVERIFY(first.isEnabled() && !second.isEnabled());
        QCOMPARE(spinnersLeft(&first), 0);
        HideWaiting();
        QVERIFY(second.isEnabled());
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
        QCOMPARE(spinnersLeft(&second), 0);

        auto* doomed = new QWidget;
        ShowWaiting(doomed);
        delete doomed;
        QCOMPARE(CurrentWaitingSpinner(), nullptr);
        HideWaiting();
        ShowWaiting(&first);
        QVERIFY(CurrentWaitingSpinner());
    }
};

QTEST_MAIN(TestUtil)
#include "tst_util.moc"
