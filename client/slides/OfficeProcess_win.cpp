#include "OfficeProcess.h"

#include "shell/Process.h"

#include <QDebug>
#include <QDir>

#include <windows.h>

namespace {
const QString kProcessName = QStringLiteral("soffice.bin");
const QString kOfficeProgram = QStringLiteral("/LibreOfficePortable/App/libreoffice/program/soffice.exe");
const QString kOfficeSuite = QStringLiteral("/LibreOfficePortable/App/libreoffice");
// MAX_PATH UTF-16 units, terminator included.
constexpr int kCommandBufferSize = 260;
} // namespace

namespace Office {

QString ProgramPath(const QString& readFolder)
{
    return readFolder + kOfficeProgram;
}

QString OwnerMarker(const QString& readFolder, const QString&)
{
    // Our suite is the one whose image lies in the application folder.
    return QDir::toNativeSeparators(readFolder + kOfficeSuite);
}

bool StartHidden(const QString& program, const QString&, const QString& document, qint64* launcherPid)
{
    *launcherPid = 0;
    wchar_t file[kCommandBufferSize];
    wchar_t arguments[kCommandBufferSize];
    if (!ToWCharArray(QDir::toNativeSeparators(program), file, kCommandBufferSize)
        || !ToWCharArray(CommandLine(document), arguments, kCommandBufferSize))
        return false;
    const auto result
        = reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, nullptr, file, arguments, nullptr, SW_HIDE));
    if (result <= 32) {
        qDebug() << "ShellExecuteW fail,GetLastError:" << GetLastError();
        return false;
    }
    return true;
}

void KillOwn(const QString& marker, qint64)
{
    KillProcessByName(kProcessName, marker);
}

bool OwnRunning(const QString& marker, qint64)
{
    return IsProcessRunning(kProcessName, marker);
}

void HideFolder(const QString& path)
{
    if (!SetFileAttributesW(
            reinterpret_cast<LPCWSTR>(QDir::toNativeSeparators(path).utf16()), FILE_ATTRIBUTE_HIDDEN))
        qDebug() << "set output path hidden fail,GetLastError:" << GetLastError();
}

} // namespace Office
