#include "FakeILive.h"

namespace {
FakeILive* g_fake = nullptr;

ilive::iLiveRootView* createFakeView()
{
    auto* view = new FakeRootView;
    FakeRootView::all().append(view);
    return view;
}

void fill(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& out, const QList<QPair<QString, QString>>& in)
{
    out.clear();
    for (const auto& p : in)
        out.push_back(ilive::Pair<ilive::String, ilive::String>(p.first.toUtf8().constData(),
                                                                 p.second.toUtf8().constData()));
}
} // namespace

FakeILive::FakeILive() = default;
FakeILive::~FakeILive() = default;

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

FakeILive* FakeILive::instance() { return g_fake; }

void FakeILive::answerPending(int code, const QString& desc)
{
    auto suc = pendingSuc;
    auto err = pendingErr;
    void* data = pendingData;
    pendingSuc = nullptr;
    pendingErr = nullptr;
    if (code == 0) {
        if (suc)
            suc(data);
    } else if (err) {
        err(code, desc.toUtf8().constData(), data);
    }
}

void FakeILive::deliverMessage(const ilive::Message& msg)
{
    if (messageListener)
        messageListener(msg, messageData);
}

void FakeILive::deliverText(const QString& sender, const QString& text)
{
    ilive::Message msg;
    msg.sender = ilive::String(sender.toUtf8().constData());
    msg.elems.push_back(new ilive::MessageTextElem(text.toUtf8().constData()));
    deliverMessage(msg);
}

void FakeILive::deliverCustom(const QString& sender, const QString& json)
{
    ilive::Message msg;
    msg.sender = ilive::String(sender.toUtf8().constData());
    msg.elems.push_back(new ilive::MessageCustomElem(json.toUtf8().constData(), "LiveNotification"));
    deliverMessage(msg);
}

void FakeILive::forceOffline()
{
    if (forceOfflineListener)
        forceOfflineListener();
}

void FakeILive::remoteFrame(const QString& user, int srcType)
{
    static const uint32_t pixels[4] = { 0xff0000ffu, 0xff00ff00u, 0xffff0000u, 0xffffffffu };
    ilive::LiveVideoFrame frame;
    frame.identifier = ilive::String(user.toUtf8().constData());
    frame.data = reinterpret_cast<const uint8_t*>(pixels);
    frame.dataSize = sizeof(pixels);
    frame.desc.width = 2;
    frame.desc.height = 2;
    frame.desc.srcType = static_cast<ilive::E_VideoSrc>(srcType);
    if (remoteVideoListener)
        remoteVideoListener(&frame, remoteVideoData);
}

void FakeILive::localFrame(int srcType)
{
    static const uint32_t pixels[4] = { 0xff0000ffu, 0xff00ff00u, 0xffff0000u, 0xffffffffu };
    ilive::LiveVideoFrame frame;
    frame.identifier = ilive::String(loginUser.toUtf8().constData());
    frame.data = reinterpret_cast<const uint8_t*>(pixels);
    frame.dataSize = sizeof(pixels);
    frame.desc.width = 2;
    frame.desc.height = 2;
    frame.desc.srcType = static_cast<ilive::E_VideoSrc>(srcType);
    if (localVideoListener)
        localVideoListener(&frame, localVideoData);
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
        list.push_back(ilive::String(id.toUtf8().constData()));
    if (lastRoomOption.memberStatusListener)
        lastRoomOption.memberStatusListener(event, list, lastRoomOption.data);
}

QString FakeILive::textOf(const ilive::Message& msg)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == ilive::TEXT)
            return QString::fromUtf8(static_cast<const ilive::MessageTextElem*>(e)->content.c_str());
    return QString();
}

QString FakeILive::customDataOf(const ilive::Message& msg)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == ilive::CUSTOM)
            return QString::fromUtf8(static_cast<const ilive::MessageCustomElem*>(e)->data.c_str());
    return QString();
}

QString FakeILive::customExtOf(const ilive::Message& msg)
{
    for (const ilive::MessageElem* e : msg.elems)
        if (e->type == ilive::CUSTOM)
            return QString::fromUtf8(static_cast<const ilive::MessageCustomElem*>(e)->ext.c_str());
    return QString();
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

void FakeILive::release() { calls << "release"; }

void FakeILive::login(const char* userId, const char* userSig, ilive::iLiveSucCallback suc,
                      ilive::iLiveErrCallback err, void* data)
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

void FakeILive::logout(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback, void* data)
{
    calls << "logout";
    if (suc)
        suc(data);
}

void FakeILive::createRoom(const ilive::iLiveRoomOption& option, ilive::iLiveSucCallback suc,
                           ilive::iLiveErrCallback err, void* data)
{
    calls << QString("createRoom %1").arg(option.roomId);
    lastRoomOption = option;
    pendingSuc = suc;
    pendingErr = err;
    pendingData = data;
    if (answerCreateRoom)
        answerPending(createRoomCode, createRoomDesc);
}

void FakeILive::quitRoom(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback, void* data)
{
    calls << "quitRoom";
    if (suc)
        suc(data);
}

void FakeILive::sendGroupMessage(const ilive::Message& msg, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
                                 void* data)
{
    calls << "sendGroupMessage";
    sent.append({ QString(), msg });
    if (sendCode == 0) {
        if (suc)
            suc(data);
    } else if (err) {
        err(sendCode, sendDesc.toUtf8().constData(), data);
    }
}

void FakeILive::sendC2CMessage(const char* dstUser, const ilive::Message& msg, ilive::iLiveSucCallback suc,
                               ilive::iLiveErrCallback err, void* data)
{
    calls << "sendC2CMessage " + QString::fromUtf8(dstUser);
    sent.append({ QString::fromUtf8(dstUser), msg });
    if (sendCode == 0) {
        if (suc)
            suc(data);
    } else if (err) {
        err(sendCode, sendDesc.toUtf8().constData(), data);
    }
}

int FakeILive::getCameraList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list)
{
    fill(list, cameras);
    return 0;
}

