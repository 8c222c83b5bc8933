#include "LiveListDlg.h"

#include "AttendanceDlg.h"
#include "LiveListItem.h"
#include "LiveListStateItem.h"
#include "ProcessEnd.h"
#include "base/GuiThread.h"
#include "ilive/ilive.h"
#include "protocol/RelayOps.h"
#include "remote/AppServer.h"
#include "remote/PendingLiveEnds.h"
#include "room/LiveDlg.h"
#include "shell/RowBinder.h"
#include "shell/Util.h"
#include "ui_LiveListDlg.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QUrl>
#include <QDebug>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>
#include <QScrollBar>
#include <QTimer>

#include <limits>

namespace {
constexpr int kRefreshIntervalMs = 10000;
// Rows kept built beyond each edge of the view, so a short scroll shows finished rows.
constexpr int kBuiltMargin = 1;

// A live without a room carries "avRoomId" as null (or not at all).
bool HasRoom(const QVariant& avRoomId)
{
    return !avRoomId.isNull() && !avRoomId.toString().trimmed().isEmpty();
}
} // namespace

LiveListDlg* LiveListDlg::GetInstance()
{
    static LiveListDlg* instance = new LiveListDlg;
    return instance;
}

LiveListDlg::LiveListDlg(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::LiveListDlg)
{
    qRegisterMetaType<std::string>("std::string");
    setWindowFlags(Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    ui->setupUi(this);

    const QStringList titles
        = { QStringLiteral("全部直播"), QStringLiteral("未开始"), QStringLiteral("已结束") };
    for (const QString& title : titles) {
        auto* tab = new LiveListStateItem(title);
        auto* row = new QListWidgetItem(ui->stateListWidget);
        row->setSizeHint(tab->sizeHint());
        ui->stateListWidget->setItemWidget(row, tab);
    }
    connect(ui->stateListWidget, &QListWidget::currentRowChanged, this, &LiveListDlg::OnStateTabChanged);
    ui->stateListWidget->setCurrentRow(0);

    ui->itemsListWidget->setUniformItemSizes(true);
    m_rowBinder = new RowBinder(
        ui->itemsListWidget,
        [this](QListWidgetItem* item) -> QWidget* {
            auto* row = new LiveListItem(item->data(Qt::UserRole).toMap());
            connect(row, &LiveListItem::ButtonClicked, this, &LiveListDlg::OnItemButtonClick);
            connect(row, &LiveListItem::AttendanceClicked, this,
                [this](const QVariantMap& live) { AttendanceDlg::Open(live, this); });
            connect(row, &LiveListItem::ReplayClicked, this, [](const QVariantMap& live) {
                QDesktopServices::openUrl(QUrl(live.value(QStringLiteral("replayUrl")).toString()));
            });
            return row;
        },
        kBuiltMargin);

    connect(ui->enterButton, &QPushButton::clicked, this, &LiveListDlg::OnEnterButtonClick);
    connect(PendingLiveEnds::GetInstance(), &PendingLiveEnds::changed, this, &LiveListDlg::RefreshItems);

    m_refreshTimer = new QTimer(this);
    connect(m_refreshTimer, &QTimer::timeout, this, &LiveListDlg::timer_tick);
    m_refreshTimer->start(kRefreshIntervalMs);
}

LiveListDlg::~LiveListDlg() = default;

LiveListItem* LiveListDlg::itemAt(int row)
{
    return qobject_cast<LiveListItem*>(m_rowBinder->Ensure(row));
}

QVariantMap LiveListDlg::liveAt(int row) const
{
    QListWidgetItem* item = ui->itemsListWidget->item(row);
    return item ? item->data(Qt::UserRole).toMap() : QVariantMap();
}

LiveListStateItem* LiveListDlg::stateItemAt(int row) const
{
    return qobject_cast<LiveListStateItem*>(ui->stateListWidget->itemWidget(ui->stateListWidget->item(row)));
}

int LiveListDlg::LiveState(const QVariantMap& record)
{
    const QString state = record.value(QStringLiteral("state")).toString();
    if (state == QLatin1String("v") || state == QLatin1String("s"))
        return 0;
    if (state == QLatin1String("i"))
        return 1;
    return 2;
}

QVariantList LiveListDlg::FilterLives(const QVariantList& lives, int tabRow)
{
    if (tabRow != 1 && tabRow != 2)
        return lives;
    const int wanted = tabRow == 1 ? 0 : 2;
    QVariantList kept;
    for (const QVariant& live : lives)
        if (LiveState(live.toMap()) == wanted)
            kept.append(live);
    return kept;
}

QVariantMap LiveListDlg::QuickEntryLive(const QVariantList& lives, qint64 nowMs)
{
    // The class under way wins; among several, the one that started last.
    QVariantMap running;
    qint64 runningStart = std::numeric_limits<qint64>::min();
    // Otherwise the earliest not-started class that is not already over.
    QVariantMap next;
    qint64 nextStart = std::numeric_limits<qint64>::max();
    for (const QVariant& value : lives) {
        const QVariantMap live = value.toMap();
        const qint64 start = live.value(QStringLiteral("startTime")).toLongLong();
        const QVariant endValue = live.value(QStringLiteral("endTime"));
        const int state = LiveState(live);
        if (state == 1 && (running.isEmpty() || start > runningStart)) {
            running = live;
            runningStart = start;
        } else if (state == 0 && (endValue.isNull() || endValue.toLongLong() > nowMs)
            && (next.isEmpty() || start < nextStart)) {
            next = live;
            nextStart = start;
        }
    }
    return running.isEmpty() ? next : running;
}

void LiveListDlg::OnStateTabChanged(int row)
{
    if (row < 0)
        return;
    m_currentTab = row;
    for (int i = 0; i < ui->stateListWidget->count(); ++i)
        if (LiveListStateItem* tab = stateItemAt(i))
            tab->SetSelected(i == row);
    RefreshItems();
}

void LiveListDlg::RefreshItems()
{
    // A live the teacher ended whose end has not reached the server yet shows as ending.
    QVariantList lives = FilterLives(m_lives, m_currentTab);
    const PendingLiveEnds* ends = PendingLiveEnds::GetInstance();
    for (QVariant& live : lives) {
        QVariantMap record = live.toMap();
        const QString liveId = record.value(QStringLiteral("liveId")).toString();
        if (ends->IsPending(liveId)) {
            record.insert(QStringLiteral("ending"), true);
            live = record;
        } else if (m_replays.contains(liveId)) {
            record.insert(QStringLiteral("replayUrl"), m_replays.value(liveId));
            live = record;
        }
    }
    SetupItems(lives);
}

void LiveListDlg::SetupItems(const QVariantList& list)
{
    // The periodic answer is usually the same as the last: then the rows stay as they are.
    QListWidget* view = ui->itemsListWidget;
    if (list == m_shownLives && view->count() == list.size())
        return;
    QScrollBar* bar = view->verticalScrollBar();
    const int scroll = bar->value();
    view->setUpdatesEnabled(false);

    // What the teacher sees is the same as after clearing the list and appending a row per live;
    // but rows are reused, and a row's widgets are only built near the view, so a refresh of a
    // thousand lives stays cheap.
    while (view->count() > list.size())
        delete view->takeItem(view->count() - 1);
    const QSize rowSize = RowSizeHint();
    for (int i = 0; i < list.size(); ++i) {
        QListWidgetItem* item = i < view->count() ? view->item(i) : new QListWidgetItem(view);
        const QVariantMap live = list.at(i).toMap();
        item->setData(Qt::UserRole, live);
        item->setSizeHint(rowSize);
        if (auto* row = qobject_cast<LiveListItem*>(view->itemWidget(item)))
            row->SetData(live);
    }
    m_shownLives = list;

    // Lay the rows out now, so that the scroll range fits them before the position comes back.
    view->doItemsLayout();
    bar->setValue(scroll);
    view->setUpdatesEnabled(true);
    m_rowBinder->Sync();
}

QSize LiveListDlg::RowSizeHint()
{
    // Every row has the same height: measure one, once. No width is asked for: the view gives
    // each row exactly its own width, so on a narrow screen a row never runs under the edge.
    if (!m_rowSize.isValid()) {
        LiveListItem probe { QVariantMap() };
        m_rowSize = QSize(0, probe.sizeHint().height());
    }
    return m_rowSize;
}

void LiveListDlg::RequestLiveList(bool interactive)
{
    if (interactive)
        AppServer_LiveList(OnAppServer_LiveListSuccess, OnAppServer_LiveListError, this, this, true);
    else
        AppServer_LiveList(OnAppServer_LiveListSuccess, OnAppServer_LiveListError, this, nullptr, false);
}

void LiveListDlg::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!event->spontaneous())
        RequestLiveList(true);
}

