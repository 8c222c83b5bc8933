#pragma once

#include "protocol/RelayOps.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QTimer;
class QWebSocket;

// A session with the live relay over one WebSocket: sign-in, numbered requests answered within a
// deadline, a ping when the line is quiet, and after a drop the connection opened again and the
// session resumed within a grace period. What the session is for (rooms, messages, media) is the
// owner's business. Everything runs on the thread that owns the object.
class RelayClient : public QObject {
    Q_OBJECT
public:
    // The client's own codes, beside the relay's (relayop::Code).
    enum Code {
        kTimeout = 6012,
        kNotSignedIn = 8001, // also: the connection went down while the request waited
        kUnreachable = 8002,
    };
    // The relay's answer to a request, or the client's own code when none came.
    struct Reply {
        int code = 0;
        QString desc;
        QJsonObject object;
    };
    using ReplyHandler = std::function<void(const Reply&)>;

    explicit RelayClient(QObject* parent = nullptr);
    ~RelayClient() override;

    void setUrl(const QUrl& url) { m_url = url; }
    QUrl url() const { return m_url; }
    void setRequestTimeoutMs(int ms) { m_timeoutMs = ms; }
    // The relay is pinged this often; silence for three periods counts as a dropped connection.
    void setPingIntervalMs(int ms);
    // A dropped connection is opened again and the session resumed for this long before lost();
    // 0 turns reconnecting off.
    void setReconnectGraceMs(int ms) { m_graceMs = ms; }

    // Ends any session and opens a new one; done hears the login's answer, or why none came.
    void signIn(const QString& userId, const QString& userSig, ReplyHandler done);
    // Ends the session. Requests still waiting hear kNotSignedIn later, not inside this call: a
    // handler may well sign in again.
    void signOut();
    // Stops reconnecting and ends the session: waiting requests hear kNotSignedIn, then lost().
    void giveUp();
    // Sends req (one of relayop's requests; its id is added here) and returns the id. 0 when not
    // signed in, and then onReply never runs; otherwise it runs once: the answer, the deadline
    // passing, or the connection going down.
    int request(const QJsonObject& req, ReplyHandler onReply = {});

    bool isSignedIn() const { return m_signedIn && m_ws; }
    bool isConnected() const { return m_ws != nullptr; }
    bool isReconnecting() const { return m_reconnecting; }
    int reconnectCount() const { return m_reconnects; }
    QString userId() const { return m_userId; }

signals:
    // Everything the relay sends that is not an answer: messages, member events, pushes.
    void pushed(const relayop::Push& push);
    // A signed-in session's connection went down; emitted before the waiting requests hear of it.
    void dropped();
    // Signed in again after a drop. kept: the relay kept the session, in heldRoom (0 for none);
    // otherwise it forgot it (it restarted, or the place expired) and rooms must be entered again.
    void resumed(bool kept, quint32 heldRoom);
    // A signed-in session is over for good: not reconnecting, or given up; why, for a log line.
    void lost(const QString& why);
    // The relay closed the session: the same user signed in elsewhere. Nothing is tried again.
    void kicked();

private:
    struct Pending {
        ReplyHandler handler;
        qint64 deadlineMs = 0;
        bool login = false;
    };

    void openSocket();
    void closeSocket(bool abort);
    void startLogin(int timeoutMs, ReplyHandler done);
    void onConnected();
    void onDisconnected();
    void onText(const QString& text);
    void onReply(const relayop::Push& push);
    void ping();
    void tryReconnect();
    void checkTimeouts();
    void failAllPending(int code, const QString& desc);
    void endSession(const QString& why);

    QUrl m_url;
    int m_timeoutMs = 10000;
    QWebSocket* m_ws = nullptr;
    QString m_loginUser;
    QString m_loginSig;
    QString m_userId;
    bool m_signedIn = false;
    bool m_kicked = false;
    int m_loginId = 0;
    int m_nextId = 1;
    QHash<int, Pending> m_pending;
    QTimer* m_timeoutTimer = nullptr;

    QString m_resumeToken;
    QTimer* m_pingTimer = nullptr;
    int m_pingIntervalMs = 2000;
    qint64 m_lastHeardMs = 0;
    int m_graceMs = 15000;
    bool m_reconnecting = false;
    qint64 m_dropMs = 0;
    QTimer* m_retryTimer = nullptr;
    int m_reconnects = 0;
};
