#include "PageStore.h"

#include <QThread>

void PageStore::lowerThreadPriority()
{
    QThread::currentThread()->setPriority(QThread::LowPriority);
}
