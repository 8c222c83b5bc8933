// Waiting on the event loop in benchmarks without spinning: a spinning wait counts a core against
// what is measured and delays the very events it waits for.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

namespace bench {

// Runs events until done() holds or timeoutMs passes; false on timeout.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    // Wakes the blocking wait below so that done() and the timeout are looked at often.
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Runs events for ms milliseconds.
inline void pump(int ms)
{
    waitFor([] { return false; }, ms);
}

} // namespace bench
