#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "PageItem.h"
#include "VideoRender.h"
#include "base/GuiThread.h"
#include "remote/AppServer.h"
#include "remote/PendingLiveEnds.h"
#include "shell/Util.h"
#include "shell/waitingspinnerwidget.h"
#include "shell/WindowStacking.h"
#include "slides/PowerPointTool.h"
#include "whiteboard/LessonExporter.h"
#include "whiteboard/PaintToolBar.h"
#include "whiteboard/renderarea.h"
#include "ui_LiveDlg.h"

#include <QCloseEvent>
#include <QDebug>
#include <QFileDialog>
#include <QKeyEvent>
#include <QListWidget>
#include <QMessageBox>
#include <QPixmap>
#include <QResizeEvent>
#include <QThread>
#include <QTimer>

LiveDlg* g_liveDlg = nullptr;

namespace {

const int kClockIntervalMs = 1000;

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

    ui->msgTextEdit->installEventFilter(this);
    // The window's first resize comes before the column has laid out the tabs; the view follows
    // the tabs' own width when it arrives.
    ui->tabWidget->installEventFilter(this);
    ui->msgListWidget->setSelectionMode(QAbstractItemView::NoSelection);
    CreateMsgBinder();
    CreateMemberBinder();
    SetupFloor();

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
    ui->previewLayout->addWidget(m_renderArea, 0, 0);
    m_paintToolBar = new PaintToolBar(ui->previewContainer);
    ui->previewLayout->addWidget(m_paintToolBar, 0, 0, Qt::AlignBottom | Qt::AlignLeft);
    connect(m_paintToolBar, &PaintToolBar::SelectTool, this, &LiveDlg::SelectTool);
    connect(m_paintToolBar, &PaintToolBar::UndoRequested, m_renderArea, &RenderArea::undo);
    connect(m_paintToolBar, &PaintToolBar::RedoRequested, m_renderArea, &RenderArea::redo);
    connect(m_renderArea, &RenderArea::historyChanged, m_paintToolBar, &PaintToolBar::setHistoryState);
    connect(ui->exportButton, &QPushButton::clicked, this, &LiveDlg::OnExportButtonClick);
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

    SetUpDevices();
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
            // No leaves the class running for the students; Cancel stays in the room.
            const int answer = AskEndClass(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
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
    emit closed();
}

int LiveDlg::AskEndClass(QMessageBox::StandardButtons buttons)
{
    QMessageBox box(
        QMessageBox::Question, QStringLiteral("确认"), QStringLiteral("是否下课？"), buttons, this);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec();
}

void LiveDlg::OnClockTick()
{
    ui->timeDisplayLabel->setText(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
}

// ---- class start and end -------------------------------------------------------------------

void LiveDlg::OnStartButtonClick()
{
    if (!m_classStarted) {
        AppServer_BeginLive(m_liveId, &LiveDlg::OnAppServer_BeginLiveSuccess,
            &LiveDlg::OnAppServer_BeginLiveError, this, this);
        m_classStartTime = QTime::currentTime();
        BroadcastClassTime();
        return;
    }

    if (AskEndClass(QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
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
        // Sent until the server has it, even across a restart of the client.
        PendingLiveEnds::GetInstance()->End(m_liveId);
        CmdMsgHelper::sendGroupCmdMessage(CmdLiveEnd, QString());
    } else {
        AppServer_QuitRoom(m_avRoomId, nullptr, nullptr, nullptr, nullptr);
        CmdMsgHelper::sendGroupCmdMessage(CmdLivePause, QString());
    }
    service->quitRoom(nullptr, nullptr, nullptr);
}

// ---- service events ----------------------------------------------------------------------

void LiveDlg::OnRoomDisconnect(int reason, const char* errorInfo, void* data)
{
    Q_UNUSED(data);
    const QString info = QString::fromUtf8(errorInfo ? errorInfo : "");
    RunOnGuiThread([reason, info] {
        qDebug() << "已被强制退出房间.reason:" << reason << "errorinfo" << info;
        ShowInformation(QString(), QStringLiteral("已掉线。请检查网络并重新进入房间"), nullptr);
    });
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

void LiveDlg::setLiveId(const QString& liveId)
{
    m_liveId = liveId;
    if (m_docPath.isEmpty() && !ui->blankPageButton->isChecked())
        m_renderArea->setFileName(OpeningFileName());
}

QString LiveDlg::OpeningFileName() const
{
    return HashFilePath(QStringLiteral("live:") + m_liveId) + QStringLiteral("opening.json");
}

QString LiveDlg::PageFileName(int row) const
{
    // Until a document is chosen the blank page is the live's own, not every live's.
    const QString digest = HashFilePath(m_docPath.isEmpty() ? QStringLiteral("live:") + m_liveId : m_docPath);
    if (row < 0)
        return digest + QStringLiteral("blank.json");
    return digest + QString::number(row) + QStringLiteral(".json");
}

void LiveDlg::OnOpenButtonClick()
{
    const QString path = QFileDialog::getOpenFileName(
        this, tr("Open File"), QStringLiteral("/home"), tr("Document (*.ppt *.pptx)"));
    if (path.isEmpty())
        return;
    m_docPath = path;
    ShowWaiting(this);
    SetWindowTopMost(this, true);
    PowerPointTool* converter = PowerPointTool::GetInstance();
    converter->KillOffice();
    converter->OpenFile(path);
    ui->imageListWidget->clear();
    m_pageImages.clear();
}

void LiveDlg::OnNewSlide(const QString& path)
{
    HideWaiting();
    SetWindowTopMost(this, false);
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

void LiveDlg::OnExportButtonClick()
{
    // In the order of the page column: the blank page (when drawn on), then the slides.
    QVector<LessonPage> pages;
    pages.append(
        LessonPage { QStringLiteral(":/Lectern/Resources/icons/blank.png"), PageFileName(-1), true });
    for (int row = 0; row < m_pageImages.size(); ++row)
        pages.append(LessonPage { m_pageImages.at(row), PageFileName(row), false });
    m_renderArea->saveDrawing();
    LessonExporter::run(this, pages, m_renderArea->size());
}

void LiveDlg::OnOpenFail()
{
    SetWindowTopMost(this, false);
    ShowError(QStringLiteral("无法打开文件"), nullptr);
    HideWaiting();
}
