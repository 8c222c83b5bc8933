#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>

class QTcpServer;
class QTcpSocket;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequestRecord {
    QByteArray method;
    QByteArray target;
    HttpHeaders headers;
    QByteArray body;

    // First header of that name in any case; empty when absent.
    QByteArray header(const QByteArray& name) const;
};

struct HttpResponse {
    int status = 200;
    HttpHeaders headers;
    QByteArray body; // never sent for HEAD
    qint64 contentLength = -1; // announced length; -1 means body.size()
    bool sendContentLength = true; // false: no length, the connection closes after the body
    int delayMs = 0; // before the status line
    bool neverAnswer = false; // keep the connection open and silent
    qint64 cutAfterBytes = -1; // close the connection after this many body bytes
    int chunkBytes = 0; // dribble the body in pieces of this size ...
    int chunkIntervalMs = 0; // ... this far apart

    static HttpResponse json(const QByteArray& body, int status = 200);
    // The content as a file: HEAD gives the size; GET honours "Range" (206, or 416 when it
    // cannot be met) when honourRanges is set, else sends everything with 200. A non-empty etag
    // or lastModified is sent with both, and a GET whose "If-Range" names neither gets 200.
    static HttpResponse file(const HttpRequestRecord& request, const QByteArray& content,
        const QByteArray& acceptRanges = "bytes", bool honourRanges = true, const QByteArray& etag = {},
        const QByteArray& lastModified = {});
};

// A small HTTP/1.1 server on 127.0.0.1 that really speaks over its sockets, one answer at a time
// per connection.
class HttpFixture : public QObject {
public:
    using Handler = std::function<HttpResponse(const HttpRequestRecord&)>;

    ~HttpFixture() override { stop(); }

    bool start();
    void stop();
    QString url(const QString& path) const;

    // Answers are taken from the queue first, then from the handler; with neither: 404.
    void enqueue(const HttpResponse& response) { m_queue.append(response); }
    void setHandler(Handler handler) { m_handler = std::move(handler); }

    const QList<HttpRequestRecord>& requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }
    // Spins the event loop until n requests have arrived or timeoutMs passed.
    bool waitForRequests(int n, int timeoutMs = 5000);

private:
    void serve(QTcpSocket* socket);
    void sendBody(QTcpSocket* socket, qint64 sent, const HttpResponse& response);
    void finish(QTcpSocket* socket, bool close);

    QTcpServer* m_server = nullptr;
    QList<HttpResponse> m_queue;
    Handler m_handler;
    QList<HttpRequestRecord> m_requests;
};