void LiveListDlg::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    FillToAvailableArea();
}

void LiveListDlg::FillToAvailableArea()
{
    QScreen* screen = this->screen();
    if (!screen || !isWindow())
        return;
    const QRect area = screen->availableGeometry();
    const QSize frameExtra = frameGeometry().size() - geometry().size();
    const QSize wanted = area.size() - frameExtra;
    if (pos() != area.topLeft())
        move(area.topLeft());
    if (size() != wanted)
        resize(wanted);
}

void LiveListDlg::timer_tick()
{
    if (!isVisible())
        return;
    qDebug() << "live list time tick";
    RequestLiveList(false);
}

void LiveListDlg::OnAppServer_LiveListSuccess(const QVariantMap& result, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "get live list success" << result;
    dlg->m_lives = result.value(QStringLiteral("list")).toList();
    qDebug() << dlg->m_lives;
    dlg->RefreshItems();
    // Only ended lives have replays: no question to the server while none has ended.
    for (const QVariant& live : qAsConst(dlg->m_lives))
        if (LiveState(live.toMap()) == 2) {
            AppServer_ReplayList(OnAppServer_ReplayListSuccess, OnAppServer_ReplayListError, dlg);
            break;
        }
}

void LiveListDlg::OnAppServer_LiveListError(int, const QVariantMap&, void*) { }

