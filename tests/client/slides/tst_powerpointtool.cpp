#include "slides/PowerPointTool.h"

#include "shell/AppFolders.h"
#include "shell/Process.h"

#include "../../../tools/deckgen/DeckWriter.h"
#include "OfficeProfile.h"

#include <QImage>
#include <QtTest>

namespace {

const QString kOffice = QStringLiteral("soffice.bin");

bool writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class PowerPointToolTest : public QObject {
    Q_OBJECT

private:
    // An application folder whose suite is a stand-in: the launcher logs its arguments one per line
    // to starts.log and runs "soffice.bin" (perl) with them for lifetimeSeconds; a negative lifetime
    // starts nothing. The launcher first waits delaySeconds as "oosplash", as a slow real start does.
    QString fakeSuite(
        const QString& name, int lifetimeSeconds, double delaySeconds = 0, bool withMacro = true)
    {
        const QString app = m_root.filePath(name),
                      program = app + "/LibreOfficePortable/App/libreoffice/program";
        if (!QDir().mkpath(program) || !QFile::copy("/usr/bin/perl", program + "/soffice.bin")
            || !QFile::copy("/usr/bin/perl", program + "/oosplash")
            || (withMacro && !InstallOfficeProfile(app)))
            return QString();
        QString script = QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"%1/starts.log\"\n").arg(app);
        if (lifetimeSeconds >= 0)
            script
                += QStringLiteral("exec \"%1/oosplash\" -e 'select(undef, undef, undef, %3); "
                                  "exec \"%1/soffice.bin\", \"-e\", \"sleep %2\", \"--\", @ARGV' -- \"$@\"\n")
                       .arg(program)
                       .arg(lifetimeSeconds)
                       .arg(delaySeconds);
        if (!writeBytes(program + "/soffice", script.toUtf8())
            || !QFile::setPermissions(program + "/soffice", QFile::ReadOwner | QFile::ExeOwner))
            return QString();
        m_apps << app;
        return app;
    }

    // Ends our suite; true once it is gone.
    bool killOffice()
    {
        QSignalSpy ended(m_tool, &PowerPointTool::OfficeEnded);
        m_tool->KillOffice();
        return !ended.isEmpty() || ended.wait(5000);
    }

    QString newFolder(const QString& name)
    {
        const QString folder = m_root.filePath(name);
        return QDir().mkpath(folder) ? folder : QString();
    }

