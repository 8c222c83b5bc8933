#pragma once

#include <QString>
#include <QStringList>

// The office suite as the converter runs it. One implementation per platform
// (OfficeProcess_linux.cpp, OfficeProcess_win.cpp): where the program is, how our own run of it is
// told apart from a teacher's, how it starts hidden and how it is ended.
namespace Office {

// The suite's program: the portable one under readFolder (on Linux Debian's when that is missing).
QString ProgramPath(const QString& readFolder);
// What our own suite's processes carry: on Linux our profile on their command line, on Windows
// the portable suite's folder at the start of their image path.
QString OwnerMarker(const QString& readFolder, const QString& profileFolder);
// The fixed switches, our export macro and the document, as one command line.
QString CommandLine(const QString& document);
// The same, one argument per element, so no quote inside a file name can split it.
QStringList Arguments(const QString& document);
// Starts the suite without a window on profileFolder to export document. launcherPid receives the
// process started, 0 where the platform does not tell.
bool StartHidden(
    const QString& program, const QString& profileFolder, const QString& document, qint64* launcherPid);
// One pass over the process table: ends every process of our suite.
void KillOwn(const QString& marker, qint64 launcherPid);
bool OwnRunning(const QString& marker, qint64 launcherPid);
// Hides the output folder where the platform has hidden folders; elsewhere it stays as named.
void HideFolder(const QString& path);

} // namespace Office
