#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "HoverButton.h"
#include "PageItem.h"
#include "VideoRender.h"
#include "lobby/LiveListDlg.h"
#include "remote/AppServer.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "slides/PowerPointTool.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/renderarea.h"
#include "ui_LiveDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QResizeEvent>
#include <QScreen>
#include <QSlider>
#include <QThread>
#include <QTimer>
#include <QWindow>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

LiveDlg* g_liveDlg = nullptr;

namespace {

const int kClockIntervalMs = 1000;
const int kNoSignalMs = 3000;
const uint32_t kShareFps = 10;

bool OnGuiThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Runs fn later on the GUI thread; listeners called from the service's own threads come through here.
template <typename Fn> void RunOnGuiThread(Fn fn)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(fn), Qt::QueuedConnection);
}

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

QPixmap ScaledToPreview(const QString& path, const QSize& size)
{
    QPixmap image(path);
    if (image.isNull() || size.isEmpty())
        return image;
    return image.scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

bool IsEnterKey(const QKeyEvent* event)
{
    return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
}

// The local view is as wide as the tabs above it, at 4:3.
void FitLocalView(const QWidget* tabs, VideoRender* local)
{
    const int width = tabs->width();
    qDebug() << "video widget size:" << width << width * 3 / 4;
    local->setFixedSize(width, width * 3 / 4);
}

} // namespace

LiveDlg::LiveDlg(QWidget* parent)
    : QMainWindow(parent)
    , ui(new Ui::LiveDlg)
{
    qRegisterMetaType<ilive::Message>("ilive::Message");
    ui->setupUi(this);

    connect(ui->startButton, &QPushButton::clicked, this, &LiveDlg::OnStartButtonClick);
    connect(ui->openButton, &QPushButton::clicked, this, &LiveDlg::OnOpenButtonClick);
    connect(ui->blankPageButton, &QPushButton::clicked, this, &LiveDlg::OnBlankPageButtonClick);
    connect(ui->imageListWidget, &QListWidget::currentRowChanged, this, &LiveDlg::OnPageChanged);
    connect(ui->sendButton, &QPushButton::clicked, this, &LiveDlg::SendChatMessage);
    connect(ui->volumeButton, &HoverButton::checkChanged, this, &LiveDlg::OnVolumeButtonCheckChanged);
    connect(ui->microPhoneButton, &HoverButton::checkChanged, this, &LiveDlg::OnMicroPhoneButtonCheckChanged);
    connect(ui->volumeButton->slider(), &QSlider::valueChanged, this, &LiveDlg::OnSpeakerVolumeChanged);
    connect(ui->microPhoneButton->slider(), &QSlider::valueChanged, this, &LiveDlg::OnMicVolumeChanged);
    connect(ui->cameraButton, &QPushButton::clicked, this, &LiveDlg::OnCameraButtonClick);
    connect(ui->pauseButton, &QPushButton::clicked, this, &LiveDlg::OnPauseButtonClick);
    connect(ui->shareButton, &QPushButton::clicked, this, &LiveDlg::OnShareButtonClick);
    // A service that delivers messages on its own thread posts them here.
    connect(this, &LiveDlg::postMessage, this, &LiveDlg::dealMessage, Qt::QueuedConnection);

    ui->msgTextEdit->installEventFilter(this);
    // The window's first resize comes before the column has laid out the tabs; the view follows
    // the tabs' own width when it arrives.
    ui->tabWidget->installEventFilter(this);
    ui->msgListWidget->setSelectionMode(QAbstractItemView::NoSelection);

    m_clockTimer = new QTimer(this);
    connect(m_clockTimer, &QTimer::timeout, this, &LiveDlg::OnClockTick);
    m_clockTimer->start(kClockIntervalMs);
    m_noSignalTimer = new QTimer(this);
    m_noSignalTimer->setSingleShot(true);
    connect(m_noSignalTimer, &QTimer::timeout, this, &LiveDlg::OnRemoteVideoNoSignal);

    // Both go in at position 1: tabs, remote view, local view.
    m_localRender = new VideoRender(ui->studentInteractWidget);
    ui->interactLayout->insertWidget(1, m_localRender);
    m_remoteRender = new VideoRender(ui->studentInteractWidget);
    ui->interactLayout->insertWidget(1, m_remoteRender);
    m_remoteRender->setFixedHeight(0);
    ui->msgTextEdit->setFixedHeight(70);

    m_renderArea = new RenderArea(ui->previewContainer);
    m_renderArea->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_renderArea->setFileName(QStringLiteral("test.json"));
    ui->previewLayout->addWidget(m_renderArea, 0, 0);
    m_paintToolBar = new PaintToolBar(ui->previewContainer);
    ui->previewLayout->addWidget(m_paintToolBar, 0, 0, Qt::AlignBottom | Qt::AlignLeft);
    connect(m_paintToolBar, &PaintToolBar::SelectTool, this, &LiveDlg::SelectTool);
    // The converter outlives room windows: a conversion begun in a room that has since closed
    // must not put its slides (or its failure) into the next one, which has chosen no document.
    PowerPointTool* converter = PowerPointTool::GetInstance();
    connect(converter, &PowerPointTool::NewSlides, this, [this](const QString& path) {
        if (!m_docPath.isEmpty())
            OnNewSlide(path);
    });
    connect(converter, &PowerPointTool::OpenFail, this, [this] {
        if (!m_docPath.isEmpty())
            OnOpenFail();
    });

    UpdateControls();
    ui->platformLabel->setText(QStringLiteral("Tutorline"));
}

