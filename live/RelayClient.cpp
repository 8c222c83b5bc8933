#include "RelayClient.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTimer>
#include <QWebSocket>

namespace {

qint64 monotonicMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

// A relay that accepts the connection again but does not answer is tried once more this soon.
constexpr int kResumeLoginMs = 3000;
constexpr int kRetryMs = 500;

} // namespace

RelayClient::RelayClient(QObject* parent)
    : QObject(parent)
    , m_timeoutTimer(new QTimer(this))
    , m_pingTimer(new QTimer(this))
    , m_retryTimer(new QTimer(this))
{
    m_pingTimer->setInterval(m_pingIntervalMs);
    connect(m_pingTimer, &QTimer::timeout, this, &RelayClient::ping);
    m_retryTimer->setSingleShot(true);
    connect(m_retryTimer, &QTimer::timeout, this, &RelayClient::tryReconnect);
    m_timeoutTimer->setInterval(250);
    connect(m_timeoutTimer, &QTimer::timeout, this, &RelayClient::checkTimeouts);
}

RelayClient::~RelayClient()
{
    signOut();
}

void RelayClient::setPingIntervalMs(int ms)
{
    m_pingIntervalMs = qMax(50, ms);
    m_pingTimer->setInterval(m_pingIntervalMs);
}

void RelayClient::signIn(const QString& userId, const QString& userSig, ReplyHandler done)
{
    signOut();
    m_loginUser = userId;
    m_loginSig = userSig;
    startLogin(m_timeoutMs, std::move(done));
}

void RelayClient::startLogin(int timeoutMs, ReplyHandler done)
{
    m_loginId = m_nextId++;
    Pending p;
    p.handler = std::move(done);
    p.login = true;
    p.deadlineMs = monotonicMs() + timeoutMs;
    m_pending.insert(m_loginId, p);
    m_timeoutTimer->start();
    openSocket();
}

void RelayClient::signOut()
{
    closeSocket(false);
    m_signedIn = false;
    m_kicked = false;
    m_reconnecting = false;
    m_retryTimer->stop();
    m_pingTimer->stop();
    m_userId.clear();
    m_resumeToken.clear();
    const QHash<int, Pending> pending = m_pending;
    m_pending.clear();
    if (pending.isEmpty())
        return;
    QTimer::singleShot(0, this, [pending] {
        for (const Pending& p : pending)
            if (p.handler)
                p.handler({ kNotSignedIn, QStringLiteral("signed out of the live service"), {} });
    });
}

void RelayClient::giveUp()
{
    endSession(QStringLiteral("unreachable for %1 ms").arg(monotonicMs() - m_dropMs));
}

void RelayClient::endSession(const QString& why)
{
    m_reconnecting = false;
    m_retryTimer->stop();
    m_pingTimer->stop();
    m_signedIn = false;
    closeSocket(true);
    failAllPending(kNotSignedIn, QStringLiteral("connection to the live service lost"));
    qWarning().noquote() << "live relay" << why << "- giving up";
    emit lost(why);
}

int RelayClient::request(const QJsonObject& req, ReplyHandler onReply)
{
    if (!isSignedIn())
        return 0;
    const int id = m_nextId++;
    Pending p;
    p.handler = std::move(onReply);
    p.deadlineMs = monotonicMs() + m_timeoutMs;
    m_pending.insert(id, p);
    m_timeoutTimer->start();
    m_ws->sendTextMessage(QString::fromUtf8(relayop::request(req, id)));
    return id;
}

void RelayClient::openSocket()
{
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QWebSocket* ws = m_ws;
    ws->setMaxAllowedIncomingMessageSize(32 << 20);
    connect(ws, &QWebSocket::connected, this, [this, ws] {
        if (ws == m_ws)
            onConnected();
    });
    connect(ws, &QWebSocket::disconnected, this, [this, ws] {
        if (ws == m_ws)
            onDisconnected();
    });
    connect(ws, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [this, ws] {
        if (ws == m_ws && ws->state() != QAbstractSocket::ConnectedState)
            onDisconnected();
    });
    connect(ws, &QWebSocket::textMessageReceived, this, [this, ws](const QString& t) {
        if (ws != m_ws)
            return;
        m_lastHeardMs = monotonicMs();
        onText(t);
    });
    connect(ws, &QWebSocket::pong, this, [this, ws] {
        if (ws == m_ws)
            m_lastHeardMs = monotonicMs();
    });
    ws->open(m_url);
}

// abort: the connection is of no further use and nobody needs to hear that it closes.
void RelayClient::closeSocket(bool abort)
{
    QWebSocket* ws = m_ws;
    m_ws = nullptr;
    if (!ws)
        return;
    ws->disconnect(this);
    if (abort)
        ws->abort();
    else
        ws->close();
    ws->deleteLater();
}

