#include "EpollDispatcher.h"

#include <QCoreApplication>
#include <QEvent>
#include <QSocketNotifier>
#include <QtCore/private/qabstracteventdispatcher_p.h>
#include <QtCore/private/qobject_p.h>
#include <QtCore/private/qthread_p.h>
#include <QtCore/private/qtimerinfo_unix_p.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// What poll() would report to each kind of notifier: errors and hang-ups wake them all.
constexpr uint32_t kWakes[3] = {
    EPOLLIN | EPOLLHUP | EPOLLERR, // Read
    EPOLLOUT | EPOLLHUP | EPOLLERR, // Write
    EPOLLPRI | EPOLLHUP | EPOLLERR, // Exception
};

int msUntil(const timespec& t)
{
    // Rounded up: waking before the timer is due would only spin until it is.
    const qint64 ns = qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
    return int(std::min<qint64>((ns + 999999) / 1000000, 24 * 3600 * 1000));
}

} // namespace

EpollDispatcher::EpollDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(::epoll_create1(EPOLL_CLOEXEC))
    , m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_timers(new QTimerInfoList)
{
    if (m_epoll < 0 || m_wake < 0)
        qFatal("EpollDispatcher: no epoll set or eventfd: %s", std::strerror(errno));
    epoll_event e = {};
    e.events = EPOLLIN;
    e.data.fd = m_wake;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &e) != 0)
        qFatal("EpollDispatcher: cannot watch the eventfd: %s", std::strerror(errno));
}

EpollDispatcher::~EpollDispatcher()
{
    qDeleteAll(*m_timers);
    ::close(m_wake);
    ::close(m_epoll);
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupt.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupt.load()
        && QObjectPrivate::get(this)->threadData.loadRelaxed()->canWaitLocked(); // nothing posted
    if (canWait)
        emit aboutToBlock();
    if (m_interrupt.load())
        return false;

    int timeoutMs = -1;
    timespec due = {};
    if (!canWait || (includeNotifiers && (m_alwaysReady > 0 || !m_writeSoon.isEmpty())))
        timeoutMs = 0;
    else if (includeTimers && m_timers->timerWait(due))
        timeoutMs = msUntil(due);

    epoll_event events[256];
    int ready = ::epoll_wait(m_epoll, events, int(std::size(events)), timeoutMs);
    if (ready < 0) {
        if (errno != EINTR)
            qWarning("EpollDispatcher: epoll_wait: %s", std::strerror(errno));
        ready = 0;
    }
    int handled = 0;
    for (int i = 0; i < ready; ++i) {
        const int fd = events[i].data.fd;
        if (fd == m_wake) {
            eventfd_t value = 0;
            ::eventfd_read(m_wake, &value);
            if (m_wakeUps.exchange(0) != 0)
                ++handled;
            continue;
        }
        if (!includeNotifiers)
            continue; // level-triggered: reported again next time
        const auto watch = m_watches.constFind(fd);
        if (watch == m_watches.constEnd())
            continue;
        for (int type = 0; type < 3; ++type) {
            QSocketNotifier* n = watch->notifiers[type];
            if (n && (events[i].events & kWakes[type]) && !m_pending.contains(n))
                m_pending.append(n);
        }
    }
    if (includeNotifiers && m_alwaysReady > 0)
        for (const Watch& w : qAsConst(m_watches))
            if (w.mode == Watch::AlwaysReady)
                for (QSocketNotifier* n : w.notifiers)
                    if (n && !m_pending.contains(n))
                        m_pending.append(n);
    if (includeNotifiers) {
        for (QSocketNotifier* n : qAsConst(m_writeSoon))
            if (!m_pending.contains(n))
                m_pending.append(n);
        m_writeTried = m_writeSoon;
        m_writeSoon.clear();
        handled += activateSocketNotifiers();
        // Still enabled: the socket is full (or still connecting).
        const QList<QSocketNotifier*> waiting = m_writeTried;
        m_writeTried.clear();
        for (QSocketNotifier* n : waiting) {
            const auto watch = m_watches.find(int(n->socket()));
            if (watch != m_watches.end() && watch->notifiers[QSocketNotifier::Write] == n) {
                watch->writeWaits = true;
                update(watch.key(), *watch);
            }
        }
    }
    if (includeTimers)
        handled += m_timers->activateTimers();
    return handled > 0;
}

