#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <utility>

// Whether the caller runs on the thread that owns the widgets.
inline bool IsGuiThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// Runs fn on the GUI thread: at once when already there, otherwise queued to the event loop. The
// queued call is dropped when context is destroyed before it runs, so a listener of the service's
// threads may hand over a window that could close meanwhile. Whatever fn captures must be copies:
// the caller's data may be gone by the time it runs.
template <typename Fn> void RunOnGuiThread(QObject* context, Fn&& fn)
{
    if (IsGuiThread()) {
        std::forward<Fn>(fn)();
        return;
    }
    QMetaObject::invokeMethod(context, std::forward<Fn>(fn), Qt::QueuedConnection);
}

template <typename Fn> void RunOnGuiThread(Fn&& fn)
{
    RunOnGuiThread(QCoreApplication::instance(), std::forward<Fn>(fn));
}