LiveDlg::~LiveDlg()
{
    // Deleted without passing through closeEvent: listeners must not reach a dead window.
    if (g_liveDlg == this)
        g_liveDlg = nullptr;
}

// ---- window --------------------------------------------------------------------------------

void LiveDlg::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    RequestRoomMemberList();
}

void LiveDlg::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    // The room stays maximised; minimising is still allowed so the teacher can reach other programs.
    const Qt::WindowStates state = windowState();
    if (!(state & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        setWindowState((state & ~Qt::WindowActive) | Qt::WindowMaximized);
}

void LiveDlg::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    FitLocalView(ui->tabWidget, m_localRender);
}

void LiveDlg::keyPressEvent(QKeyEvent* event)
{
    qDebug() << "key:" << event->key();
    if (IsEnterKey(event)) {
        SendChatMessage();
        return;
    }
    QMainWindow::keyPressEvent(event);
}

bool LiveDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == ui->tabWidget && event->type() == QEvent::Resize) {
        auto* resize = static_cast<QResizeEvent*>(event);
        if (resize->size().width() != resize->oldSize().width())
            FitLocalView(ui->tabWidget, m_localRender);
        return false;
    }
    if (watched == ui->msgTextEdit && event->type() == QEvent::KeyPress) {
        auto* keyEvent = static_cast<QKeyEvent*>(event);
        qDebug() << "key:" << keyEvent->key();
        if (IsEnterKey(keyEvent)) {
            SendChatMessage();
            return true;
        }
        // Every other key is typing.
        return false;
    }
    return QMainWindow::eventFilter(watched, event);
}

