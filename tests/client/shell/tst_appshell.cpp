#include "shell/AppShell.h"

#include "shell/AppFolders.h"

#include <QApplication>
#include <QtTest>

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
        SetAppFolders(m_dir.path(), m_dir.path());
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
        const QStringList left
            = QDir(folder).entryList({ QStringLiteral("Lectern*.log") }, QDir::Files, QDir::Name);
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
        QCOMPARE(messages,
            QStringList({ QStringLiteral("translate location: \"%1/translations\"").arg(m_dir.path()),
                QStringLiteral("load translate fail") }));

        // The "qt" catalogue only names its parts; every part must be beside it.
        const QString source = QLibraryInfo::location(QLibraryInfo::TranslationsPath);
        QDir().mkpath(m_dir.path() + QStringLiteral("/translations"));
        for (const char* part : { "qt", "qtbase", "qtscript", "qtmultimedia", "qtxmlpatterns" }) {
            const QString name = QLatin1String(part) + QStringLiteral("_zh_CN.qm");
            QVERIFY(QFile::copy(
                source + QLatin1Char('/') + name, m_dir.path() + QStringLiteral("/translations/") + name));
        }
        QVERIFY(load());
        QCOMPARE(messages.last(), QStringLiteral("qtTranslator ok"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("取消"));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
