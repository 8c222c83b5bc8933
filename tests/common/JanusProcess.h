#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// Janus with Lectern's configuration (server/janus/start-janus.sh), for media tests: a fresh
// folder, a free WebSocket port, a random admin key and an RTP port range of its own, bound to
// the loopback-range address of the test's network namespace (tests/media/netns-run.sh), whose
// veth "v0" it gathers ICE candidates on. Stopped with the object; killed when the test dies.
class JanusProcess {
public:
    static constexpr const char* kAddress = "127.0.1.1";
    static constexpr const char* kInterface = "v0";

    JanusProcess();
    ~JanusProcess();

    // The folder it may record into (start-janus.sh --recordings), for the next start.
    void setRecordings(const QString& dir) { m_recordings = dir; }
    // Starts Janus and waits until its WebSocket transport answers a request. False with the
    // reason (Janus missing, not inside the namespace, Janus ended or did not answer).
    bool start(QString* error);
    // Stops Janus and waits for it; true when it was running.
    bool stop();
    bool isRunning() const;
    qint64 processId() const;

    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("ws://%1:%2").arg(QLatin1String(kAddress)).arg(m_port); }
    QString adminKey() const { return m_adminKey; }
    // Its Admin API (the admin key is its secret).
    QString adminUrl() const
    {
        return QStringLiteral("ws://%1:%2").arg(QLatin1String(kAddress)).arg(m_port + 1);
    }
    // Adds a token its sessions may be opened with (the VideoRoom plugin only), as lectern-server
    // does for members; false with Janus's answer when refused.
    bool addToken(const QString& token, QString* error);
    // Everything Janus printed so far, for a failing test's message.
    QString output();

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    QString m_adminKey;
    QString m_recordings;
    quint16 m_port = 0;
};
