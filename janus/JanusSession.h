#pragma once

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QUrl>

#include <functional>

class QTimer;
class QWebSocket;

// One session with a Janus media server over its WebSocket transport: the session itself, plugin
// handles, requests matched to their answers by transaction, trickled candidates and the
// keepalive that stops Janus from reaping an idle session. Runs on the thread that owns it.
class JanusSession : public QObject {
    Q_OBJECT
public:
    // An answer: Janus's whole message ("success", "event" or "error"). ok() tells which.
    using Answer = std::function<void(const QJsonObject& message)>;

    explicit JanusSession(QObject* parent = nullptr);
    ~JanusSession() override;

    // Connects and creates the session: ready() or failed() follows.
    void open(const QUrl& url);
    // Destroys the session (when open) and closes the connection; no signal follows.
    void close();
    bool isReady() const { return m_sessionId != 0; }
    quint64 sessionId() const { return m_sessionId; }

    // The token the media server asks of every request (token_auth); before open().
    void setToken(const QString& token) { m_token = token; }

    void setKeepAliveMs(int ms);
    // An answer that has not come by then is given as an error (code -1, "timeout").
    void setRequestTimeoutMs(int ms) { m_timeoutMs = ms; }

    // Attaches to a plugin; the answer carries the handle id in data.id.
    void attach(const QString& plugin, Answer done);
    void detach(quint64 handle);
    // A plugin request. Synchronous requests are answered by "success" with plugindata, the others
    // by the "event" that carries the same transaction (after Janus's "ack"). jsep may be empty.
    void message(quint64 handle, const QJsonObject& body, const QJsonObject& jsep, Answer done);
    // A local ICE candidate ({"candidate","sdpMid","sdpMLineIndex"}), or {"completed":true}.
    void trickle(quint64 handle, const QJsonObject& candidate);

    static bool ok(const QJsonObject& answer);
    // The plugin's own data of an answer (plugindata.data), or the error as {"error_code","error"}.
    static QJsonObject pluginData(const QJsonObject& answer);
    static QString errorText(const QJsonObject& answer);

signals:
    void ready();
    // The connection could not be made, the session could not be created, or either was lost.
    void failed(const QString& why);
    // Messages for a handle that answer no request: plugin events, "webrtcup", "media",
    // "hangup", "slowlink", "detached", "trickle".
    void handleEvent(quint64 handle, const QJsonObject& message);

private:
    struct Waiting {
        Answer done;
        qint64 deadlineMs = 0;
    };

    void send(QJsonObject request, Answer done);
    void onText(const QString& text);
    void fail(const QString& why);
    void checkTimeouts();

    QWebSocket* m_ws = nullptr;
    QTimer* m_keepAlive = nullptr;
    QTimer* m_timeouts = nullptr;
    quint64 m_sessionId = 0;
    QString m_token;
    int m_timeoutMs = 10000;
    quint64 m_nextTransaction = 1;
    QHash<QString, Waiting> m_waiting;
};
