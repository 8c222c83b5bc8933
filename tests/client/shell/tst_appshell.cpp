#include "shell/AppShell.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <cstdio>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void touch(const QString& path)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
}

QStringList messages;
void captureHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    messages << message;
}

} // namespace

class TestAppShell : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        ResetLogFilePath();
        SetLogClock(nullptr);
        SetLogFolder(QString());
    }

    void logLineTemplatesAndInformationWritesNothing()
    {
        QTemporaryDir dir;
        SetLogFolder(dir.path());
        const QDateTime at(QDate(2026, 12, 5), QTime(14, 3, 9));
        SetLogClock([at] { return at; });

        const QMessageLogContext context;
        LogMessageHandler(QtDebugMsg, context, QStringLiteral("startup---\n"));
        LogMessageHandler(QtInfoMsg, context, QStringLiteral("never shown"));
        LogMessageHandler(QtWarningMsg, context, QStringLiteral("\"quoted\" 100%2 %1"));
        LogMessageHandler(QtCriticalMsg, context, QStringLiteral("bad"));
        LogMessageHandler(QtFatalMsg, context, QStringLiteral("worse"));

        const QString path = dir.path() + QStringLiteral("/Lectern_20261205.log");
        QCOMPARE(LogFilePath(), path);
        QCOMPARE(QString::fromUtf8(readAll(path)),
                 QStringLiteral("Debug 2026/12/05 14:03:09 - startup---\n\n"
                                "Warning 2026/12/05 14:03:09 - \"quoted\" 100%2 %1\n"
                                "Critical 2026/12/05 14:03:09 - bad\n"
                                "Fatal 2026/12/05 14:03:09 - worse\n"));
        QCOMPARE(LogLine(QtInfoMsg, at, QStringLiteral("x")), QString());
        QCOMPARE(LogLine(QtDebugMsg, QDateTime(QDate(2026, 1, 2), QTime(23, 0, 0)), QStringLiteral("a")),
                 QStringLiteral("Debug 2026/01/02 23:00:00 - a\n"));
    }

    void logFileKeepsTheDayOfTheFirstMessage()
    {
        QTemporaryDir dir;
        SetLogFolder(dir.path());
        QDateTime clock(QDate(2026, 12, 5), QTime(23, 59, 59));
        SetLogClock([&clock] { return clock; });

        // An information message still fixes the file: the day is that of the first message.
        LogMessageHandler(QtInfoMsg, QMessageLogContext(), QStringLiteral("first"));
        clock = QDateTime(QDate(2026, 12, 6), QTime(0, 0, 1));
        LogMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("after midnight"));

        QVERIFY(!QFile::exists(dir.path() + QStringLiteral("/Lectern_20261206.log")));
        QCOMPARE(readAll(dir.path() + QStringLiteral("/Lectern_20261205.log")),
                 QByteArray("Debug 2026/12/06 00:00:01 - after midnight\n"));
    }

    void logToUnwritableFolderIsDropped()
    {
        SetLogFolder(QStringLiteral("/nonexistent/lectern-log-folder"));
        LogMessageHandler(QtDebugMsg, QMessageLogContext(), QStringLiteral("lost"));
        QVERIFY(!QFile::exists(LogFilePath()));
    }

    void removeOldLogsKeepsTheTenNewest()
    {
        QTemporaryDir dir;
        SetLogFolder(dir.path());
        for (int day = 1; day <= 12; ++day)
            touch(dir.path() + QStringLiteral("/Lectern_202612%1.log").arg(day, 2, 10, QLatin1Char('0')));
        touch(dir.path() + QStringLiteral("/other.log"));
        touch(dir.path() + QStringLiteral("/Lectern_20261201.txt"));
        QDir().mkpath(dir.path() + QStringLiteral("/Lectern_folder.log"));

        RemoveOldLogs();
        QStringList left = QDir(dir.path()).entryList({QStringLiteral("Lectern*.log")}, QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 10);
        QCOMPARE(left.first(), QStringLiteral("Lectern_20261203.log"));
        QVERIFY(QFile::exists(dir.path() + QStringLiteral("/other.log")));
        QVERIFY(QFile::exists(dir.path() + QStringLiteral("/Lectern_20261201.txt")));
        QVERIFY(QDir(dir.path() + QStringLiteral("/Lectern_folder.log")).exists());

        // Ten or fewer: nothing goes.
        RemoveOldLogs();
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("Lectern*.log")}, QDir::Files).size(), 10);

        // Any name after the prefix counts, and sorts by name.
        touch(dir.path() + QStringLiteral("/Lectern.log"));
        touch(dir.path() + QStringLiteral("/Lectern_x.log"));
        RemoveOldLogs();
        left = QDir(dir.path()).entryList({QStringLiteral("Lectern*.log")}, QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 10);
        QVERIFY(!left.contains(QStringLiteral("Lectern.log")));
        QVERIFY(!left.contains(QStringLiteral("Lectern_20261203.log")));
        QVERIFY(left.contains(QStringLiteral("Lectern_x.log")));
    }

    void styleSheetIsLatin1CutAtNul()
    {
        QCOMPARE(StyleSheetText(QByteArray("a{b:c}\0junk", 11)), QStringLiteral("a{b:c}"));
        QCOMPARE(StyleSheetText(QByteArray("\xe9t\xe9")), QString::fromLatin1("\xe9t\xe9"));
        QCOMPARE(StyleSheetText(QByteArray()), QString());

        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/sheet.qss");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray("QLabel{color:red}\0QLabel{color:blue}", 36));
        file.close();
        LoadStyleSheet(*qApp, path);
        QCOMPARE(qApp->styleSheet(), QStringLiteral("QLabel{color:red}"));
        LoadStyleSheet(*qApp, dir.path() + QStringLiteral("/missing.qss"));
        QCOMPARE(qApp->styleSheet(), QString());
    }

    void builtInResourcesArePresent()
    {
        LoadStyleSheet(*qApp);
        const QString sheet = qApp->styleSheet();
        QCOMPARE(sheet.toLatin1(), readAll(QStringLiteral(LECTERN_SOURCE_DIR "/client/resources/default.qss")));
        for (const char* rule : {"QScrollBar:vertical {", "QListWidget::item:selected {", "QTextEdit:focus {",
                                 "QToolTip {", "font-size: 13pt;", "background: #32CC99;"})
            QVERIFY2(sheet.contains(QLatin1String(rule)), rule);

        const QImage login(QStringLiteral(":/Lectern/Resources/login.png"));
        QCOMPARE(login.size(), QSize(800, 600));
        // The field boxes carry white text: they must be dark.
        for (const QPoint& p : {QPoint(420, 298), QPoint(420, 352)})
            QVERIFY(qGray(login.pixel(p)) < 80);

        const QStringList pictures = {
            "defaultcover", "dropdown", "icons/time", "icons/microphone", "icons/microphone1", "icons/volume",
            "icons/volume1", "icons/stu-mic-on", "icons/stu-mic-off", "icons/start", "icons/start-disable",
            "icons/up-triangle", "icons/blank", "icons/camera", "icons/camera1", "icons/screen",
            "icons/screen1", "icons/resume", "icons/pause", "paint/circle4", "paint/circle8",
            "paint/circle12", "paint/pen", "paint/move", "paint/arrow", "paint/clear", "paint/rect",
            "paint/delete", "paint/text"};
        for (const QString& name : pictures) {
            const QImage image(QStringLiteral(":/Lectern/Resources/") + name + QStringLiteral(".png"));
            QVERIFY2(!image.isNull(), qPrintable(name));
        }
        // Two-state icons must differ between their looks.
        for (const char* name : {"microphone", "volume", "camera", "screen"}) {
            const QString base = QStringLiteral(":/Lectern/Resources/icons/") + QLatin1String(name);
            QVERIFY(QImage(base + QStringLiteral(".png")) != QImage(base + QStringLiteral("1.png")));
        }
    }

    void translatorLoadsCatalogueOrLogsFailure()
    {
        QTemporaryDir dir;
        SetLogFolder(dir.path());
        messages.clear();
        QtMessageHandler previous = qInstallMessageHandler(captureHandler);
        const bool missing = LoadTranslator(*qApp, QLocale(QLocale::Chinese, QLocale::China));
        qInstallMessageHandler(previous);
        QVERIFY(!missing);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages.at(0), QStringLiteral("translate location: \"%1/translations\"").arg(dir.path()));
        QCOMPARE(messages.at(1), QStringLiteral("load translate fail"));

        const QString source = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
        QDir().mkpath(dir.path() + QStringLiteral("/translations"));
        // The "qt" catalogue only names its parts; every part must be beside it.
        for (const char* name : {"qt_zh_CN.qm", "qtbase_zh_CN.qm", "qtscript_zh_CN.qm", "qtmultimedia_zh_CN.qm",
                                 "qtxmlpatterns_zh_CN.qm"})
            QVERIFY(QFile::copy(source + QLatin1Char('/') + QLatin1String(name),
                                dir.path() + QStringLiteral("/translations/") + QLatin1String(name)));
        messages.clear();
        previous = qInstallMessageHandler(captureHandler);
        const bool loaded = LoadTranslator(*qApp, QLocale(QLocale::Chinese, QLocale::China));
        qInstallMessageHandler(previous);
        QVERIFY(loaded);
        QCOMPARE(messages.last(), QStringLiteral("qtTranslator ok"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    }

    void processEndsWithZeroWhateverTheLoopReturned()
    {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LECTERN_TERMINATE_CHILD"), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), QStringList());
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        const QByteArray out = child.readAllStandardOutput();
        QVERIFY(out.contains("loop returned 3"));
        QVERIFY2(!out.contains("destroyed"), out.constData());
    }
};

namespace {

struct LoudObject {
    ~LoudObject() { std::printf("destroyed\n"); }
};

int terminateChild(int argc, char* argv[])
{
    QApplication app(argc, argv);
    LoudObject loud;
    QTimer::singleShot(0, [] { QCoreApplication::exit(3); });
    const int result = app.exec();
    std::printf("loop returned %d\n", result);
    std::fflush(stdout);
    TerminateCurrentProcess();
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet("LECTERN_TERMINATE_CHILD"))
        return terminateChild(argc, argv);
    LecternInitResources();
    QApplication app(argc, argv);
    TestAppShell test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_appshell.moc"
