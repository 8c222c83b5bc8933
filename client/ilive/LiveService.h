#pragma once

#include "ilive.h"
#include "live/RelayClient.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QUrl>

class LiveMedia;
class QJsonObject;
class QTimer;
namespace media {
struct VideoFrame;
}

// The shipped live-video service: a WebSocket session with the live relay (rooms, members,
// messages), and sound and video through the room's media server (LiveMedia). Everything, callbacks and
// listeners included, runs on the thread that owns the object (the GUI thread).
class LiveService : public QObject, public ilive::iLive {
    Q_OBJECT
public:
    // Result codes of the service itself (the session's are RelayClient's); the relay's own codes
    // pass through unchanged.
    enum Code {
        kOk = 0,
        kDeviceMissing = 1,
        kDeviceFailed = 2,
        kBadArgument = 3,
        kTimeout = RelayClient::kTimeout,
        kNotSignedIn = RelayClient::kNotSignedIn,
        kUnreachable = RelayClient::kUnreachable,
        kNotInitialised = 8003,
        kNotInRoom = 10010,
    };

    explicit LiveService(QObject* parent = nullptr);
    ~LiveService() override;

    // Where the relay is; by default the compiled-in URL. Tests point new services elsewhere.
    static void setDefaultUrl(const QUrl& url);
    void setUrl(const QUrl& url);
    QUrl url() const;
    void setRequestTimeoutMs(int ms);
    // A dropped connection is opened again and the session resumed (same room, same members)
    // for this long before the room hears that it is lost; 0 turns reconnecting off.
    void setReconnectGraceMs(int ms);
    // The relay is pinged this often; silence for three periods counts as a dropped connection.
    void setPingIntervalMs(int ms);
    // Until back in the same room after a drop.
    bool isReconnecting() const;
    int reconnectCount() const;

    // Entering a room as a member (the students' side); the teacher's client only creates rooms.
    void joinRoom(uint32_t roomId, ilive::iLiveRoomDisconnectListener disconnectListener,
        ilive::iLiveMemStatusListener memberListener, void* listenerData, ilive::iLiveSucCallback suc,
        ilive::iLiveErrCallback err, void* data);
    // The room's media, for tests and the student tool.
    LiveMedia* media() const { return m_media; }

    QString userId() const;
    bool isSignedIn() const;
    bool isInRoom() const { return m_inRoom; }
    quint32 roomId() const { return m_roomId; }
    QRect screenShareArea() const { return m_shareRect; }

    // ---- iLive ----
    void setMessageCallBack(ilive::iLiveMessageListener listener, void* data) override;
    void setForceOfflineCallback(ilive::iLiveForceOfflineListener listener) override;
    void setRemoteVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setLocalVideoCallBack(ilive::iLivePreviewListener listener, void* data) override;
    void setDeviceOperationCallback(ilive::iLiveDeviceOperationListener listener, void* data) override;
    void setDeviceChangeCallback(ilive::iLiveDeviceChangeListener listener, void* data) override;
    void setVideoColorFormat(ilive::E_ColorFormat format) override;
    int init(int appId, int accountType, bool imSupport) override;
    void release() override;
    void login(const char* userId, const char* userSig, ilive::iLiveSucCallback suc,
        ilive::iLiveErrCallback err, void* data) override;
    void logout(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data) override;
    void createRoom(const ilive::iLiveRoomOption& option, ilive::iLiveSucCallback suc,
        ilive::iLiveErrCallback err, void* data) override;
    void quitRoom(ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data) override;
    void sendGroupMessage(const ilive::Message& msg, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err,
        void* data) override;
    void sendC2CMessage(const char* dstUser, const ilive::Message& msg, ilive::iLiveSucCallback suc,
        ilive::iLiveErrCallback err, void* data) override;
    int getCameraList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& cameras) override;
    int getMicList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& mics) override;
    int getPlayerList(ilive::Vector<ilive::Pair<ilive::String, ilive::String>>& players) override;
    void openCamera(const char* id) override;
    void closeCamera() override;
    void openMic(const char* id) override;
    void closeMic() override;
    void openPlayer(const char* id) override;
    void closePlayer() override;
    bool getCurCameraState() override;
    bool getCurMicState() override;
    bool getCurPlayerState() override;
    ilive::String getCurCameraId() override;
    ilive::String getCurMicId() override;
    ilive::String getCurPlayerId() override;
    double getMicLevel() override;
    int setMicVolume(uint32_t value) override;
    uint32_t getMicVolume() override { return m_micVolume; }
    int setPlayerVolume(uint32_t value) override;
    uint32_t getPlayerVolume() override { return m_playerVolume; }
    void openScreenShare(int left, int top, int right, int bottom, uint32_t fps) override;
    int changeScreenShareSize(int left, int top, int right, int bottom) override;
    void closeScreenShare() override;
    int getScreenShareState() override { return m_shareOn ? 1 : 0; }

