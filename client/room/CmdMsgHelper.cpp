#include "CmdMsgHelper.h"

#include "protocol/CmdMessage.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVariantMap>

const char* const kCmdMessageExt = cmdmessage::kExt;

namespace {
ilive::String ToIliveString(const QByteArray& bytes)
{
    return ilive::String(bytes.constData(), size_t(bytes.size()));
}
} // namespace

QByteArray CmdMsgHelper::BuildCmdJson(E_CustomCmd cmd, const QString& param)
{
    return cmdmessage::build(cmd, param);
}

ilive::Message CmdMsgHelper::BuildCmdMessage(E_CustomCmd cmd, const QString& param)
{
    ilive::Message msg;
    msg.elems.push_back(
        new ilive::MessageCustomElem(ToIliveString(BuildCmdJson(cmd, param)), ilive::String(kCmdMessageExt)));
    return msg;
}

ilive::Message CmdMsgHelper::BuildTextMessage(const QString& text)
{
    ilive::Message msg;
    msg.elems.push_back(new ilive::MessageTextElem(ToIliveString(text.toUtf8())));
    return msg;
}

void CmdMsgHelper::sendGroupCmdMessage(E_CustomCmd cmd, const QString& param)
{
    // One arg() call: a "%1" inside the parameter or the user id must stay text.
    qDebug().noquote()
        << QStringLiteral("发送群发指令,cmd:%1 param:%2").arg(QString::number(int(cmd)), param);
    const ilive::Message msg = BuildCmdMessage(cmd, param);
    GetILive()->sendGroupMessage(msg, &CmdMsgHelper::OnSendMsgSuc, &CmdMsgHelper::OnSendMsgErr, nullptr);
}

void CmdMsgHelper::sendC2CCmdMessage(const QString& userId, E_CustomCmd cmd, const QString& param)
{
    qDebug().noquote()
        << QStringLiteral("发送指令,userId:%1 cmd:%2 param:%3").arg(userId, QString::number(int(cmd)), param);
    const ilive::Message msg = BuildCmdMessage(cmd, param);
    const QByteArray to = userId.toUtf8();
    GetILive()->sendC2CMessage(
        to.constData(), msg, &CmdMsgHelper::OnSendMsgSuc, &CmdMsgHelper::OnSendMsgErr, nullptr);
}

void CmdMsgHelper::sendGroupTextMessage(
    const QString& text, ilive::iLiveSucCallback suc, ilive::iLiveErrCallback err, void* data)
{
    const ilive::Message msg = BuildTextMessage(text);
    GetILive()->sendGroupMessage(msg, suc, err, data);
}

void CmdMsgHelper::OnSendMsgSuc(void* data)
{
    Q_UNUSED(data);
    qDebug().noquote() << QStringLiteral("发送消息成功");
}

void CmdMsgHelper::OnSendMsgErr(int code, const char* desc, void* data)
{
    Q_UNUSED(data);
    qDebug().noquote() << QStringLiteral("发送消息失败,code：") + QString::number(code)
            + QStringLiteral(" desc:") + QString::fromUtf8(desc ? desc : "");
}
