#include "MemberRules.h"

#include "protocol/CmdMessage.h"
#include "protocol/RelayOps.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <iterator>
#include <optional>

namespace memberrules {

namespace {

    // A command a member may send, where to, and when.
    struct Rule {
        int userAction;
        Route route;
        bool answersInvitation; // only while the host's invitation waits for an answer
    };

    // One row per command; anything not here is the host's alone.
    constexpr Rule kRules[] = {
        { CmdEnterRoom, Route::Room, false },
        { CmdLeaveRoom, Route::Room, false },
        { CmdAcceptInteract, Route::Host, true },
        { CmdRejectInteract, Route::Host, false },
        { CmdMicOff, Route::Host, false },
        { CmdRaiseHand, Route::Host, false },
        { CmdLowerHand, Route::Host, false },
        { CmdQuizAnswer, Route::Host, false },
    };

    constexpr int kMemberEvents[] = { relayop::kCameraOn, relayop::kCameraOff };

    QJsonObject identityOf(const QString& actionParam)
    {
        return QJsonDocument::fromJson(actionParam.toUtf8()).object();
    }

} // namespace

QString refusal(const Message& m, const QJsonArray& elems)
{
    const bool group = m.route == Route::Room;
    for (const QJsonValue& v : elems) {
        const QJsonObject e = v.toObject();
        const int type = e.value(QStringLiteral("type")).toInt(-1);
        if (type == 0) {
            if (!group)
                return QStringLiteral("members chat to the room only");
            continue;
        }
        const std::optional<cmdmessage::Command> cmd = type == 1
            ? cmdmessage::parse(e.value(QStringLiteral("data")).toString().toUtf8())
            : std::nullopt;
        if (!cmd)
            return QStringLiteral("members send chat and classroom commands only");
        const int a = cmd->userAction;
        const auto rule = std::find_if(std::begin(kRules), std::end(kRules),
            [&](const Rule& r) { return r.userAction == a && r.route == m.route; });
        if (rule == std::end(kRules) || (!group && !m.toOwnHost))
            return QStringLiteral("only the host may send command %1 %2")
                .arg(a)
                .arg(group ? "to the room" : "to this user");
        if (rule->answersInvitation && !m.invited)
            return QStringLiteral("command %1 answers an invitation, and none is waiting").arg(a);
        // An identity, when there is one, must be the sender's own.
        const QJsonValue named = identityOf(cmd->actionParam).value(QStringLiteral("userId"));
        if (!named.isUndefined() && named.toVariant().toString() != m.sender)
            return QStringLiteral("a member may speak only for itself");
    }
    return QString();
}

bool mayTellEvent(int event)
{
    return std::find(std::begin(kMemberEvents), std::end(kMemberEvents), event) != std::end(kMemberEvents);
}

QJsonArray withRealName(const QJsonArray& elems, const QString& realName)
{
    if (realName.isEmpty())
        return elems;
    QJsonArray out;
    for (const QJsonValue& v : elems) {
        QJsonObject e = v.toObject();
        // Every message passes here: chat is left alone, and a command is read once unless its
        // identity needs the real name.
        const std::optional<cmdmessage::Command> cmd = e.value(QStringLiteral("type")).toInt(-1) == 1
            ? cmdmessage::parse(e.value(QStringLiteral("data")).toString().toUtf8())
            : std::nullopt;
        QJsonObject identity = cmd ? identityOf(cmd->actionParam) : QJsonObject();
        if (!identity.contains(QStringLiteral("nickname"))
            || identity.value(QStringLiteral("nickname")).toString() == realName) {
            out.append(v);
            continue;
        }
        QJsonObject command
            = QJsonDocument::fromJson(e.value(QStringLiteral("data")).toString().toUtf8()).object();
        identity.insert(QStringLiteral("nickname"), realName);
        command.insert(QStringLiteral("actionParam"),
            QString::fromUtf8(QJsonDocument(identity).toJson(QJsonDocument::Compact)));
        e.insert(QStringLiteral("data"),
            QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Indented)));
        out.append(e);
    }
    return out;
}

} // namespace memberrules
