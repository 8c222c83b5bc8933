#include "RelayConnections.h"

#include "protocol/RelayOps.h"

#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocketServer>

#include <algorithm>

using namespace relayop;

RelayConnections::RelayConnections(Hooks hooks, QObject* parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    makeServer(false);
}

RelayConnections::~RelayConnections()
{
    close();
}

void RelayConnections::makeServer(bool secure)
{
    const int handshakeMs = m_server ? m_server->handshakeTimeoutMS() : 10000;
    delete m_server;
    m_server = new QWebSocketServer(QStringLiteral("lectern-relay"),
        secure ? QWebSocketServer::SecureMode : QWebSocketServer::NonSecureMode, this);
    m_server->setHandshakeTimeout(handshakeMs);
    connect(m_server, &QWebSocketServer::newConnection, this, &RelayConnections::onNewConnection);
}

bool RelayConnections::useTls(const QByteArray& certPem, const QByteArray& keyPem, QString* error)
{
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    QSslKey key(keyPem, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyPem, QSsl::Ec, QSsl::Pem);
    if (chain.isEmpty() || key.isNull()) {
        *error = chain.isEmpty() ? QStringLiteral("no certificate the relay can read")
                                 : QStringLiteral("the key is neither RSA nor EC, or is encrypted");
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("no TLS library for the relay (%1)")
                     .arg(QSslSocket::sslLibraryBuildVersionString());
        return false;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain(chain);
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // students sign in, they bring no certificate
    makeServer(true);
    m_server->setSslConfiguration(config);
    return true;
}

bool RelayConnections::isSecure() const
{
    return m_server->secureMode() == QWebSocketServer::SecureMode;
}

void RelayConnections::setHandshakeTimeout(int ms)
{
    m_server->setHandshakeTimeout(ms);
}

bool RelayConnections::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_server->listen(address, port))
        return true;
    if (!error)
        return false;
    // The WebSocket server does not say why; a plain listen on the same port does.
    QTcpServer probe;
    *error = !probe.listen(address, port) && probe.serverError() == QAbstractSocket::AddressInUseError
        ? QStringLiteral("port in use: %1:%2").arg(address.toString()).arg(port)
        : m_server->errorString();
    return false;
}

quint16 RelayConnections::port() const
{
    return m_server->serverPort();
}

bool RelayConnections::isListening() const
{
    return m_server->isListening();
}

void RelayConnections::close()
{
    m_server->close();
    const auto sessions = m_sessions.values();
    for (Session* s : sessions) {
        s->dead = true;
        s->ws->disconnect(this);
        s->ws->abort();
        s->ws->deleteLater();
        delete s;
    }
    m_sessions.clear();
    qDeleteAll(m_held);
    m_held.clear();
    m_byUser.clear();
    m_unsignedByAddress.clear();
}

void RelayConnections::setQueueLimits(qint64 hardLimitBytes, qint64 totalLimitBytes)
{
    m_hardLimit = hardLimitBytes;
    m_totalLimit = totalLimitBytes;
}

RelayConnections::Session* RelayConnections::bySerial(quint64 serial) const
{
    for (Session* s : qAsConst(m_sessions))
        if (s->serial == serial)
            return s->dead || s->userId.isEmpty() ? nullptr : s;
    return nullptr;
}

