// Devices, screen share and video.
#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "HoverButton.h"
#include "VideoRender.h"
#include "base/GuiThread.h"
#include "remote/AppServer.h"
#include "shell/Util.h"
#include "ui_LiveDlg.h"

#include <QActionGroup>
#include <QDebug>
#include <QGuiApplication>
#include <QHash>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QSlider>
#include <QTimer>

#include <functional>

namespace {

const int kNoSignalMs = 3000;
const uint32_t kShareFps = 10;

// One row per device result: the handler that takes it and what the teacher is told on failure.
struct DeviceResult {
    ilive::E_DeviceOperationType oper;
    void (LiveDlg::*handler)(const int&);
    const char* failure;
};

const DeviceResult kDeviceResults[] = {
    { ilive::E_OpenCamera, &LiveDlg::OnOpenCameraCB, "打开摄像头失败" },
    { ilive::E_CloseCamera, &LiveDlg::OnCloseCameraCB, "关闭摄像头失败" },
    { ilive::E_OpenMic, &LiveDlg::OnOpenMicCB, "打开麦克风失败" },
    { ilive::E_CloseMic, &LiveDlg::OnCloseMicCB, "关闭麦克风失败" },
    { ilive::E_OpenPlayer, &LiveDlg::OnOpenPlayerCB, "打开扬声器失败" },
    { ilive::E_ClosePlayer, &LiveDlg::OnClosePlayerCB, "关闭扬声器失败" },
    { ilive::E_OpenScreenShare, &LiveDlg::OnOpenScreenShareCB, "打开屏幕分享失败" },
    { ilive::E_CloseScreenShare, &LiveDlg::OnCloseScreenShareCB, "关闭屏幕分享失败" },
};

const DeviceResult* ResultRow(ilive::E_DeviceOperationType oper)
{
    for (const DeviceResult& row : kDeviceResults)
        if (row.oper == oper)
            return &row;
    return nullptr;
}

using DeviceList = ilive::Vector<ilive::Pair<ilive::String, ilive::String>>;

QList<QPair<QString, QString>> ToDeviceList(const DeviceList& devices)
{
    QList<QPair<QString, QString>> list;
    for (const auto& device : devices)
        list.append(
            qMakePair(QString::fromUtf8(device.first.c_str()), QString::fromUtf8(device.second.c_str())));
    return list;
}

const int kLevelMs = 100;
const int kNoticeMs = 8000;
const double kMeterFloorDb = -60.0;

// Per device kind: where the choice is remembered in "setting", the log's word for it, and the
// menu's line when there is none.
struct DeviceKindRow {
    const char* key;
    const char* what;
    const char* none;
};

const DeviceKindRow kDeviceKinds[] = {
    { "device/speaker", "speaker", "找不到扬声器" },
    { "device/microphone", "microphone", "找不到麦克风" },
    { "device/camera", "camera", "找不到摄像头" },
};

QList<QPair<QString, QString>> ReadDevices(LiveDlg::DeviceKind kind)
{
    DeviceList devices;
    ilive::iLive* service = GetILive();
    if (kind == LiveDlg::SpeakerDevice)
        service->getPlayerList(devices);
    else if (kind == LiveDlg::MicDevice)
        service->getMicList(devices);
    else
        service->getCameraList(devices);
    return ToDeviceList(devices);
}

QString DeviceInUse(LiveDlg::DeviceKind kind)
{
    ilive::iLive* service = GetILive();
    if (kind == LiveDlg::SpeakerDevice)
        return service->getCurPlayerState() ? QString::fromUtf8(service->getCurPlayerId().c_str())
                                            : QString();
    if (kind == LiveDlg::MicDevice)
        return service->getCurMicState() ? QString::fromUtf8(service->getCurMicId().c_str()) : QString();
    return service->getCurCameraState() ? QString::fromUtf8(service->getCurCameraId().c_str()) : QString();
}

// A label has no click signal of its own.
class ClickFilter : public QObject {
public:
    ClickFilter(QWidget* target, std::function<void()> onClick)
        : QObject(target)
        , m_onClick(std::move(onClick))
    {
        target->installEventFilter(this);
        target->setCursor(Qt::PointingHandCursor);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::MouseButtonRelease
            || static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            return false;
        m_onClick();
        return true;
    }

private:
    std::function<void()> m_onClick;
};

// A frame whose pixels outlive the listener call that delivered it.
struct FrameCopy {
    QByteArray identifier;
    QByteArray pixels;
    ilive::VideoFrameDesc desc;
    uint64_t timestamp = 0;
};

FrameCopy CopyFrame(const ilive::LiveVideoFrame* frame)
{
    FrameCopy copy;
    copy.identifier = QByteArray(frame->identifier.c_str(), int(frame->identifier.size()));
    if (frame->data && frame->dataSize)
        copy.pixels = QByteArray(reinterpret_cast<const char*>(frame->data), int(frame->dataSize));
    copy.desc = frame->desc;
    copy.timestamp = frame->timestamp;
    return copy;
}

void ReplayFrame(const FrameCopy& copy, ilive::iLivePreviewListener listener)
{
    ilive::LiveVideoFrame frame;
    frame.identifier = ilive::String(copy.identifier.constData(), size_t(copy.identifier.size()));
    frame.data = reinterpret_cast<const uint8_t*>(copy.pixels.constData());
    frame.dataSize = uint32_t(copy.pixels.size());
    frame.desc = copy.desc;
    frame.timestamp = copy.timestamp;
    listener(&frame, nullptr);
}

// Frames from the service's threads are copied, since their pixels are gone when the call returns.
bool DeferredToGuiThread(const ilive::LiveVideoFrame* frame, ilive::iLivePreviewListener listener)
{
    if (IsGuiThread())
        return false;
    const FrameCopy copy = CopyFrame(frame);
    RunOnGuiThread([copy, listener] { ReplayFrame(copy, listener); });
    return true;
}

} // namespace