void LiveDlg::closeEvent(QCloseEvent* event)
{
    if (!m_closeConfirmed) {
        if (m_classStarted) {
            QMessageBox box(QMessageBox::Question, QStringLiteral("确认"), QStringLiteral("是否下课？"),
                QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
            box.setDefaultButton(QMessageBox::Yes);
            const int answer = box.exec();
            if (answer == QMessageBox::Yes) {
                LeaveRoom(true);
            } else if (answer == QMessageBox::No) {
                LeaveRoom(false);
            } else {
                event->ignore();
                return;
            }
        } else {
            LeaveRoom(false);
        }
        m_closeConfirmed = true;
    }

    event->accept();
    deleteLater();
    if (g_liveDlg == this)
        g_liveDlg = nullptr;
    LiveListDlg::GetInstance()->show();
}

void LiveDlg::OnClockTick()
{
    ui->timeDisplayLabel->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
}

// ---- class start and end -------------------------------------------------------------------

void LiveDlg::OnStartButtonClick()
{
    if (!m_classStarted) {
        AppServer_BeginLive(
            m_liveId, &LiveDlg::OnAppServer_BeginLiveSuccess, &LiveDlg::OnAppServer_BeginLiveError, this);
        m_classStartTime = QTime::currentTime();
        BroadcastClassTime();
        return;
    }

    QMessageBox box(QMessageBox::Question, QStringLiteral("确认"), QStringLiteral("是否下课？"),
        QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::Yes);
    if (box.exec() != QMessageBox::Yes)
        return;
    LeaveRoom(true);
    m_closeConfirmed = true;
    close();
}

void LiveDlg::OnAppServer_BeginLiveSuccess(const QVariantMap& result, void* context)
{
    Q_UNUSED(result);
    auto* dlg = static_cast<LiveDlg*>(context);
    // The answer may come after the window has been closed.
    if (!dlg || dlg != g_liveDlg)
        return;
    dlg->m_classStarted = true;
    dlg->OpenScreenShareDocumentArea();
    dlg->OpenCamera();
    dlg->OpenMic();
    dlg->OpenPlayer();
    dlg->UpdateControls();
}

void LiveDlg::OnAppServer_BeginLiveError(int code, const QVariantMap& error, void* context)
{
    Q_UNUSED(error);
    auto* dlg = static_cast<LiveDlg*>(context);
    qDebug() << "live.begin failed, code:" << code;
    // The class did not start: later arrivals must not be told a running class time.
    if (dlg && dlg == g_liveDlg && !dlg->m_classStarted)
        dlg->m_classStartTime = QTime();
}

void LiveDlg::BroadcastClassTime()
{
    if (!m_classStartTime.isValid())
        return;
    int seconds = m_classStartTime.secsTo(QTime::currentTime());
    if (seconds < 0) // the class went past midnight
        seconds += 24 * 60 * 60;
    CmdMsgHelper::sendGroupCmdMessage(CmdClassTime, QString::number(seconds));
}

void LiveDlg::LeaveRoom(bool endClass)
{
    ilive::iLive* service = GetILive();
    CloseScreenShare();
    if (service->getCurCameraState())
        service->closeCamera();
    if (endClass) {
        AppServer_EndLive(m_liveId, nullptr, nullptr, nullptr);
        CmdMsgHelper::sendGroupCmdMessage(CmdLiveEnd, QString());
    } else {
        AppServer_QuitRoom(m_avRoomId, nullptr, nullptr, nullptr);
        CmdMsgHelper::sendGroupCmdMessage(CmdLivePause, QString());
    }
    service->quitRoom(nullptr, nullptr, nullptr);
}

// ---- devices -------------------------------------------------------------------------------

void LiveDlg::UpdateControls()
{
    ilive::iLive* service = GetILive();
    ui->volumeButton->setChecked(service->getCurPlayerState());
    ui->microPhoneButton->setChecked(service->getCurMicState());

    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> cameras;
    service->getCameraList(cameras);
    m_cameraList.clear();
    for (const auto& camera : cameras)
        m_cameraList.append(
            qMakePair(QString::fromUtf8(camera.first.c_str()), QString::fromUtf8(camera.second.c_str())));
    ui->cameraButton->setChecked(!m_cameraList.isEmpty() && service->getCurCameraState());

    ui->startButton->setText(m_classStarted ? QStringLiteral("下课") : QStringLiteral("上课"));
    ui->shareButton->setChecked(service->getScreenShareState() != 0);

    ui->pauseButton->hide();
    const bool broadcasting = ui->cameraButton->isChecked() || ui->shareButton->isChecked();
    ui->pauseButton->setChecked(broadcasting);
    ui->pauseButton->setText(broadcasting ? QStringLiteral("暂停") : QStringLiteral("恢复"));
}

void LiveDlg::OpenCamera()
{
    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> cameras;
    GetILive()->getCameraList(cameras);
    m_cameraList.clear();
    for (const auto& camera : cameras)
        m_cameraList.append(
            qMakePair(QString::fromUtf8(camera.first.c_str()), QString::fromUtf8(camera.second.c_str())));
    if (cameras.empty()) {
        ShowInformation(QString(), QStringLiteral("找不到摄像头"), nullptr);
        return;
    }
    GetILive()->openCamera(cameras[0].first.c_str());
}

void LiveDlg::OpenMic()
{
    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> mics;
    const int ret = GetILive()->getMicList(mics);
    if (ret != 0) {
        ShowSdkError(ret, QStringLiteral("获取麦克风失败"), this, QStringLiteral("Error"));
        return;
    }
    if (!mics.empty())
        GetILive()->openMic(mics[0].first.c_str());
}

void LiveDlg::OpenPlayer()
{
    ilive::Vector<ilive::Pair<ilive::String, ilive::String>> players;
    const int ret = GetILive()->getPlayerList(players);
    if (ret != 0) {
        ShowSdkError(ret, QStringLiteral("获取扬声器失败"), this, QStringLiteral("Error"));
        return;
    }
    if (players.empty()) {
        qDebug() << "not player";
        return;
    }
    GetILive()->openPlayer(players[0].first.c_str());
}

void LiveDlg::OnCameraButtonClick()
{
    if (!m_classStarted) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("请先上课"),
            QMessageBox::Ok, this);
        box.exec();
    } else if (!ui->cameraButton->isChecked()) {
        if (GetILive()->getCurCameraState())
            GetILive()->closeCamera();
    } else {
        OpenCamera();
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
    if (!m_classStarted) {
        QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("请先上课"),
            QMessageBox::Ok, this);
        box.exec();
    } else if (ui->shareButton->isChecked()) {
        OpenScreenShareDocumentArea();
    } else {
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
    if (!g_liveDlg || !frame)
        return;
    if (!OnGuiThread()) {
        const FrameCopy copy = CopyFrame(frame);
        RunOnGuiThread([copy] { ReplayFrame(copy, &LiveDlg::OnLocalVideoFrame); });
        return;
    }
    if (frame->desc.srcType == ilive::VIDEO_SRC_TYPE_CAMERA)
        g_liveDlg->m_localRender->doRender(frame);
}

