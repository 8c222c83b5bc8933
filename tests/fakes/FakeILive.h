#pragma once

#include "ilive/ilive.h"

#include <QStringList>

// A scripted live-video service: records every call, answers operations as the test says, and
// lets the test fire the listeners. Install with FakeILive::install(); uninstall() restores.
class FakeILive : public ilive::iLive {
public:
    using Suc = ilive::iLiveSucCallback;
    using Err = ilive::iLiveErrCallback;
    using Devices = ilive::Vector<ilive::Pair<ilive::String, ilive::String>>;
    struct Sent {
        QString to; // empty for group messages
        ilive::Message msg;
    };

    static FakeILive* install(); // creates, installs and returns a fresh fake
    static void uninstall();
    static FakeILive* instance();

    // ---- script ----
    int initResult = 0, loginCode = 0; // 0 answers success
    QString loginDesc = "login failed";
    bool answerLogin = true, answerCreateRoom = true; // false: keep the callbacks for answerPending()
    int sendCode = 0;
    QString sendDesc;
    QList<QPair<QString, QString>> cameras, mics, players;
    int listResult = 0, deviceResult = 0; // answers of the mic/player lists and of device operations
    int rootViewType = ilive::ROOT_VIEW_TYPE_SOFTWARE;
    double micLevel = -200.0;

    // ---- recorded ----
    QStringList calls; // one line per call, e.g. "openCamera cam0", "createRoom 1234"
    QList<Sent> sent;
    QString loginUser, loginSig;
    ilive::iLiveRoomOption lastRoomOption;
    int colorFormat = -1;
    bool cameraOn = false, micOn = false, playerOn = false, shareState = false;
    QString curCamera, curMic, curPlayer; // the ids last opened
    ilive::iLiveDeviceChangeListener deviceChange = nullptr;
    void* deviceChangeData = nullptr;
    int shareLeft = 0, shareTop = 0, shareRight = 0, shareBottom = 0;
    uint32_t shareFps = 0, micVolume = 30, playerVolume = 40;

    // ---- listeners as registered by the client ----
    ilive::iLiveMessageListener messageListener = nullptr;
    ilive::iLiveForceOfflineListener forceOfflineListener = nullptr;
    ilive::iLivePreviewListener remoteVideoListener = nullptr, localVideoListener = nullptr;
    ilive::iLiveDeviceOperationListener deviceListener = nullptr;
    void *messageData = nullptr, *remoteVideoData = nullptr, *localVideoData = nullptr, *deviceData = nullptr;

    // ---- pending callbacks (when answerLogin / answerCreateRoom is false) ----
    Suc pendingSuc = nullptr;
    Err pendingErr = nullptr;
    void* pendingData = nullptr;
    void answerPending(int code, const QString& desc = QString());

    // ---- firing events at the client ----
    void deliverMessage(const ilive::Message& msg);
    void deliverText(const QString& sender, const QString& text);
    void deliverCustom(const QString& sender, const QString& json);
    void forceOffline();
    void remoteFrame(const QString& user, int srcType = ilive::VIDEO_SRC_TYPE_CAMERA)
    {
        frame(remoteVideoListener, remoteVideoData, user, srcType);
    }
    void localFrame(int srcType = ilive::VIDEO_SRC_TYPE_CAMERA)
    {
        frame(localVideoListener, localVideoData, loginUser, srcType);
    }
    void roomDisconnect(int code, const QString& desc);
    void memberStatus(ilive::E_EndpointEventId event, const QStringList& ids);

    // The text of a sent message's first text element, the data and ext of its first custom one.
    static QString textOf(const ilive::Message& msg);
    static QString customDataOf(const ilive::Message& msg);
    static QString customExtOf(const ilive::Message& msg);