// ---- devices -------------------------------------------------------------------------------

bool LiveDlg::ClassStartedOrTell()
{
    if (m_classStarted)
        return true;
    QMessageBox box(
        QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("请先上课"), QMessageBox::Ok, this);
    box.exec();
    return false;
}

void LiveDlg::UpdateControls()
{
    ilive::iLive* service = GetILive();
    ui->volumeButton->setChecked(service->getCurPlayerState());
    ui->microPhoneButton->setChecked(service->getCurMicState());

    DeviceList cameras;
    service->getCameraList(cameras);
    m_cameraList = ToDeviceList(cameras);
    ui->cameraButton->setChecked(!m_cameraList.isEmpty() && service->getCurCameraState());

    ui->startButton->setText(m_classStarted ? QStringLiteral("下课") : QStringLiteral("上课"));
    ui->shareButton->setChecked(service->getScreenShareState() != 0);

    ui->pauseButton->hide();
    const bool broadcasting = ui->cameraButton->isChecked() || ui->shareButton->isChecked();
    ui->pauseButton->setChecked(broadcasting);
    ui->pauseButton->setText(broadcasting ? QStringLiteral("暂停") : QStringLiteral("恢复"));
}

void LiveDlg::SetUpDevices()
{
    const QList<QPair<QLabel*, DeviceKind>> triangles { { ui->triangle1, SpeakerDevice },
        { ui->triangle2, MicDevice }, { ui->triangle3, CameraDevice } };
    for (const auto& triangle : triangles) {
        QLabel* label = triangle.first;
        const DeviceKind kind = triangle.second;
        new ClickFilter(label, [this, label, kind] {
            QMenu* menu = DeviceMenu(kind);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(label->mapToGlobal(QPoint(0, -menu->sizeHint().height())));
        });
    }
    ui->deviceNoticeLabel->hide();
    m_noticeTimer = new QTimer(this);
    m_noticeTimer->setSingleShot(true);
    connect(m_noticeTimer, &QTimer::timeout, ui->deviceNoticeLabel, &QWidget::hide);
    m_levelTimer = new QTimer(this);
    connect(m_levelTimer, &QTimer::timeout, this, &LiveDlg::UpdateMicLevel);
    m_levelTimer->start(kLevelMs);
    GetILive()->setDeviceChangeCallback(&LiveDlg::OnDeviceChange, nullptr);
}