int EpollDispatcher::activateSocketNotifiers()
{
    int n = 0;
    QEvent event(QEvent::SockAct);
    // A notifier's slot may unregister others still waiting here; unregistering takes them out.
    while (!m_pending.isEmpty()) {
        QSocketNotifier* notifier = m_pending.takeFirst();
        QCoreApplication::sendEvent(notifier, &event);
        ++n;
    }
    return n;
}

bool EpollDispatcher::hasPendingEvents()
{
    return qGlobalPostedEventsCount() > 0;
}

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    if (fd < 0 || type < 0 || type > 2)
        return;
    Watch& w = m_watches[fd];
    if (w.notifiers[type] && w.notifiers[type] != notifier)
        qWarning("EpollDispatcher: several socket notifiers of one type on fd %d", fd);
    w.notifiers[type] = notifier;
    if (type == QSocketNotifier::Write) {
        w.writeWaits = false;
        if (!m_writeSoon.contains(notifier))
            m_writeSoon.append(notifier);
    }
    update(fd, w);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    m_pending.removeOne(notifier);
    m_writeSoon.removeOne(notifier);
    m_writeTried.removeOne(notifier);
    auto it = m_watches.find(fd);
    if (it == m_watches.end() || type < 0 || type > 2 || it->notifiers[type] != notifier)
        return;
    it->notifiers[type] = nullptr;
    if (type == QSocketNotifier::Write)
        it->writeWaits = false;
    update(fd, *it);
    if (!it->notifiers[0] && !it->notifiers[1] && !it->notifiers[2])
        m_watches.erase(it);
}

void EpollDispatcher::update(int fd, Watch& w)
{
    uint32_t wanted = 0;
    if (w.notifiers[QSocketNotifier::Read])
        wanted |= EPOLLIN;
    if (w.notifiers[QSocketNotifier::Write] && w.writeWaits)
        wanted |= EPOLLOUT;
    if (w.notifiers[QSocketNotifier::Exception])
        wanted |= EPOLLPRI;
    if (wanted == 0) {
        // Before the socket is closed, so a later socket with the same number starts clean. A file
        // closed first has left the set by itself.
        if (w.mode == Watch::InEpoll)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
        else if (w.mode == Watch::AlwaysReady)
            --m_alwaysReady;
        w.mode = Watch::None;
        return;
    }
    if (w.mode == Watch::AlwaysReady || (w.mode == Watch::InEpoll && w.events == wanted))
        return;
    epoll_event e = {};
    e.events = wanted;
    e.data.fd = fd;
    w.events = wanted;
    if (w.mode == Watch::InEpoll && ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &e) == 0)
        return;
    // Not in the set (or no longer: a closed file leaves it by itself).
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &e) == 0
        || (errno == EEXIST && ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &e) == 0)) {
        w.mode = Watch::InEpoll;
        return;
    }
    if (errno == EPERM) {
        // A regular file: poll() calls it always ready, and so does this.
        w.mode = Watch::AlwaysReady;
        ++m_alwaysReady;
        return;
    }
    qWarning("EpollDispatcher: cannot watch fd %d: %s", fd, std::strerror(errno));
    w.mode = Watch::None;
}

void EpollDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object)
{
    m_timers->registerTimer(timerId, interval, timerType, object);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    return m_timers->unregisterTimer(timerId);
}

bool EpollDispatcher::unregisterTimers(QObject* object)
{
    return m_timers->unregisterTimers(object);
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject* object) const
{
    return m_timers->registeredTimers(object);
}

int EpollDispatcher::remainingTime(int timerId)
{
    return m_timers->timerRemainingTime(timerId);
}

void EpollDispatcher::wakeUp()
{
    // One write per sleep, however many events are posted meanwhile.
    if (m_wakeUps.exchange(1) == 0)
        ::eventfd_write(m_wake, 1);
}

void EpollDispatcher::interrupt()
{
    m_interrupt.store(true);
    wakeUp();
}

void installEpollDispatcher()
{
    if (qgetenv("LECTERN_EVENT_DISPATCHER") == "qt")
        return;
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
}