void RelayConnections::onNewConnection()
{
    while (QWebSocket* ws = m_server->nextPendingConnection()) {
        ws->setMaxAllowedIncomingFrameSize(quint64(m_maxIncoming));
        ws->setMaxAllowedIncomingMessageSize(quint64(m_maxIncoming));
        auto* s = new Session;
        s->ws = ws;
        // The WebSocket does not hand out its TLS socket; the server keeps it among its children.
        if (isSecure())
            for (QSslSocket* tls : m_server->findChildren<QSslSocket*>())
                if (tls->peerPort() == ws->peerPort() && tls->peerAddress() == ws->peerAddress())
                    s->tls = tls;
        s->serial = m_nextSessionSerial++;
        m_sessions.insert(ws, s);
        connect(ws, &QWebSocket::textMessageReceived, this, [this, s](const QString& t) { onText(s, t); });
        connect(ws, &QWebSocket::binaryMessageReceived, this, [this, s] { onBinary(s); });
        connect(ws, &QWebSocket::disconnected, this, [this, s] { onClosed(s); });
        if (!admitUnsigned(s)) {
            s->dead = true;
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated,
                QStringLiteral("too many connections not signed in from this address"));
            QTimer::singleShot(1000, ws, [ws] { ws->abort(); }); // one that does not answer the close
            continue;
        }
        QTimer::singleShot(m_signInTimeoutMs, ws, [this, ws] {
            Session* s = m_sessions.value(ws);
            if (!s || s->dead || !s->userId.isEmpty())
                return;
            sendError(s, kNotSignedIn, QStringLiteral("not signed in in time"));
            s->dead = true;
            ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not signed in in time"));
        });
    }
}

void RelayConnections::onClosed(Session* s)
{
    if (!m_sessions.contains(s->ws))
        return;
    if (m_graceMs > 0 && !s->dead && s->roomId && m_byUser.value(s->userId) == s) {
        hold(s);
        return;
    }
    s->dead = true;
    m_queuedEstimate -= s->queued;
    releaseUnsigned(s);
    m_hooks.leave(s);
    m_sessions.remove(s->ws);
    if (!s->userId.isEmpty() && m_byUser.value(s->userId) == s)
        m_byUser.remove(s->userId);
    const QString userId = s->userId;
    s->ws->deleteLater();
    delete s;
    if (!userId.isEmpty())
        m_hooks.closed(userId);
}

void RelayConnections::onText(Session* s, const QString& text)
{
    if (s->dead)
        return;
    const QByteArray bytes = text.toUtf8();
    ++m_traffic.messagesIn;
    m_traffic.bytesIn += bytes.size();
    m_hooks.text(s, bytes);
}

// Video frames once came this way; now a binary message is a client that has not learnt of the
// media room. It is told so, and nothing of it goes further.
void RelayConnections::onBinary(Session* s)
{
    if (s->dead)
        return;
    if (s->userId.isEmpty())
        sendError(s, kNotSignedIn, QStringLiteral("not signed in"));
    else
        sendError(
            s, kBadFrame, QStringLiteral("the relay carries no video frames: use the room's media room"));
}

bool RelayConnections::admitUnsigned(Session* s)
{
    s->address = s->ws->peerAddress();
    int& count = m_unsignedByAddress[s->address];
    if (count >= m_unsignedPerAddress) {
        if (count == 0)
            m_unsignedByAddress.remove(s->address);
        return false;
    }
    ++count;
    s->countedUnsigned = true;
    return true;
}

void RelayConnections::releaseUnsigned(Session* s)
{
    if (!s->countedUnsigned)
        return;
    s->countedUnsigned = false;
    auto it = m_unsignedByAddress.find(s->address);
    if (it != m_unsignedByAddress.end() && --*it <= 0)
        m_unsignedByAddress.erase(it);
}

bool RelayConnections::signIn(
    Session* s, const QString& userId, bool mayHost, const QString& name, const QString& resumeToken)
{
    const bool resumed = resume(s, userId, resumeToken);
    // One session per user: the older one is told and closed.
    if (Session* old = resumed ? nullptr : m_byUser.value(userId)) {
        send(old, relayop::kicked());
        m_hooks.leave(old);
        m_byUser.remove(userId);
        old->userId.clear();
        old->dead = true;
        old->ws->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("signed in elsewhere"));
    }
    releaseUnsigned(s);
    s->userId = userId;
    s->mayHost = mayHost;
    s->name = name;
    m_byUser.insert(userId, s);
    if (s->resumeToken.isEmpty())
        s->resumeToken = QByteArray::number(QRandomGenerator::system()->generate64(), 16)
            + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    return resumed;
}

