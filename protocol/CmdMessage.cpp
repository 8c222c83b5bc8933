#include "CmdMessage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>

namespace cmdmessage {

const char* const kExt = "LiveNotification";

QByteArray build(E_CustomCmd cmd, const QString& param)
{
    const QJsonObject command { { QStringLiteral("actionParam"),
                                    param.isNull() ? QStringLiteral("") : param },
        { QStringLiteral("userAction"), int(cmd) } };
    return QJsonDocument(command).toJson(QJsonDocument::Indented);
}

std::optional<Command> parse(const QByteArray& data)
{
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject object = doc.object();
    Command c;
    c.userAction = object.value(QStringLiteral("userAction")).toVariant().toInt();
    c.actionParam = object.value(QStringLiteral("actionParam")).toVariant().toString();
    return c;
}

} // namespace cmdmessage
