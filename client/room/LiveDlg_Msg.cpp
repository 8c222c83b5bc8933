// Incoming messages, the discussion list and chat sending.
#include "LiveDlg.h"

#include "CmdMsgHelper.h"
#include "MsgItem.h"
#include "base/GuiThread.h"
#include "protocol/CmdMessage.h"
#include "shell/RowBinder.h"
#include "shell/Util.h"
#include "ui_LiveDlg.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QListWidget>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QTime>

#include <memory>

// The parsed identity object of a command.
struct ActionParem {
    QString nickname;
    QVariant userId; // as the JSON value came: string or number
};

bool ParseActionParam(const QString& param, ActionParem* out);
QString getNicknameFromSender(const QString& sender);

namespace {
const int kMsgItemInset = 10;
// Rows above and below the visible ones whose widgets stay built.
const int kBuiltMargin = 20;
enum MsgRole { NameRole = Qt::UserRole + 1, TimeRole, ContentRole, WidthRole };
// Shown after the time of a chat line the service could not deliver.
const QString kUndelivered = QStringLiteral(" 发送失败");

// The row of a chat line on its way; the window may close, and rows come and go, meanwhile.
struct ChatSend {
    QPointer<LiveDlg> dlg;
    QPersistentModelIndex row;
};

MsgItem* MakeMsgItem(int width, const QString& name, const QString& time, const QString& content)
{
    auto* row = new MsgItem;
    row->SetWidth(width);
    row->SetName(name);
    row->SetContent(content);
    row->SetTime(time);
    return row;
}

MsgItem* MsgRowFromItem(QListWidgetItem* item)
{
    return MakeMsgItem(item->data(WidthRole).toInt(), item->data(NameRole).toString(),
        item->data(TimeRole).toString(), item->data(ContentRole).toString());
}

QString FromUtf8(const ilive::String& s)
{
    return QString::fromUtf8(s.c_str(), int(s.size()));
}

// Whole JSON object, or an empty one when the text is not an object.
bool ParseObject(const QString& text, QJsonObject* out)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return false;
    *out = doc.object();
    return true;
}
} // namespace

QMap<QString, QString>& NicknameCache()
{
    // Never destroyed: the process ends by terminating itself.
    static auto* cache = new QMap<QString, QString>;
    return *cache;
}

QSet<QString>& RecordedNames()
{
    static auto* recorded = new QSet<QString>;
    return *recorded;
}

bool ParseActionParam(const QString& param, ActionParem* out)
{
    qDebug().noquote() << "param actionParam:" << param;
    QJsonObject object;
    if (!ParseObject(param, &object)) {
        qDebug() << "parse actionParam fail";
        return false;
    }
    out->nickname = object.value(QStringLiteral("nickname")).toVariant().toString();
    out->userId = object.value(QStringLiteral("userId")).toVariant();
    return !out->nickname.isEmpty();
}

QString getNicknameFromSender(const QString& sender)
{
    const QMap<QString, QString>& cache = NicknameCache();
    const auto it = cache.constFind(sender);
    if (it != cache.constEnd())
        return it.value();
    qDebug().noquote() << QStringLiteral("缓存里没有此用户昵称，可能会显示错误");
    return sender;
}

void LiveDlg::OnMessageCallback(const ilive::Message& msg, void* data)
{
    Q_UNUSED(data);
    // The room is looked up when the message is dealt with: one that closed meanwhile gets nothing.
    RunOnGuiThread([msg] {
        if (g_liveDlg)
            g_liveDlg->dealMessage(msg);
    });
}

void LiveDlg::dealMessage(const ilive::Message& msg)
{
    for (const ilive::MessageElem* elem : msg.elems) {
        if (!elem)
            continue;
        qDebug().noquote() << QStringLiteral("消息类型：") + QString::number(int(elem->type));
        switch (elem->type) {
        case ilive::TEXT: {
            const auto* text = static_cast<const ilive::MessageTextElem*>(elem);
            AddMessage(getNicknameFromSender(FromUtf8(msg.sender)), FromUtf8(text->content), true);
            break;
        }
        case ilive::CUSTOM: {
            const auto* custom = static_cast<const ilive::MessageCustomElem*>(elem);
            const QString sender = FromUtf8(msg.sender);
            const QString data = FromUtf8(custom->data);
            qDebug().noquote() << "receive custom message:" << sender << data;
            parseCustomMessage(sender, data);
            break;
        }
        default:
            break;
        }
    }
}

