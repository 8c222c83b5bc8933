#pragma once

#include <QMessageBox>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>
#include <QVariant>
#include <QVariantMap>

#include <functional>
#include <memory>

// lectern-server (app server and live relay) with demo data, on free loopback ports and a
// database in a temporary folder; stopped with the object.
class ServerProcess {
public:
    ~ServerProcess();
    bool start(QString* error);
    void stop();
    quint16 port() const { return m_port; }
    quint16 livePort() const { return m_livePort; }
    QString jsonRpcUrl() const;
    QString liveUrl() const;
    QString output() const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    quint16 m_livePort = 0;
};

quint16 FreeLoopbackPort();

// Closes message boxes as they appear (modal or not) and records what they said.
class BoxCatcher : public QObject {
    Q_OBJECT
public:
    struct Seen {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool modal = false;
        bool onTop = false;
    };
    // onBox runs while the box is up, before it is closed.
    explicit BoxCatcher(std::function<void(QMessageBox*)> onBox = nullptr);
    ~BoxCatcher() override;
    const QList<Seen>& seen() const { return m_seen; }
    QStringList texts() const;

private:
    void poll();
    QTimer m_timer;
    std::function<void(QMessageBox*)> m_onBox;
    QList<Seen> m_seen;
};

// Demo live records for tests that feed the lobby directly.
QVariantMap MakeLive(const QString& id, const QString& state, qint64 startMs, qint64 endMs,
    const QVariant& avRoomId = QVariant(), const QString& title = QString());
