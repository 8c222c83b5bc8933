#include "AppShell.h"

#include "AppFolders.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTextStream>
#include <QTranslator>

namespace {

constexpr int kKeptLogFiles = 10;

QString g_logFilePath;
std::function<QDateTime()> g_logClock;

QDateTime now()
{
    return g_logClock ? g_logClock() : QDateTime::currentDateTime();
}

} // namespace

void SetLogClock(std::function<QDateTime()> clock)
{
    g_logClock = std::move(clock);
}

QString LogFilePath()
{
    return g_logFilePath;
}

void ResetLogFilePath()
{
    g_logFilePath.clear();
}

QString LogLine(QtMsgType type, const QDateTime& time, const QString& message)
{
    const char* pattern = nullptr;
    switch (type) {
    case QtDebugMsg:
        pattern = "Debug %1 - %2\n";
        break;
    case QtWarningMsg:
        pattern = "Warning %1 - %2\n";
        break;
    case QtCriticalMsg:
        pattern = "Critical %1 - %2\n";
        break;
    case QtFatalMsg:
        pattern = "Fatal %1 - %2\n";
        break;
    default:
        return QString();
    }
    // One arg() call: a "%2" inside the message must stay text.
    return QString::fromLatin1(pattern).arg(time.toString(QStringLiteral("yyyy/MM/dd hh:mm:ss")), message);
}

void LogMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const QDateTime time = now();
    // Fixed by the first message, so a run past midnight stays in one file.
    if (g_logFilePath.isEmpty())
        g_logFilePath = AppWriteFolder() + QStringLiteral("/Lectern_")
            + time.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".log");
    const QString line = LogLine(type, time, message);
    if (line.isEmpty())
        return;
    QFile file(g_logFilePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QTextStream out(&file);
    out << line;
}

void RemoveOldLogs()
{
    const QString folder = AppWriteFolder();
    const QStringList names
        = QDir(folder).entryList({ QStringLiteral("Lectern*.log") }, QDir::Files, QDir::Name);
    for (int i = 0; i < names.size() - kKeptLogFiles; ++i)
        QFile::remove(folder + QStringLiteral("/") + names.at(i));
}

bool LoadTranslator(QApplication& app, const QLocale& locale)
{
    // Installed for the life of the process.
    auto* translator = new QTranslator();
    const QString location = AppReadFolder() + QStringLiteral("/translations");
    qDebug() << "translate location:" << location;
    if (translator->load(locale, QStringLiteral("qt"), QStringLiteral("_"), location)) {
        qDebug() << "qtTranslator ok";
        app.installTranslator(translator);
        return true;
    }
    qDebug() << "load translate fail";
    return false;
}

void LoadTranslator(QApplication& app)
{
    LoadTranslator(app, QLocale::system());
}

QString StyleSheetText(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromLatin1(nul >= 0 ? bytes.left(nul) : bytes);
}

void LoadStyleSheet(QApplication& app, const QString& path)
{
    QFile file(path);
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    app.setStyleSheet(StyleSheetText(bytes));
}
