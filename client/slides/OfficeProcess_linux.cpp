#include "OfficeProcess.h"

#include "shell/Process.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace {

const QString kProcessName = QStringLiteral("soffice.bin");
// The launcher that the "soffice" script execs into; it starts "soffice.bin", and starts it once
// more when the first one ends for a fresh profile.
const QString kLauncherName = QStringLiteral("oosplash");
const QString kOfficeProgram = QStringLiteral("/LibreOfficePortable/App/libreoffice/program/soffice");
// What the suite needs to find in the profile to run our macro.
const QString kMacroModule = QStringLiteral("/user/basic/ExportImages/ExportImages.xba");

QString ProfileArgument(const QString& profileFolder)
{
    return QStringLiteral("-env:UserInstallation=")
        + QUrl::fromLocalFile(profileFolder).toString(QUrl::FullyEncoded);
}

// The process pid still runs with ownerMarker on its command line: not ended, not reused by
// another program. A zombie has no command line left.
bool LauncherAlive(qint64 pid, const QString& ownerMarker)
{
    return pid > 0 && ProcessCommandLine(pid).contains(ownerMarker);
}

} // namespace

namespace Office {

QString ProgramPath(const QString& readFolder)
{
    const QString portable = readFolder + kOfficeProgram;
    // Without a suite in the application folder, the system's own (Debian's) is used.
    if (!QFileInfo(portable).isExecutable()) {
        const QString system = QStandardPaths::findExecutable(QStringLiteral("soffice"));
        if (!system.isEmpty())
            return system;
    }
    return portable;
}

QString OwnerMarker(const QString&, const QString& profileFolder)
{
    // Our suite is the one started on our profile.
    return ProfileArgument(profileFolder);
}

bool StartHidden(
    const QString& program, const QString& profileFolder, const QString& document, qint64* launcherPid)
{
    *launcherPid = 0;
    // Without our macro the suite would open the document and idle on for ever.
    if (!QFileInfo::exists(profileFolder + kMacroModule)) {
        qDebug() << "office macro missing, not started:" << profileFolder + kMacroModule;
        return false;
    }
    QProcess process;
    process.setProgram(program);
    process.setArguments(
        QStringList { ProfileArgument(profileFolder), QStringLiteral("--headless") } + Arguments(document));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached(launcherPid)) {
        qDebug() << "ShellExecuteW fail,GetLastError:" << process.error() << process.errorString();
        return false;
    }
    return true;
}

void KillOwn(const QString& marker, qint64 launcherPid)
{
    // The launcher first: killed after "soffice.bin" it could still start another, and one
    // started a moment ago may not have come as far as starting "soffice.bin" at all.
    if (LauncherAlive(launcherPid, marker))
        KillProcessId(launcherPid);
    KillProcessByName(kLauncherName, marker);
    KillProcessByName(kProcessName, marker);
}

bool OwnRunning(const QString& marker, qint64 launcherPid)
{
    // A launcher still on its way to "soffice.bin", or between the two starts of a fresh profile,
    // is a suite that runs.
    return LauncherAlive(launcherPid, marker) || IsProcessRunning(kLauncherName, marker)
        || IsProcessRunning(kProcessName, marker);
}

void HideFolder(const QString&)
{
    // Hiding would mean renaming the folder to ".something".
}

} // namespace Office
