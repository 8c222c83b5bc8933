#pragma once

#include <QString>

// Finding and ending processes by their image name (the last component of the executable's
// path), compared exactly and case-sensitively. One implementation per platform:
// Process_linux.cpp (procfs) and Process_win.cpp (process enumeration).

// Windows: a process HANDLE. Elsewhere: the process id carried in the pointer. Null: none.
using ProcessHandle = void*;

constexpr int kProcessNameBufferSize = 2048;

ProcessHandle GetProcessByName(const wchar_t* name);
void CloseProcessHandle(ProcessHandle handle);
void KillProcessByName(const wchar_t* name);
void KillProcessByName(const QString& name);
bool IsProcessRunning(const QString& name);

// The same, restricted to processes that belong to an owner: on Linux those whose command
// line contains ownerMarker, on Windows those whose image path starts with ownerMarker. An empty
// marker means every process of that name.
void KillProcessByName(const QString& name, const QString& ownerMarker);
bool IsProcessRunning(const QString& name, const QString& ownerMarker);

// The command line of process pid as one text, arguments separated by spaces; empty when it cannot
// be read (gone, a zombie, or on Windows, where no documented call gives another process's).
QString ProcessCommandLine(qint64 pid);
// Ends process pid at once.
void KillProcessId(qint64 pid);

// Writes text's UTF-16 units and a terminating NUL into buffer; the caller provides
// text.size() + 1 units. Returns false (and writes nothing) when text does not fit bufferSize.
bool ToWCharArray(const QString& text, wchar_t* buffer, int bufferSize = kProcessNameBufferSize);