void LiveDlg::OnRemoteVideoFrame(const ilive::LiveVideoFrame* frame, void* data)
{
    Q_UNUSED(data);
    if (!g_liveDlg || !frame)
        return;
    if (!OnGuiThread()) {
        const FrameCopy copy = CopyFrame(frame);
        RunOnGuiThread([copy] { ReplayFrame(copy, &LiveDlg::OnRemoteVideoFrame); });
        return;
    }
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

void LiveDlg::OnMemStatusChange(
    ilive::E_EndpointEventId eventId, const ilive::Vector<ilive::String>& ids, void* data)
{
    Q_UNUSED(data);
    if (!OnGuiThread()) {
        QList<QByteArray> copied;
        for (const ilive::String& id : ids)
            copied.append(QByteArray(id.c_str(), int(id.size())));
        RunOnGuiThread([eventId, copied] {
            ilive::Vector<ilive::String> again;
            for (const QByteArray& id : copied)
                again.push_back(ilive::String(id.constData(), size_t(id.size())));
            OnMemStatusChange(eventId, again, nullptr);
        });
        return;
    }
    if (!g_liveDlg) {
        qDebug() << "OnMemStatusChange:g_liveDlg not init";
        return;
    }
    if (eventId != ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO
        && eventId != ilive::EVENT_ID_ENDPOINT_NO_CAMERA_VIDEO)
        return;
    const QString self = SessionRecord().value(QStringLiteral("userId")).toString();
    for (const ilive::String& id : ids) {
        VideoRender* view
            = QString::fromUtf8(id.c_str()) == self ? g_liveDlg->m_localRender : g_liveDlg->m_remoteRender;
        if (eventId == ilive::EVENT_ID_ENDPOINT_HAS_CAMERA_VIDEO)
            view->BindView(id, ilive::VIDEO_SRC_TYPE_CAMERA);
        else
            view->ClearView();
    }
}

// ---- service events ------------------------------------------------------------------------

void LiveDlg::OnDeviceOperation(ilive::E_DeviceOperationType oper, int retCode, void* data)
{
    Q_UNUSED(data);
    if (!OnGuiThread()) {
        RunOnGuiThread([oper, retCode] { OnDeviceOperation(oper, retCode, nullptr); });
        return;
    }
    LiveDlg* dlg = g_liveDlg;
    if (!dlg)
        return;
    switch (oper) {
    case ilive::E_OpenCamera:
        dlg->OnOpenCameraCB(retCode);
        break;
    case ilive::E_CloseCamera:
        dlg->OnCloseCameraCB(retCode);
        break;
    case ilive::E_OpenMic:
        dlg->OnOpenMicCB(retCode);
        break;
    case ilive::E_CloseMic:
        dlg->OnCloseMicCB(retCode);
        break;
    case ilive::E_OpenPlayer:
        dlg->OnOpenPlayerCB(retCode);
        break;
    case ilive::E_ClosePlayer:
        dlg->OnClosePlayerCB(retCode);
        break;
    case ilive::E_OpenScreenShare:
        dlg->OnOpenScreenShareCB(retCode);
        break;
    case ilive::E_CloseScreenShare:
        dlg->OnCloseScreenShareCB(retCode);
        break;
    default:
        break;
    }
    // A box shown above may have let the window close meanwhile.
    if (g_liveDlg == dlg)
        dlg->UpdateControls();
}

void LiveDlg::OnRoomDisconnect(int reason, const char* errorInfo, void* data)
{
    Q_UNUSED(data);
    const QString info = QString::fromUtf8(errorInfo ? errorInfo : "");
    if (!OnGuiThread()) {
        const QByteArray copied = info.toUtf8();
        RunOnGuiThread([reason, copied] { OnRoomDisconnect(reason, copied.constData(), nullptr); });
        return;
    }
    qDebug() << "已被强制退出房间.reason:" << reason << "errorinfo" << info;
    ShowInformation(QString(), QStringLiteral("已掉线。请检查网络并重新进入房间"), nullptr);
}

void LiveDlg::OnOpenCameraCB(const int& ret)
{
    if (ret == 0)
        return;
    qDebug() << "打开摄像头失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("打开摄像头失败"), nullptr);
}

void LiveDlg::OnCloseCameraCB(const int& ret)
{
    if (ret == 0)
        return;
    qDebug() << "关闭摄像头失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("关闭摄像头失败"), nullptr);
}

void LiveDlg::OnOpenMicCB(const int& ret)
{
    if (ret == 0) {
        ui->microPhoneButton->slider()->setValue(int(GetILive()->getMicVolume()));
        return;
    }
    qDebug() << "打开麦克风失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("打开麦克风失败"), nullptr);
}

void LiveDlg::OnCloseMicCB(const int& ret)
{
    if (ret == 0)
        return;
    qDebug() << "关闭麦克风失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("关闭麦克风失败"), nullptr);
}

void LiveDlg::OnOpenPlayerCB(const int& ret)
{
    if (ret == 0) {
        ui->volumeButton->slider()->setValue(int(GetILive()->getPlayerVolume()));
        return;
    }
    qDebug() << "打开扬声器失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("打开扬声器失败"), this);
}

void LiveDlg::OnClosePlayerCB(const int& ret)
{
    if (ret == 0)
        return;
    qDebug() << "关闭扬声器失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("关闭扬声器失败"), nullptr);
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
    if (ret == 0)
        return;
    qDebug() << "关闭屏幕分享失败：错误码：" << ret;
    ShowInformation(QString(), QStringLiteral("关闭屏幕分享失败"), nullptr);
}

// ---- whiteboard ----------------------------------------------------------------------------

void LiveDlg::SelectTool(InstrumentType type)
{
    if (type == Clear)
        m_renderArea->clearDrawing();
    else
        m_renderArea->setInstrumentType(type);
}

// ---- pages ---------------------------------------------------------------------------------

QString LiveDlg::PageFileName(int row) const
{
    const QString digest = HashFilePath(m_docPath);
    if (row < 0)
        return digest + QStringLiteral("blank.json");
    return digest + QString::number(row) + QStringLiteral(".json");
}

void LiveDlg::SetTopMost(bool topMost)
{
#ifdef Q_OS_WIN
    SetWindowPos(reinterpret_cast<HWND>(winId()), topMost ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
        SWP_NOMOVE | SWP_NOSIZE);
#else
    if (bool(windowFlags() & Qt::WindowStaysOnTopHint) == topMost)
        return;
    // setWindowFlag() would hide the window and show it anew (a lost activation, a second member
    // list request); the window system takes the hint on the live window instead.
    const Qt::WindowFlags flags = windowFlags() ^ Qt::WindowStaysOnTopHint;
    overrideWindowFlags(flags);
    if (QWindow* window = windowHandle())
        window->setFlags(flags);
#endif
}

void LiveDlg::OnOpenButtonClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStringLiteral("/home"), tr("Document (*.ppt *.pptx)"));
    if (path.isEmpty())
        return;
    m_docPath = path;
    ShowWaiting(this);
    SetTopMost(true);
    PowerPointTool* converter = PowerPointTool::GetInstance();
    converter->KillOffice();
    converter->OpenFile(path);
    ui->imageListWidget->clear();
    m_pageImages.clear();
}

