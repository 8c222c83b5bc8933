#pragma once

#include <QProcess>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// A QProcess whose child the kernel kills when the thread that started it ends, so no server a
// test started outlives the test (a crash, an abort, a time-out kill).
class ChildProcess : public QProcess {
protected:
    // Runs in the forked child before the program replaces it: only async-signal-safe calls here.
    void setupChildProcess() override
    {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have died before the line above took effect.
        if (getppid() != m_parent)
            _exit(127);
    }

private:
    const pid_t m_parent = getpid();
};
#else
using ChildProcess = QProcess;
#endif
