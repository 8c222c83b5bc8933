// The server's epoll event dispatcher where it differs from poll(): sockets whose descriptor
// numbers are reused, files epoll refuses, wake-ups from other threads, timers beside busy sockets.
#include "common/EpollDispatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <thread>

class TestEpollDispatcher : public QObject {
    Q_OBJECT
private slots:
    void runsOnEpoll() { QVERIFY(qobject_cast<EpollDispatcher*>(QAbstractEventDispatcher::instance())); }

    // Each round closes its sockets and opens new ones, which get the numbers just freed: a
    // number left registered for the old socket would leave the new one deaf.
    void socketsOneAfterAnother()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        for (int round = 0; round < 5; ++round) {
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, server.serverPort());
            QTRY_VERIFY(server.hasPendingConnections());
            QTcpSocket* peer = server.nextPendingConnection();
            QVERIFY(client.waitForConnected(0) || client.state() == QAbstractSocket::ConnectedState);
            const QByteArray big(1 << 20, char('a' + round)); // more than one write takes
            client.write(big);
            QByteArray got;
            connect(peer, &QTcpSocket::readyRead, [&] { got += peer->readAll(); });
            QTRY_COMPARE(got.size(), big.size());
            QCOMPARE(got, big);
            peer->write("bye");
            QTRY_COMPARE(client.bytesAvailable(), qint64(3));
            delete peer;
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        }
    }

    void fileIsAlwaysReady()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        QSocketNotifier notifier(file.handle(), QSocketNotifier::Read);
        int activated = 0;
        connect(&notifier, &QSocketNotifier::activated, [&] {
            if (++activated == 3)
                notifier.setEnabled(false);
        });
        bool timerRan = false;
        QTimer::singleShot(20, [&] { timerRan = true; });
        QTRY_VERIFY(timerRan);
        QCOMPARE(activated, 3);
    }

    // A posted event and interrupt() from another thread end a wait that nothing else would end
    // before the guard timer.
    void wokenFromOtherThreads()
    {
        QEventLoop loop;
        QTimer::singleShot(3000, &loop, [&loop] { loop.exit(1); });
        std::thread poster([&loop] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            QMetaObject::invokeMethod(
                &loop, [&loop] { loop.exit(0); }, Qt::QueuedConnection);
        });
        const int how = loop.exec();
        poster.join();
        QVERIFY2(how == 0, "slept through a posted event");

        QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
        bool guard = false;
        QTimer::singleShot(3000, [&guard] { guard = true; });
        std::atomic<bool> interrupted { false };
        std::thread interrupter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            interrupted = true;
            dispatcher->interrupt();
        });
        while (!guard && !interrupted)
            dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
        interrupter.join();
        QVERIFY2(!guard, "slept through interrupt()");
    }

    void timersKeepTheirTimes()
    {
        QTimer repeat;
        repeat.setTimerType(Qt::PreciseTimer);
        int ticks = 0;
        connect(&repeat, &QTimer::timeout, [&] { ++ticks; });
        QElapsedTimer clock;
        clock.start();
        repeat.start(10);
        QVERIFY(repeat.remainingTime() > 0 && repeat.remainingTime() <= 10);
        QTRY_VERIFY(ticks >= 10);
        QVERIFY2(clock.elapsed() >= 100, qPrintable(QString::number(clock.elapsed())));
        repeat.stop();
        const int stopped = ticks;
        bool later = false;
        QTimer::singleShot(50, [&] { later = true; });
        QTRY_VERIFY(later);
        QCOMPARE(ticks, stopped);
    }
};

int main(int argc, char** argv)
{
    installEpollDispatcher();
    QCoreApplication app(argc, argv);
    TestEpollDispatcher test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_epolldispatcher.moc"
