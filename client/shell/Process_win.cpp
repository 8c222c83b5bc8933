#include "Process.h"

#include <QDebug>
#include <QDir>

#include <cwchar>

#include <windows.h>
#include <psapi.h>
#include <shlwapi.h>

namespace {

constexpr DWORD kProcessTableSize = 1024;
constexpr DWORD kImageNameSize = 260;

// Fills ids with the system's process identifiers; returns how many there are.
DWORD enumerate(DWORD* ids)
{
    DWORD bytes = 0;
    if (!EnumProcesses(ids, kProcessTableSize * sizeof(DWORD), &bytes))
        return 0;
    return bytes / sizeof(DWORD);
}

// The open process when its image name equals name (and its image path starts with
// ownerPrefix, when given); null otherwise.
HANDLE openMatching(DWORD pid, const wchar_t* name, const wchar_t* ownerPrefix)
{
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (!process)
        return nullptr;
    wchar_t image[kImageNameSize] = { 0 };
    if (GetProcessImageFileNameW(process, image, kImageNameSize) > 0
        && wcscmp(PathFindFileNameW(image), name) == 0) {
        if (!ownerPrefix || !*ownerPrefix)
            return process;
        wchar_t path[MAX_PATH] = { 0 };
        DWORD size = MAX_PATH;
        if (QueryFullProcessImageNameW(process, 0, path, &size)
            && _wcsnicmp(path, ownerPrefix, wcslen(ownerPrefix)) == 0)
            return process;
    }
    CloseHandle(process);
    return nullptr;
}

HANDLE findProcess(const wchar_t* name, const wchar_t* ownerPrefix)
{
    if (!name)
        return nullptr;
    static DWORD ids[kProcessTableSize];
    const DWORD count = enumerate(ids);
    for (DWORD i = 0; i < count; ++i) {
        if (HANDLE process = openMatching(ids[i], name, ownerPrefix)) {
            qDebug() << "find process success with id:" << ids[i];
            return process;
        }
    }
    return nullptr;
}

void killProcesses(const wchar_t* name, const wchar_t* ownerPrefix)
{
    if (!name)
        return;
    static DWORD ids[kProcessTableSize];
    const DWORD count = enumerate(ids);
    for (DWORD i = 0; i < count; ++i) {
        if (HANDLE process = openMatching(ids[i], name, ownerPrefix)) {
            qDebug() << "find process to kill success with id:" << ids[i];
            TerminateProcess(process, 0);
            CloseHandle(process);
        }
    }
}

} // namespace

ProcessHandle GetProcessByName(const wchar_t* name)
{
    return findProcess(name, nullptr);
}

void CloseProcessHandle(ProcessHandle handle)
{
    if (handle)
        CloseHandle(static_cast<HANDLE>(handle));
}

void KillProcessByName(const wchar_t* name)
{
    killProcesses(name, nullptr);
}

void KillProcessByName(const QString& name)
{
    static wchar_t buffer[kProcessNameBufferSize];
    if (ToWCharArray(name, buffer))
        KillProcessByName(buffer);
}

bool IsProcessRunning(const QString& name)
{
    static wchar_t buffer[kProcessNameBufferSize];
    if (!ToWCharArray(name, buffer))
        return false;
    ProcessHandle handle = GetProcessByName(buffer);
    CloseProcessHandle(handle);
    return handle != nullptr;
}

// Image paths come back with backslashes; the marker is usually a Qt path with slashes.
void KillProcessByName(const QString& name, const QString& ownerMarker)
{
    static wchar_t buffer[kProcessNameBufferSize];
    static wchar_t owner[kProcessNameBufferSize];
    if (ToWCharArray(name, buffer) && ToWCharArray(QDir::toNativeSeparators(ownerMarker), owner))
        killProcesses(buffer, owner);
}

bool IsProcessRunning(const QString& name, const QString& ownerMarker)
{
    static wchar_t buffer[kProcessNameBufferSize];
    static wchar_t owner[kProcessNameBufferSize];
    if (!ToWCharArray(name, buffer) || !ToWCharArray(QDir::toNativeSeparators(ownerMarker), owner))
        return false;
    HANDLE process = findProcess(buffer, owner);
    CloseProcessHandle(process);
    return process != nullptr;
}

QString ProcessCommandLine(qint64)
{
    return QString();
}

void KillProcessId(qint64 pid)
{
    if (pid <= 0)
        return;
    if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid))) {
        TerminateProcess(process, 0);
        CloseHandle(process);
    }
}
