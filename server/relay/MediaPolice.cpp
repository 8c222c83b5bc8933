#include "MediaPolice.h"

#include "protocol/CmdMessage.h"

#include <QJsonObject>

QStringList MediaPolice::observe(
    quint32 roomId, const QString& from, bool fromHost, const QString& to, const QJsonArray& elems)
{
    QStringList ended;
    for (const QJsonValue& v : elems) {
        const QJsonObject e = v.toObject();
        if (e.value("type").toInt() != 1 || e.value("ext").toString() != QLatin1String(cmdmessage::kExt))
            continue;
        const std::optional<cmdmessage::Command> cmd = cmdmessage::parse(e.value("data").toString().toUtf8());
        if (!cmd)
            continue;
        QHash<QString, State>& room = m_rooms[roomId];
        switch (cmd->userAction) {
        case CmdInviteInteract:
            if (fromHost && !to.isEmpty() && !room.contains(to))
                room.insert(to, State::Invited);
            break;
        case CmdAcceptInteract:
            // Only an invitation can be accepted: a student cannot put itself on the microphone.
            if (!fromHost && room.value(from, State::OnMic) == State::Invited)
                room.insert(from, State::OnMic);
            break;
        case CmdRejectInteract:
            if (!fromHost && room.remove(from))
                ended << from;
            break;
        case CmdMicOff:
            if (!fromHost) {
                if (room.remove(from))
                    ended << from;
            } else if (!to.isEmpty()) {
                if (room.remove(to))
                    ended << to;
            } else {
                ended << room.keys();
                room.clear();
            }
            break;
        default:
            break;
        }
        if (room.isEmpty())
            m_rooms.remove(roomId);
    }
    return ended;
}

bool MediaPolice::onMic(quint32 roomId, const QString& userId) const
{
    return m_rooms.value(roomId).value(userId, State::Invited) == State::OnMic;
}

bool MediaPolice::invited(quint32 roomId, const QString& userId) const
{
    return m_rooms.value(roomId).value(userId, State::OnMic) == State::Invited;
}

void MediaPolice::forgetMember(quint32 roomId, const QString& userId)
{
    auto it = m_rooms.find(roomId);
    if (it == m_rooms.end())
        return;
    it->remove(userId);
    if (it->isEmpty())
        m_rooms.erase(it);
}

void MediaPolice::forgetRoom(quint32 roomId)
{
    m_rooms.remove(roomId);
}
