#include "HttpFixture.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

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
    r.headers = { { "Content-Type", "application/json" } };
    r.body = body;
    return r;
}

HttpResponse HttpResponse::file(const HttpRequestRecord& request, const QByteArray& content,
    const QByteArray& acceptRanges, bool honourRanges, const QByteArray& etag, const QByteArray& lastModified)
{
    HttpResponse r;
    r.headers = { { "Content-Type", "application/octet-stream" } };
    if (!acceptRanges.isEmpty())
        r.headers.append({ "Accept-Ranges", acceptRanges });
    if (!etag.isEmpty())
        r.headers.append({ "ETag", etag });
    if (!lastModified.isEmpty())
        r.headers.append({ "Last-Modified", lastModified });
    const QByteArray size = QByteArray::number(content.size());
    const QByteArray ifRange = request.header("If-Range");
    const bool sameFile = ifRange.isEmpty()
        || (ifRange.startsWith('"') ? ifRange == etag : !lastModified.isEmpty() && ifRange == lastModified);
    const QByteArray range = sameFile ? request.header("Range") : QByteArray();
    if (request.method == "HEAD") {
        r.contentLength = content.size();
    } else if (!honourRanges || !range.startsWith("bytes=")) {
        r.body = content;
    } else {
        const QList<QByteArray> parts = range.mid(6).split('-');
        bool okFirst = false, okLast = false;
        const qint64 first = parts.value(0).toLongLong(&okFirst);
        qint64 last = parts.value(1).toLongLong(&okLast);
        if (!okLast || last >= content.size())
            last = content.size() - 1;
        r.status = okFirst && first <= last ? 206 : 416;
        r.headers.append({ "Content-Range",
            r.status == 416
                ? "bytes */" + size
                : "bytes " + QByteArray::number(first) + '-' + QByteArray::number(last) + '/' + size });
        if (r.status == 206)
            r.body = content.mid(int(first), int(last - first + 1));
    }
    return r;
}

bool HttpFixture::start()
{
    if (!m_server) {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server->nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    return m_server->listen(QHostAddress::LocalHost, 0);
}

void HttpFixture::stop()
{
    if (!m_server)
        return;
    m_server->close();
    // Accepted sockets are the server's children.
    for (QTcpSocket* socket : m_server->findChildren<QTcpSocket*>())
        socket->abort();
}

QString HttpFixture::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server ? m_server->serverPort() : 0).arg(path);
}

bool HttpFixture::waitForRequests(int n, int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_requests.size() >= n; }, timeoutMs);
}

void HttpFixture::serve(QTcpSocket* socket)
{
    // A request stays in the socket until it is whole and the one before it has been answered.
    if (socket->property("busy").toBool())
        return;
    const QByteArray data = socket->peek(socket->bytesAvailable());
    const int headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    HttpRequestRecord request;
    const QList<QByteArray> lines = data.left(headerEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (const QByteArray& line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({ line.left(colon).trimmed(), line.mid(colon + 1).trimmed() });
    }
    const int length = request.header("Content-Length").toInt();
    if (data.size() < headerEnd + 4 + length)
        return;
    socket->read(headerEnd + 4);
    request.body = socket->read(length);
    socket->setProperty("busy", true);
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
    QTimer::singleShot(response.delayMs, socket, [this, socket, request, response] {
        // Clients read the status code, never the reason phrase.
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Status\r\n";
        for (const auto& h : response.headers)
            head += h.first + ": " + h.second + "\r\n";
        if (response.sendContentLength)
            head += "Content-Length: "
                + QByteArray::number(
                    response.contentLength >= 0 ? response.contentLength : response.body.size())
                + "\r\n";
        else
            head += "Connection: close\r\n";
        socket->write(head + "\r\n");
        if (request.method == "HEAD")
            finish(socket, !response.sendContentLength);
        else
            sendBody(socket, 0, response);
    });
}

void HttpFixture::sendBody(QTcpSocket* socket, qint64 sent, const HttpResponse& response)
{
    const qint64 size = response.body.size();
    const qint64 cut = response.cutAfterBytes;
    if (cut >= 0 && sent >= cut && sent < size) {
        socket->disconnectFromHost();
        return;
    }
    qint64 end = response.chunkBytes > 0 ? qMin(size, sent + response.chunkBytes) : size;
    if (cut >= 0)
        end = qMin(end, qMax(sent, cut));
    socket->write(response.body.constData() + sent, end - sent);
    if (end < size)
        QTimer::singleShot(response.chunkIntervalMs, socket, [=] { sendBody(socket, end, response); });
    else
        finish(socket,
            !response.sendContentLength || (response.contentLength >= 0 && response.contentLength != size));
}

void HttpFixture::finish(QTcpSocket* socket, bool close)
{
    socket->setProperty("busy", false);
    if (close)
        socket->disconnectFromHost();
    else
        serve(socket);
}
