#include "slides/PowerPointTool.h"

#include "shell/Process.h"

#include "../../../tools/deckgen/DeckWriter.h"
#include "OfficeProfile.h"

#include <QElapsedTimer>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kOffice = QStringLiteral("soffice.bin");
const QString kProgramFolder = QStringLiteral("/LibreOfficePortable/App/libreoffice/program");

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

class PowerPointToolTest : public QObject {
    Q_OBJECT

private:
    // An application folder whose suite is a stand-in: the launcher logs its arguments one per line
    // to starts.log and runs "soffice.bin" (perl) with them for lifetimeSeconds; a negative lifetime
    // starts nothing. With a delay the launcher first waits as "oosplash", as a slow real start does.
    QString fakeSuite(
        const QString& name, int lifetimeSeconds, int launcherDelayMs = 0, bool withMacro = true)
    {
        const QString app = m_root.filePath(name);
        const QString program = app + kProgramFolder;
        if (!QDir().mkpath(program) || !QFile::copy("/usr/bin/perl", program + "/soffice.bin")
            || !QFile::copy("/usr/bin/perl", program + "/oosplash")
            || (withMacro && !InstallOfficeProfile(app)))
            return QString();
        QString script = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"%1/starts.log\"\n").arg(app);
        if (lifetimeSeconds >= 0 && launcherDelayMs > 0)
            script
                += QStringLiteral("exec \"%1/oosplash\" -e 'select(undef, undef, undef, %3); "
                                  "exec \"%1/soffice.bin\", \"-e\", \"sleep %2\", \"--\", @ARGV' -- \"$@\"\n")
                       .arg(program)
                       .arg(lifetimeSeconds)
                       .arg(launcherDelayMs / 1000.0);
        else if (lifetimeSeconds >= 0)
            script += QStringLiteral("exec \"%1/soffice.bin\" -e 'sleep %2' -- \"$@\"\n")
                          .arg(program)
                          .arg(lifetimeSeconds);
        const QString launcher = program + "/soffice";
        if (!writeBytes(launcher, script.toUtf8()))
            return QString();
        QFile::setPermissions(launcher, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_apps << app;
        return app;
    }

    QString newFolder(const QString& name)
    {
        const QString folder = m_root.filePath(name);
        return QDir().mkpath(folder) ? folder : QString();
    }

    // Opens the document with the suite of app; the time until OpenFail, or -1 when it never came.
    qint64 failureAfter(const QString& app, const QString& document, int timeoutMs = 5000)
    {
        m_tool->SetApplicationFolder(app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;
        clock.start();
        m_tool->OpenFile(document);
        return QTest::qWaitFor([&] { return failed.count() > 0; }, timeoutMs) ? clock.elapsed() : -1;
    }

    QTemporaryDir m_root;
    QString m_realApp;
    QStringList m_apps;
    PowerPointTool* m_tool = nullptr;

private slots:
    void initTestCase()
    {
        QVERIFY(m_root.isValid());
        QVERIFY2(!QStandardPaths::findExecutable("soffice").isEmpty(), "the office suite is not installed");
        m_tool = PowerPointTool::GetInstance();
        // Our own copy of the profile with the macro: no other run of the suite can meet ours.
        m_realApp = m_root.filePath("app");
        QVERIFY(InstallOfficeProfile(m_realApp));
        m_apps << m_realApp;
        QString error;
        const QString decks = newFolder("decks");
        for (const char* format : { "pptx", "ppt" })
            QVERIFY2(
                deckgen::writeDeck(decks + "/deck." + format, 10, m_root.filePath("deckgen-profile"), &error),
                qPrintable(error));
    }

    void cleanupTestCase()
    {
        for (const QString& app : qAsConst(m_apps)) {
            m_tool->SetApplicationFolder(app);
            m_tool->KillOffice();
        }
    }

    void init() { m_tool->SetTickLimit(180); }

    void buildInstallsTheMacroProfile()
    {
        const QString installed = QStringLiteral(LECTERN_BIN_DIR) + kOfficeProfileFolder + "/user/";
        QFile macro(installed + "basic/ExportImages/ExportImages.xba");
        QFile original(
            LECTERN_SOURCE_DIR "/client/slides/LibreOfficeProfile/user/basic/ExportImages/ExportImages.xba");
        QVERIFY(macro.open(QIODevice::ReadOnly) && original.open(QIODevice::ReadOnly));
        QCOMPARE(macro.readAll(), original.readAll());
        QVERIFY(QFile::exists(installed + "registrymodifications.xcu"));
    }

    void convertsDeckIntoOnePagePerSlideInOrder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("pptx") << "pptx";
        QTest::newRow("ppt") << "ppt";
    }