void LiveDlg::OnNewSlide(const QString& path)
{
    HideWaiting();
    SetTopMost(false);
    qDebug() << "create page for:" << path;
    QThread::msleep(10);
    m_pageImages.append(path);

    auto* page = new PageItem;
    page->SetIndexText(QString::number(ui->imageListWidget->count() + 1));
    page->SetImage(path, ui->imageListWidget->width() - 10);
    auto* item = new QListWidgetItem;
    item->setSizeHint(page->sizeHint());
    ui->imageListWidget->addItem(item);
    ui->imageListWidget->setItemWidget(item, page);

    if (ui->imageListWidget->count() == 1)
        OnPageChanged(0);
}

void LiveDlg::OnPageChanged(int row)
{
    ui->blankPageButton->setChecked(false);
    for (int i = 0; i < ui->imageListWidget->count(); ++i) {
        if (auto* page
            = qobject_cast<PageItem*>(ui->imageListWidget->itemWidget(ui->imageListWidget->item(i))))
            page->SetSelected(i == row);
    }
    if (row < 0 || row >= m_pageImages.size())
        return;
    ui->previewLabel->setPixmap(ScaledToPreview(m_pageImages.at(row), ui->previewLabel->size()));
    m_renderArea->setFileName(PageFileName(row));
}

void LiveDlg::OnBlankPageButtonClick()
{
    ui->imageListWidget->selectionModel()->clear();
    ui->blankPageButton->setChecked(true);
    ui->previewLabel->setPixmap(
        ScaledToPreview(QStringLiteral(":/Lectern/Resources/icons/blank.png"), ui->previewLabel->size()));
    m_renderArea->setFileName(PageFileName(-1));
}

void LiveDlg::OnOpenFail()
{
    SetTopMost(false);
    ShowError(QStringLiteral("无法打开文件"), nullptr);
    HideWaiting();
}
