// The tests' server starter: a server that answers, an error that says why, a clean stop, and no
// server left running when the test that started it dies.
#include "ServerProcess.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QtTest>

#include <cstdio>
#include <cstring>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/types.h>
#endif

namespace {

bool Accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(500);
}

#ifdef Q_OS_LINUX
// Gone, or only a zombie its new parent has yet to reap.
bool ProcessEnded(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const int end = line.lastIndexOf(')');
    return end > 0 && line.mid(end + 2, 1) == "Z";
}

// Run as a child: starts a server, tells its pid and port, then dies at once like a crashed test.
int StartServerAndDie()
{
    ServerProcess server;
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 2;
    }
    std::printf("%lld %u\n", server.processId(), unsigned(server.port()));
    std::fflush(stdout);
    std::raise(SIGKILL);
    return 3;
}
#endif

} // namespace

class TestServerProcess : public QObject {
    Q_OBJECT
private slots:
    void startsAnswersStopsAndSaysWhyItWouldNot()
    {
        ServerProcess server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QVERIFY(server.port() != server.livePort() && Accepts(server.port()) && Accepts(server.livePort()));
        QCOMPARE(server.liveUrl(), QStringLiteral("ws://127.0.0.1:%1/live").arg(server.livePort()));
        const quint16 port = server.port();
        QVERIFY(server.stop());
        QVERIFY(!server.isRunning() && !Accepts(port));
        QVERIFY(!server.stop()); // nothing left to end

        QVERIFY(!server.start(&error, { QStringLiteral("--host"), QStringLiteral("not-an-address") }));
        QVERIFY2(error.startsWith(QStringLiteral("server ended: ")) && error.contains("not-an-address"), qPrintable(error));
        QVERIFY(!server.isRunning());
    }

    void serverDiesWithTheTestThatStartedIt()
    {
#ifndef Q_OS_LINUX
        QSKIP("the kit watches for its test's death on Linux only");
#else
        QProcess test;
        test.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        test.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--start-server-and-die") });
        QVERIFY(test.waitForFinished(30000));
        const QList<QByteArray> told = test.readAllStandardOutput().trimmed().split(' ');
        QCOMPARE(told.size(), 2);
        const qint64 pid = told[0].toLongLong();
        const quint16 port = quint16(told[1].toUInt());
        QVERIFY(pid > 0 && port > 0);
        // Should the check fail, the stray server still goes.
        const auto reap = qScopeGuard([pid] {
            if (!ProcessEnded(pid))
                ::kill(pid_t(pid), SIGKILL);
        });
        // The leader can show as a zombie while its other threads still hold the sockets.
        QTRY_VERIFY_WITH_TIMEOUT(ProcessEnded(pid) && !Accepts(port), 5000);
#endif
    }
};

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
#ifdef Q_OS_LINUX
    if (argc == 2 && std::strcmp(argv[1], "--start-server-and-die") == 0)
        return StartServerAndDie();
#endif
    TestServerProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_serverprocess.moc"
