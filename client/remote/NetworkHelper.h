#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// Outcome of one post: 0 finished, 1 timed out, 2 network error.
typedef void (*NetworkReplyCallback)(int code, const QByteArray& body, void* userData);

// One HTTP POST of a JSON text with a time-out; reports exactly one outcome, then deletes itself.
class NetworkHelper : public QObject {
    Q_OBJECT
public:
    static void Post(const QString& url, const QString& body, NetworkReplyCallback callback, void* userData,
        int timeoutMs);

    NetworkHelper(const QString& url, const QString& body, NetworkReplyCallback callback, void* userData,
        int timeoutMs);
    ~NetworkHelper() override;

    // Objects not yet destroyed; lets tests prove that every post cleans up after itself.
    static int LiveCount();

private slots:
    void OnReplyFinished(QNetworkReply* reply);
    void OnTimer();

private:
    void Start();
    void Report(int code, const QByteArray& body);

    QNetworkAccessManager* m_accessManager = nullptr;
    QTimer* m_timer = nullptr;
    QString m_url;
    QString m_body;
    NetworkReplyCallback m_callback = nullptr;
    void* m_userData = nullptr;
    int m_timeoutMs = 0;
    bool m_reported = false;
};
