#pragma once

#include "ilive/ilive.h"
#include "whiteboard/InstrumentType.h"

#include <QList>
#include <QMainWindow>
#include <QMessageBox>
#include <QMap>
#include <QSet>
#include <QPair>
#include <QSet>
#include <QString>
#include <QTime>
#include <QVariant>
#include <QVariantMap>
#include <QVector>

#include <memory>

namespace Ui {
class LiveDlg;
}
class QMenu;
class QTimer;
class VideoRender;
class RenderArea;
class PaintToolBar;
class RowBinder;
class MemberListItem;
class QListWidgetItem;
class QLabel;
class QuizPanel;

class LiveDlg;
// The open room window, or null. Set by the lobby, cleared when the window closes.
extern LiveDlg* g_liveDlg;

// user id -> nickname, for every member and command sender seen in this process.
QMap<QString, QString>& NicknameCache();
// The users whose cached nickname came from the app server's member list, not from themselves.
QSet<QString>& RecordedNames();

// The window in which the teacher holds a class. Split by concern:
//   LiveDlg.cpp          window, class start/end, clock, pages
//   LiveDlg_Media.cpp    devices, screen share, video views and the device results
//   LiveDlg_Msg.cpp      incoming messages, discussion list, chat sending
//   LiveDlg_Member.cpp   member list and speaking control
//   LiveDlg_Floor.cpp    raised hands and quick questions
class LiveDlg : public QMainWindow {
    Q_OBJECT
public:
    explicit LiveDlg(QWidget* parent = nullptr);
    ~LiveDlg() override;

    void setAvRoomId(int avRoomId) { m_avRoomId = avRoomId; }
    int avRoomId() const { return m_avRoomId; }
    // Also binds the board to the live's opening canvas while no page has been chosen.
    void setLiveId(const QString& liveId);
    QString liveId() const { return m_liveId; }
    bool isClassStarted() const { return m_classStarted; }

    // Live-video listeners. The message, video and device listeners are registered by the login
    // window; the room-disconnect and member-status listeners travel in the room option.
    static void OnMessageCallback(const ilive::Message& msg, void* data);
    static void OnDeviceOperation(ilive::E_DeviceOperationType oper, int retCode, void* data);
    static void OnLocalVideoFrame(const ilive::LiveVideoFrame* frame, void* data);
    static void OnRemoteVideoFrame(const ilive::LiveVideoFrame* frame, void* data);
    static void OnRoomDisconnect(int reason, const char* errorInfo, void* data);
    static void OnMemStatusChange(
        ilive::E_EndpointEventId eventId, const ilive::Vector<ilive::String>& ids, void* data);
    static void OnDeviceChange(ilive::E_DeviceChangeType type, const ilive::String& id, void* data);
    // Camera states that came before the window existed: dropped when a room is entered anew,
    // applied once the window for it is made.
    static void ForgetPendingMemberEvents();
    void ApplyPendingMemberEvents();

    // Device-operation results; 0 is success.
    void OnOpenCameraCB(const int& ret);
    void OnCloseCameraCB(const int& ret);
    void OnOpenMicCB(const int& ret);
    void OnCloseMicCB(const int& ret);
    void OnOpenPlayerCB(const int& ret);
    void OnClosePlayerCB(const int& ret);
    void OnOpenScreenShareCB(const int& ret);
    void OnCloseScreenShareCB(const int& ret);

    // Application activation, forwarded by ActiveFilter.
    void OnActive();
    void OnDeactive();

    // Media operations.
    void OpenCamera();
    void OpenMic();
    void OpenPlayer();
    void OpenScreenShareDocumentArea();
    void CloseScreenShare();
    void UpdateControls();
    void LeaveRoom(bool endClass);
    void BroadcastClassTime();
    void ShowRemoteVideo();
    // The devices of the ▲ menus: the list, the one in use marked; a choice is remembered and,
    // while the device is open, switched to at once.
    enum DeviceKind { SpeakerDevice, MicDevice, CameraDevice };
    QMenu* DeviceMenu(DeviceKind kind);
    void ChooseDevice(DeviceKind kind, const QString& id);
    // The remembered device when it is listed, else the first (the system's default).
    QString PreferredDevice(DeviceKind kind, const QList<QPair<QString, QString>>& list) const;
    // A short notice in the tool bar that does not stop the class.
    void ShowDeviceNotice(const QString& text);
    // previewLabel's rectangle in global screen pixels, right and bottom one past the last pixel.
    QRect PreviewShareRect() const;

    // Messages and discussion.
    void dealMessage(const ilive::Message& msg);
    void parseCustomMessage(const QString& sender, const QString& data);
    void AddMessage(const QString& name, const QString& text, bool isChat);
    void AppendMsgItem(const QString& name, const QString& time, const QString& content);
    // Outcome of one chat line's send; data names the line's row.
    static void OnChatSendSuccess(void* data);
    static void OnChatSendError(int code, const char* desc, void* data);

