#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

class QTcpServer;
class QTcpSocket;

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// One request as it arrived on the socket.
struct HttpRequestRecord {
    QByteArray method;
    QByteArray target;
    HttpHeaders headers;
    QByteArray body;

    // First header of that name, compared without regard to case; empty when absent.
    QByteArray header(const QByteArray& name) const;
};

// What the fixture sends back, and how.
struct HttpResponse {
    int status = 200;
    HttpHeaders headers;        // sent in this order, after the status line
    QByteArray body;            // never sent for HEAD
    qint64 contentLength = -1;  // announced length; -1 means body.size()
    bool sendContentLength = true;
    int delayMs = 0;            // before the status line
    bool neverAnswer = false;   // keep the connection open and silent
    qint64 cutAfterBytes = -1;  // close the connection after this many body bytes
    int chunkBytes = 0;         // dribble the body in pieces of this size ...
    int chunkIntervalMs = 0;    // ... this far apart

    static HttpResponse json(const QByteArray& body, int status = 200);
    // The content served as a file: HEAD gives the size, GET honours "Range" when
    // honourRanges is set (206 + Content-Range), else sends everything with 200.
    static HttpResponse file(const HttpRequestRecord& request, const QByteArray& content,
                             const QByteArray& acceptRanges = "bytes", bool honourRanges = true);
};

// A small HTTP/1.1 server on 127.0.0.1 that really speaks over its sockets: scripted answers,
// captured requests, delays, silence, cut connections and byte ranges.
class HttpFixture : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<HttpResponse(const HttpRequestRecord&)>;

    explicit HttpFixture(QObject* parent = nullptr);
    ~HttpFixture() override;

    bool start();
    void stop();
    quint16 port() const;
    QString url(const QString& path) const;

    // Answers are taken from the queue first, then from the handler; with neither: 404.
    void enqueue(const HttpResponse& response);
    void setHandler(Handler handler);

    const QList<HttpRequestRecord>& requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }

    // Blocks in an event loop until n requests have arrived or timeoutMs passed.
    bool waitForRequests(int n, int timeoutMs = 5000);

private:
    struct Connection;
    void onNewConnection();
    void onReadyRead(Connection* connection);
    void serveNext(Connection* connection);
    void sendResponse(Connection* connection, const HttpRequestRecord& request, const HttpResponse& response);
    void sendBody(Connection* connection, QByteArray body, qint64 sent, HttpResponse response);
    void finishResponse(Connection* connection, bool close);

    QTcpServer* m_server = nullptr;
    QList<HttpResponse> m_queue;
    Handler m_handler;
    QList<HttpRequestRecord> m_requests;
    QVector<Connection*> m_live;
};
