#include "Process.h"

#include <QByteArray>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/types.h>

namespace {

// Image name of a process: the last path component of its executable, or empty when the process
// cannot be read (gone, or owned by someone we may not inspect).
QString imageName(const QString& pid)
{
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/") + pid + QStringLiteral("/exe"));
    if (target.isEmpty())
        return QString();
    // A running program whose file was replaced (an upgrade) is still the same program.
    const QString deleted = QStringLiteral(" (deleted)");
    if (target.endsWith(deleted))
        target.chop(deleted.size());
    return QFileInfo(target).fileName();
}

// The command line as one text, arguments separated by spaces.
QString commandLine(const QString& pid)
{
    QFile file(QStringLiteral("/proc/") + pid + QStringLiteral("/cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.readAll();
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    bytes.replace('\0', ' ');
    return QString::fromLocal8Bit(bytes);
}

QList<pid_t> processIds()
{
    QList<pid_t> ids;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool ok = false;
        const int pid = entry.toInt(&ok);
        if (ok && pid > 0)
            ids.append(pid);
    }
    return ids;
}

bool matches(pid_t pid, const QString& name, const QString& ownerMarker)
{
    const QString id = QString::number(pid);
    if (imageName(id) != name)
        return false;
    return ownerMarker.isEmpty() || commandLine(id).contains(ownerMarker);
}

ProcessHandle toHandle(pid_t pid)
{
    return reinterpret_cast<ProcessHandle>(static_cast<std::intptr_t>(pid));
}

ProcessHandle findProcess(const QString& name, const QString& ownerMarker)
{
    if (name.isEmpty())
        return nullptr;
    for (pid_t pid : processIds()) {
        if (matches(pid, name, ownerMarker)) {
            qDebug() << "find process success with id:" << pid;
            return toHandle(pid);
        }
    }
    return nullptr;
}

void killProcesses(const QString& name, const QString& ownerMarker)
{
    if (name.isEmpty())
        return;
    for (pid_t pid : processIds()) {
        if (matches(pid, name, ownerMarker)) {
            qDebug() << "find process to kill success with id:" << pid;
            ::kill(pid, SIGKILL);
        }
    }
}

// The wide form's name, refused when it is not terminated within the buffer.
bool fromWide(const wchar_t* name, QString& out)
{
    if (!name)
        return false;
    int length = 0;
    while (length < kProcessNameBufferSize && name[length] != L'\0')
        ++length;
    if (length == kProcessNameBufferSize)
        return false;
    out = QString::fromWCharArray(name, length);
    return true;
}

} // namespace

ProcessHandle GetProcessByName(const wchar_t* name)
{
    QString text;
    if (!fromWide(name, text))
        return nullptr;
    return findProcess(text, QString());
}

void CloseProcessHandle(ProcessHandle)
{
    // A process id holds no resource on this platform.
}

void KillProcessByName(const wchar_t* name)
{
    QString text;
    if (fromWide(name, text))
        killProcesses(text, QString());
}

void KillProcessByName(const QString& name)
{
    wchar_t buffer[kProcessNameBufferSize];
    if (ToWCharArray(name, buffer))
        KillProcessByName(buffer);
}

bool IsProcessRunning(const QString& name)
{
    wchar_t buffer[kProcessNameBufferSize];
    if (!ToWCharArray(name, buffer))
        return false;
    ProcessHandle handle = GetProcessByName(buffer);
    CloseProcessHandle(handle);
    return handle != nullptr;
}

void KillProcessByName(const QString& name, const QString& ownerMarker)
{
    if (name.size() < kProcessNameBufferSize)
        killProcesses(name, ownerMarker);
}

bool IsProcessRunning(const QString& name, const QString& ownerMarker)
{
    if (name.size() >= kProcessNameBufferSize)
        return false;
    return findProcess(name, ownerMarker) != nullptr;
}

QString ProcessCommandLine(qint64 pid)
{
    return pid > 0 ? commandLine(QString::number(pid)) : QString();
}

void KillProcessId(qint64 pid)
{
    if (pid > 0)
        ::kill(pid_t(pid), SIGKILL);
}
