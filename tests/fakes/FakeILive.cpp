#include "FakeILive.h"

#include <utility>

namespace {
FakeILive* g_fake = nullptr;

ilive::iLiveRootView* createFakeView()
{
    auto* view = new FakeRootView;
    FakeRootView::all().append(view);
    return view;
}

ilive::String Str(const QString& s)
{
    return ilive::String(s.toUtf8().constData());
}

template <typename Elem> const Elem* First(const ilive::Message& msg, ilive::E_MessageElemType type)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == type)
            return static_cast<const Elem*>(e);
    return nullptr;
}
} // namespace

FakeILive* FakeILive::install()
{
    uninstall();
    g_fake = new FakeILive;
    FakeRootView::all().clear();
    ilive::SetILiveForTesting(g_fake, createFakeView);
    return g_fake;
}

void FakeILive::uninstall()
{
    ilive::SetILiveForTesting(nullptr, nullptr);
    delete g_fake;
    g_fake = nullptr;
}

FakeILive* FakeILive::instance()
{
    return g_fake;
}

void FakeILive::done(const char* call, Suc suc, void* data)
{
    calls << call;
    if (suc)
        suc(data);
}

void FakeILive::answer(int code, const QString& desc, Suc suc, Err err, void* data)
{
    if (code == 0 && suc)
        suc(data);
    else if (code != 0 && err)
        err(code, desc.toUtf8().constData(), data);
}

int FakeILive::fill(Devices& out, const QList<QPair<QString, QString>>& in, int result)
{
    out.clear();
    for (const auto& p : in)
        out.push_back(ilive::Pair<ilive::String, ilive::String>(Str(p.first), Str(p.second)));
    return result;
}

void FakeILive::answerPending(int code, const QString& desc)
{
    answer(code, desc, std::exchange(pendingSuc, nullptr), std::exchange(pendingErr, nullptr), pendingData);
}

void FakeILive::deliverMessage(const ilive::Message& msg)
{
    if (messageListener)
        messageListener(msg, messageData);
}

void FakeILive::deliverText(const QString& sender, const QString& text)
{
    ilive::Message msg;
    msg.sender = Str(sender);
    msg.elems.push_back(new ilive::MessageTextElem(Str(text)));
    deliverMessage(msg);
}

void FakeILive::deliverCustom(const QString& sender, const QString& json)
{
    ilive::Message msg;
    msg.sender = Str(sender);
    msg.elems.push_back(new ilive::MessageCustomElem(Str(json), "LiveNotification"));
    deliverMessage(msg);
}

void FakeILive::forceOffline()
{
    if (forceOfflineListener)
        forceOfflineListener();
}

void FakeILive::frame(ilive::iLivePreviewListener listener, void* data, const QString& user, int srcType)
{
    static const uint32_t pixels[4] = { 0xff0000ffu, 0xff00ff00u, 0xffff0000u, 0xffffffffu };
    const ilive::LiveVideoFrame frame { Str(user), reinterpret_cast<const uint8_t*>(pixels), sizeof(pixels),
        { ilive::COLOR_FORMAT_RGB32, 2, 2, static_cast<ilive::E_VideoSrc>(srcType) } };
    if (listener)
        listener(&frame, data);
}

void FakeILive::roomDisconnect(int code, const QString& desc)
{
    if (lastRoomOption.roomDisconnectListener)
        lastRoomOption.roomDisconnectListener(code, desc.toUtf8().constData(), lastRoomOption.data);
}

void FakeILive::memberStatus(ilive::E_EndpointEventId event, const QStringList& ids)
{
    ilive::Vector<ilive::String> list;
    for (const QString& id : ids)
        list.push_back(Str(id));
    if (lastRoomOption.memberStatusListener)
        lastRoomOption.memberStatusListener(event, list, lastRoomOption.data);
}

QString FakeILive::textOf(const ilive::Message& msg)
{
    const auto* e = First<ilive::MessageTextElem>(msg, ilive::TEXT);
    return e ? QString::fromUtf8(e->content.c_str()) : QString();
}

QString FakeILive::customDataOf(const ilive::Message& msg)
{
    const auto* e = First<ilive::MessageCustomElem>(msg, ilive::CUSTOM);
    return e ? QString::fromUtf8(e->data.c_str()) : QString();
}

