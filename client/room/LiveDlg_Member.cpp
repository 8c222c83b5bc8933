// The member list and speaking control.
#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "MemberListItem.h"
#include "remote/AppServer.h"
#include "shell/RowBinder.h"
#include "shell/Util.h"
#include "ui_LiveDlg.h"
#include "ui_MemberListItem.h"

#include <QDebug>
#include <QListWidget>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QTabWidget>

namespace {
const int kMemberPageNum = 1;
const int kMemberPageSize = 1000;
const int kMemberTabIndex = 1;
const int kBuiltMargin = 10;
// Each list item holds its member record and whether its microphone button is checked, so the
// speaking rules hold for rows whose widgets are not built.
enum MemberRole { RecordRole = Qt::UserRole + 1, MicRole };

QSize MemberRowSize()
{
    // Every row has the same height: measure one, once. The width is left to the list, which
    // then gives each row the whole line, with the microphone button at its right end.
    static const int height = [] {
        MemberListItem probe;
        probe.SetData({ { QStringLiteral("role"), QStringLiteral("s") } });
        return probe.sizeHint().height();
    }();
    return QSize(1, height);
}

QString UserIdOf(const QListWidgetItem* item)
{
    return item->data(RecordRole).toMap().value(QStringLiteral("userId")).toString();
}

QListWidgetItem* ItemOfUser(QListWidget* list, const QString& userId)
{
    for (int i = 0; i < list->count(); ++i)
        if (UserIdOf(list->item(i)) == userId)
            return list->item(i);
    return nullptr;
}

// The item that shows this row widget; a user id may be listed twice, so the widget decides.
QListWidgetItem* ItemOfRow(QListWidget* list, const QWidget* row)
{
    if (!row)
        return nullptr;
    for (int i = 0; i < list->count(); ++i)
        if (list->itemWidget(list->item(i)) == row)
            return list->item(i);
    return nullptr;
}
} // namespace

void LiveDlg::CreateMemberBinder()
{
    m_memberBinder = new RowBinder(
        ui->memberListWidget,
        [this](QListWidgetItem* item) -> QWidget* {
            auto* row = new MemberListItem;
            row->SetData(item->data(RecordRole).toMap());
            row->SetMicOn(item->data(MicRole).toBool());
            connect(row, &MemberListItem::ButtonClicked, this, &LiveDlg::OnMicButtonClick);
            DecorateMemberRow(row, item);
            // Whatever checks the button (a click or SetMicOn), the item keeps it for
            // the speaking rules and for when the row is built again.
            const QPersistentModelIndex index(
                item->listWidget()->model()->index(item->listWidget()->row(item), 0));
            connect(row->form()->micButton, &QAbstractButton::toggled, row, [index](bool on) {
                if (index.isValid())
                    const_cast<QAbstractItemModel*>(index.model())->setData(index, on, MicRole);
            });
            return row;
        },
        kBuiltMargin);
}

void LiveDlg::RequestRoomMemberList()
{
    qDebug().noquote() << QStringLiteral("刷新用户列表");
    AppServer_RoomMemberList(m_liveId, kMemberPageNum, kMemberPageSize,
        &LiveDlg::OnAppServer_RoomMemberListSuccess, nullptr, this);
}

void LiveDlg::OnAppServer_RoomMemberListSuccess(const QVariantMap& result, void* context)
{
    qDebug() << "get room member list success:" << result;
    auto* dlg = static_cast<LiveDlg*>(context);
    // The answer may arrive after its window has been closed and deleted.
    if (!dlg || dlg != g_liveDlg)
        return;
    dlg->SetMembers(result.value(QStringLiteral("list")).toList());
}

void LiveDlg::SetMembers(const QVariantList& records)
{
    QListWidget* list = ui->memberListWidget;
    list->setUpdatesEnabled(false);
    list->clear();
    m_deferMemberRows = true;
    for (const QVariant& record : records)
        AddMember(record.toMap());
    m_deferMemberRows = false;
    UpdateMemberTabTitle();
    list->doItemsLayout();
    m_memberBinder->Sync();
    list->setUpdatesEnabled(true);
}

