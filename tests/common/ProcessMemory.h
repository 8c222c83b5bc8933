#pragma once

#include <QtGlobal>

// Resident memory of a process in KiB, read from /proc; 0 means this process. -1 when unknown.
qint64 RssKb(qint64 pid = 0);
