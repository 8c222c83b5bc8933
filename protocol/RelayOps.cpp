#include "RelayOps.h"

#include <QJsonDocument>

namespace relayop {

namespace {
    QByteArray compact(const QJsonObject& o)
    {
        return QJsonDocument(o).toJson(QJsonDocument::Compact);
    }
} // namespace

QJsonObject textElem(const QString& text)
{
    return QJsonObject { { "type", 0 }, { "text", text } };
}

QJsonObject customElem(const QString& data, const QString& ext)
{
    return QJsonObject { { "type", 1 }, { "data", data }, { "ext", ext } };
}

QJsonObject login(const QString& userId, const QString& userSig, const QString& resume)
{
    QJsonObject req { { "op", "login" }, { "userId", userId }, { "userSig", userSig } };
    if (!resume.isEmpty())
        req.insert("resume", resume);
    return req;
}

QJsonObject createRoom(quint32 roomId, const QString& role)
{
    return QJsonObject { { "op", "createRoom" }, { "roomId", qint64(roomId) }, { "role", role } };
}

QJsonObject joinRoom(quint32 roomId)
{
    return QJsonObject { { "op", "joinRoom" }, { "roomId", qint64(roomId) } };
}

QJsonObject quitRoom()
{
    return QJsonObject { { "op", "quitRoom" } };
}

QJsonObject rooms()
{
    return QJsonObject { { "op", "rooms" } };
}

QJsonObject groupMsg(const QJsonArray& elems)
{
    return QJsonObject { { "op", "groupMsg" }, { "elems", elems } };
}

QJsonObject peerMsg(const QString& to, const QJsonArray& elems)
{
    return QJsonObject { { "op", "peerMsg" }, { "to", to }, { "elems", elems } };
}

QJsonObject event(int event)
{
    return QJsonObject { { "op", "event" }, { "event", event } };
}

QJsonObject publish(quint64 session, quint64 handle, quint64 feed)
{
    return QJsonObject { { "op", "publish" }, { "session", double(session) }, { "handle", double(handle) },
        { "feed", double(feed) } };
}

QByteArray request(QJsonObject op, int id)
{
    op.insert("id", id);
    return compact(op);
}

QByteArray reply(const QByteArray& rawId, int code, const QString& desc, const QJsonObject& extra)
{
    QJsonObject rest = extra;
    rest.insert("op", "reply");
    rest.insert("code", code);
    rest.insert("desc", desc);
    // The id goes in as text: a string or a number past 2^53 is echoed exactly as it came.
    const QByteArray tail = compact(rest);
    return "{\"id\":" + (rawId.isEmpty() ? QByteArray("0") : rawId) + ',' + tail.mid(1);
}

QByteArray pong(const QByteArray& rawId, const QByteArray& rawSeq)
{
    const QByteArray id = rawId.isEmpty() ? QByteArray("0") : rawId;
    return "{\"id\":" + id + (rawSeq.isEmpty() ? QByteArray() : ",\"seq\":" + rawSeq) + ",\"op\":\"pong\"}";
}

QByteArray error(int code, const QString& desc)
{
    return compact(QJsonObject { { "op", "error" }, { "code", code }, { "desc", desc } });
}

QByteArray msg(const QString& sender, bool group, const QJsonArray& elems)
{
    return compact(
        QJsonObject { { "op", "msg" }, { "sender", sender }, { "group", group }, { "elems", elems } });
}

QByteArray memberEvent(int event, const QStringList& ids, const QJsonObject& extra)
{
    QJsonObject o = extra;
    o.insert("op", "memberEvent");
    o.insert("event", event);
    o.insert("ids", QJsonArray::fromStringList(ids));
    return compact(o);
}

QByteArray kicked()
{
    return compact(
        QJsonObject { { "op", "kicked" }, { "code", kKicked }, { "desc", "signed in elsewhere" } });
}

QByteArray roomClosed(quint32 roomId)
{
    return compact(QJsonObject { { "op", "roomClosed" }, { "roomId", qint64(roomId) }, { "code", kLiveEnded },
        { "desc", "the class has ended" } });
}

QByteArray liveFeeds(const QList<quint64>& feeds)
{
    QJsonArray live;
    for (quint64 f : feeds)
        live.append(double(f));
    return compact(QJsonObject { { "op", "feeds" }, { "live", live } });
}

QList<quint64> readLiveFeeds(const QJsonObject& push)
{
    QList<quint64> feeds;
    // Feed ids are below 2^53; anything else is no feed (and a cast of it would be undefined).
    for (const QJsonValue& v : push.value("live").toArray()) {
        const double id = v.toDouble();
        if (id >= 1 && id < 9007199254740992.0)
            feeds << quint64(id);
    }
    return feeds;
}

Push readPush(const QByteArray& text)
{
    Push p;
    const QJsonDocument doc = QJsonDocument::fromJson(text);
    if (!doc.isObject())
        return p;
    p.object = doc.object();
    const QString op = p.object.value("op").toString();
    p.code = p.object.value("code").toInt();
    p.desc = p.object.value("desc").toString();
    if (op == QLatin1String("reply")) {
        p.kind = Push::Reply;
        p.id = p.object.value("id").toInt();
    } else if (op == QLatin1String("msg")) {
        p.kind = Push::Msg;
        p.sender = p.object.value("sender").toString();
        p.group = p.object.value("group").toBool();
        p.elems = p.object.value("elems").toArray();
    } else if (op == QLatin1String("memberEvent")) {
        p.kind = Push::MemberEvent;
        p.event = p.object.value("event").toInt();
        for (const QJsonValue& v : p.object.value("ids").toArray())
            p.ids << v.toString();
    } else if (op == QLatin1String("kicked")) {
        p.kind = Push::Kicked;
    } else if (op == QLatin1String("roomClosed")) {
        p.kind = Push::RoomClosed;
        p.roomId = quint32(p.object.value("roomId").toVariant().toLongLong());
    } else if (op == QLatin1String("error")) {
        p.kind = Push::Error;
    } else {
        p.kind = Push::Other;
    }
    return p;
}

} // namespace relayop