QMenu* LiveDlg::DeviceMenu(DeviceKind kind)
{
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("deviceMenu"));
    const auto devices = ReadDevices(kind);
    QString marked = DeviceInUse(kind);
    if (marked.isEmpty())
        marked = PreferredDevice(kind, devices);
    if (devices.isEmpty())
        menu->addAction(QString::fromUtf8(kDeviceKinds[kind].none))->setEnabled(false);
    auto* group = new QActionGroup(menu);
    for (const auto& device : devices) {
        QAction* action = menu->addAction(device.second);
        action->setData(device.first);
        action->setCheckable(true);
        action->setChecked(device.first == marked);
        group->addAction(action);
        const QString id = device.first;
        connect(action, &QAction::triggered, this, [this, kind, id] { ChooseDevice(kind, id); });
    }
    return menu;
}

void LiveDlg::ChooseDevice(DeviceKind kind, const QString& id)
{
    QSettings* settings = GetSettings();
    settings->setValue(QString::fromUtf8(kDeviceKinds[kind].key), id);
    settings->sync();
    ilive::iLive* service = GetILive();
    const QByteArray utf8 = id.toUtf8();
    if (kind == SpeakerDevice && service->getCurPlayerState())
        service->openPlayer(utf8.constData());
    else if (kind == MicDevice && service->getCurMicState())
        service->openMic(utf8.constData());
    else if (kind == CameraDevice && service->getCurCameraState())
        service->openCamera(utf8.constData());
    UpdateControls();
}

QString LiveDlg::PreferredDevice(DeviceKind kind, const QList<QPair<QString, QString>>& list) const
{
    const QString remembered = GetSettings()->value(QString::fromUtf8(kDeviceKinds[kind].key)).toString();
    for (const auto& device : list)
        if (device.first == remembered)
            return remembered;
    const QString fallback = list.isEmpty() ? QString() : list.first().first;
    if (!remembered.isEmpty())
        qInfo().noquote() << "the remembered" << kDeviceKinds[kind].what << remembered
                          << "is not there; using the default" << fallback;
    return fallback;
}

void LiveDlg::ShowDeviceNotice(const QString& text)
{
    ui->deviceNoticeLabel->setText(text);
    ui->deviceNoticeLabel->show();
    m_noticeTimer->start(kNoticeMs);
}

void LiveDlg::UpdateMicLevel()
{
    ilive::iLive* service = GetILive();
    const double db = service->getCurMicState() ? service->getMicLevel() : -200.0;
    const int value = qBound(0, int((db - kMeterFloorDb) * 100.0 / -kMeterFloorDb), 100);
    if (ui->micLevelBar->value() != value)
        ui->micLevelBar->setValue(value);
}

void LiveDlg::OnDeviceChange(ilive::E_DeviceChangeType type, const ilive::String& id, void* data)
{
    Q_UNUSED(data);
    const QString now = QString::fromUtf8(id.c_str());
    RunOnGuiThread([type, now] {
        if (!g_liveDlg || type != ilive::E_MicReplaced)
            return;
        QString name = now;
        for (const auto& device : ReadDevices(MicDevice))
            if (device.first == now)
                name = device.second;
        qInfo().noquote() << "the microphone in use went away; now" << now;
        g_liveDlg->ShowDeviceNotice(QStringLiteral("麦克风已断开，已切换到%1").arg(name));
        g_liveDlg->UpdateControls();
    });
}

