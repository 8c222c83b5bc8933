#include "Process.h"

bool ToWCharArray(const QString& text, wchar_t* buffer, int bufferSize)
{
    // A name cut to fit would name a different process: refuse it instead.
    if (!buffer || text.size() + 1 > bufferSize)
        return false;
    const int written = text.toWCharArray(buffer);
    buffer[written] = L'\0';
    return true;
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