    // Members and speaking control.
    void RequestRoomMemberList();
    static void OnAppServer_RoomMemberListSuccess(const QVariantMap& result, void* context);
    void SetMembers(const QVariantList& records);
    void AddMember(const QVariantMap& record);
    void ReportMemberState(const QVariant& userId, bool on);
    static void OnAppServer_RoomMemeberStateReportSuccess(const QVariantMap& result, void* context);

    // Raised hands and quick questions. HandleFloorCommand takes the commands they travel in and
    // returns false for any other.
    bool HandleFloorCommand(const QString& sender, int action, const QString& param, const QString& nickname);
    void SetHandRaised(const QString& userId, bool up);
    bool IsHandRaised(const QString& userId) const { return m_hands.contains(userId); }
    int RaisedHandCount() const { return m_hands.size(); }
    // Lowers it here and tells the student.
    void LowerHand(const QString& userId);
    void LowerAllHands();
    QuizPanel* quizPanel() const { return m_quiz; }
    void OpenQuiz(int choices, const QString& text);
    void CloseQuiz();
    void ShareQuiz();
    // The short notice at the top of the room (no box, no sound); empty while none is shown.
    QString FloorNotice() const;

    // Class start.
    static void OnAppServer_BeginLiveSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_BeginLiveError(int code, const QVariantMap& error, void* context);

    RenderArea* renderArea() const { return m_renderArea; }
    PaintToolBar* paintToolBar() const { return m_paintToolBar; }
    VideoRender* localRender() const { return m_localRender; }
    VideoRender* remoteRender() const { return m_remoteRender; }
    Ui::LiveDlg* form() const { return ui.get(); }

signals:
    // The window has closed and is on its way out; the lobby shows itself again.
    void closed();

public slots:
    void SelectTool(InstrumentType type);
    void SendChatMessage();

    void OnStartButtonClick();
    void OnCameraButtonClick();
    void OnVolumeButtonCheckChanged();
    void OnMicroPhoneButtonCheckChanged();
    void OnSpeakerVolumeChanged(int value);
    void OnMicVolumeChanged(int value);
    void OnPauseButtonClick();
    void OnShareButtonClick();
    void OnClockTick();
    void OnRemoteVideoNoSignal();

    void OnMicButtonClick(const QVariantMap& data, bool checked);

    void OnOpenButtonClick();
    void OnExportButtonClick();
    void OnBlankPageButtonClick();
    void OnPageChanged(int row);
    void OnNewSlide(const QString& path);
    void OnOpenFail();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Page file names. Before any document, the blank page and the canvas shown on entering
    // belong to the live; a document's pages belong to the document.
    QString PageFileName(int row) const;
    QString OpeningFileName() const;
    // The "是否下课？" question with the given buttons; the answer.
    int AskEndClass(QMessageBox::StandardButtons buttons);
    // False, after telling the teacher to start the class first, when it has not started.
    bool ClassStartedOrTell();
    void ShowDeviceFailure(ilive::E_DeviceOperationType oper, int ret, QWidget* parent);
    // The row binders of the discussion and the member list, made once by the constructor.
    void CreateMsgBinder();
    void CreateMemberBinder();
    void SetUpDevices();
    void UpdateMicLevel();
    void SetupFloor();
    void DecorateMemberRow(MemberListItem* row, QListWidgetItem* item);
    void UpdateMemberTabTitle();
    void ShowFloorNotice(const QString& text);

    std::unique_ptr<Ui::LiveDlg> ui;
    bool m_classStarted = false;
    bool m_closeConfirmed = false;
    QTime m_classStartTime; // invalid until the class starts
    int m_avRoomId = 0;
    QString m_liveId;
    QList<QPair<QString, QString>> m_cameraList; // (id, name) as last read from the service
    VideoRender* m_localRender = nullptr;
    VideoRender* m_remoteRender = nullptr;
    void ApplyCameraState(const QByteArray& id, ilive::E_EndpointEventId eventId);
    QTimer* m_clockTimer = nullptr;
    QTimer* m_noSignalTimer = nullptr;
    QTimer* m_levelTimer = nullptr;
    QTimer* m_noticeTimer = nullptr;
    RenderArea* m_renderArea = nullptr;
    PaintToolBar* m_paintToolBar = nullptr;
    // Row widgets of the discussion and the member list, built only near the view.
    RowBinder* m_msgBinder = nullptr;
    RowBinder* m_memberBinder = nullptr;
    // Set while SetMembers adds its rows: the binder builds the visible ones once at the end.
    bool m_deferMemberRows = false;

    // Pages: the chosen document and one image per slide row.
    QString m_docPath;
    QVector<QString> m_pageImages;

    QSet<QString> m_hands; // raised, by user id; kept across member list refreshes
    QuizPanel* m_quiz = nullptr;
    qint64 m_quizId = 0; // the question asked last, 0 before any
    QLabel* m_floorNotice = nullptr;
    QTimer* m_floorNoticeTimer = nullptr;
};