void LiveDlg::OpenCamera()
{
    DeviceList cameras;
    GetILive()->getCameraList(cameras);
    m_cameraList = ToDeviceList(cameras);
    if (cameras.empty()) {
        ShowInformation(QString(), QStringLiteral("找不到摄像头"), nullptr);
        return;
    }
    GetILive()->openCamera(PreferredDevice(CameraDevice, m_cameraList).toUtf8().constData());
}

void LiveDlg::OpenMic()
{
    DeviceList mics;
    const int ret = GetILive()->getMicList(mics);
    if (ret != 0) {
        ShowSdkError(ret, QStringLiteral("获取麦克风失败"), this, QStringLiteral("Error"));
        return;
    }
    if (!mics.empty())
        GetILive()->openMic(PreferredDevice(MicDevice, ToDeviceList(mics)).toUtf8().constData());
}

void LiveDlg::OpenPlayer()
{
    DeviceList players;
    const int ret = GetILive()->getPlayerList(players);
    if (ret != 0) {
        ShowSdkError(ret, QStringLiteral("获取扬声器失败"), this, QStringLiteral("Error"));
        return;
    }
    if (players.empty()) {
        qDebug() << "not player";
        return;
    }
    GetILive()->openPlayer(PreferredDevice(SpeakerDevice, ToDeviceList(players)).toUtf8().constData());
}

void LiveDlg::OnCameraButtonClick()
{
    if (ClassStartedOrTell()) {
        if (!ui->cameraButton->isChecked()) {
            if (GetILive()->getCurCameraState())
                GetILive()->closeCamera();
        } else {
            OpenCamera();
        }
    }
    UpdateControls();
}

void LiveDlg::OnVolumeButtonCheckChanged()
{
    SignalBlocker blocker(ui->volumeButton, 0);
    if (ui->volumeButton->isChecked())
        OpenPlayer();
    else
        GetILive()->closePlayer();
    // No speaker, or none listed: no result comes back to put the button right.
    UpdateControls();
}

void LiveDlg::OnMicroPhoneButtonCheckChanged()
{
    SignalBlocker blocker(ui->microPhoneButton, 0);
    if (ui->microPhoneButton->isChecked())
        OpenMic();
    else
        GetILive()->closeMic();
    UpdateControls();
}

void LiveDlg::OnSpeakerVolumeChanged(int value)
{
    SignalBlocker blocker(ui->volumeButton->slider(), 0);
    GetILive()->setPlayerVolume(uint32_t(qMax(0, value)));
}

void LiveDlg::OnMicVolumeChanged(int value)
{
    SignalBlocker blocker(ui->microPhoneButton->slider(), 0);
    GetILive()->setMicVolume(uint32_t(qMax(0, value)));
}

void LiveDlg::OnPauseButtonClick()
{
    ilive::iLive* service = GetILive();
    if (ui->pauseButton->isChecked()) {
        OpenCamera();
        OpenScreenShareDocumentArea();
        OpenPlayer();
        OpenMic();
    } else {
        if (service->getCurCameraState())
            service->closeCamera();
        CloseScreenShare();
        service->closePlayer();
        service->closeMic();
        CmdMsgHelper::sendGroupCmdMessage(CmdLivePause, QString());
    }
    UpdateControls();
}

// ---- screen share --------------------------------------------------------------------------

QRect LiveDlg::PreviewShareRect() const
{
    const QPoint topLeft = ui->previewLabel->mapToGlobal(QPoint(0, 0));
    const QPoint end
        = ui->previewLabel->mapToGlobal(QPoint(ui->previewLabel->width(), ui->previewLabel->height()));
    return QRect(topLeft, end);
}

void LiveDlg::OnShareButtonClick()
{
    if (ClassStartedOrTell()) {
        if (ui->shareButton->isChecked())
            OpenScreenShareDocumentArea();
        else
            CloseScreenShare();
    }
    UpdateControls();
}

void LiveDlg::OpenScreenShareDocumentArea()
{
    ilive::iLive* service = GetILive();
    if (service->getScreenShareState() != 0) {
        qDebug() << "已经开启屏幕分享，不操作";
        return;
    }
    const QRect area = PreviewShareRect();
    service->openScreenShare(area.left(), area.top(), area.right(), area.bottom(), kShareFps);
}

