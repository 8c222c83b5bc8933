#include "NetworkHelper.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

namespace {
int g_liveHelpers = 0;
}

void NetworkHelper::Post(
    const QString& url, const QString& body, NetworkReplyCallback callback, void* userData, int timeoutMs)
{
    auto* helper = new NetworkHelper(url, body, callback, userData, timeoutMs);
    helper->Start();
}

NetworkHelper::NetworkHelper(
    const QString& url, const QString& body, NetworkReplyCallback callback, void* userData, int timeoutMs)
    : m_accessManager(new QNetworkAccessManager)
    , m_timer(new QTimer)
    , m_url(url)
    , m_body(body)
    , m_callback(callback)
    , m_userData(userData)
    , m_timeoutMs(timeoutMs)
{
    ++g_liveHelpers;
    connect(m_accessManager, &QNetworkAccessManager::finished, this, &NetworkHelper::OnReplyFinished);
    connect(m_timer, &QTimer::timeout, this, &NetworkHelper::OnTimer);
}

NetworkHelper::~NetworkHelper()
{
    // The access manager takes a reply that is still pending with it.
    delete m_accessManager;
    delete m_timer;
    --g_liveHelpers;
}

int NetworkHelper::LiveCount()
{
    return g_liveHelpers;
}

void NetworkHelper::Start()
{
    QNetworkRequest request(QUrl(m_url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QByteArray bytes;
    bytes.append(m_body.toUtf8());
    m_accessManager->post(request, bytes);
    m_timer->start(m_timeoutMs);
}

void NetworkHelper::Report(int code, const QByteArray& body)
{
    // A reply that straggles in after the time-out has been reported is dropped.
    if (m_reported)
        return;
    m_reported = true;
    if (m_callback)
        m_callback(code, body, m_userData);
}

void NetworkHelper::OnReplyFinished(QNetworkReply* reply)
{
    m_timer->stop();
    if (m_reported) {
        // The time-out was reported first, and its callback may still be running (a modal box
        // spins a nested loop): deleting ourselves here would pull the object from under it.
        reply->deleteLater();
        return;
    }
    if (reply->error() == QNetworkReply::NoError) {
        Report(0, reply->readAll());
    } else {
        Report(2, QByteArray());
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        qDebug("found error ....code: %d %d\n", status, int(reply->error()));
        qDebug("%s", reply->errorString().toLocal8Bit().constData());
    }
    reply->deleteLater();
    deleteLater();
}

void NetworkHelper::OnTimer()
{
    m_timer->stop();
    Report(1, QByteArray());
    deleteLater();
}
