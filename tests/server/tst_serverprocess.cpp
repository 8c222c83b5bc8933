// The tests' server starter: a server that answers, an error that says why and a clean stop.
#include "ServerProcess.h"

#include <QTcpSocket>
#include <QtTest>

namespace {

bool Accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(500);
}

} // namespace

class TestServerProcess : public QObject {
    Q_OBJECT
private slots:
    void startsAnswersStopsAndSaysWhyItWouldNot()
    {
        ServerProcess server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const quint16 port = server.port();
        QVERIFY(port != server.livePort() && Accepts(port) && Accepts(server.livePort()));
        QVERIFY(server.stop() && !Accepts(port) && !server.stop()); // the second finds nothing left to end
        QVERIFY(!server.start(&error, { "--host", "not-an-address" }) && !server.isRunning());
        QVERIFY2(error.startsWith("server ended: ") && error.contains("not-an-address"), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestServerProcess)
#include "tst_serverprocess.moc"
