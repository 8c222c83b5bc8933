#pragma once

#include <QVariant>
#include <QVariantMap>
#include <QString>

class QWidget;

// Outcome callbacks of one app-server call; context is handed back unchanged.
typedef void (*AppServerSuccessCallback)(const QVariantMap& result, void* context);
typedef void (*AppServerErrorCallback)(int code, const QVariantMap& error, void* context);

// Error codes handed to AppServerErrorCallback.
enum AppServerErrorCode {
    AppServerTimeout = 1,
    AppServerTransportError = 2,
    AppServerInvalidJson = 3,
    AppServerErrorObject = 4,
};

// The "user.login" result of the last successful login; empty before.
QVariantMap& SessionRecord();

QString AppServerUrl();
// Points the client at another endpoint (tests start their own server on a free port).
void SetAppServerUrl(const QString& url);
// "rided4a_win_1.0": sent with every call as "clientVersion".
QString AppServerClientVersion();

void AppServer_Call(const QString& method, QVariantMap params, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent, bool showErrorBox);

// Each call below shows the waiting indicator over waitingParent (none when null) while it runs.
void AppServer_Login(const QString& loginId, const QString& password, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent);
void AppServer_CreateSig(
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context, QWidget* waitingParent);
void AppServer_CheckVersion(AppServerSuccessCallback success, AppServerErrorCallback error, void* context,
    QWidget* waitingParent, bool showErrorBox);
void AppServer_LiveList(AppServerSuccessCallback success, AppServerErrorCallback error, void* context,
    QWidget* waitingParent, bool showErrorBox);
void AppServer_CreateRoom(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent);
void AppServer_ReportRoom(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent);
void AppServer_EnterRoom(int avRoomId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent);
void AppServer_QuitRoom(int avRoomId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent);
void AppServer_BeginLive(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent);
void AppServer_EndLive(const QString& liveId, AppServerSuccessCallback success, AppServerErrorCallback error,
    void* context, QWidget* waitingParent);
void AppServer_RoomMemberList(const QString& liveId, int pageNum, int pageSize,
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context);
// Who was there: "live.attendance" of a live of the signed-in teacher.
void AppServer_Attendance(const QString& liveId, AppServerSuccessCallback success,
    AppServerErrorCallback error, void* context, QWidget* waitingParent);
// The ended lives with a replay the signed-in user may watch ("live.replay.list"), quietly.
void AppServer_ReplayList(AppServerSuccessCallback success, AppServerErrorCallback error, void* context);
void AppServer_RoomMemberStateReport(const QString& liveId, const QVariant& userId, bool on,
    AppServerSuccessCallback success, AppServerErrorCallback error, void* context, QWidget* waitingParent,
    bool showErrorBox);
