#include "PageStore.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void PageStore::lowerThreadPriority()
{
    // Linux's normal policy has no thread priorities, so QThread's does nothing there; a
    // thread's nice value is its own.
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), 10);
}