void LiveDlg::CloseScreenShare()
{
    ilive::iLive* service = GetILive();
    if (service->getScreenShareState() != 0)
        service->closeScreenShare();
    else
        qDebug() << "已经关闭屏幕分享，不操作";
}

void LiveDlg::OnActive()
{
    qDebug() << "activate, call changeScreenShareSize";
    const QRect area = PreviewShareRect();
    const int ret = GetILive()->changeScreenShareSize(area.left(), area.top(), area.right(), area.bottom());
    qDebug() << "share ppt area:" << ret;
}

void LiveDlg::OnDeactive()
{
    qDebug() << "Deactivate, call changeScreenShareSize";
    QSize screen;
    if (QScreen* primary = QGuiApplication::primaryScreen())
        screen = primary->geometry().size();
    const int ret = GetILive()->changeScreenShareSize(0, 0, screen.width(), screen.height());
    qDebug() << "share full screen:" << ret;
}

// ---- video ---------------------------------------------------------------------------------

void LiveDlg::OnLocalVideoFrame(const ilive::LiveVideoFrame* frame, void* data)
{
    Q_UNUSED(data);
    if (!g_liveDlg || !frame || DeferredToGuiThread(frame, &LiveDlg::OnLocalVideoFrame))
        return;
    if (frame->desc.srcType == ilive::VIDEO_SRC_TYPE_CAMERA)
        g_liveDlg->m_localRender->doRender(frame);
}

void LiveDlg::OnRemoteVideoFrame(const ilive::LiveVideoFrame* frame, void* data)
{
    Q_UNUSED(data);
    if (!g_liveDlg || !frame || DeferredToGuiThread(frame, &LiveDlg::OnRemoteVideoFrame))
        return;
    LiveDlg* dlg = g_liveDlg;
    if (!dlg->isVisible() || frame->desc.srcType != ilive::VIDEO_SRC_TYPE_CAMERA)
        return;
    dlg->ShowRemoteVideo();
    dlg->m_noSignalTimer->start(kNoSignalMs);
    dlg->m_remoteRender->doRender(frame);
}

void LiveDlg::ShowRemoteVideo()
{
    const int width = ui->tabWidget->width();
    m_remoteRender->setFixedSize(width, width * 3 / 4);
}

void LiveDlg::OnRemoteVideoNoSignal()
{
    qDebug() << "no remote signal,hide video render";
    m_remoteRender->setFixedHeight(0);
    m_noSignalTimer->stop();
}

namespace {

// Camera states the service announced between entering the room and the room window's making
// (members whose camera was already on): the newest per member, handed to the window when it opens.
QHash<QByteArray, ilive::E_EndpointEventId>& PendingCameraStates()
{
    static QHash<QByteArray, ilive::E_EndpointEventId> states;
    return states;
}

} // namespace

void LiveDlg::ApplyCameraState(const QByteArray& id, ilive::E_EndpointEventId eventId)
{
    const QByteArray self = SessionRecord().value(QStringLiteral("userId")).toString().toUtf8();
    VideoRender* view = id == self ? m_localRender : m_remoteRender;
    if (eventId == ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO)
        view->BindView(ilive::String(id.constData(), size_t(id.size())), ilive::VIDEO_SRC_TYPE_CAMERA);
    else
        view->ClearView();
}

void LiveDlg::ForgetPendingMemberEvents()
{
    PendingCameraStates().clear();
}

void LiveDlg::ApplyPendingMemberEvents()
{
    const auto pending = PendingCameraStates();
    PendingCameraStates().clear();
    for (auto it = pending.cbegin(); it != pending.cend(); ++it)
        ApplyCameraState(it.key(), it.value());
}