    // Opens the document with the suite of app; the time until OpenFail, or -1 when it never came.
    qint64 failureAfter(const QString& app, const QString& document, int timeoutMs = 5000)
    {
        SetAppFolders(app, app);
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
            SetAppFolders(app, app);
            QVERIFY(killOffice());
        }
    }

    void init() { m_tool->SetTickLimit(180); }

    void buildInstallsTheMacroProfile()
    {
        const QString macro = "/user/basic/ExportImages/ExportImages.xba";
        const QString installed = QStringLiteral(LECTERN_BIN_DIR) + kOfficeProfileFolder;
        QVERIFY(!readBytes(installed + macro).isEmpty());
        QCOMPARE(readBytes(installed + macro),
            readBytes(LECTERN_SOURCE_DIR "/client/slides/LibreOfficeProfile" + macro));
        QVERIFY(QFile::exists(installed + "/user/registrymodifications.xcu"));
    }

    // Against the real suite: the earlier output folder is replaced, lock files of the folder go,
    // every slide arrives once, in slide order, showing its own slide.
    void convertsDeckIntoOnePagePerSlideInOrder_data()
    {
        QTest::addColumn<QString>("format");
        QTest::newRow("pptx") << "pptx";
        QTest::newRow("ppt") << "ppt"; // teachers still keep decks in the old binary format
    }

    void convertsDeckIntoOnePagePerSlideInOrder()
    {
        QFETCH(QString, format);
        const QString folder = newFolder("convert-" + format + "/带 空格"), output = folder + "/_output_";
        const QString document = folder + "/课件 deck." + format;
        QVERIFY(QFile::copy(m_root.filePath("decks/deck." + format), document) && QDir().mkpath(output));
        for (const char* name :
            { "_output_/001.png", "_output_/old.txt", ".~lock.课件 deck.pptx#", ".~lock.other.odp#" })
            QVERIFY(writeBytes(folder + "/" + QString::fromUtf8(name), "old"));
        QVERIFY(writeBytes(folder + "/keep.txt", "not a lock"));

        SetAppFolders(m_realApp, m_realApp);
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        QVERIFY(killOffice());
        m_tool->OpenFile(document);
        QVERIFY(!QFile::exists(output + "/old.txt") && !QFile::exists(folder + "/.~lock.other.odp#")
            && QFile::exists(folder + "/keep.txt"));
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
        QCOMPARE(slides.count() + failed.count(), 10);
    }

    // One notification with several new files announces the PNGs among them (any case of the
    // suffix) in name order; later notifications announce only what the previous one lacked.
    void announcesEachNewImageOnceInNaturalOrder()
    {
        // A suite that writes nothing and ends at once: only the first change stops the tick.
        const QString app = fakeSuite("no-office", -1), output = newFolder("watch") + "/_output_";
        SetAppFolders(app, app);
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
        QVERIFY(QFile::remove(output + "/slide2.png") && writeBytes(output + "/slide3.png", "x"));
        QTRY_COMPARE(slides.count(), 4);
        // Deleted while a notification happened, then written again: a new image.
        QVERIFY(writeBytes(output + "/slide2.png", "x"));
        QTRY_COMPARE(
            announced(), QStringList({ "b.PNG", "slide2.png", "slide10.png", "slide3.png", "slide2.png" }));
        QVERIFY(writeBytes(output + "/slide10.png", "rewritten"));
        QTest::qWait(1500);
        QCOMPARE(slides.count() + failed.count(), 5);
    }

    // Starts that cannot work are reported on the first tick, and nothing is left running.
    void brokenStartsFailAtOnce()
    {
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        const QString document = newFolder("broken") + "/deck.pptx";
        const auto quick = [](qint64 ms) { return ms >= 0 && ms < 2500; };

        // No suite at all: neither in the application folder nor on the PATH.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", newFolder("empty-path").toUtf8());
        const qint64 noSuite = failureAfter(newFolder("no-suite"), document);
        qputenv("PATH", path);
        QVERIFY2(quick(noSuite), qPrintable(QString::number(noSuite)));

        // A profile without our macro would leave a suite idling on the document for ever.
        const QString noMacro = fakeSuite("no-macro", 30, 0, false);
        QVERIFY(quick(failureAfter(noMacro, document)) && !QFile::exists(noMacro + "/starts.log"));

        // A path that does not fit the command-line buffer is refused, never cut short.
        QString folder = QStringLiteral("long");
        for (int i = 0; i < 4; ++i)
            folder += "/" + QString(50, QLatin1Char('a' + i));
        const QString longPath = fakeSuite("long-path", 30);
        QVERIFY(quick(failureAfter(longPath, newFolder(folder) + "/deck.pptx")));
        QVERIFY(!QFile::exists(longPath + "/starts.log"));

        // A teacher's own office shares the process name: it is neither killed nor taken as a sign
        // that our conversion is still alive.
        QVERIFY(QFile::copy("/usr/bin/perl", newFolder("teachers-office") + "/soffice.bin"));
        QProcess teachers;
        teachers.start(
            m_root.filePath("teachers-office/soffice.bin"), { "-e", "sleep 60", "--", "unsaved.odp" });
        QVERIFY(teachers.waitForStarted());
        QTRY_VERIFY(IsProcessRunning(kOffice, "unsaved.odp"));
        const QString quits = fakeSuite("quits-at-once", -1);
        SetAppFolders(quits, quits);
        QVERIFY(killOffice());
        QVERIFY(quick(failureAfter(quits, document)));
        QVERIFY(IsProcessRunning(kOffice, "unsaved.odp"));
        teachers.kill();
        teachers.waitForFinished();
        QCOMPARE(slides.count(), 0);
    }

    void brokenConversionsFailOnceTheSuiteIsGone()
    {
        QSignalSpy slides(m_tool, &PowerPointTool::NewSlides);
        // A suite that runs for two seconds, then dies without writing anything.
        const qint64 died = failureAfter(fakeSuite("dying", 2), newFolder("dying-doc") + "/deck.pptx", 8000);
        QVERIFY2(died >= 1900 && died < 5000, qPrintable(QString::number(died)));

        // A hung suite fails after the tick limit and is killed: the fourth tick finds the count past
        // the limit. A coarse timer may fire each tick 5 % early.
        const QString hung = fakeSuite("hung", 60);
        m_tool->SetTickLimit(2);
        const qint64 hungFor = failureAfter(hung, newFolder("hung-doc") + "/deck.pptx", 10000);
        QVERIFY2(hungFor >= 3700 && hungFor < 6500, qPrintable(QString::number(hungFor)));
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(hung)));
        QCOMPARE(slides.count(), 0);
    }

    // Regression: a launcher that takes its time before "soffice.bin" runs is a suite that is
    // starting, not a dead one; and a second document picked at once kills it before it can start
    // the first one's conversion. The suite runs on our profile, hidden, with the fixed switches,
    // and a file name with spaces and quotes stays one argument.
    void slowLauncherCountsAsRunningAndIsKilledOnReopen()
    {
        const QString app = fakeSuite("slow-launcher", 30, 2.5), folder = newFolder("slow-launcher-doc");
        SetAppFolders(app, app);
        QSignalSpy failed(m_tool, &PowerPointTool::OpenFail);
        m_tool->OpenFile(folder + "/first.pptx");
        QTest::qWait(1800);
        QCOMPARE(failed.count(), 0);
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app)));

        const QString second = folder + "/a \"quoted\" deck.pptx";
        m_tool->KillOffice();
        m_tool->OpenFile(second);
        QTRY_VERIFY_WITH_TIMEOUT(IsProcessRunning(kOffice, second), 6000);
        QTest::qWait(1500);
        QVERIFY(!IsProcessRunning(kOffice, folder + "/first.pptx"));
        const QStringList started
            = QString::fromUtf8(readBytes(app + "/starts.log")).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(started.mid(11),
            QStringList({ OfficeProfileMarker(app), "--headless", "--nocrashreport", "--nodefault",
                "--nolockcheck", "--nologo", "--nofirststartwizard", "--norestore",
                "macro:///ExportImages.ExportImages.ExportAsImages()", "-o", second }));
        QVERIFY(killOffice());
        QVERIFY(!IsProcessRunning(kOffice, OfficeProfileMarker(app))
            && !IsProcessRunning("oosplash", OfficeProfileMarker(app)));
    }
};

QTEST_MAIN(PowerPointToolTest)
#include "tst_powerpointtool.moc"