QString FakeILive::customExtOf(const ilive::Message& msg)
{
    const auto* e = First<ilive::MessageCustomElem>(msg, ilive::CUSTOM);
    return e ? QString::fromUtf8(e->ext.c_str()) : QString();
}

void FakeILive::setMessageCallBack(ilive::iLiveMessageListener listener, void* data)
{
    calls << "setMessageCallBack";
    messageListener = listener;
    messageData = data;
}

void FakeILive::setForceOfflineCallback(ilive::iLiveForceOfflineListener listener)
{
    calls << "setForceOfflineCallback";
    forceOfflineListener = listener;
}

void FakeILive::setRemoteVideoCallBack(ilive::iLivePreviewListener listener, void* data)
{
    calls << "setRemoteVideoCallBack";
    remoteVideoListener = listener;
    remoteVideoData = data;
}

void FakeILive::setLocalVideoCallBack(ilive::iLivePreviewListener listener, void* data)
{
    calls << "setLocalVideoCallBack";
    localVideoListener = listener;
    localVideoData = data;
}

void FakeILive::setDeviceOperationCallback(ilive::iLiveDeviceOperationListener listener, void* data)
{
    calls << "setDeviceOperationCallback";
    deviceListener = listener;
    deviceData = data;
}

void FakeILive::setVideoColorFormat(ilive::E_ColorFormat format)
{
    calls << QString("setVideoColorFormat %1").arg(int(format));
    colorFormat = format;
}

int FakeILive::init(int appId, int accountType, bool imSupport)
{
    calls << QString("init %1 %2 %3").arg(appId).arg(accountType).arg(imSupport);
    return initResult;
}

void FakeILive::login(const char* userId, const char* userSig, Suc suc, Err err, void* data)
{
    loginUser = QString::fromUtf8(userId);
    loginSig = QString::fromUtf8(userSig);
    calls << "login " + loginUser;
    pendingSuc = suc;
    pendingErr = err;
    pendingData = data;
    if (answerLogin)
        answerPending(loginCode, loginDesc);
}

void FakeILive::createRoom(const ilive::iLiveRoomOption& option, Suc suc, Err err, void* data)
{
    calls << QString("createRoom %1").arg(option.roomId);
    lastRoomOption = option;
    pendingSuc = suc;
    pendingErr = err;
    pendingData = data;
    if (answerCreateRoom)
        answerPending(0);
}

void FakeILive::sendGroupMessage(const ilive::Message& msg, Suc suc, Err err, void* data)
{
    calls << "sendGroupMessage";
    sent.append({ QString(), msg });
    answer(sendCode, sendDesc, suc, err, data);
}

void FakeILive::sendC2CMessage(const char* dstUser, const ilive::Message& msg, Suc suc, Err err, void* data)
{
    calls << "sendC2CMessage " + QString::fromUtf8(dstUser);
    sent.append({ QString::fromUtf8(dstUser), msg });
    answer(sendCode, sendDesc, suc, err, data);
}

void FakeILive::device(const QString& call, bool& state, bool on, ilive::E_DeviceOperationType op)
{
    calls << call;
    if (deviceResult == 0)
        state = on;
    if (deviceListener)
        deviceListener(op, deviceResult, deviceData);
}

void FakeILive::openScreenShare(int left, int top, int right, int bottom, uint32_t fps)
{
    shareLeft = left;
    shareTop = top;
    shareRight = right;
    shareBottom = bottom;
    shareFps = fps;
    device(QString("openScreenShare %1 %2 %3 %4 %5").arg(left).arg(top).arg(right).arg(bottom).arg(fps),
        shareState, true, ilive::E_OpenScreenShare);
}

int FakeILive::changeScreenShareSize(int left, int top, int right, int bottom)
{
    calls << QString("changeScreenShareSize %1 %2 %3 %4").arg(left).arg(top).arg(right).arg(bottom);
    shareLeft = left;
    shareTop = top;
    shareRight = right;
    shareBottom = bottom;
    return 0;
}

QList<FakeRootView*>& FakeRootView::all()
{
    static QList<FakeRootView*> views;
    return views;
}

ilive::E_RootViewType FakeRootView::getRootViewType()
{
    return g_fake ? static_cast<ilive::E_RootViewType>(g_fake->rootViewType) : ilive::ROOT_VIEW_TYPE_SOFTWARE;
}

bool FakeRootView::addView(
    const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view)
{
    boundUser = QString::fromUtf8(identifier.c_str());
    boundSrc = type;
    boundView = view;
    return true;
}
