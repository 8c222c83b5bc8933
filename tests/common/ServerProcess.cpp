#include "ServerProcess.h"

#include "ChildProcess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace {

quint16 FreeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

QStringList ServerProcess::storageArguments() const
{
    return { QStringLiteral("--db"), m_dir.filePath(QStringLiteral("lectern.db")),
        QStringLiteral("--downloads"), m_dir.filePath(QStringLiteral("downloads")) };
}

bool ServerProcess::start(QString* error, const QStringList& extraArguments)
{
    const QString exe = program();
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder: ") + m_dir.errorString();
        return false;
    }
    if (!QFile::exists(exe)) {
        *error = QStringLiteral("no server at ") + exe;
        return false;
    }
    stop();
    m_secure = extraArguments.contains(QStringLiteral("--tls-cert"));
    m_port = FreeLoopbackPort();
    do
        m_livePort = FreeLoopbackPort();
    while (m_livePort == m_port);
    m_process.reset(new ChildProcess);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(exe,
        QStringList { QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--live-port"),
            QString::number(m_livePort) }
            + storageArguments() + QStringList { QStringLiteral("--demo") } + extraArguments);
    if (!m_process->waitForStarted(5000)) {
        *error = m_process->errorString();
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    // Ready when both halves accept: the HTTP side may listen before the relay does.
    const auto accepts = [](quint16 port) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        return socket.waitForConnected(200);
    };
    while (isRunning() && clock.elapsed() < 15000) {
        if (accepts(m_port) && accepts(m_livePort))
            return true;
        QTest::qWait(100);
    }
    *error = (isRunning() ? QStringLiteral("server did not answer: ") : QStringLiteral("server ended: "))
        + QString::fromUtf8(m_process->readAll());
    return false;
}

bool ServerProcess::stop()
{
    if (!m_process)
        return false;
    bool clean = false;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (m_process->waitForFinished(5000)) {
            clean = m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
        } else {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    m_process.reset();
    return clean;
}