void RelayConnections::reply(Session* s, const QByteArray& id, int code, const QString& desc)
{
    send(s, relayop::reply(id, code, desc));
}

void RelayConnections::sendError(Session* s, int code, const QString& desc)
{
    send(s, relayop::error(code, desc));
}

bool RelayConnections::send(Session* s, const QByteArray& bytes)
{
    if (s->dead)
        return false;
    if (s->unsent() > (s->userId.isEmpty() ? kUnsignedQueueLimitBytes : m_hardLimit)) {
        // A member that reads nothing would hold every message in memory: cut it off instead.
        cutOff(s);
        return false;
    }
    s->ws->sendTextMessage(QString::fromUtf8(bytes));
    ++m_traffic.messagesOut;
    m_traffic.bytesOut += bytes.size();
    const qint64 now = s->unsent();
    m_queuedEstimate += now - s->queued;
    s->queued = now;
    if (m_queuedEstimate > m_totalLimit)
        keepTotalQueueBounded();
    return true;
}

void RelayConnections::cutOff(Session* s)
{
    s->dead = true;
    ++m_membersCutOff;
    m_queuedEstimate -= s->queued;
    s->queued = 0;
    QWebSocket* ws = s->ws;
    QTimer::singleShot(0, ws, [ws] { ws->abort(); });
}

// Many members that read nothing could together hold far more than one may: past the total, the
// members furthest behind go first, until the rest fits.
void RelayConnections::keepTotalQueueBounded()
{
    QList<Session*> live;
    qint64 total = 0;
    for (Session* m : qAsConst(m_sessions)) {
        if (m->dead)
            continue;
        m->queued = m->unsent();
        total += m->queued;
        live << m;
    }
    std::sort(
        live.begin(), live.end(), [](const Session* a, const Session* b) { return a->queued > b->queued; });
    for (Session* m : qAsConst(live)) {
        if (total <= m_totalLimit)
            break;
        total -= m->queued;
        cutOff(m);
    }
    m_queuedEstimate = total;
}

// The connection is gone but the member stays in its room, silent, until it resumes or the grace
// period ends: a short network drop shows the others no leave and enter.
void RelayConnections::hold(Session* s)
{
    m_sessions.remove(s->ws);
    s->ws->deleteLater();
    s->ws = nullptr;
    s->dead = true;
    m_queuedEstimate -= s->queued; // what the gone connection held is gone with it
    s->queued = 0;
    s->heldSerial = m_nextSerial++;
    m_held.insert(s->heldSerial, s);
    const quint64 serial = s->heldSerial;
    QTimer::singleShot(m_graceMs, this, [this, serial] {
        if (Session* held = m_held.value(serial))
            endHeld(held);
    });
}

// A sign-in that names the resume token of its user's session takes that session's place: held
// after a drop, or still open where the relay has not yet noticed the old connection go silent.
// Any other sign-in of that user ends a held session first.
bool RelayConnections::resume(Session* s, const QString& userId, const QString& resumeToken)
{
    Session* old = m_byUser.value(userId);
    if (!old)
        return false;
    if (resumeToken.isEmpty() || resumeToken.toLatin1() != old->resumeToken) {
        if (old->heldSerial)
            endHeld(old);
        return false;
    }
    if (old->heldSerial) {
        m_held.remove(old->heldSerial);
    } else {
        m_sessions.remove(old->ws);
        old->dead = true;
        old->ws->disconnect(this);
        old->ws->abort();
        old->ws->deleteLater();
    }
    s->resumeToken = old->resumeToken;
    m_hooks.takeOver(old, s);
    m_byUser.remove(userId);
    delete old;
    return true;
}

void RelayConnections::endHeld(Session* s)
{
    m_held.remove(s->heldSerial);
    m_hooks.leave(s);
    if (m_byUser.value(s->userId) == s)
        m_byUser.remove(s->userId);
    const QString userId = s->userId;
    delete s;
    m_hooks.closed(userId);
}
