// The member list and speaking control.
#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "MemberListItem.h"
#include "remote/AppServer.h"
#include "shell/Util.h"
#include "ui_LiveDlg.h"

#include <QDebug>
#include <QListWidget>
#include <QTabWidget>

namespace {
const int kMemberPageNum = 1;
const int kMemberPageSize = 1000;
const int kMemberTabIndex = 1;

MemberListItem* RowAt(QListWidget* list, int i)
{
    return qobject_cast<MemberListItem*>(list->itemWidget(list->item(i)));
}
} // namespace

void LiveDlg::RequestRoomMemberList()
{
    qDebug().noquote() << QStringLiteral("刷新用户列表");
    AppServer_RoomMemberList(m_liveId, kMemberPageNum, kMemberPageSize, &LiveDlg::OnAppServer_RoomMemberListSuccess,
                             nullptr, this);
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
    ui->tabWidget->setTabText(kMemberTabIndex, QStringLiteral("成员(%1人)").arg(records.size()));
    for (const QVariant& record : records)
        AddMember(record.toMap());
    list->setUpdatesEnabled(true);
}

void LiveDlg::AddMember(const QVariantMap& record)
{
    auto* row = new MemberListItem;
    row->SetData(record);
    connect(row, &MemberListItem::ButtonClicked, this, &LiveDlg::OnMicButtonClick);

    auto* item = new QListWidgetItem;
    item->setSizeHint(row->sizeHint());
    ui->memberListWidget->addItem(item);
    ui->memberListWidget->setItemWidget(item, row);

    const QString userId = record.value(QStringLiteral("userId")).toString();
    NicknameCache().insert(userId, record.value(QStringLiteral("nickname")).toString());
    qDebug().noquote() << "add member for userId:" << userId;
}

void LiveDlg::OnMicButtonClick(const QVariantMap& data, bool checked)
{
    QListWidget* list = ui->memberListWidget;
    auto* row = qobject_cast<MemberListItem*>(sender());
    const QString userId = row ? row->GetUserId() : data.value(QStringLiteral("userId")).toString();
    qDebug().noquote() << "change mic for user:" << userId << "open:" << checked;

    if (!checked) {
        CmdMsgHelper::sendC2CCmdMessage(userId, CmdMicOff, QString());
        return;
    }
    if (!m_classStarted) {
        ShowInformation(QString(), QStringLiteral("请先上课"), this);
        if (row)
            row->SetMicOn(false);
        return;
    }
    for (int i = 0; i < list->count(); ++i) {
        MemberListItem* other = RowAt(list, i);
        if (!other || other == row || (!row && other->GetUserId() == userId))
            continue;
        if (other->IsMicOn()) {
            ShowInformation(QString(), QStringLiteral("已有学生正在上麦"), this);
            if (row)
                row->SetMicOn(false);
            return;
        }
    }
    qDebug().noquote() << "invite user:" << userId;
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
