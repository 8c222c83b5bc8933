#include "AppShell.h"

#include <unistd.h>

void TerminateCurrentProcess()
{
    _exit(0);
}
