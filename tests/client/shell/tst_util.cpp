#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"

#include <QApplication>
#include <QDialog>
#include <QFile>
#include <QMessageBox>
#include <QPointer>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool seen = false;
};

// Closes the next modal message box from the event loop and records what it showed.
void closeNextBox(SeenBox* seen)
{
    QTimer::singleShot(0, qApp, [seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen->seen = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        box->accept();
    });
}

QList<QMessageBox*> visibleBoxes()
{
    QList<QMessageBox*> boxes;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            boxes << box;
    return boxes;
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

    void settingsStartEmptyAndRoundTripAPassword()
    {
        QString user = QStringLiteral("stale"), password = QStringLiteral("stale");
        LoadUser(user, password);
        QCOMPARE(user, QString());
        QCOMPARE(password, QString());
        QCOMPARE(GetSettings(), GetSettings());
        QCOMPARE(QDir::cleanPath(GetSettings()->fileName()), QDir::cleanPath(settingPath()));

        const QString secret = QStringLiteral("密码pässwörd=/+");
        SaveUser(QStringLiteral("老师01"), secret);
        // Written at once: the process never shuts down in order.
        QSettings reader(settingPath(), QSettings::IniFormat);
        QCOMPARE(reader.value(QStringLiteral("user")).toString(), QStringLiteral("老师01"));
        QCOMPARE(reader.value(QStringLiteral("pwd")).toByteArray(), secret.toUtf8().toBase64());
        QFile file(settingPath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray raw = file.readAll();
        QVERIFY(raw.startsWith("[General]"));
        QVERIFY2(raw.contains("@ByteArray(" + secret.toUtf8().toBase64() + ")"), raw.constData());

        LoadUser(user, password);
        QCOMPARE(user, QStringLiteral("老师01"));
        QCOMPARE(password, secret);

        // Only the bytes before a NUL are kept.
        SaveUser(QStringLiteral("t"), QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
        LoadUser(user, password);
        QCOMPARE(password, QStringLiteral("ab"));
    }

    void hashFilePathIsAFileName_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("digest");
        QTest::newRow("empty") << QString() << QStringLiteral("2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
        QTest::newRow("ascii") << QStringLiteral("abc") << QStringLiteral("qZk+NkcGgWq6PiVxeFDCbJzQ2J0=");
        QTest::newRow("document") << QStringLiteral("C:\\课件\\第一课.pptx") << QString();
        QTest::newRow("unix") << QStringLiteral("/home/teacher/slides/lesson 1.ppt") << QString();
    }

    void hashFilePathIsAFileName()
    {
        QFETCH(QString, path);
        QFETCH(QString, digest);
        const QString sha = Sha1Base64(path);
        QCOMPARE(sha.size(), 28);
        if (!digest.isEmpty())
            QCOMPARE(sha, digest);
        const QString name = HashFilePath(path);
        QCOMPARE(name.size(), 28);
        QCOMPARE(name, QString(sha).replace(QLatin1Char('/'), QLatin1Char(' ')));
        for (QChar bad : QStringLiteral("\"/:<>?\\|"))
            QVERIFY(!name.contains(bad));
    }

    void topMessageIsOneBoxWithTheLatestText()
    {
        QWidget parent;
        ShowTopMessage(QStringLiteral("first"), QStringLiteral("one"), &parent);
        ShowTopMessage(QStringLiteral("second"), QStringLiteral("two"), &parent);
        QList<QMessageBox*> boxes = visibleBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->text(), QStringLiteral("two"));
        QCOMPARE(boxes.first()->windowTitle(), QStringLiteral("second"));
        QCOMPARE(boxes.first()->icon(), QMessageBox::Information);
        QVERIFY(boxes.first()->windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(!boxes.first()->isModal());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }

    void topMessageSurvivesItsFirstParent()
    {
        // Regression: the shared box went with the window it was first shown over.
        auto* parent = new QWidget;
        ShowTopMessage(QStringLiteral("t"), QStringLiteral("before"), parent);
        delete parent;
        ShowTopMessage(QStringLiteral("t"), QStringLiteral("after"), nullptr);
        const QList<QMessageBox*> boxes = visibleBoxes();
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first()->text(), QStringLiteral("after"));
        boxes.first()->close();
    }

    void modalShortcutsShowTheirTexts()
    {
        QWidget window;
        window.resize(300, 200);
        SeenBox seen;
        closeNextBox(&seen);
        ShowError(QStringLiteral("磁盘已满"), &window);
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("Error"));
        QCOMPARE(seen.text, QStringLiteral("磁盘已满"));
        QCOMPARE(seen.icon, QMessageBox::Critical);

        seen = SeenBox();
        closeNextBox(&seen);
        ShowInformation(QStringLiteral("提示"), QStringLiteral("请输入用户名"), &window);
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("提示"));
        QCOMPARE(seen.icon, QMessageBox::Information);

        // The SDK error first takes the waiting indicator away, so the box can be answered.
        ShowWaiting(&window);
        QVERIFY(!window.isEnabled());
        seen = SeenBox();
        closeNextBox(&seen);
        ShowSdkError(-1003, QStringLiteral("network down"), &window, QStringLiteral("iLive Login Error"));
        QVERIFY(seen.seen);
        QCOMPARE(seen.title, QStringLiteral("iLive Login Error"));
        QCOMPARE(seen.text, QStringLiteral("错误码:   -1003\n错误信息: network down"));
        QCOMPARE(seen.icon, QMessageBox::Critical);
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
    }

    void signalBlockerWhoseTargetDiesFirst()
    {
        auto* target = new QObject;
        QPointer<SignalBlocker> blocker = new SignalBlocker(target, 20);
        delete target;
        QTRY_VERIFY(blocker.isNull());
        // A null target is not touched either.
        delete new SignalBlocker(nullptr, 0);
    }
};

QTEST_MAIN(TestUtil)
#include "tst_util.moc"
