#include "RoomTestKit.h"

#include "CallOutcome.h"
#include "FakeILive.h"
#include "remote/AppServer.h"
#include "remote/Request.h"
#include "room/LiveDlg.h"
#include "whiteboard/PageStore.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace roomkit {

bool SignIn(const QString& loginId, const QString& password, QString* error)
{
    CallOutcome o;
    AppServer_Login(loginId, password, CallOutcome::OnOk, CallOutcome::OnFail, &o, nullptr);
    o.wait(10000);
    if (!o.ok)
        *error = QStringLiteral("user.login failed, code %1").arg(o.code);
    else
        SessionRecord() = o.result;
    return o.ok;
}

FakeILive* InstallService()
{
    FakeILive* service = FakeILive::install();
    service->cameras = { { "cam0", "USB Camera" } };
    service->mics = { { "mic0", "Microphone" } };
    service->players = { { "spk0", "Speakers" } };
    ilive::iLive* live = GetILive();
    live->setDeviceOperationCallback(&LiveDlg::OnDeviceOperation, nullptr);
    live->setLocalVideoCallBack(&LiveDlg::OnLocalVideoFrame, nullptr);
    live->setRemoteVideoCallBack(&LiveDlg::OnRemoteVideoFrame, nullptr);
    live->setMessageCallBack(&LiveDlg::OnMessageCallback, nullptr);
    service->lastRoomOption.roomDisconnectListener = &LiveDlg::OnRoomDisconnect;
    service->lastRoomOption.memberStatusListener = &LiveDlg::OnMemStatusChange;
    service->calls.clear();
    return service;
}

LiveDlg* OpenRoom(const QString& liveId, int avRoomId)
{
    auto* dlg = new LiveDlg;
    g_liveDlg = dlg;
    dlg->setLiveId(liveId);
    dlg->setAvRoomId(avRoomId);
    dlg->setWindowTitle(QStringLiteral("物理课"));
    dlg->showMaximized();
    return dlg;
}

void DiscardRoom()
{
    if (LiveDlg* dlg = g_liveDlg) {
        g_liveDlg = nullptr;
        dlg->hide();
        delete dlg;
    }
    // The closed board's pages are written before the next case, or the end of the test log.
    QCoreApplication::processEvents();
    PageStore::instance()->flush();
}

QList<QPair<int, QString>> SentCommands(const FakeILive* service)
{
    QList<QPair<int, QString>> commands;
    for (const FakeILive::Sent& sent : service->sent) {
        const QString data = FakeILive::customDataOf(sent.msg);
        if (data.isEmpty())
            continue;
        const QJsonObject cmd = QJsonDocument::fromJson(data.toUtf8()).object();
        commands.append(qMakePair(cmd.value("userAction").toInt(), cmd.value("actionParam").toString()));
    }
    return commands;
}

bool WaitForRequests(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (Request::LiveCount() > 0 && clock.elapsed() < timeoutMs)
        QTest::qWait(20);
    return Request::LiveCount() == 0;
}

} // namespace roomkit
