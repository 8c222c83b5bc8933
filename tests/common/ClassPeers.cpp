#include "ClassPeers.h"

#include "protocol/CmdMessage.h"
#include "protocol/LoginHash.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTest>

#include <memory>

namespace classpeers {

QJsonObject rpc(const ServerProcess& server, const QString& method, QJsonObject params, const QString& ak)
{
    params.insert("ak", ak);
    params.insert("channel", "PC");
    params.insert("appType", "rided4a_win");
    params.insert("clientVersion", "rided4a_win_1.0");
    QNetworkAccessManager net;
    QNetworkRequest request { QUrl(server.jsonRpcUrl()) };
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    const QJsonObject call { { "jsonrpc", "2.0" }, { "id", 1 }, { "method", method }, { "params", params } };
    std::unique_ptr<QNetworkReply> reply(
        net.post(request, QJsonDocument(call).toJson(QJsonDocument::Compact)));
    (void)QTest::qWaitFor([&reply] { return reply->isFinished(); }, kWaitMs);
    return QJsonDocument::fromJson(reply->readAll()).object();
}

QJsonObject result(const ServerProcess& server, const QString& method, QJsonObject params, const QString& ak)
{
    return rpc(server, method, std::move(params), ak).value("result").toObject();
}

Account signIn(const ServerProcess& server, const QString& login)
{
    const QJsonObject r = result(server, "user.login",
        { { "loginId", login }, { "saltedPassword", loginhash::saltedPassword("123456", "4321") },
            { "salt", "4321" } });
    Account a { r.value("ak").toString(), r.value("userId").toString(), {} };
    a.userSig = result(server, "live.usersig.create", {}, a.ak).value("userSig").toString();
    return a;
}

qint64 roomOfLiveInProgress(const ServerProcess& server, const Account& teacher)
{
    return roomOfLive(server, teacher, QStringLiteral("i"));
}

qint64 roomOfLive(const ServerProcess& server, const Account& teacher, const QString& state)
{
    const QJsonArray lives = result(server, "live.list.by.teacher.id",
        { { "teacherUserId", teacher.userId }, { "pageNum", 1 }, { "pageSize", 100 } }, teacher.ak)
                                 .value("list")
                                 .toArray();
    for (const QJsonValue& l : lives)
        if (l.toObject().value("state").toString() == state)
            return result(server, "live.create.room",
                { { "hostUserId", teacher.userId }, { "liveId", l.toObject().value("liveId").toString() } },
                teacher.ak)
                .value("avRoomId")
                .toVariant()
                .toLongLong();
    return 0;
}

RelayClient::RelayClient(const QString& url)
{
    connect(&m_ws, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
        const relayop::Push push = relayop::readPush(text.toUtf8());
        if (push.kind == relayop::Push::Reply && m_onReply.contains(push.id)) {
            m_onReply.take(push.id)(push);
            return;
        }
        m_pushes << push;
        if (m_onPush && push.kind != relayop::Push::Reply)
            m_onPush(push);
    });
    m_ws.open(QUrl(url));
}

relayop::Push RelayClient::ask(const QJsonObject& op)
{
    if (!QTest::qWaitFor([this] { return m_ws.state() == QAbstractSocket::ConnectedState; }, kWaitMs))
        return {};
    const int id = m_nextId++;
    m_ws.sendTextMessage(QString::fromUtf8(relayop::request(op, id)));
    relayop::Push answer;
    (void)QTest::qWaitFor(
        [&] {
            for (int i = 0; i < m_pushes.size(); ++i) {
                if (m_pushes[i].kind == relayop::Push::Reply && m_pushes[i].id == id) {
                    answer = m_pushes.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        kWaitMs);
    return answer;
}

void RelayClient::send(const QJsonObject& op, std::function<void(const relayop::Push&)> onReply)
{
    const int id = m_nextId++;
    m_onReply.insert(id, std::move(onReply));
    m_ws.sendTextMessage(QString::fromUtf8(relayop::request(op, id)));
}

std::optional<relayop::Push> RelayClient::event(int event, const QString& userId)
{
    std::optional<relayop::Push> found;
    (void)QTest::qWaitFor(
        [&] {
            for (const relayop::Push& p : qAsConst(m_pushes))
                if (p.kind == relayop::Push::MemberEvent && p.event == event && p.ids.contains(userId))
                    found = p;
            return found.has_value();
        },
        kWaitMs);
    return found;
}

int RelayClient::command(const QString& to, E_CustomCmd cmd)
{
    const QJsonArray elems { relayop::customElem(
        QString::fromUtf8(cmdmessage::build(cmd, {})), cmdmessage::kExt) };
    return ask(relayop::peerMsg(to, elems)).code;
}

} // namespace classpeers
