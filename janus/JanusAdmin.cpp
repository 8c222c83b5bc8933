#include "JanusAdmin.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTimer>
#include <QWebSocket>

namespace {

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QJsonObject failure(const QString& why)
{
    return QJsonObject { { "janus", "error" },
        { "error", QJsonObject { { "code", -1 }, { "reason", why } } } };
}

} // namespace

JanusAdmin::JanusAdmin(const QUrl& url, const QString& secret, QObject* parent)
    : QObject(parent)
    , m_url(url)
    , m_secret(secret)
    , m_timeouts(new QTimer(this))
{
    m_timeouts->setInterval(250);
    connect(m_timeouts, &QTimer::timeout, this, &JanusAdmin::checkTimeouts);
}

JanusAdmin::~JanusAdmin()
{
    if (m_ws)
        m_ws->disconnect(this);
}

void JanusAdmin::addToken(const QString& token, Answer done)
{
    send(QJsonObject { { "janus", "add_token" }, { "token", token },
             { "plugins", QJsonArray { QStringLiteral("janus.plugin.videoroom") } } },
        std::move(done));
}

void JanusAdmin::removeToken(const QString& token)
{
    send(QJsonObject { { "janus", "remove_token" }, { "token", token } }, nullptr);
}

void JanusAdmin::handleInfo(quint64 session, quint64 handle, Answer done)
{
    send(QJsonObject { { "janus", "handle_info" }, { "session_id", double(session) },
             { "handle_id", double(handle) }, { "plugin_only", true } },
        std::move(done));
}

void JanusAdmin::send(QJsonObject request, Answer done)
{
    const QString transaction = QStringLiteral("a%1").arg(m_nextTransaction++);
    request.insert("transaction", transaction);
    request.insert("admin_secret", m_secret);
    m_waiting.insert(transaction, Waiting { request, std::move(done), nowMs() + m_timeoutMs });
    m_unsent << transaction;
    m_timeouts->start();
    if (m_open)
        flush();
    else if (!m_ws)
        connectNow();
}

void JanusAdmin::connectNow()
{
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    connect(m_ws, &QWebSocket::connected, this, [this] {
        m_open = true;
        flush();
    });
    connect(m_ws, &QWebSocket::disconnected, this, [this] {
        const QString why
            = QStringLiteral("the media server's admin connection closed: %1").arg(m_ws->errorString());
        m_ws->disconnect(this);
        m_ws->deleteLater();
        m_ws = nullptr;
        m_open = false;
        failAll(why);
    });
    connect(m_ws, &QWebSocket::textMessageReceived, this, &JanusAdmin::onText);
    // The Admin API has its own subprotocol on the same transport.
    QNetworkRequest request(m_url);
    request.setRawHeader("Sec-WebSocket-Protocol", "janus-admin-protocol");
    m_ws->open(request);
}

void JanusAdmin::flush()
{
    const QList<QString> unsent = std::move(m_unsent);
    m_unsent.clear();
    for (const QString& transaction : unsent) {
        auto it = m_waiting.find(transaction);
        if (it == m_waiting.end())
            continue;
        m_ws->sendTextMessage(QString::fromUtf8(QJsonDocument(it->request).toJson(QJsonDocument::Compact)));
        if (!it->done)
            m_waiting.erase(it);
    }
}

void JanusAdmin::onText(const QString& text)
{
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    auto it = m_waiting.find(message.value("transaction").toString());
    if (it == m_waiting.end())
        return;
    const Answer done = std::move(it->done);
    m_waiting.erase(it);
    if (done)
        done(message);
}

void JanusAdmin::failAll(const QString& why)
{
    QList<Answer> orphaned;
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
        if (it->done)
            orphaned << std::move(it->done);
    m_waiting.clear();
    m_unsent.clear();
    const QJsonObject lost = failure(why);
    for (const Answer& done : orphaned)
        done(lost);
}

void JanusAdmin::checkTimeouts()
{
    const qint64 now = nowMs();
    QList<Answer> late;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->deadlineMs <= now) {
            if (it->done)
                late << std::move(it->done);
            m_unsent.removeAll(it.key());
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
    if (m_waiting.isEmpty())
        m_timeouts->stop();
    // A connection that never came up is tried afresh by the next request.
    if (!late.isEmpty() && m_ws && !m_open) {
        m_ws->disconnect(this);
        m_ws->abort();
        m_ws->deleteLater();
        m_ws = nullptr;
    }
    const QJsonObject timeout
        = failure(QStringLiteral("no answer from the media server's admin API in time"));
    for (const Answer& done : late)
        done(timeout);
}
