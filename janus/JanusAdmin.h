#pragma once

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>

class QTimer;
class QWebSocket;

// A connection to a Janus media server's Admin API over its WebSocket transport, with the admin
// secret: tokens for the media server's own API, and what a handle is doing. Connects when the
// first request comes and again after a loss; requests made meanwhile wait for the connection.
class JanusAdmin : public QObject {
    Q_OBJECT
public:
    // Janus's whole answer ("success" or "error"); JanusSession::ok() and errorText() read it.
    using Answer = std::function<void(const QJsonObject& message)>;

    JanusAdmin(const QUrl& url, const QString& secret, QObject* parent = nullptr);
    ~JanusAdmin() override;

    // An answer that has not come by then is given as an error (code -1).
    void setRequestTimeoutMs(int ms) { m_timeoutMs = ms; }

    // A token the media server then accepts, for the VideoRoom plugin only.
    void addToken(const QString& token, Answer done);
    void removeToken(const QString& token);
    // What Janus knows of one handle (its "info"), plugin details only.
    void handleInfo(quint64 session, quint64 handle, Answer done);

private:
    struct Waiting {
        QJsonObject request;
        Answer done;
        qint64 deadlineMs = 0;
    };

    void send(QJsonObject request, Answer done);
    void connectNow();
    void flush();
    void onText(const QString& text);
    void failAll(const QString& why);
    void checkTimeouts();

    QUrl m_url;
    QString m_secret;
    QWebSocket* m_ws = nullptr;
    bool m_open = false;
    QTimer* m_timeouts = nullptr;
    int m_timeoutMs = 5000;
    quint64 m_nextTransaction = 1;
    QList<QString> m_unsent; // transactions waiting for the connection
    QHash<QString, Waiting> m_waiting;
};
