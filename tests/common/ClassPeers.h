#pragma once

#include "ServerProcess.h"
#include "protocol/CustomCmd.h"
#include "protocol/RelayOps.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>
#include <QWebSocket>

#include <functional>
#include <optional>

// The app server and relay as a class's members meet them, for tests that need members in a room
// without the client: JSON-RPC calls, signing in, and a relay connection.
namespace classpeers {

const int kWaitMs = 15000;

// One JSON-RPC call to the app server; the whole answer.
QJsonObject rpc(
    const ServerProcess& server, const QString& method, QJsonObject params, const QString& ak = {});
// Its "result".
QJsonObject result(
    const ServerProcess& server, const QString& method, QJsonObject params, const QString& ak = {});

struct Account {
    QString ak;
    QString userId;
    QString userSig;
};
// Signs in with the demo password and asks for the relay signature.
Account signIn(const ServerProcess& server, const QString& login);
// The room of the teacher's live in progress, made by "live.create.room"; 0 when there is none.
qint64 roomOfLiveInProgress(const ServerProcess& server, const Account& teacher);
// The same for the teacher's first live in the given state ("i" in progress, "s" scheduled).
qint64 roomOfLive(const ServerProcess& server, const Account& teacher, const QString& state);

// A relay connection: requests answered in order, pushes kept.
class RelayClient : public QObject {
public:
    explicit RelayClient(const QString& url);

    // The reply to one request (kind Invalid when none came).
    relayop::Push ask(const QJsonObject& op);
    // The first pushed memberEvent with this event that names userId, waited for.
    std::optional<relayop::Push> event(int event, const QString& userId);
    // A classroom command to one member; the relay's code.
    int command(const QString& to, E_CustomCmd cmd);
    QList<relayop::Push>& pushes() { return m_pushes; }
    // Sends without waiting; onReply gets the reply when it comes.
    void send(const QJsonObject& op, std::function<void(const relayop::Push&)> onReply);
    // Called with every push that answers no request, as it comes (it is kept as well).
    void setOnPush(std::function<void(const relayop::Push&)> onPush) { m_onPush = std::move(onPush); }

private:
    QWebSocket m_ws;
    QList<relayop::Push> m_pushes;
    QHash<int, std::function<void(const relayop::Push&)>> m_onReply;
    std::function<void(const relayop::Push&)> m_onPush;
    int m_nextId = 1;
};

} // namespace classpeers
