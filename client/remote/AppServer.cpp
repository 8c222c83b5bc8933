#include "AppServer.h"

#include "Request.h"
#include "shell/Util.h"
#include "lectern_config.h"
#include "protocol/AppApi.h"
#include "protocol/LoginHash.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QWidget>

#include <cstdlib>

namespace {

const QString kAppType = QStringLiteral("rided4a_win");
const QString kVersionNumber = QStringLiteral(LECTERN_CLIENT_VERSION);
const QString kChannel = QStringLiteral("PC");

QString& EndpointUrl()
{
    static QString* url = new QString(QStringLiteral(LECTERN_APP_SERVER_URL));
    return *url;
}

QString ClientVersion()
{
    return QStringLiteral("%1_%2").arg(kAppType, kVersionNumber);
}

QString SessionUserId()
{
    return SessionRecord().value(QStringLiteral("userId")).toString();
}

// The salt generator is seeded once per process: unseeded, every client would send the same salts
// in the same order.
void SeedSaltsOnce()
{
    static const bool seeded = [] {
        std::srand(QRandomGenerator::system()->generate());
        return true;
    }();
    Q_UNUSED(seeded);
}

} // namespace

QVariantMap& SessionRecord()
{
    static QVariantMap* record = new QVariantMap;
    return *record;
}

QString AppServerUrl()
{
    return EndpointUrl();
}

void SetAppServerUrl(const QString& url)
{
    EndpointUrl() = url;
}

QString AppServerClientVersion()
{
    return ClientVersion();
}

void AppServer_Call(const QString& method, QVariantMap params, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent, bool showErrorBox)
{
    params.insert(QStringLiteral("ak"), SessionRecord().value(QStringLiteral("ak"), QString()));
    params.insert(QStringLiteral("channel"), kChannel);
    params.insert(QStringLiteral("clientVersion"), ClientVersion());
    params.insert(QStringLiteral("appType"), kAppType);

    QVariantMap envelope;
    envelope.insert(QStringLiteral("method"), method);
    envelope.insert(QStringLiteral("params"), params);
    envelope.insert(QStringLiteral("jsonrpc"), QStringLiteral("2.0"));

    const QByteArray json = QJsonDocument(QJsonObject::fromVariantMap(envelope)).toJson();
    auto* request
        = new Request(QString::fromUtf8(json), success, error, context, waitingParent, showErrorBox);
    request->doRequest();
}

void AppServer_Login(const QString& loginId, const QString& password, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    SeedSaltsOnce();
    const QString salt = QString::number(std::rand() % 9999 + 1000);
    const QString saltedPassword = loginhash::saltedPassword(password, salt);
    QVariantMap params;
    params.insert(QStringLiteral("loginId"), loginId);
    params.insert(QStringLiteral("saltedPassword"), saltedPassword);
    params.insert(QStringLiteral("salt"), salt);
    AppServer_Call(
        QLatin1String(appapi::Method::kLogin), params, success, error, context, waitingParent, true);
}

void AppServer_CreateSig(
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    AppServer_Call(
        QLatin1String(appapi::Method::kUserSig), QVariantMap(), success, error, context, waitingParent, true);
}

void AppServer_CheckVersion(AppServerSuccessCallback success, AppServerErrorCallback error, void* context,
    QWidget* waitingParent, bool showErrorBox)
{
    AppServer_Call(QLatin1String(appapi::Method::kVersionCheck), QVariantMap(), success, error, context,
        waitingParent, showErrorBox);
}

void AppServer_LiveList(AppServerSuccessCallback success, AppServerErrorCallback error, void* context,
    QWidget* waitingParent, bool showErrorBox)
{
    QVariantMap params;
    params.insert(QStringLiteral("teacherUserId"), SessionUserId());
    params.insert(QStringLiteral("pageNum"), 1);
    params.insert(QStringLiteral("pageSize"), 1000);
    AppServer_Call(QLatin1String(appapi::Method::kLivesOfTeacher), params, success, error, context,
        waitingParent, showErrorBox);
}

void AppServer_CreateRoom(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("hostUserId"), SessionUserId());
    params.insert(QStringLiteral("liveId"), liveId);
    AppServer_Call(
        QLatin1String(appapi::Method::kCreateRoom), params, success, error, context, waitingParent, true);
}

void AppServer_ReportRoom(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("hostUserId"), SessionUserId());
    params.insert(QStringLiteral("liveId"), liveId);
    params.insert(QStringLiteral("videoType"), 0);
    params.insert(QStringLiteral("device"), 2);
    AppServer_Call(
        QLatin1String(appapi::Method::kReportRoomInfo), params, success, error, context, waitingParent, true);
}

void AppServer_EnterRoom(int avRoomId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveRole"), 1);
    params.insert(QStringLiteral("avRoomId"), avRoomId);
    AppServer_Call(
        QLatin1String(appapi::Method::kEnterRoom), params, success, error, context, waitingParent, true);
}

void AppServer_QuitRoom(int avRoomId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveRole"), 1);
    params.insert(QStringLiteral("avRoomId"), avRoomId);
    AppServer_Call(
        QLatin1String(appapi::Method::kQuitRoom), params, success, error, context, waitingParent, true);
}

void AppServer_BeginLive(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveId"), liveId);
    AppServer_Call(
        QLatin1String(appapi::Method::kBegin), params, success, error, context, waitingParent, true);
}

void AppServer_EndLive(const QString& liveId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveId"), liveId);
    AppServer_Call(QLatin1String(appapi::Method::kEnd), params, success, error, context, waitingParent, true);
}

void AppServer_RoomMemberList(const QString& liveId, int pageNum, int pageSize,
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveId"), liveId);
    params.insert(QStringLiteral("pageNum"), pageNum);
    params.insert(QStringLiteral("pageSize"), pageSize);
    AppServer_Call(
        QLatin1String(appapi::Method::kMemberList), params, success, error, context, nullptr, false);
}

void AppServer_Attendance(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveId"), liveId);
    AppServer_Call(
        QLatin1String(appapi::Method::kAttendance), params, success, error, context, waitingParent, true);
}

void AppServer_ReplayList(AppServerSuccessCallback success, AppServerErrorCallback error, void* context)
{
    AppServer_Call(
        QStringLiteral("live.replay.list"), QVariantMap(), success, error, context, nullptr, false);
}

void AppServer_RoomMemberStateReport(const QString& liveId, const QVariant& userId, bool on,
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context, QWidget* waitingParent,
    bool showErrorBox)
{
    QVariantMap params;
    params.insert(QStringLiteral("liveId"), liveId);
    params.insert(QStringLiteral("action"), on ? QStringLiteral("on") : QStringLiteral("off"));
    params.insert(QStringLiteral("userId"), userId);
    AppServer_Call(QLatin1String(appapi::Method::kMemberStatusReport), params, success, error, context,
        waitingParent, showErrorBox);
}
