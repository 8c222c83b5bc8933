#pragma once

#include "RelaySession.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>

class QWebSocketServer;

// The relay's connections: the WebSocket server (WS, or WSS with useTls), a session for each
// connection, the sign-in and handshake deadlines, the limits on what a connection may send and
// hold unsent, and members whose connection dropped held for a resume. What a connection says is
// handed to the rooms (LiveRelay) through the hooks; nothing here knows what a room is beyond the
// session's place in one.
class RelayConnections : public QObject {
    Q_OBJECT
public:
    using Session = RelaySession;
    struct Hooks {
        std::function<void(Session*, const QByteArray& utf8)> text; // from a connection not closing
        std::function<void(Session*)> leave; // the session ends: out of its room, before it goes
        std::function<void(Session* from, Session* to)> takeOver; // a resume: to takes from's place
        std::function<void(const QString& userId)> closed; // a signed-in session is gone for good
    };
    explicit RelayConnections(Hooks hooks, QObject* parent = nullptr);
    ~RelayConnections() override;

    bool useTls(const QByteArray& certPem, const QByteArray& keyPem, QString* error);
    bool isSecure() const;
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    bool isListening() const;
    void close();

    void setQueueLimits(qint64 hardLimitBytes, qint64 totalLimitBytes);
    void setMaxIncomingBytes(qint64 bytes) { m_maxIncoming = bytes; }
    void setUnsignedPerAddressLimit(int connections) { m_unsignedPerAddress = connections; }
    void setSignInTimeout(int ms) { m_signInTimeoutMs = ms; }
    void setHandshakeTimeout(int ms);
    void setGracePeriod(int ms) { m_graceMs = ms; }
    static constexpr qint64 kUnsignedQueueLimitBytes = 64 << 10;

    // Sends, or cuts off a member past its queue limit (false then, and when it is closing).
    bool send(Session* s, const QByteArray& bytes);
    void reply(Session* s, const QByteArray& id, int code, const QString& desc);
    void sendError(Session* s, int code, const QString& desc);

    // s has signed in as userId: it takes over the session whose resume token it names (true), or
    // that user's older session is told and closed. s then counts as signed in, with a resume token.
    bool signIn(
        Session* s, const QString& userId, bool mayHost, const QString& name, const QString& resumeToken);
    Session* byUser(const QString& userId) const { return m_byUser.value(userId); }
    // The session with that serial if its connection is still open and signed in.
    Session* bySerial(quint64 serial) const;

    int sessionCount() const { return m_sessions.size(); }
    struct Traffic {
        qint64 messagesIn = 0;
        qint64 bytesIn = 0;
        qint64 messagesOut = 0;
        qint64 bytesOut = 0;
    };
    const Traffic& traffic() const { return m_traffic; }
    qint64 membersCutOff() const { return m_membersCutOff; }

private:
    void makeServer(bool secure);
    void onNewConnection();
    void onText(Session* s, const QString& text);
    void onBinary(Session* s);
    void onClosed(Session* s);
    // A session that has not signed in yet: counted against its address's limit, or refused.
    bool admitUnsigned(Session* s);
    void releaseUnsigned(Session* s);
    void cutOff(Session* s);
    void keepTotalQueueBounded();
    // Dropped members held for a resume, by serial; see setGracePeriod.
    void hold(Session* s);
    bool resume(Session* s, const QString& userId, const QString& resumeToken);
    void endHeld(Session* s);

    Hooks m_hooks;
    QWebSocketServer* m_server = nullptr;
    QHash<QWebSocket*, Session*> m_sessions;
    QHash<QString, Session*> m_byUser;
    QHash<quint64, Session*> m_held;
    qint64 m_hardLimit = 32 << 20;
    qint64 m_totalLimit = 256 << 20;
    qint64 m_queuedEstimate = 0; // sum of the members' queues when last sent to; only ever high
    qint64 m_maxIncoming = 16 << 20;
    qint64 m_membersCutOff = 0;
    Traffic m_traffic;
    QHash<QHostAddress, int> m_unsignedByAddress;
    int m_unsignedPerAddress = 256;
    int m_signInTimeoutMs = 30000;
    int m_graceMs = 15000;
    quint64 m_nextSessionSerial = 1;
    quint64 m_nextSerial = 1;
};
