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
    // An application folder whose suite is a stand-in: the launcher records its arguments one
    // per line in starts.log and runs a "soffice.bin" (a copy of perl) for lifetimeSeconds with
    // those arguments on its command line. A negative lifetime starts no office at all. With a
    // launcher delay the script first becomes "oosplash" (perl again), which waits that long
    // before it turns into "soffice.bin", as the real launcher does on a slow or fresh start.
    // The profile holds the macro module unless withMacro is false.
    QString fakeSuite(const QString& name, int lifetimeSeconds, int launcherDelayMs = 0, bool withMacro = true)
    {
        const QString app = m_root.filePath(name);
        const QString program = app + kProgramFolder;
        if (!QDir().mkpath(program)
            || !QFile::copy(QStringLiteral("/usr/bin/perl"), program + "/soffice.bin")
            || !QFile::copy(QStringLiteral("/usr/bin/perl"), program + "/oosplash"))
            return QString();
        if (withMacro && !InstallOfficeProfile(app))
            return QString();
        QString script = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"%1/starts.log\"\n").arg(app);
        if (lifetimeSeconds >= 0 && launcherDelayMs > 0)
            script += QStringLiteral("exec \"%1/oosplash\" -e 'select(undef, undef, undef, %3); "
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
        QCOMPARE(PowerPointTool::GetInstance(), m_tool);
        // Our own copy of the profile with the macro: no other run of the suite can meet ours.
        m_realApp = m_root.filePath("app");
        QVERIFY(InstallOfficeProfile(m_realApp));
        m_apps << m_realApp;

        QString error;
        const QString decks = newFolder("decks");
        QVERIFY2(deckgen::writeDeck(decks + "/deck.pptx", 10, m_root.filePath("deckgen-profile"), &error),
            qPrintable(error));
        QVERIFY2(deckgen::writeDeck(decks + "/deck.ppt", 10, m_root.filePath("deckgen-profile"), &error),
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
        const QString source = QStringLiteral(
            LECTERN_SOURCE_DIR "/client/slides/LibreOfficeProfile/user/basic/ExportImages/ExportImages.xba");
        QFile installed(QStringLiteral(LECTERN_BIN_DIR) + kOfficeProfileFolder
            + "/user/basic/ExportImages/ExportImages.xba");
        QFile original(source);
        QVERIFY(installed.open(QIODevice::ReadOnly));
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(installed.readAll(), original.readAll());
        QVERIFY(QFile::exists(
            QStringLiteral(LECTERN_BIN_DIR) + kOfficeProfileFolder + "/user/registrymodifications.xcu"));
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
        QVERIFY(!folder.isEmpty());
        const QString document = folder + "/课件 deck." + format;
        QVERIFY(QFile::copy(m_root.filePath("decks/deck." + format), document));
        const QString output = folder + "/_output_";
        QVERIFY(QDir().mkpath(output));
        QVERIFY(writeBytes(output + "/001.png", "not the new image"));
        QVERIFY(writeBytes(output + "/old.txt", "left by an earlier conversion"));
        QVERIFY(writeBytes(folder + "/.~lock.课件 deck." + format + "#", "lock"));
        QVERIFY(writeBytes(folder + "/.~lock.other.odp#", "lock"));
        QVERIFY(writeBytes(folder + "/keep.txt", "not a lock"));

        m_tool->SetApplicationFolder(m_realApp);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->KillOffice();
        m_tool->OpenFile(document);

        QVERIFY(!QFile::exists(output + "/old.txt"));
        QVERIFY(!QFile::exists(folder + "/.~lock.other.odp#"));
        QVERIFY(QFile::exists(folder + "/keep.txt"));
        QTRY_COMPARE_WITH_TIMEOUT(slides.count(), 10, 60000);
        for (int i = 0; i < 10; ++i) {
            const QString image = slides.at(i).at(0).toString();
            QCOMPARE(image, output + QStringLiteral("/%1.png").arg(i + 1, 3, 10, QLatin1Char('0')));
            const QImage picture(image);
            QVERIFY2(!picture.isNull(), qPrintable(image));
            QCOMPARE(picture.width(), 1280);
            QCOMPARE(picture.height(), 720);
            QVERIFY2(NearColor(picture.pixel(20, 20), deckgen::slideColor(i + 1), 6),
                qPrintable(QStringLiteral("%1 shows %2").arg(image, QColor(picture.pixel(20, 20)).name())));
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
        const QString folder = newFolder("watch");
        const QString output = folder + "/_output_";
        m_tool->SetApplicationFolder(app);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->OpenFile(folder + "/deck.pptx");

        for (const char* name : { "slide10.png", "notes.txt", "slide2.png", "b.PNG", "slide1.png.part" })
            QVERIFY(writeBytes(output + "/" + name, "x"));
        QTRY_COMPARE(slides.count(), 3);
        QCOMPARE(slides.at(0).at(0).toString(), output + "/b.PNG");
        QCOMPARE(slides.at(1).at(0).toString(), output + "/slide2.png");
        QCOMPARE(slides.at(2).at(0).toString(), output + "/slide10.png");

        QVERIFY(QFile::remove(output + "/slide2.png"));
        QVERIFY(writeBytes(output + "/slide3.png", "x"));
        QTRY_COMPARE(slides.count(), 4);
        QCOMPARE(slides.at(3).at(0).toString(), output + "/slide3.png");

        // Deleted while a notification happened, then written again: a new image.
        QVERIFY(writeBytes(output + "/slide2.png", "x"));
        QTRY_COMPARE(slides.count(), 5);
        QCOMPARE(slides.at(4).at(0).toString(), output + "/slide2.png");

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
        QTRY_VERIFY(QFile::exists(app + "/starts.log"));
        QTRY_VERIFY(IsProcessRunning(kOffice, OfficeProfileMarker(app)));
        QFile log(app + "/starts.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QStringList arguments = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
        const QStringList expected { OfficeProfileMarker(app), "--headless", "--nocrashreport", "--nodefault",
            "--nolockcheck", "--nologo", "--nofirststartwizard", "--norestore",
            "macro:///ExportImages.ExportImages.ExportAsImages()", "-o", document };
        QCOMPARE(arguments, expected);
        QVERIFY(QFileInfo(newFolder("command-line-doc") + "/_output_").isDir());
        m_tool->KillOffice();
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));
    }

    void reportsFailureOfEveryKindOfBrokenStart()
    {
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;

        // A corrupt document: the real suite gives up and ends, the next tick notices.
        const QString corrupt = newFolder("corrupt") + "/broken.pptx";
        QByteArray noise(20000, '\0');
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((i * 7919 + 13) % 251);
        QVERIFY(writeBytes(corrupt, noise));
        m_tool->SetApplicationFolder(m_realApp);
        clock.start();
        m_tool->OpenFile(corrupt);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));

        // No suite at all: neither in the application folder nor on the PATH.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", newFolder("empty-path").toUtf8());
        m_tool->SetApplicationFolder(newFolder("no-suite"));
        clock.start();
        m_tool->OpenFile(corrupt);
        qputenv("PATH", path);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 2, 5000);
        QVERIFY(clock.elapsed() < 2500);

        // A suite that runs for two seconds, then dies without writing anything.
        const QString dying = fakeSuite("dying", 2);
        QVERIFY(!dying.isEmpty());
        m_tool->SetApplicationFolder(dying);
        clock.start();
        m_tool->OpenFile(newFolder("dying-doc") + "/deck.pptx");
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 3, 8000);
        QVERIFY2(
            clock.elapsed() >= 1900 && clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
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

    // A profile without our macro would leave a suite idling on the document for ever: it is
    // not started, and the teacher hears of it on the first tick.
    void profileWithoutTheMacroIsNotStarted()
    {
        const QString app = fakeSuite("no-macro", 30, 0, false);
        QVERIFY(!app.isEmpty());
        m_tool->SetApplicationFolder(app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;
        clock.start();
        m_tool->OpenFile(newFolder("no-macro-doc") + "/deck.pptx");
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
        QVERIFY(clock.elapsed() < 2500);
        QVERIFY(!QFile::exists(app + "/starts.log"));
    }

    void hungSuiteFailsAfterTheTickLimitAndIsKilled()
    {
        const QString app = fakeSuite("hung", 60);
        QVERIFY(!app.isEmpty());
        m_tool->SetApplicationFolder(app);
        m_tool->SetTickLimit(2);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;
        clock.start();
        m_tool->OpenFile(newFolder("hung-doc") + "/deck.pptx");
        QTRY_VERIFY(IsProcessRunning(kOffice, OfficeProfileMarker(app)));
        // Ticks 1 to 3 still wait; the fourth finds the count past the limit. A coarse timer
        // may fire each tick up to 5 % early.
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 10000);
        QVERIFY2(
            clock.elapsed() >= 3700 && clock.elapsed() < 6500, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));
    }

    // A teacher's own office shares the process name: it is neither killed nor taken as a sign
    // that our conversion is still alive.
    void teachersOwnOfficeIsNeitherKilledNorWatched()
    {
        const QString foreignFolder = newFolder("teachers-office");
        QVERIFY(QFile::copy(QStringLiteral("/usr/bin/perl"), foreignFolder + "/soffice.bin"));
        QProcess teachers;
        teachers.start(foreignFolder + "/soffice.bin", { "-e", "sleep 60", "--", "unsaved.odp" });
        QVERIFY(teachers.waitForStarted());
        QTRY_VERIFY(IsProcessRunning(kOffice, "unsaved.odp"));

        const QString app = fakeSuite("quits-at-once", -1);
        QVERIFY(!app.isEmpty());
        m_tool->SetApplicationFolder(app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;
        clock.start();
        m_tool->KillOffice();
        m_tool->OpenFile(newFolder("foreign-doc") + "/deck.pptx");
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
        QVERIFY(clock.elapsed() < 2500);
        QCOMPARE(teachers.state(), QProcess::Running);
        QVERIFY(IsProcessRunning(kOffice, "unsaved.odp"));
        teachers.kill();
        teachers.waitForFinished();
    }

    // A document path that does not fit the command-line buffer is refused, never cut short:
    // nothing is started and the failure comes on the first tick.
    void tooLongDocumentPathIsRefusedNotTruncated()
    {
        const QString app = fakeSuite("long-path", 30);
        QVERIFY(!app.isEmpty());
        QString folder = QStringLiteral("long");
        for (int i = 0; i < 4; ++i)
            folder += "/" + QString(50, QLatin1Char('a' + i));
        const QString document = newFolder(folder) + "/deck.pptx";
        QVERIFY(!document.isEmpty());
        m_tool->SetApplicationFolder(app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QElapsedTimer clock;
        clock.start();
        m_tool->OpenFile(document);
        QTRY_COMPARE_WITH_TIMEOUT(failed.count(), 1, 5000);
        QVERIFY(clock.elapsed() < 2500);
        QVERIFY(!QFile::exists(app + "/starts.log"));
    }
};

QTEST_MAIN(PowerPointToolTest)
#include "tst_PowerPointTool.moc"
