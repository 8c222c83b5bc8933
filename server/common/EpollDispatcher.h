#pragma once

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QList>

#include <atomic>
#include <cstdint>
#include <memory>

class QTimerInfoList;

// The server's event dispatcher. Qt's own waits with poll(), which hands the kernel the whole
// list of sockets at every wake-up: with ten thousand relay connections that scan, not the relay's
// work, costs most of the CPU and the latency. This one keeps the sockets registered in an epoll
// set, so a wake-up costs what is ready, and leaves the timers to Qt's own timer list.
// Install it with QCoreApplication::setEventDispatcher before the application object exists.
class EpollDispatcher : public QAbstractEventDispatcher {
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject* parent = nullptr);
    ~EpollDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override { }

private:
    struct Watch {
        QSocketNotifier* notifiers[3] = {}; // by QSocketNotifier::Type
        // Regular files, which epoll refuses, are always ready, as poll() has them.
        enum Mode { None, InEpoll, AlwaysReady } mode = None;
        bool writeWaits = false; // the write notifier found no room: epoll says when there is
        uint32_t events = 0; // as epoll has them
    };
    // Brings the epoll set in line with the notifiers registered for fd.
    void update(int fd, Watch& watch);
    int activateSocketNotifiers();

    int m_epoll = -1;
    int m_wake = -1; // eventfd: posted events, wakeUp() and interrupt() from any thread
    std::atomic<int> m_wakeUps { 0 };
    std::atomic<bool> m_interrupt { false };
    std::unique_ptr<QTimerInfoList> m_timers;
    QHash<int, Watch> m_watches;
    int m_alwaysReady = 0; // watches not in epoll
    QList<QSocketNotifier*> m_pending; // ready, to be activated in this pass
    // Write notifiers are activated once without asking epoll: a socket almost always has room,
    // and asking costs two epoll_ctl calls and a wake-up per message sent. Those still enabled
    // after that one activation wait for EPOLLOUT.
    QList<QSocketNotifier*> m_writeSoon;
    QList<QSocketNotifier*> m_writeTried; // activated so in this pass, not yet unregistered
};

// Makes the calling thread's event loop run on an EpollDispatcher, unless the environment says
// LECTERN_EVENT_DISPATCHER=qt (Qt's own, for comparison). Before QCoreApplication exists.
void installEpollDispatcher();
