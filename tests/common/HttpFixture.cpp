#include "HttpFixture.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

struct HttpFixture::Connection {
    QPointer<QTcpSocket> socket;
    QByteArray buffer;
    bool busy = false;
};

QByteArray HttpRequestRecord::header(const QByteArray& name) const
{
    for (const auto& h : headers)
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    return QByteArray();
}

HttpResponse HttpResponse::json(const QByteArray& body, int status)
{
    HttpResponse r;
    r.status = status;
    r.headers.append(HttpHeaders::value_type("Content-Type", "application/json"));
    r.body = body;
    return r;
}

HttpResponse HttpResponse::file(const HttpRequestRecord& request, const QByteArray& content,
                                const QByteArray& acceptRanges, bool honourRanges)
{
    HttpResponse r;
    r.headers.append(HttpHeaders::value_type("Content-Type", "application/octet-stream"));
    if (!acceptRanges.isEmpty())
        r.headers.append(HttpHeaders::value_type("Accept-Ranges", acceptRanges));
    const qint64 size = content.size();
    if (request.method == "HEAD") {
        r.contentLength = size;
        return r;
    }
    const QByteArray range = request.header("Range");
    if (honourRanges && range.startsWith("bytes=")) {
        const QList<QByteArray> parts = range.mid(6).split('-');
        bool okFirst = false;
        const qint64 first = parts.value(0).toLongLong(&okFirst);
        bool okLast = false;
        qint64 last = parts.value(1).toLongLong(&okLast);
        if (!okLast || last >= size)
            last = size - 1;
        if (!okFirst || first >= size || first > last) {
            r.status = 416;
            r.headers.append(HttpHeaders::value_type("Content-Range", "bytes */" + QByteArray::number(size)));
            return r;
        }
        r.status = 206;
        r.headers.append(HttpHeaders::value_type("Content-Range", "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last)
                                               + '/' + QByteArray::number(size)));
        r.body = content.mid(int(first), int(last - first + 1));
        return r;
    }
    r.body = content;
    return r;
}

HttpFixture::HttpFixture(QObject* parent)
    : QObject(parent)
{
}

HttpFixture::~HttpFixture()
{
    stop();
    // Sockets go with the server; their destroyed() handlers free the connection records.
    delete m_server;
    m_server = nullptr;
}

bool HttpFixture::start()
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &HttpFixture::onNewConnection);
    }
    return m_server->listen(QHostAddress::LocalHost, 0);
}

void HttpFixture::stop()
{
    if (m_server)
        m_server->close();
    const auto live = m_live;
    for (Connection* c : live) {
        if (c->socket)
            c->socket->abort();
    }
}

quint16 HttpFixture::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

QString HttpFixture::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpFixture::enqueue(const HttpResponse& response)
{
    m_queue.append(response);
}

void HttpFixture::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

bool HttpFixture::waitForRequests(int n, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (m_requests.size() < n && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    return m_requests.size() >= n;
}

void HttpFixture::onNewConnection()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        auto* c = new Connection;
        c->socket = socket;
        m_live.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QObject::destroyed, this, [this, c] {
            m_live.removeOne(c);
            delete c;
        });
    }
}

void HttpFixture::onReadyRead(Connection* c)
{
    c->buffer.append(c->socket->readAll());
    serveNext(c);
}

void HttpFixture::serveNext(Connection* c)
{
    if (c->busy || !c->socket)
        return;
    const int headerEnd = c->buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    HttpRequestRecord request;
    const QList<QByteArray> lines = c->buffer.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append(HttpHeaders::value_type(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
    }
    const int length = request.header("Content-Length").toInt();
    if (c->buffer.size() < headerEnd + 4 + length)
        return; // the body is still on its way
    request.body = c->buffer.mid(headerEnd + 4, length);
    c->buffer.remove(0, headerEnd + 4 + length);
    c->busy = true;

    m_requests.append(request);
    HttpResponse response;
    if (!m_queue.isEmpty())
        response = m_queue.takeFirst();
    else if (m_handler)
        response = m_handler(request);
    else
        response.status = 404;

    if (response.neverAnswer)
        return;
    QPointer<QTcpSocket> socket = c->socket;
    QTimer::singleShot(response.delayMs, this, [this, c, socket, request, response] {
        if (socket)
            sendResponse(c, request, response);
    });
}

void HttpFixture::sendResponse(Connection* c, const HttpRequestRecord& request, const HttpResponse& response)
{
    // Clients read the status code, never the reason phrase.
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
    for (const auto& h : response.headers)
        head += h.first + ": " + h.second + "\r\n";
    if (response.sendContentLength) {
        const qint64 length = response.contentLength >= 0 ? response.contentLength : response.body.size();
        head += "Content-Length: " + QByteArray::number(length) + "\r\n";
    }
    const bool close = !response.sendContentLength;
    if (close)
        head += "Connection: close\r\n";
    head += "\r\n";
    c->socket->write(head);
    if (request.method == "HEAD") {
        finishResponse(c, close);
        return;
    }
    sendBody(c, response.body, 0, response);
}

void HttpFixture::sendBody(Connection* c, QByteArray body, qint64 sent, HttpResponse response)
{
    if (!c->socket)
        return;
    const qint64 size = body.size();
    if (response.cutAfterBytes >= 0 && sent >= response.cutAfterBytes && sent < size) {
        c->socket->flush();
        c->socket->disconnectFromHost();
        return;
    }
    qint64 end = size;
    if (response.chunkBytes > 0)
        end = qMin(end, sent + response.chunkBytes);
    if (response.cutAfterBytes >= 0)
        end = qMin(end, qMax(sent, response.cutAfterBytes));
    c->socket->write(body.constData() + sent, end - sent);
    sent = end;
    if (sent >= size) {
        finishResponse(c, !response.sendContentLength || (response.contentLength >= 0 && response.contentLength != size));
        return;
    }
    QPointer<QTcpSocket> socket = c->socket;
    QTimer::singleShot(response.chunkIntervalMs, this, [this, c, socket, body, sent, response] {
        if (socket)
            sendBody(c, body, sent, response);
    });
}

void HttpFixture::finishResponse(Connection* c, bool close)
{
    c->busy = false;
    if (close) {
        c->socket->flush();
        c->socket->disconnectFromHost();
        return;
    }
    serveNext(c);
}
