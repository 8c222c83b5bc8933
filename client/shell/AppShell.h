#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <functional>

class QApplication;
class QByteArray;
class QLocale;

// Appends every diagnostic message to the daily log file "Lectern_yyyyMMdd.log" in the written
// root (AppFolders.h); the file name is fixed by the first message of the run.
void LogMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);
// Deletes the oldest "Lectern*.log" files of the written root so that 10 remain.
void RemoveOldLogs();
// Installs the framework's own catalogue ("translations/qt_<locale>.qm") for the system locale.
void LoadTranslator(QApplication& app);
bool LoadTranslator(QApplication& app, const QLocale& locale);
// Applies the built-in style sheet; an unreadable sheet leaves the application unstyled.
void LoadStyleSheet(
    QApplication& app, const QString& path = QStringLiteral(":/Lectern/Resources/default.qss"));
// Ends the process at once with exit code 0: no destructors, no clean-up.
[[noreturn]] void TerminateCurrentProcess();

// The pieces, for tests.
QString LogLine(QtMsgType type, const QDateTime& time, const QString& message);
QString StyleSheetText(const QByteArray& bytes);
QString LogFilePath(); // empty until the first message
void ResetLogFilePath();
void SetLogClock(std::function<QDateTime()> clock); // null restores the wall clock