void LiveDlg::parseCustomMessage(const QString& sender, const QString& data)
{
    const std::optional<cmdmessage::Command> command = cmdmessage::parse(data.toUtf8());
    if (!command)
        return;
    const int action = command->userAction;
    const QString& param = command->actionParam;

    // Whoever the relay names as sender is who acted: an identity object may name only them.
    const QVariant userId = sender;
    QString nickname;
    ActionParem ap;
    const bool hasIdentity = ParseActionParam(param, &ap);
    const QString named = ap.userId.toString();
    if (!named.isEmpty() && named != sender) {
        qWarning().noquote() << "command refused: sent by" << sender << "in the name of" << named
                             << "action:" << action;
        return;
    }
    if (hasIdentity && !RecordedNames().contains(sender)) {
        nickname = ap.nickname;
        NicknameCache().insert(sender, nickname);
    } else {
        // The school's records name a member, whatever it says of itself.
        nickname = getNicknameFromSender(sender);
        if (hasIdentity && ap.nickname != nickname)
            qWarning().noquote() << "ignored the name" << ap.nickname << "that" << sender
                                 << "gave itself; its name is" << nickname;
    }
    qDebug().noquote() << "userId:" << userId.toString() << "nickname:" << nickname;

    switch (action) {
    case CmdEnterRoom:
        qDebug().noquote() << QStringLiteral("进入房间");
        AddMessage(nickname, QStringLiteral("进入直播间"), false);
        RequestRoomMemberList();
        BroadcastClassTime();
        break;
    case CmdLeaveRoom:
        qDebug().noquote() << QStringLiteral("离开房间");
        SetHandRaised(sender, false);
        AddMessage(nickname, QStringLiteral("离开直播间"), false);
        RequestRoomMemberList();
        break;
    case CmdMicOff:
        ReportMemberState(userId, false);
        ShowTopMessage(QString(), QStringLiteral("%1已下麦").arg(nickname), this);
        break;
    case CmdAcceptInteract:
        ReportMemberState(userId, true);
        ShowTopMessage(QString(), QStringLiteral("用户已同意互动"), this);
        break;
    case CmdRejectInteract: {
        RequestRoomMemberList();
        const int reason = param.trimmed().toInt(); // not a number: 0
        if (reason == 0)
            ShowTopMessage(QString(), QStringLiteral("用户拒绝互动"), this);
        else if (reason == 1 || reason == 2)
            ShowTopMessage(QString(), QStringLiteral("用户没有上麦条件"), this);
        break;
    }
    default:
        HandleFloorCommand(sender, action, param, nickname);
        break;
    }
}

void LiveDlg::AddMessage(const QString& name, const QString& text, bool isChat)
{
    if (isChat)
        AppendMsgItem(name, QTime::currentTime().toString(QStringLiteral("hh:mm:ss")), text);
    else
        AppendMsgItem(name, text, QString());
}

void LiveDlg::CreateMsgBinder()
{
    // The discussion only grows: rows far from view give their widgets back.
    m_msgBinder = new RowBinder(ui->msgListWidget, MsgRowFromItem, kBuiltMargin);
}

void LiveDlg::AppendMsgItem(const QString& name, const QString& time, const QString& content)
{
    QListWidget* list = ui->msgListWidget;
    const int width = list->width() - kMsgItemInset;
    MsgItem* row = MakeMsgItem(width, name, time, content);

    auto* item = new QListWidgetItem;
    item->setSizeHint(row->sizeHint());
    item->setData(NameRole, name);
    item->setData(TimeRole, time);
    item->setData(ContentRole, content);
    item->setData(WidthRole, width);
    list->addItem(item);
    list->setItemWidget(item, row);
    m_msgBinder->Built(list->count() - 1);
    list->setCurrentRow(list->count() - 1);
    m_msgBinder->Sync();
}

void LiveDlg::SendChatMessage()
{
    const QString text = ui->msgTextEdit->toPlainText();
    ui->msgTextEdit->clear();
    if (text.isEmpty())
        return;
    // Shown at once; a line that does not get through is marked so.
    AddMessage(QStringLiteral("我"), text, true);
    QListWidget* list = ui->msgListWidget;
    auto* send = new ChatSend { this, QPersistentModelIndex(list->model()->index(list->count() - 1, 0)) };
    CmdMsgHelper::sendGroupTextMessage(text, &LiveDlg::OnChatSendSuccess, &LiveDlg::OnChatSendError, send);
}

void LiveDlg::OnChatSendSuccess(void* data)
{
    CmdMsgHelper::OnSendMsgSuc(nullptr);
    // Its row index belongs to the list, on the GUI thread.
    auto* send = static_cast<ChatSend*>(data);
    RunOnGuiThread([send] { delete send; });
}

void LiveDlg::OnChatSendError(int code, const char* desc, void* data)
{
    CmdMsgHelper::OnSendMsgErr(code, desc, nullptr);
    auto* send = static_cast<ChatSend*>(data);
    RunOnGuiThread([send] {
        const std::unique_ptr<ChatSend> done(send);
        if (!send->dlg || !send->row.isValid())
            return;
        QListWidget* list = send->dlg->ui->msgListWidget;
        QListWidgetItem* item = list->item(send->row.row());
        const QString time = item->data(TimeRole).toString() + kUndelivered;
        item->setData(TimeRole, time);
        if (auto* row = qobject_cast<MsgItem*>(list->itemWidget(item)))
            row->SetTime(time);
    });
}