private:
    void endSession();
    void onPush(const relayop::Push& push);
    void onDropped();
    void onResumed(bool resumed, quint32 heldRoom);
    void onLost();
    static void onRejoined(void* self);
    static void onRejoinFailed(int code, const char* desc, void* self);
    void onMessage(const relayop::Push& push);
    void onMemberEvent(int event, const QStringList& ids);

    // req is one of relayop's requests; then runs after the answer, whatever it was (or none came).
    int request(const QJsonObject& req, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data,
        std::function<void()> then = {});
    void failLater(ilive::iLiveErrCallback err, int code, const QString& desc, void* data);
    void sendMessage(const QString& to, const ilive::Message& msg, ilive::iLiveSucCallback suc,
        ilive::iLiveErrCallback err, void* data);
    void enteredRoom(quint32 roomId);
    void announce(int event);

    void enteredMedia(const QJsonObject& reply);
    void reportDevice(ilive::E_DeviceOperationType op, int code);
    void watchDevices();
    void grabScreen();
    void closeCameraNow();
    void deliverFrame(const QString& id, ilive::E_VideoSrc src, const media::VideoFrame& frame, bool local);

    static QUrl s_defaultUrl;
    bool m_initialised = false;
    ilive::E_ColorFormat m_colorFormat = ilive::COLOR_FORMAT_RGB32;

    ilive::iLiveMessageListener m_messageListener = nullptr;
    void* m_messageData = nullptr;
    ilive::iLiveForceOfflineListener m_forceOffline = nullptr;
    ilive::iLivePreviewListener m_remoteVideo = nullptr;
    void* m_remoteVideoData = nullptr;
    ilive::iLivePreviewListener m_localVideo = nullptr;
    void* m_localVideoData = nullptr;
    ilive::iLiveDeviceOperationListener m_deviceListener = nullptr;
    void* m_deviceData = nullptr;
    ilive::iLiveDeviceChangeListener m_deviceChange = nullptr;
    void* m_deviceChangeData = nullptr;

    // Session with the relay.
    RelayClient* m_relay = nullptr;
    quint32 m_resumeRoom = 0; // the room to be back in after a drop, 0 for none
    bool m_rejoining = false; // entering it again after the relay forgot the session

    // Room.
    bool m_inRoom = false;
    quint32 m_roomId = 0;
    bool m_roomHost = false; // created (not joined): the way back in after a drop
    QString m_roomRole;
    ilive::iLiveRoomDisconnectListener m_roomDisconnect = nullptr;
    ilive::iLiveMemStatusListener m_memberStatus = nullptr;
    void* m_roomData = nullptr;

    // Devices.
    LiveMedia* m_media = nullptr;
    bool m_cameraOn = false;
    bool m_micOn = false;
    bool m_playerOn = false;
    QString m_playerId;
    QString m_cameraId;
    QString m_micId;
    uint32_t m_micVolume = 50;
    uint32_t m_playerVolume = 50;

    // Screen share.
    bool m_shareOn = false;
    QRect m_shareRect;
    QTimer* m_shareTimer = nullptr;
};