void RelayClient::onConnected()
{
    m_lastHeardMs = monotonicMs();
    m_pingTimer->start();
    const QString resume = m_reconnecting ? m_resumeToken : QString();
    m_ws->sendTextMessage(
        QString::fromUtf8(relayop::request(relayop::login(m_loginUser, m_loginSig, resume), m_loginId)));
}

void RelayClient::onDisconnected()
{
    QWebSocket* ws = m_ws;
    m_ws = nullptr;
    ws->disconnect(this);
    ws->deleteLater();
    m_pingTimer->stop();
    const bool wasSignedIn = m_signedIn;
    const bool wasKicked = m_kicked;
    m_signedIn = m_kicked = false;
    const bool keep = !wasKicked && m_graceMs > 0 && (wasSignedIn || m_reconnecting);
    if (wasSignedIn) {
        emit dropped();
        failAllPending(kNotSignedIn, QStringLiteral("connection to the live service lost"));
    } else {
        failAllPending(
            kUnreachable, QStringLiteral("cannot reach the live service: %1").arg(ws->errorString()));
    }
    if (wasKicked) {
        qDebug() << "live session ended: signed in elsewhere";
        emit kicked();
        return;
    }
    if (keep) {
        if (m_reconnecting) {
            m_retryTimer->start(kRetryMs);
            return;
        }
        qWarning() << "connection to the live relay lost; reconnecting for up to" << m_graceMs << "ms";
        m_reconnecting = true;
        m_dropMs = monotonicMs();
        tryReconnect();
        return;
    }
    if (m_reconnecting) {
        giveUp();
        return;
    }
    if (wasSignedIn)
        emit lost(QStringLiteral("connection lost: %1").arg(ws->errorString()));
}

void RelayClient::onText(const QString& text)
{
    const relayop::Push push = relayop::readPush(text.toUtf8());
    switch (push.kind) {
    case relayop::Push::Invalid:
        qWarning() << "live relay sent something that is not a JSON object";
        return;
    case relayop::Push::Reply:
        onReply(push);
        return;
    case relayop::Push::Kicked:
        // The relay closes the connection right after; kicked() follows then.
        m_kicked = true;
        break;
    default:
        break;
    }
    emit pushed(push);
}

void RelayClient::onReply(const relayop::Push& push)
{
    if (!m_pending.contains(push.id))
        return;
    const Pending p = m_pending.take(push.id);
    const Reply reply { push.code, push.desc, push.object };
    if (p.login && m_reconnecting) {
        if (push.code != relayop::kOk) {
            endSession(QStringLiteral("refused to resume the session: %1 %2").arg(push.code).arg(push.desc));
            return;
        }
        m_signedIn = true;
        m_resumeToken = push.object.value("resume").toString(m_resumeToken);
        m_reconnecting = false;
        ++m_reconnects;
        const bool kept = push.object.value("resumed").toBool();
        qDebug() << "live session back after" << monotonicMs() - m_dropMs << "ms, resumed:" << kept;
        emit resumed(kept, quint32(push.object.value("roomId").toVariant().toLongLong()));
        return;
    }
    if (p.login) {
        if (push.code == relayop::kOk) {
            m_signedIn = true;
            m_userId = m_loginUser;
            m_resumeToken = push.object.value("resume").toString();
        } else {
            closeSocket(false);
        }
    }
    if (p.handler)
        p.handler(reply);
}

void RelayClient::ping()
{
    if (!m_ws || m_ws->state() != QAbstractSocket::ConnectedState)
        return;
    // A connection that went silent (a cable pulled, a frozen relay) never reports a close by itself.
    if (monotonicMs() - m_lastHeardMs > 3 * m_pingIntervalMs) {
        qWarning() << "live relay silent for" << monotonicMs() - m_lastHeardMs << "ms: connection dropped";
        m_ws->disconnect(this);
        m_ws->abort();
        onDisconnected();
        return;
    }
    m_ws->ping();
}

void RelayClient::tryReconnect()
{
    if (!m_reconnecting || m_ws)
        return;
    if (monotonicMs() - m_dropMs >= m_graceMs) {
        giveUp();
        return;
    }
    startLogin(qMin(m_timeoutMs, kResumeLoginMs), {});
}

void RelayClient::checkTimeouts()
{
    const qint64 now = monotonicMs();
    QList<int> expired;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it)
        if (it->deadlineMs <= now)
            expired << it.key();
    for (int id : expired) {
        const Pending p = m_pending.take(id);
        if (p.login) {
            closeSocket(true);
            m_pingTimer->stop();
            if (m_reconnecting)
                m_retryTimer->start(kRetryMs);
        }
        if (p.handler)
            p.handler({ kTimeout, QStringLiteral("the live service did not answer in time"), {} });
    }
    if (m_pending.isEmpty())
        m_timeoutTimer->stop();
}

void RelayClient::failAllPending(int code, const QString& desc)
{
    const QHash<int, Pending> pending = m_pending;
    m_pending.clear();
    for (const Pending& p : pending)
        if (p.handler)
            p.handler({ code, desc, {} });
}
