#pragma once

#include "AppServer.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <QWidget>

namespace Json {
class Value;
}

// One JSON-RPC call to the app server; deletes itself once its outcome has been reported.
class Request : public QObject {
    Q_OBJECT
public:
    Request(const QString& requestText, AppServerSuccessCallback success, AppServerErrorCallback error,
        void* context, QWidget* waitingParent, bool showErrorBox);
    ~Request() override;

    void doRequest();
    static void OnNetworkReply(int code, const QByteArray& body, void* request);
    void OnError(int code, QVariantMap error);

    // Objects not yet destroyed; lets tests prove that no call outlives its outcome.
    static int LiveCount();

private:
    void ShowErrorBox(const QString& text);

    QString m_requestText;
    AppServerSuccessCallback m_success = nullptr;
    AppServerErrorCallback m_error = nullptr;
    void* m_context = nullptr;
    QWidget* m_waitingParent = nullptr;
    bool m_showErrorBox = false;
};

QString GetErrorMessage(QVariantMap error);
// The session token ("ak") and the salted password, replaced by "***" wherever they occur as
// JSON members of the text (requests and answers), or as entries of the map.
QString MaskSecretsForLog(const QString& json);
QVariantMap MaskSecretsForLog(QVariantMap map);
QVariant JsonToVariant(const Json::Value& value);