void LiveDlg::OnMemStatusChange(
    ilive::E_EndpointEventId eventId, const ilive::Vector<ilive::String>& ids, void* data)
{
    Q_UNUSED(data);
    QList<QByteArray> copied;
    for (const ilive::String& id : ids)
        copied.append(QByteArray(id.c_str(), int(id.size())));
    RunOnGuiThread([eventId, copied] {
        // A hand does not stay up for someone who has left.
        if (eventId == ilive::EVENT_ID_ENDPOINT_EXIT && g_liveDlg)
            for (const QByteArray& id : copied)
                g_liveDlg->SetHandRaised(QString::fromUtf8(id), false);
        if (eventId != ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO
            && eventId != ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO)
            return;
        if (!g_liveDlg) {
            qDebug() << "OnMemStatusChange:g_liveDlg not init";
            for (const QByteArray& id : copied)
                PendingCameraStates().insert(id, eventId);
            return;
        }
        for (const QByteArray& id : copied)
            g_liveDlg->ApplyCameraState(id, eventId);
    });
}

// ---- device results ------------------------------------------------------------------------

void LiveDlg::OnDeviceOperation(ilive::E_DeviceOperationType oper, int retCode, void* data)
{
    Q_UNUSED(data);
    RunOnGuiThread([oper, retCode] {
        LiveDlg* dlg = g_liveDlg;
        if (!dlg)
            return;
        if (const DeviceResult* row = ResultRow(oper))
            (dlg->*row->handler)(retCode);
        // A box shown above may have let the window close meanwhile.
        if (g_liveDlg == dlg)
            dlg->UpdateControls();
    });
}

void LiveDlg::ShowDeviceFailure(ilive::E_DeviceOperationType oper, int ret, QWidget* parent)
{
    const QString failure = QString::fromUtf8(ResultRow(oper)->failure);
    qDebug().noquote() << failure + QStringLiteral("：错误码：") << ret;
    ShowInformation(QString(), failure, parent);
}

void LiveDlg::OnOpenCameraCB(const int& ret)
{
    if (ret != 0)
        ShowDeviceFailure(ilive::E_OpenCamera, ret, nullptr);
}

void LiveDlg::OnCloseCameraCB(const int& ret)
{
    if (ret != 0)
        ShowDeviceFailure(ilive::E_CloseCamera, ret, nullptr);
}

void LiveDlg::OnOpenMicCB(const int& ret)
{
    if (ret == 0)
        ui->microPhoneButton->slider()->setValue(int(GetILive()->getMicVolume()));
    else
        ShowDeviceFailure(ilive::E_OpenMic, ret, nullptr);
}

void LiveDlg::OnCloseMicCB(const int& ret)
{
    if (ret != 0)
        ShowDeviceFailure(ilive::E_CloseMic, ret, nullptr);
}

void LiveDlg::OnOpenPlayerCB(const int& ret)
{
    if (ret == 0)
        ui->volumeButton->slider()->setValue(int(GetILive()->getPlayerVolume()));
    else // the only one of these boxes that belongs to the window
        ShowDeviceFailure(ilive::E_OpenPlayer, ret, this);
}

void LiveDlg::OnClosePlayerCB(const int& ret)
{
    if (ret != 0)
        ShowDeviceFailure(ilive::E_ClosePlayer, ret, nullptr);
}

void LiveDlg::OnOpenScreenShareCB(const int& ret)
{
    if (ret == 0)
        return;
    qDebug() << "打开屏幕分享失败，错误码：" << ret;
    if (ret == 1002)
        ShowError(QStringLiteral("屏幕分享和文件播放不能同时打开."), this);
    else if (ret == 1008)
        ShowError(QStringLiteral("房间内其他成员已经占用辅路视频."), this);
    else
        ShowSdkError(ret, QStringLiteral("打开屏幕分享失败."), this, QStringLiteral("Error"));
}

void LiveDlg::OnCloseScreenShareCB(const int& ret)
{
    if (ret != 0)
        ShowDeviceFailure(ilive::E_CloseScreenShare, ret, nullptr);
}
