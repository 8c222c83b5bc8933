#include "JanusSession.h"

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

QJsonObject timeoutError()
{
    return QJsonObject { { "janus", "error" },
        { "error",
            QJsonObject { { "code", -1 }, { "reason", "no answer from the media server in time" } } } };
}

} // namespace

JanusSession::JanusSession(QObject* parent)
    : QObject(parent)
    , m_keepAlive(new QTimer(this))
    , m_timeouts(new QTimer(this))
{
    // Janus reaps sessions silent for 60 s.
    m_keepAlive->setInterval(25000);
    connect(m_keepAlive, &QTimer::timeout, this, [this] {
        if (m_sessionId)
            send(QJsonObject { { "janus", "keepalive" } }, nullptr);
    });
    m_timeouts->setInterval(250);
    connect(m_timeouts, &QTimer::timeout, this, &JanusSession::checkTimeouts);
}

JanusSession::~JanusSession()
{
    close();
}

void JanusSession::setKeepAliveMs(int ms)
{
    m_keepAlive->setInterval(ms);
}

void JanusSession::open(const QUrl& url)
{
    close();
    m_ws = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    connect(m_ws, &QWebSocket::textMessageReceived, this, &JanusSession::onText);
    connect(m_ws, &QWebSocket::connected, this, [this] {
        send(QJsonObject { { "janus", "create" } }, [this](const QJsonObject& answer) {
            const quint64 id = quint64(answer.value("data").toObject().value("id").toDouble());
            if (!ok(answer) || !id) {
                fail(QStringLiteral("the media server refused a session: %1").arg(errorText(answer)));
                return;
            }
            m_sessionId = id;
            m_keepAlive->start();
            emit ready();
        });
    });
    connect(m_ws, &QWebSocket::disconnected, this, [this] {
        fail(QStringLiteral("the connection to the media server closed: %1").arg(m_ws->closeReason()));
    });
    // The WebSocket transport turns away clients without its subprotocol, which Qt 5 can only
    // send as a raw header.
    QNetworkRequest request(url);
    request.setRawHeader("Sec-WebSocket-Protocol", "janus-protocol");
    m_timeouts->start();
    m_ws->open(request);
}

void JanusSession::close()
{
    m_keepAlive->stop();
    m_timeouts->stop();
    m_waiting.clear();
    if (!m_ws)
        return;
    QWebSocket* ws = m_ws;
    m_ws = nullptr;
    ws->disconnect(this);
    if (m_sessionId && ws->state() == QAbstractSocket::ConnectedState) {
        QJsonObject destroy { { "janus", "destroy" }, { "session_id", double(m_sessionId) },
            { "transaction", QStringLiteral("t%1").arg(m_nextTransaction++) } };
        if (!m_token.isEmpty())
            destroy.insert("token", m_token);
        ws->sendTextMessage(QString::fromUtf8(QJsonDocument(destroy).toJson(QJsonDocument::Compact)));
        ws->flush();
    }
    m_sessionId = 0;
    ws->close();
    ws->deleteLater();
}

void JanusSession::attach(const QString& plugin, Answer done)
{
    send(QJsonObject { { "janus", "attach" }, { "plugin", plugin } }, std::move(done));
}

void JanusSession::detach(quint64 handle)
{
    send(QJsonObject { { "janus", "detach" }, { "handle_id", double(handle) } }, nullptr);
}

void JanusSession::message(quint64 handle, const QJsonObject& body, const QJsonObject& jsep, Answer done)
{
    QJsonObject request { { "janus", "message" }, { "handle_id", double(handle) }, { "body", body } };
    if (!jsep.isEmpty())
        request.insert("jsep", jsep);
    send(request, std::move(done));
}

void JanusSession::trickle(quint64 handle, const QJsonObject& candidate)
{
    send(QJsonObject { { "janus", "trickle" }, { "handle_id", double(handle) }, { "candidate", candidate } },
        nullptr);
}

bool JanusSession::ok(const QJsonObject& answer)
{
    const QString kind = answer.value("janus").toString();
    if (kind == QLatin1String("error"))
        return false;
    const QJsonObject data = answer.value("plugindata").toObject().value("data").toObject();
    return !data.contains("error_code") && !data.contains("error");
}

QJsonObject JanusSession::pluginData(const QJsonObject& answer)
{
    if (answer.value("janus").toString() == QLatin1String("error")) {
        const QJsonObject error = answer.value("error").toObject();
        return QJsonObject { { "error_code", error.value("code") }, { "error", error.value("reason") } };
    }
    return answer.value("plugindata").toObject().value("data").toObject();
}

QString JanusSession::errorText(const QJsonObject& answer)
{
    const QJsonObject error = answer.value("error").toObject();
    if (!error.isEmpty())
        return QStringLiteral("%1 %2").arg(error.value("code").toInt()).arg(error.value("reason").toString());
    const QJsonObject data = pluginData(answer);
    return QStringLiteral("%1 %2").arg(data.value("error_code").toInt()).arg(data.value("error").toString());
}

void JanusSession::send(QJsonObject request, Answer done)
{
    if (!m_ws) {
        if (done)
            QTimer::singleShot(0, this, [done] { done(timeoutError()); });
        return;
    }
    const QString transaction = QStringLiteral("t%1").arg(m_nextTransaction++);
    request.insert("transaction", transaction);
    if (m_sessionId)
        request.insert("session_id", double(m_sessionId));
    if (!m_token.isEmpty())
        request.insert("token", m_token);
    if (done)
        m_waiting.insert(transaction, Waiting { std::move(done), nowMs() + m_timeoutMs });
    m_ws->sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
}

void JanusSession::onText(const QString& text)
{
    const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
    const QString kind = message.value("janus").toString();
    const QString transaction = message.value("transaction").toString();
    if (kind == QLatin1String("ack") || kind == QLatin1String("keepalive"))
        return; // the answer proper follows as an event with the same transaction
    auto waiting = m_waiting.find(transaction);
    if (!transaction.isEmpty() && waiting != m_waiting.end()) {
        const Answer done = std::move(waiting->done);
        m_waiting.erase(waiting);
        done(message);
        return;
    }
    if (kind == QLatin1String("timeout")) {
        fail(QStringLiteral("the media server ended the session"));
        return;
    }
    const quint64 handle = quint64(message.value("sender").toDouble());
    if (handle)
        emit handleEvent(handle, message);
}

void JanusSession::fail(const QString& why)
{
    // Requests still waiting get their error now: nothing more will answer them.
    QList<Answer> orphaned;
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
        orphaned << std::move(it->done);
    close();
    emit failed(why);
    const QJsonObject lost { { "janus", "error" },
        { "error", QJsonObject { { "code", -1 }, { "reason", why } } } };
    for (const Answer& done : orphaned)
        done(lost);
}

void JanusSession::checkTimeouts()
{
    const qint64 now = nowMs();
    QList<Answer> late;
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->deadlineMs <= now) {
            late << std::move(it->done);
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
    for (const Answer& done : late)
        done(timeoutError());
}
