#include "AppShell.h"

#include <cstdlib>

#include <windows.h>

void TerminateCurrentProcess()
{
    TerminateProcess(GetCurrentProcess(), 0);
    _exit(0);
}
