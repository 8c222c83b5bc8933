#include "Request.h"

#include "NetworkHelper.h"
#include "protocol/AppApi.h"
#include "shell/waitingspinnerwidget.h"

#include <QMessageBox>
#include <QRegularExpression>
#include <QtDebug>

#include <json/json.h>

#include <memory>
#include <string>

namespace {

int g_liveRequests = 0;
constexpr int kRequestTimeoutMs = 5000;

QString ErrorText(int code, const QVariantMap& error)
{
    switch (code) {
    case AppServerTimeout:
        return QStringLiteral("网络超时");
    case AppServerTransportError:
        return QStringLiteral("网络错误");
    case AppServerInvalidJson:
        return QStringLiteral("无效的Json");
    case AppServerErrorObject:
        return GetErrorMessage(error);
    default:
        return QString();
    }
}

} // namespace

Request::Request(const QString& requestText, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent, bool showErrorBox)
    : m_requestText(requestText)
    , m_success(success)
    , m_error(error)
    , m_context(context)
    , m_waitingParent(waitingParent)
    , m_showErrorBox(showErrorBox)
{
    ++g_liveRequests;
}

Request::~Request()
{
    --g_liveRequests;
}

int Request::LiveCount()
{
    return g_liveRequests;
}

void Request::doRequest()
{
    qDebug().noquote() << "Request:\n====\n" << AppServerUrl() << "?\n" << MaskSecretsForLog(m_requestText);
    if (m_waitingParent)
        ShowWaiting(m_waitingParent);
    NetworkHelper::Post(AppServerUrl(), m_requestText, &Request::OnNetworkReply, this, kRequestTimeoutMs);
}

void Request::ShowErrorBox(const QString& text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("网络错误"), text, QMessageBox::Ok);
    box.setTextFormat(Qt::PlainText); // the server's message, never markup
    box.exec();
}

void Request::OnNetworkReply(int code, const QByteArray& body, void* request)
{
    std::unique_ptr<Request> self(static_cast<Request*>(request));
    HideWaiting();
    qDebug().noquote() << "Response:\n====\n" << MaskSecretsForLog(QString::fromUtf8(body));

    if (code != 0) {
        qDebug() << "network error";
        self->OnError(code, QVariantMap());
        return;
    }

    // The answer counts up to its first NUL byte, as a C string would.
    const int nul = body.indexOf('\0');
    const QByteArray text = nul < 0 ? body : body.left(nul);
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    const bool parsed = reader->parse(text.constData(), text.constData() + text.size(), &root, &errors);
    if (!parsed || !root.isObject()) {
        qDebug() << "json parse error";
        if (self->m_showErrorBox)
            self->ShowErrorBox(QStringLiteral("无效的Json"));
        if (self->m_error)
            self->m_error(AppServerInvalidJson, QVariantMap(), self->m_context);
        return;
    }

    const QVariantMap answer = JsonToVariant(root).toMap();
    const QVariant error = answer.value(QStringLiteral("error"));
    // JSON null converts to an invalid variant, like a missing member; "" is still an error.
    if (!error.isValid()) {
        const QVariant result = answer.value(QStringLiteral("result"));
        const QVariantMap resultMap = result.type() == QVariant::Map ? result.toMap() : QVariantMap();
        if (self->m_success)
            self->m_success(resultMap, self->m_context);
        return;
    }

    const QVariantMap errorMap = error.toMap();
    if (self->m_showErrorBox)
        self->ShowErrorBox(GetErrorMessage(errorMap));
    if (self->m_error)
        self->m_error(AppServerErrorObject, errorMap, self->m_context);
}

void Request::OnError(int code, QVariantMap error)
{
    if (m_showErrorBox)
        ShowErrorBox(ErrorText(code, error));
    if (m_error)
        m_error(code, error, m_context);
}

QString GetErrorMessage(QVariantMap error)
{
    bool ok = false;
    const int code = error.value(QStringLiteral("code")).toString().toInt(&ok);
    if (ok && code == appapi::ErrorCode::NotYourLive)
        return QStringLiteral("没有权限进入该直播");
    return error.value(QStringLiteral("message")).toString();
}

QVariant JsonToVariant(const Json::Value& value)
{
    switch (value.type()) {
    case Json::objectValue: {
        QVariantMap map;
        for (const std::string& name : value.getMemberNames())
            map.insert(QString::fromUtf8(name.data(), int(name.size())), JsonToVariant(value[name]));
        return map;
    }
    case Json::arrayValue: {
        QVariantList list;
        for (Json::ArrayIndex i = 0; i < value.size(); ++i)
            list.append(JsonToVariant(value[i]));
        return list;
    }
    case Json::nullValue:
        return QVariant();
    default: {
        const std::string text = value.asString();
        return QString::fromUtf8(text.data(), int(text.size()));
    }
    }
}

namespace {
const QStringList kSecretKeys = { QStringLiteral("ak"), QStringLiteral("saltedPassword") };
const QString kMask = QStringLiteral("***");
} // namespace

QString MaskSecretsForLog(const QString& json)
{
    // A string member of any object, whatever the spacing; escaped quotes stay inside the value.
    static const QRegularExpression secret(
        QStringLiteral("(\"(?:ak|saltedPassword)\"\\s*:\\s*)\"(?:[^\"\\\\]|\\\\.)*\""));
    QString masked = json;
    masked.replace(secret, QStringLiteral("\\1\"") + kMask + QLatin1Char('"'));
    return masked;
}

QVariantMap MaskSecretsForLog(QVariantMap map)
{
    for (const QString& key : kSecretKeys)
        if (map.contains(key))
            map.insert(key, kMask);
    return map;
}