void LiveListDlg::OnAppServer_ReplayListSuccess(const QVariantMap& result, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    QHash<QString, QString> replays;
    const QUrl server(AppServerUrl());
    for (const QVariant& value : result.value(QStringLiteral("list")).toList()) {
        const QVariantMap replay = value.toMap();
        const QUrl page(replay.value(QStringLiteral("pageUrl")).toString());
        // Only a page of the app server itself: the browser is handed nothing else.
        if (page.isRelative() && page.path().startsWith(QLatin1String("/student/")))
            replays.insert(
                replay.value(QStringLiteral("liveId")).toString(), server.resolved(page).toString());
    }
    if (replays == dlg->m_replays)
        return;
    dlg->m_replays = replays;
    dlg->RefreshItems();
}

void LiveListDlg::OnAppServer_ReplayListError(int, const QVariantMap&, void*) { }

void LiveListDlg::OnEnterButtonClick()
{
    QVariantList enterable;
    for (const QVariant& live : qAsConst(m_lives))
        if (!PendingLiveEnds::GetInstance()->IsPending(
                live.toMap().value(QStringLiteral("liveId")).toString()))
            enterable.append(live);
    const QVariantMap live = QuickEntryLive(enterable, QDateTime::currentMSecsSinceEpoch());
    if (live.isEmpty()) {
        ShowInformation(QString(), QStringLiteral("当前没有可进入的直播"), this);
        return;
    }
    OnItemButtonClick(live);
}

void LiveListDlg::OnItemButtonClick(const QVariantMap& data)
{
    qDebug() << data;
    if (LiveState(data) == 2
        || PendingLiveEnds::GetInstance()->IsPending(data.value(QStringLiteral("liveId")).toString()))
        return;
    // One live at a time: a second click while the first is on its way (the waiting indicator
    // does not cover the live-video step, and any answer hides it) would open a second room
    // window and mix the two lives' ids.
    if (m_entering || g_liveDlg) {
        qDebug() << "a live is being entered already";
        return;
    }
    m_entering = true;
    m_liveId = data.value(QStringLiteral("liveId")).toString();
    m_title = data.value(QStringLiteral("title")).toString();
    const QVariant avRoomId = data.value(QStringLiteral("avRoomId"));
    if (!HasRoom(avRoomId)) {
        AppServer_CreateRoom(
            m_liveId, OnAppServer_CreateRoomSuccess, OnAppServer_CreateRoomError, this, this);
        return;
    }
    m_avRoomId = avRoomId.toInt();
    CreateLiveRoom();
}

void LiveListDlg::OnAppServer_CreateRoomSuccess(const QVariantMap& result, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "create room success";
    bool ok = false;
    const int avRoomId = result.value(QStringLiteral("avRoomId")).toString().toInt(&ok);
    if (!ok) {
        // Entering room 0 would put the teacher in some other class's room.
        qDebug() << "create room answer without avRoomId" << result;
        dlg->m_entering = false;
        ShowError(QStringLiteral("创建房间失败"), dlg);
        return;
    }
    dlg->m_avRoomId = avRoomId;
    dlg->CreateLiveRoom();
}

