#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// lectern-server (app server and live relay) with demo data, on free loopback ports, its database
// and downloads folder in a temporary folder of its own; stopped with the object. On Linux the
// server is also killed when the test process dies without stopping it (a crash, an abort, a
// time-out kill), so no server outlives its test.
class ServerProcess {
public:
    ~ServerProcess() { stop(); }

    static QString program() { return QStringLiteral(LECTERN_BIN_DIR "/lectern-server"); }

    // The database and downloads options every run of the server on this folder needs, e.g. for a
    // "--publish" run before start().
    QStringList storageArguments() const;

    // Starts the server with "--demo" and extraArguments, and waits until it takes connections.
    bool start(QString* error, const QStringList& extraArguments = QStringList());
    // Asks the server to end and waits for it (killing it when it does not end in time). True when
    // it ended by itself with exit code 0.
    bool stop();
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    qint64 processId() const { return m_process ? m_process->processId() : 0; }

    quint16 port() const { return m_port; }
    quint16 livePort() const { return m_livePort; }
    // Started with "--tls-cert": HTTPS and WSS, and the URLs below say so.
    bool isSecure() const { return m_secure; }
    QString baseUrl() const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(m_secure ? "https" : "http").arg(m_port);
    }
    QString jsonRpcUrl() const { return baseUrl() + QStringLiteral("/app-server/jsonrpc/"); }
    QString liveUrl() const
    {
        return QStringLiteral("%1://127.0.0.1:%2/live").arg(m_secure ? "wss" : "ws").arg(m_livePort);
    }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    quint16 m_livePort = 0;
    bool m_secure = false;
};