    // Against the real suite: the earlier output folder is replaced, lock files of the folder go,
    // every slide arrives once, in slide order, showing its own slide.
    void convertsDeckIntoOnePagePerSlideInOrder()
    {
        QFETCH(QString, format);
        const QString folder = newFolder("convert-" + format + "/带 空格");
        const QString document = folder + "/课件 deck." + format;
        QVERIFY(QFile::copy(m_root.filePath("decks/deck." + format), document));
        const QString output = folder + "/_output_";
        QVERIFY(QDir().mkpath(output));
        QVERIFY(
            writeBytes(output + "/001.png", "not the new image") && writeBytes(output + "/old.txt", "old"));
        QVERIFY(writeBytes(folder + "/.~lock.课件 deck." + format + "#", "lock"));
        QVERIFY(writeBytes(folder + "/.~lock.other.odp#", "lock")
            && writeBytes(folder + "/keep.txt", "not a lock"));

        m_tool->SetApplicationFolder(m_realApp);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->KillOffice();
        m_tool->OpenFile(document);
        QVERIFY(!QFile::exists(output + "/old.txt") && !QFile::exists(folder + "/.~lock.other.odp#"));
        QVERIFY(QFile::exists(folder + "/keep.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(slides.count(), 10, 60000);
        for (int i = 0; i < 10; ++i) {
            const QString image = slides.at(i).at(0).toString();
            QCOMPARE(image, output + QStringLiteral("/%1.png").arg(i + 1, 3, 10, QLatin1Char('0')));
            const QImage picture(image);
            QCOMPARE(picture.size(), QSize(1280, 720));
            QVERIFY2(NearColor(picture.pixel(20, 20), deckgen::slideColor(i + 1), 6), qPrintable(image));
        }
        // The macro ends its suite; nothing more is announced and nothing fails.
        QTRY_VERIFY_WITH_TIMEOUT(!IsProcessRunning(kOffice, OfficeProfileMarker(m_realApp)), 20000);
        QTest::qWait(1500);
        QCOMPARE(slides.count(), 10);
        QCOMPARE(failed.count(), 0);
    }

    // One notification with several new files announces the PNGs among them (any case of the
    // suffix) in name order; later notifications announce only what the previous one lacked.
    void announcesEachNewImageOnceInNaturalOrder()
    {
        // A suite that writes nothing and ends at once: only the first change stops the tick.
        const QString app = fakeSuite("no-office", -1);
        QVERIFY(!app.isEmpty());
        const QString output = newFolder("watch") + "/_output_";
        m_tool->SetApplicationFolder(app);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->OpenFile(m_root.filePath("watch/deck.pptx"));
        const auto announced = [&] {
            QStringList names;
            for (const QList<QVariant>& signal : qAsConst(slides))
                names << QFileInfo(signal.at(0).toString()).fileName();
            return names;
        };

        for (const char* name : { "slide10.png", "notes.txt", "slide2.png", "b.PNG", "slide1.png.part" })
            QVERIFY(writeBytes(output + "/" + name, "x"));
        QTRY_COMPARE(announced(), QStringList({ "b.PNG", "slide2.png", "slide10.png" }));
        QVERIFY(QFile::remove(output + "/slide2.png"));
        QVERIFY(writeBytes(output + "/slide3.png", "x"));
        QTRY_COMPARE(slides.count(), 4);
        // Deleted while a notification happened, then written again: a new image.
        QVERIFY(writeBytes(output + "/slide2.png", "x"));
        QTRY_COMPARE(
            announced(), QStringList({ "b.PNG", "slide2.png", "slide10.png", "slide3.png", "slide2.png" }));
        QCOMPARE(slides.at(0).at(0).toString(), output + "/b.PNG");

        QVERIFY(writeBytes(output + "/slide10.png", "rewritten"));
        QTest::qWait(1500);
        QCOMPARE(slides.count(), 5);
        QCOMPARE(failed.count(), 0);
    }

    // The suite is started with our profile, hidden, with the fixed switches, and a file name
    // with spaces and quotes stays one argument.
    void startsTheSuiteOnItsOwnProfileWithTheFixedCommandLine()
    {
        const QString app = fakeSuite("command-line", 30);
        QVERIFY(!app.isEmpty());
        const QString document = newFolder("command-line-doc") + "/a \"quoted\" deck.pptx";
        m_tool->SetApplicationFolder(app);
        m_tool->OpenFile(document);
        QTRY_VERIFY(IsProcessRunning(kOffice, OfficeProfileMarker(app)));
        QFile log(app + "/starts.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList expected { OfficeProfileMarker(app), "--headless", "--nocrashreport", "--nodefault",
            "--nolockcheck", "--nologo", "--nofirststartwizard", "--norestore",
            "macro:///ExportImages.ExportImages.ExportAsImages()", "-o", document };
        QCOMPARE(QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts), expected);
        QVERIFY(QFileInfo(m_root.filePath("command-line-doc/_output_")).isDir());
        m_tool->KillOffice();
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));
    }

    // Starts that cannot work are reported on the first tick, and nothing is left running.
    void brokenStartsFailAtOnce()
    {
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        const QString document = newFolder("broken") + "/deck.pptx";

        // No suite at all: neither in the application folder nor on the PATH.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", newFolder("empty-path").toUtf8());
        const qint64 noSuite = failureAfter(newFolder("no-suite"), document);
        qputenv("PATH", path);
        QVERIFY2(noSuite >= 0 && noSuite < 2500, qPrintable(QString::number(noSuite)));

        // A profile without our macro would leave a suite idling on the document for ever.
        const QString noMacro = fakeSuite("no-macro", 30, 0, false);
        QVERIFY(!noMacro.isEmpty());
        const qint64 withoutMacro = failureAfter(noMacro, document);
        QVERIFY2(withoutMacro >= 0 && withoutMacro < 2500, qPrintable(QString::number(withoutMacro)));
        QVERIFY(!QFile::exists(noMacro + "/starts.log"));

        // A path that does not fit the command-line buffer is refused, never cut short.
        QString folder = QStringLiteral("long");
        for (int i = 0; i < 4; ++i)
            folder += "/" + QString(50, QLatin1Char('a' + i));
        const QString longPath = fakeSuite("long-path", 30);
        QVERIFY(!longPath.isEmpty());
        const qint64 tooLong = failureAfter(longPath, newFolder(folder) + "/deck.pptx");
        QVERIFY2(tooLong >= 0 && tooLong < 2500, qPrintable(QString::number(tooLong)));
        QVERIFY(!QFile::exists(longPath + "/starts.log"));

        // A teacher's own office shares the process name: it is neither killed nor taken as a sign
        // that our conversion is still alive.
        const QString foreignFolder = newFolder("teachers-office");
        QVERIFY(QFile::copy("/usr/bin/perl", foreignFolder + "/soffice.bin"));
        QProcess teachers;
        teachers.start(foreignFolder + "/soffice.bin", { "-e", "sleep 60", "--", "unsaved.odp" });
        QVERIFY(teachers.waitForStarted());
        QTRY_VERIFY(IsProcessRunning(kOffice, "unsaved.odp"));
        const QString quits = fakeSuite("quits-at-once", -1);
        QVERIFY(!quits.isEmpty());
        m_tool->SetApplicationFolder(quits);
        m_tool->KillOffice();
        const qint64 foreign = failureAfter(quits, document);
        QVERIFY2(foreign >= 0 && foreign < 2500, qPrintable(QString::number(foreign)));
        QVERIFY(IsProcessRunning(kOffice, "unsaved.odp"));
        teachers.kill();
        teachers.waitForFinished();
        QCOMPARE(slides.count(), 0);
    }

    void brokenConversionsFailOnceTheSuiteIsGone()
    {
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        // A corrupt document: the real suite gives up and ends, the next tick notices.
        const QString corrupt = newFolder("corrupt") + "/broken.pptx";
        QByteArray noise(20000, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + 13) % 251);
        QVERIFY(writeBytes(corrupt, noise));
        const qint64 corrupted = failureAfter(m_realApp, corrupt, 10000);
        QVERIFY2(corrupted >= 0 && corrupted < 6000, qPrintable(QString::number(corrupted)));

        // A suite that runs for two seconds, then dies without writing anything.
        const QString dying = fakeSuite("dying", 2);
        QVERIFY(!dying.isEmpty());
        const qint64 died = failureAfter(dying, newFolder("dying-doc") + "/deck.pptx", 8000);
        QVERIFY2(died >= 1900 && died < 5000, qPrintable(QString::number(died)));

        // A hung suite fails after the tick limit and is killed. Ticks 1 to 3 still wait; the
        // fourth finds the count past the limit. A coarse timer may fire each tick 5 % early.
        const QString hung = fakeSuite("hung", 60);
        QVERIFY(!hung.isEmpty());
        m_tool->SetTickLimit(2);
        const qint64 hungFor = failureAfter(hung, newFolder("hung-doc") + "/deck.pptx", 10000);
        QVERIFY2(hungFor >= 3700 && hungFor < 6500, qPrintable(QString::number(hungFor)));
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(hung)));
        QCOMPARE(slides.count(), 0);
    }

    // Picking a second document at once, before the first start has got as far as "soffice.bin":
    // the first start must not live on and convert its deck into the new pages.
    void reopeningAtOnceConvertsOnlyTheNewDocument()
    {
        const QString folder = newFolder("reopen");
        QVERIFY(QFile::copy(m_root.filePath("decks/deck.pptx"), folder + "/ten.pptx"));
        QString error;
        QVERIFY2(deckgen::writeDeck(folder + "/three.pptx", 3, m_root.filePath("deckgen-profile"), &error),
            qPrintable(error));
        m_tool->SetApplicationFolder(m_realApp);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->KillOffice();
        m_tool->OpenFile(folder + "/ten.pptx");
        m_tool->KillOffice();
        m_tool->OpenFile(folder + "/three.pptx");
        QTRY_COMPARE_WITH_TIMEOUT(slides.count(), 3, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!IsProcessRunning(kOffice, OfficeProfileMarker(m_realApp)), 20000);
        QTest::qWait(1500);
        QCOMPARE(slides.count(), 3);
        QCOMPARE(failed.count(), 0);
    }

    // A launcher that takes its time before "soffice.bin" runs is a suite that is starting, not a
    // dead one; and a new document kills it before it can start the old one.
    void slowLauncherCountsAsRunningAndIsKilledOnReopen()
    {
        const QString app = fakeSuite("slow-launcher", 30, 2500);
        QVERIFY(!app.isEmpty());
        const QString folder = newFolder("slow-launcher-doc");
        m_tool->SetApplicationFolder(app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->OpenFile(folder + "/first.pptx");
        QTest::qWait(1800);
        QCOMPARE(failed.count(), 0);
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));

        m_tool->KillOffice();
        m_tool->OpenFile(folder + "/second.pptx");
        QTRY_VERIFY_WITH_TIMEOUT(IsProcessRunning(kOffice, folder + "/second.pptx"), 6000);
        QTest::qWait(1500);
        QVERIFY(!IsProcessRunning(kOffice, folder + "/first.pptx"));
        QCOMPARE(failed.count(), 0);
        m_tool->KillOffice();
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));
        QVERIFY(!IsProcessRunning("oosplash", OfficeProfileMarker(app)));
    }
};

QTEST_MAIN(PowerPointToolTest)
#include "tst_PowerPointTool.moc"