int FakeILive::getMicList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list)
{
    fill(list, mics);
    return listResult;
}

int FakeILive::getPlayerList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list)
{
    fill(list, players);
    return listResult;
}

void FakeILive::reportDevice(ilive::E_DeviceOperationType op)
{
    if (reportDeviceOps && deviceListener)
        deviceListener(op, deviceResult, deviceData);
}

void FakeILive::openCamera(const char* id)
{
    calls << "openCamera " + QString::fromUtf8(id);
    if (deviceResult == 0)
        cameraOn = true;
    reportDevice(ilive::E_OpenCamera);
}

void FakeILive::closeCamera()
{
    calls << "closeCamera";
    if (deviceResult == 0)
        cameraOn = false;
    reportDevice(ilive::E_CloseCamera);
}

void FakeILive::openMic(const char* id)
{
    calls << "openMic " + QString::fromUtf8(id);
    if (deviceResult == 0)
        micOn = true;
    reportDevice(ilive::E_OpenMic);
}

void FakeILive::closeMic()
{
    calls << "closeMic";
    if (deviceResult == 0)
        micOn = false;
    reportDevice(ilive::E_CloseMic);
}

void FakeILive::openPlayer(const char* id)
{
    calls << "openPlayer " + QString::fromUtf8(id);
    if (deviceResult == 0)
        playerOn = true;
    reportDevice(ilive::E_OpenPlayer);
}

void FakeILive::closePlayer()
{
    calls << "closePlayer";
    if (deviceResult == 0)
        playerOn = false;
    reportDevice(ilive::E_ClosePlayer);
}

int FakeILive::setMicVolume(uint32_t value)
{
    calls << QString("setMicVolume %1").arg(value);
    micVolume = value;
    return 0;
}

int FakeILive::setPlayerVolume(uint32_t value)
{
    calls << QString("setPlayerVolume %1").arg(value);
    playerVolume = value;
    return 0;
}

void FakeILive::openScreenShare(int left, int top, int right, int bottom, uint32_t fps)
{
    calls << QString("openScreenShare %1 %2 %3 %4 %5").arg(left).arg(top).arg(right).arg(bottom).arg(fps);
    shareLeft = left;
    shareTop = top;
    shareRight = right;
    shareBottom = bottom;
    shareFps = fps;
    if (deviceResult == 0)
        shareState = 1;
    reportDevice(ilive::E_OpenScreenShare);
}

int FakeILive::changeScreenShareSize(int left, int top, int right, int bottom)
{
    calls << QString("changeScreenShareSize %1 %2 %3 %4").arg(left).arg(top).arg(right).arg(bottom);
    shareLeft = left;
    shareTop = top;
    shareRight = right;
    shareBottom = bottom;
    return shareChangeResult;
}

void FakeILive::closeScreenShare()
{
    calls << "closeScreenShare";
    if (deviceResult == 0)
        shareState = 0;
    reportDevice(ilive::E_CloseScreenShare);
}

// ---- FakeRootView ----

QList<FakeRootView*>& FakeRootView::all()
{
    static QList<FakeRootView*> views;
    return views;
}

bool FakeRootView::init(uintptr_t nativeWindow)
{
    window = nativeWindow;
    return true;
}

void FakeRootView::destroy()
{
    all().removeOne(this);
    delete this;
}

ilive::E_RootViewType FakeRootView::getRootViewType()
{
    return g_fake ? static_cast<ilive::E_RootViewType>(g_fake->rootViewType) : ilive::ROOT_VIEW_TYPE_SOFTWARE;
}

bool FakeRootView::doRender(const ilive::LiveVideoFrame*)
{
    ++framesRendered;
    return true;
}

bool FakeRootView::addView(const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view)
{
    boundUser = QString::fromUtf8(identifier.c_str());
    boundSrc = type;
    boundView = view;
    return true;
}

bool FakeRootView::removeView(const ilive::String&, ilive::E_VideoSrc)
{
    boundUser.clear();
    return true;
}

void FakeRootView::removeAllView(bool)
{
    ++removeAllCalls;
    boundUser.clear();
}
