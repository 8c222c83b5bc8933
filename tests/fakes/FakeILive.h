#pragma once

#include "ilive/ilive.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>

// A scripted live-video service: records every call, answers operations as the test says, and
// lets the test fire the listeners. Install with FakeILive::install(); uninstall() restores.
class FakeILive : public ilive::iLive {
public:
    struct Sent {
        QString to; // empty for group messages
        ilive::Message msg;
    };

    FakeILive();
    ~FakeILive() override;

    static FakeILive* install(); // creates, installs and returns a fresh fake
    static void uninstall();
    static FakeILive* instance();

    // ---- script ----
    int initResult = 0;
    int loginCode = 0; // 0 answers success
    QString loginDesc = "login failed";
    bool answerLogin = true; // false: keep the callbacks for answerPendingLogin()
    int createRoomCode = 0;
    QString createRoomDesc;
    bool answerCreateRoom = true;
    int sendCode = 0;
    QString sendDesc;
    int listResult = 0; // for getMicList/getPlayerList
    QList<QPair<QString, QString>> cameras, mics, players;
    int deviceResult = 0; // result reported for device operations
    bool reportDeviceOps = true;
    int rootViewType = ilive::ROOT_VIEW_TYPE_SOFTWARE;
    int shareChangeResult = 0;

    // ---- recorded ----
    QStringList calls; // one line per call, e.g. "openCamera cam0", "createRoom 1234"
    QList<Sent> sent;
    QString loginUser, loginSig;
    ilive::iLiveRoomOption lastRoomOption;
    int colorFormat = -1;
    bool cameraOn = false, micOn = false, playerOn = false;
    int shareState = 0;
    int shareLeft = 0, shareTop = 0, shareRight = 0, shareBottom = 0;
    uint32_t shareFps = 0;
    uint32_t micVolume = 30, playerVolume = 40;

    // ---- listeners as registered by the client ----
    ilive::iLiveMessageListener messageListener = nullptr;
    void* messageData = nullptr;
    ilive::iLiveForceOfflineListener forceOfflineListener = nullptr;
    ilive::iLivePreviewListener remoteVideoListener = nullptr, localVideoListener = nullptr;
    void* remoteVideoData = nullptr;
    void* localVideoData = nullptr;
    ilive::iLiveDeviceOperationListener deviceListener = nullptr;
    void* deviceData = nullptr;

    // ---- pending callbacks (when answerLogin / answerCreateRoom is false) ----
    ilive::iLiveSucCallback pendingSuc = nullptr;
    ilive::iLiveErrCallback pendingErr = nullptr;
    void* pendingData = nullptr;
    void answerPending(int code, const QString& desc = QString());

    // ---- firing events at the client ----
    void deliverMessage(const ilive::Message& msg);
    void deliverText(const QString& sender, const QString& text);
    void deliverCustom(const QString& sender, const QString& json);
    void forceOffline();
    void remoteFrame(const QString& user, int srcType = ilive::VIDEO_SRC_TYPE_CAMERA);
    void localFrame(int srcType = ilive::VIDEO_SRC_TYPE_CAMERA);
    void roomDisconnect(int code, const QString& desc);
    void memberStatus(ilive::E_EndpointEventId event, const QStringList& ids);

    // Helpers for sent messages.
    static QString textOf(const ilive::Message& msg);      // text of the first text element
    static QString customDataOf(const ilive::Message& msg); // data of the first custom element
    static QString customExtOf(const ilive::Message& msg);

    // ---- iLive ----
    void setMessageCallBack(ilive::iLiveMessageListener listener, void* data) override;
    void setForceOfflineCallback(ilive::iLiveForceOfflineListener listener) override;
    void setRemoteVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setLocalVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setDeviceOperationCallback(ilive::iLiveDeviceOperationListener listener, void* data) override;
    void setVideoColorFormat(ilive::E_ColorFormat format) override;
    int init(int appId, int accountType, bool imSupport) override;
    void release() override;
    void login(const char* userId, const char* userSig, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
               void* data) override;
    void logout(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data) override;
    void createRoom(const ilive::iLiveRoomOption& option, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
                    void* data) override;
    void quitRoom(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data) override;
    void sendGroupMessage(const ilive::Message& msg, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
                          void* data) override;
    void sendC2CMessage(const char* dstUser, const ilive::Message& msg, ilive::iLiveSucCallback suc,
                        ilive::iLiveErrCallback err, void* data) override;
    int getCameraList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list) override;
    int getMicList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list) override;
    int getPlayerList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& list) override;
    void openCamera(const char* id) override;
    void closeCamera() override;
    void openMic(const char* id) override;
    void closeMic() override;
    void openPlayer(const char* id) override;
    void closePlayer() override;
    bool getCurCameraState() override { return cameraOn; }
    bool getCurMicState() override { return micOn; }
    bool getCurPlayerState() override { return playerOn; }
    int setMicVolume(uint32_t value) override;
    uint32_t getMicVolume() override { return micVolume; }
    int setPlayerVolume(uint32_t value) override;
    uint32_t getPlayerVolume() override { return playerVolume; }
    void openScreenShare(int left, int top, int right, int bottom, uint32_t fps) override;
    int changeScreenShareSize(int left, int top, int right, int bottom) override;
    void closeScreenShare() override;
    int getScreenShareState() override { return shareState; }

private:
    void reportDevice(ilive::E_DeviceOperationType op);
};

// A render view that only records what it was asked to do.
class FakeRootView : public ilive::iLiveRootView {
public:
    static QList<FakeRootView*>& all(); // every view created since the last clear
    bool init(uintptr_t nativeWindow) override;
    void uninit() override { uninitialised = true; }
    void destroy() override;
    ilive::E_RootViewType getRootViewType() override;
    void setBackgroundColor(uint32_t argb) override { background = argb; }
    bool doRender(const ilive::LiveVideoFrame* frame) override;
    bool addView(const ilive::String& identifier, ilive::E_VideoSrc type, const ilive::iLiveView& view) override;
    bool removeView(const ilive::String& identifier, ilive::E_VideoSrc type) override;
    void removeAllView(bool repaint) override;

    uintptr_t window = 0;
    bool uninitialised = false;
    uint32_t background = 0;
    int framesRendered = 0;
    QString boundUser;
    int boundSrc = 0;
    ilive::iLiveView boundView;
    int removeAllCalls = 0;
};
