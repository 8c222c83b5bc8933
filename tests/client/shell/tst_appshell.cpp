#include "shell/AppShell.h"
#include "shell/Resources.h"

#include <QApplication>
#include <QImage>
#include <QtTest>

#include <cstdio>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString& path, const QByteArray& bytes = QByteArray())
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
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
        SetLogFolder(m_dir.path());
        QDir(m_dir.path()).removeRecursively();
        QDir().mkpath(m_dir.path());
    }

    void logLinesGoToTheFileOfTheFirstMessagesDay()
    {
        QDateTime clock(QDate(2026, 12, 5), QTime(23, 59, 59));
        SetLogClock([&clock] { return clock; });
        const QMessageLogContext context;
        // An information message writes nothing but still fixes the file's day.
        LogMessageHandler(QtInfoMsg, context, QStringLiteral("never shown"));
        clock = QDateTime(QDate(2026, 12, 6), QTime(0, 3, 9));
        LogMessageHandler(QtDebugMsg, context, QStringLiteral("startup---\n"));
        LogMessageHandler(QtWarningMsg, context, QStringLiteral("\"quoted\" 100%2 %1"));
        LogMessageHandler(QtCriticalMsg, context, QStringLiteral("bad"));
        LogMessageHandler(QtFatalMsg, context, QStringLiteral("worse"));

        const QString path = m_dir.path() + QStringLiteral("/Lectern_20261205.log");
        QCOMPARE(LogFilePath(), path);
        QVERIFY(!QFile::exists(m_dir.path() + QStringLiteral("/Lectern_20261206.log")));
        QCOMPARE(QString::fromUtf8(readAll(path)),
                 QStringLiteral("Debug 2026/12/06 00:03:09 - startup---\n\n"
                                "Warning 2026/12/06 00:03:09 - \"quoted\" 100%2 %1\n"
                                "Critical 2026/12/06 00:03:09 - bad\n"
                                "Fatal 2026/12/06 00:03:09 - worse\n"));

        // An unwritable folder loses the line without a crash.
        ResetLogFilePath();
        SetLogFolder(QStringLiteral("/nonexistent/lectern-log-folder"));
        LogMessageHandler(QtDebugMsg, context, QStringLiteral("lost"));
        QVERIFY(!QFile::exists(LogFilePath()));
    }

    void removeOldLogsKeepsTheTenLastByName()
    {
        const QString folder = m_dir.path() + QLatin1Char('/');
        for (int day = 1; day <= 11; ++day)
            QVERIFY(write(folder + QStringLiteral("Lectern_202612%1.log").arg(day, 2, 10, QLatin1Char('0'))));
        QVERIFY(write(folder + QStringLiteral("Lectern_x.log")));
        QVERIFY(write(folder + QStringLiteral("Lectern.log")));
        QVERIFY(write(folder + QStringLiteral("other.log")));
        QVERIFY(write(folder + QStringLiteral("Lectern_20261201.txt")));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("Lectern_folder.log")));

        RemoveOldLogs();
        RemoveOldLogs(); // ten left: nothing more goes
        const QStringList left = QDir(folder).entryList({QStringLiteral("Lectern*.log")}, QDir::Files, QDir::Name);
        QCOMPARE(left.size(), 10);
        QCOMPARE(left.first(), QStringLiteral("Lectern_20261203.log"));
        QCOMPARE(left.last(), QStringLiteral("Lectern_x.log"));
        // Other names and a folder stay.
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), 13);
    }

    void styleSheetIsLatin1CutAtNul()
    {
        QCOMPARE(StyleSheetText(QByteArray("\xe9t\xe9")), QString::fromLatin1("\xe9t\xe9"));
        const QString path = m_dir.path() + QStringLiteral("/sheet.qss");
        QVERIFY(write(path, QByteArray("QLabel{color:red}\0QLabel{color:blue}", 36)));
        LoadStyleSheet(*qApp, path);
        QCOMPARE(qApp->styleSheet(), QStringLiteral("QLabel{color:red}"));
        LoadStyleSheet(*qApp, m_dir.path() + QStringLiteral("/missing.qss"));
        QCOMPARE(qApp->styleSheet(), QString());

        LoadStyleSheet(*qApp);
        QCOMPARE(qApp->styleSheet().toLatin1(),
                 readAll(QStringLiteral(LECTERN_SOURCE_DIR "/client/resources/default.qss")));
    }

    void builtInPicturesAreUsable()
    {
        const QImage login(QStringLiteral(":/Lectern/Resources/login.png"));
        QCOMPARE(login.size(), QSize(800, 600));
        // The field boxes carry white text: they must be dark.
        for (const QPoint& p : {QPoint(420, 298), QPoint(420, 352)})
            QVERIFY(qGray(login.pixel(p)) < 80);
        // Two-state icons must differ between their looks.
        for (const char* name : {"microphone", "volume", "camera", "screen"}) {
            const QString base = QStringLiteral(":/Lectern/Resources/icons/") + QLatin1String(name);
            const QImage off(base + QStringLiteral(".png")), on(base + QStringLiteral("1.png"));
            QVERIFY2(!off.isNull() && !on.isNull() && off != on, name);
        }
    }

    void translatorLoadsCatalogueOrLogsFailure()
    {
        const auto load = [] {
            messages.clear();
            const QtMessageHandler previous = qInstallMessageHandler(captureHandler);
            const bool loaded = LoadTranslator(*qApp, QLocale(QLocale::Chinese, QLocale::China));
            qInstallMessageHandler(previous);
            return loaded;
        };
        QVERIFY(!load());
        QCOMPARE(messages, QStringList({QStringLiteral("translate location: \"%1/translations\"").arg(m_dir.path()),
                                        QStringLiteral("load translate fail")}));

        // The "qt" catalogue only names its parts; every part must be beside it.
        const QString source = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
        QDir().mkpath(m_dir.path() + QStringLiteral("/translations"));
        for (const char* part : {"qt", "qtbase", "qtscript", "qtmultimedia", "qtxmlpatterns"}) {
            const QString name = QLatin1String(part) + QStringLiteral("_zh_CN.qm");
            QVERIFY(QFile::copy(source + QLatin1Char('/') + name, m_dir.path() + QStringLiteral("/translations/") + name));
        }
        QVERIFY(load());
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

private:
    QTemporaryDir m_dir;
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
    std::printf("loop returned %d\n", app.exec());
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