    // ---- iLive ----
    void setMessageCallBack(ilive::iLiveMessageListener listener, void* data) override;
    void setForceOfflineCallback(ilive::iLiveForceOfflineListener listener) override;
    void setRemoteVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setLocalVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setDeviceOperationCallback(ilive::iLiveDeviceOperationListener listener, void* data) override;
    void setVideoColorFormat(ilive::E_ColorFormat format) override;
    int init(int appId, int accountType, bool imSupport) override;
    void release() override { calls << "release"; }
    void login(const char* userId, const char* userSig, Suc suc, Err err, void* data) override;
    void logout(Suc suc, Err, void* data) override { done("logout", suc, data); }
    void createRoom(const ilive::iLiveRoomOption& option, Suc suc, Err err, void* data) override;
    void quitRoom(Suc suc, Err, void* data) override { done("quitRoom", suc, data); }
    void sendGroupMessage(const ilive::Message& msg, Suc suc, Err err, void* data) override;
    void sendC2CMessage(
        const char* dstUser, const ilive::Message& msg, Suc suc, Err err, void* data) override;
    int getCameraList(Devices& list) override { return fill(list, cameras, 0); }
    int getMicList(Devices& list) override { return fill(list, mics, listResult); }
    int getPlayerList(Devices& list) override { return fill(list, players, listResult); }
    void openCamera(const char* id) override
    {
        curCamera = id;
        device("openCamera " + QString(id), cameraOn, true, ilive::E_OpenCamera);
    }
    void closeCamera() override { device("closeCamera", cameraOn, false, ilive::E_CloseCamera); }
    void openMic(const char* id) override
    {
        curMic = id;
        device("openMic " + QString(id), micOn, true, ilive::E_OpenMic);
    }
    void closeMic() override { device("closeMic", micOn, false, ilive::E_CloseMic); }
    void openPlayer(const char* id) override
    {
        curPlayer = id;
        device("openPlayer " + QString(id), playerOn, true, ilive::E_OpenPlayer);
    }
    void closePlayer() override { device("closePlayer", playerOn, false, ilive::E_ClosePlayer); }
    ilive::String getCurCameraId() override { return curCamera.toUtf8().constData(); }
    ilive::String getCurMicId() override { return curMic.toUtf8().constData(); }
    ilive::String getCurPlayerId() override { return curPlayer.toUtf8().constData(); }
    double getMicLevel() override { return micLevel; }
    void setDeviceChangeCallback(ilive::iLiveDeviceChangeListener listener, void* data) override
    {
        deviceChange = listener;
        deviceChangeData = data;
    }
    bool getCurCameraState() override { return cameraOn; }
    bool getCurMicState() override { return micOn; }
    bool getCurPlayerState() override { return playerOn; }
    int setMicVolume(uint32_t value) override { return volume("setMicVolume", micVolume, value); }
    uint32_t getMicVolume() override { return micVolume; }
    int setPlayerVolume(uint32_t value) override { return volume("setPlayerVolume", playerVolume, value); }
    uint32_t getPlayerVolume() override { return playerVolume; }
    void openScreenShare(int left, int top, int right, int bottom, uint32_t fps) override;
    int changeScreenShareSize(int left, int top, int right, int bottom) override;
    void closeScreenShare() override
    {
        device("closeScreenShare", shareState, false, ilive::E_CloseScreenShare);
    }
    int getScreenShareState() override { return shareState; }

private:
    // Records the call; a device that answers 0 takes the new state; the listener hears the result.
    void device(const QString& call, bool& state, bool on, ilive::E_DeviceOperationType op);
    int volume(const char* call, uint32_t& slot, uint32_t value)
    {
        calls << QString("%1 %2").arg(call).arg(value);
        slot = value;
        return 0;
    }
    static int fill(Devices& out, const QList<QPair<QString, QString>>& in, int result);
    void done(const char* call, Suc suc, void* data);
    static void answer(int code, const QString& desc, Suc suc, Err err, void* data);
    void frame(ilive::iLivePreviewListener listener, void* data, const QString& user, int srcType);
};

// A render view that only records what it was asked to do.
class FakeRootView : public ilive::iLiveRootView {
public:
    static QList<FakeRootView*>& all(); // every view created since the last clear
    bool init(uintptr_t nativeWindow) override
    {
        window = nativeWindow;
        return true;
    }
    void uninit() override { }
    void destroy() override
    {
        all().removeOne(this);
        delete this;
    }
    ilive::E_RootViewType getRootViewType() override;
    void setBackgroundColor(uint32_t argb) override { background = argb; }
    bool doRender(const ilive::LiveVideoFrame*) override { return ++framesRendered > 0; }
    bool addView(
        const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view) override;
    bool removeView(const ilive::String&, ilive::E_VideoSrc) override
    {
        boundUser.clear();
        return true;
    }
    void removeAllView(bool) override
    {
        ++removeAllCalls;
        boundUser.clear();
    }

    uintptr_t window = 0;
    uint32_t background = 0;
    int framesRendered = 0, boundSrc = 0, removeAllCalls = 0;
    QString boundUser;
    ilive::iLiveView boundView;
};