void LiveDlg::AddMember(const QVariantMap& record)
{
    QListWidget* list = ui->memberListWidget;
    auto* item = new QListWidgetItem;
    item->setSizeHint(MemberRowSize());
    item->setData(RecordRole, record);
    item->setData(MicRole, record.value(QStringLiteral("status")).toString() == QLatin1String("1"));
    list->addItem(item);
    // Rows of a shown window are built as they come into view.
    if (!list->window()->isVisible()) {
        m_memberBinder->Built(list->count() - 1);
        list->setItemWidget(item, m_memberBinder->Build(item));
    } else if (!m_deferMemberRows) {
        m_memberBinder->Sync();
    }

    const QString userId = record.value(QStringLiteral("userId")).toString();
    const QString nickname = record.value(QStringLiteral("nickname")).toString();
    const auto known = NicknameCache().constFind(userId);
    if (known != NicknameCache().constEnd() && *known != nickname && !RecordedNames().contains(userId))
        qWarning().noquote() << userId << "called itself" << *known << "; its name is" << nickname;
    NicknameCache().insert(userId, nickname);
    RecordedNames().insert(userId);
    qDebug().noquote() << "add member for userId:" << userId;
}

void LiveDlg::OnMicButtonClick(const QVariantMap& data, bool checked)
{
    QListWidget* list = ui->memberListWidget;
    auto* row = qobject_cast<MemberListItem*>(sender());
    const QString userId = row ? row->GetUserId() : data.value(QStringLiteral("userId")).toString();
    qDebug().noquote() << "change mic for user:" << userId << "open:" << checked;
    // The refusal boxes run an event loop: a list refresh or a scroll may replace the row meanwhile.
    QPointer<MemberListItem> guardedRow(row);
    auto ownItem = [this, guardedRow, userId]() {
        QListWidgetItem* item = ItemOfRow(ui->memberListWidget, guardedRow.data());
        return item ? item : ItemOfUser(ui->memberListWidget, userId);
    };
    auto setOwnMic = [this, guardedRow, ownItem](bool on) {
        if (guardedRow)
            guardedRow->SetMicOn(on);
        QListWidget* members = ui->memberListWidget;
        if (QListWidgetItem* item = ownItem()) {
            item->setData(MicRole, on);
            if (auto* shown = qobject_cast<MemberListItem*>(members->itemWidget(item)))
                shown->SetMicOn(on);
        }
    };
    setOwnMic(checked);
    QListWidgetItem* own = ownItem();

    if (!checked) {
        CmdMsgHelper::sendC2CCmdMessage(userId, CmdMicOff, QString());
        return;
    }
    if (!m_classStarted) {
        ShowInformation(QString(), QStringLiteral("请先上课"), this);
        setOwnMic(false);
        return;
    }
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* other = list->item(i);
        if (other == own)
            continue;
        if (other->data(MicRole).toBool()) {
            ShowInformation(QString(), QStringLiteral("已有学生正在上麦"), this);
            setOwnMic(false);
            return;
        }
    }
    qDebug().noquote() << "invite user:" << userId;
    // Being asked to speak answers the hand.
    if (IsHandRaised(userId))
        LowerHand(userId);
    CmdMsgHelper::sendC2CCmdMessage(userId, CmdInviteInteract, QString());
    ShowTopMessage(QString(), QStringLiteral("已发送互动邀请,等待用户确认"), this);
}

void LiveDlg::ReportMemberState(const QVariant& userId, bool on)
{
    AppServer_RoomMemberStateReport(m_liveId, userId, on, &LiveDlg::OnAppServer_RoomMemeberStateReportSuccess,
        nullptr, this, nullptr, false);
}

void LiveDlg::OnAppServer_RoomMemeberStateReportSuccess(const QVariantMap& result, void* context)
{
    Q_UNUSED(result);
    Q_UNUSED(context);
    qDebug() << "report room member state success";
    if (g_liveDlg)
        g_liveDlg->RequestRoomMemberList();
}