void LiveListDlg::OnAppServer_CreateRoomError(int, const QVariantMap&, void* context)
{
    // The request has shown its error box already; the teacher may try again.
    static_cast<LiveListDlg*>(context)->m_entering = false;
}

void LiveListDlg::CreateLiveRoom()
{
    ilive::iLiveRoomOption option;
    option.roomKind = 1;
    option.roomId = static_cast<uint32_t>(m_avRoomId);
    option.authBits = ~uint64_t(0);
    option.controlRole = ilive::String("LiveMaster");
    option.roomDisconnectListener = LiveDlg::OnRoomDisconnect;
    option.memberStatusListener = LiveDlg::OnMemStatusChange;
    option.data = nullptr;
    LiveDlg::ForgetPendingMemberEvents();
    GetILive()->createRoom(option, OnCreateRoomSuccess, OnCreateRoomFailure, this);
}

void LiveListDlg::OnCreateRoomSuccess(void* data)
{
    auto* dlg = static_cast<LiveListDlg*>(data);
    RunOnGuiThread(dlg, [dlg] { dlg->iLiveCreateRoomCompleted(0, std::string()); });
}

void LiveListDlg::OnCreateRoomFailure(int code, const char* desc, void* data)
{
    auto* dlg = static_cast<LiveListDlg*>(data);
    const std::string text = desc ? desc : "";
    RunOnGuiThread(dlg, [dlg, code, text] { dlg->iLiveCreateRoomCompleted(code, text); });
}

void LiveListDlg::iLiveCreateRoomCompleted(int code, const std::string& desc)
{
    if (code == 0) {
        AppServer_ReportRoom(
            m_liveId, OnAppServer_ReportRoomSuccess, OnAppServer_ReportRoomError, this, this);
        return;
    }
    m_entering = false;
    const QString description = QString::fromStdString(desc);
    qDebug() << "调用Sdk创建房间失败，错误码：" << code << "desc:" << description;
    if (code == relayop::kNoPermission)
        ShowInformation(QString(), QStringLiteral("没有权限进入该直播"), this);
    else
        ShowSdkError(code, description, this, QStringLiteral("sdk create room Error"));
    qDebug() << "退出房间(sdk)";
    QuitLiveRoom();
}

void LiveListDlg::QuitLiveRoom()
{
    GetILive()->quitRoom(nullptr, nullptr, nullptr);
}

void LiveListDlg::OnAppServer_ReportRoomSuccess(const QVariantMap&, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "report room success";
    AppServer_EnterRoom(dlg->m_avRoomId, OnAppServer_EnterRoomSuccess, OnAppServer_EnterRoomError, dlg, dlg);
}

void LiveListDlg::OnAppServer_ReportRoomError(int, const QVariantMap&, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "(app server)ReportRoom 失败，退出房间(sdk)";
    dlg->m_entering = false;
    dlg->QuitLiveRoom();
}

void LiveListDlg::OnAppServer_EnterRoomSuccess(const QVariantMap&, void* context)
{
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "enter room success";
    dlg->m_entering = false;
    g_liveDlg = new LiveDlg(nullptr);
    g_liveDlg->setAvRoomId(dlg->m_avRoomId);
    g_liveDlg->setLiveId(dlg->m_liveId);
    g_liveDlg->setWindowTitle(dlg->m_title);
    // The lobby comes back when the room window closes.
    connect(g_liveDlg, &LiveDlg::closed, dlg, &QWidget::show);
    g_liveDlg->showMaximized();
    // Members whose camera was on before the window existed (the views bind once shown).
    g_liveDlg->ApplyPendingMemberEvents();
    dlg->hide();
}

void LiveListDlg::OnAppServer_EnterRoomError(int, const QVariantMap&, void* context)
{
    // Without a room window nobody would ever leave the live-video room again.
    auto* dlg = static_cast<LiveListDlg*>(context);
    qDebug() << "(app server)EnterRoom 失败，退出房间(sdk)";
    dlg->m_entering = false;
    dlg->QuitLiveRoom();
}

void LiveListDlg::OnForceOffline()
{
    // A notice during sign-in may come before the lobby exists; a window is built on the GUI
    // thread only, so the lobby is made there.
    RunOnGuiThread([] { GetInstance()->ShowOfflineMsg(); });
}

void LiveListDlg::ShowOfflineMsg()
{
    if (m_offlineShowing)
        return;
    m_offlineShowing = true;
    QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("账号在其他地方登录"),
        QMessageBox::Ok);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.exec();
    EndProcess();
    m_offlineShowing = false;
}
