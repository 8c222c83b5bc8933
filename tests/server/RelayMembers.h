// Members that speak to the live relay over real sockets, one WebSocket (or raw socket) each, for
// the relay's tests.
#pragma once

#include "common/UserSig.h"
#include "protocol/CmdMessage.h"
#include "relay/LiveRelay.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QSslSocket>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtEndian>
#include <QtTest>

namespace relaytest {

const QByteArray kSecret = "relay-test-secret";
const qint64 kNow = 1700000000;

// One member: everything the relay sends is kept for the test to look at.
class Member : public QObject {
public:
    // With tls: over WSS, trusting what it trusts.
    explicit Member(quint16 port, const QSslConfiguration* tls = nullptr)
    {
        connect(&ws, &QWebSocket::textMessageReceived, this, [this](const QString& t) {
            raw << t;
            texts << QJsonDocument::fromJson(t.toUtf8()).object();
        });
        connect(&ws, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& b) { frames << b; });
        connect(&ws, &QWebSocket::disconnected, this, [this] { closed = true; });
        if (tls)
            ws.setSslConfiguration(*tls);
        ws.open(QUrl(QStringLiteral("%1://127.0.0.1:%2/live").arg(tls ? "wss" : "ws").arg(port)));
        // Not connected in time shows as the first request going unanswered.
        (void)QTest::qWaitFor([this] { return ws.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    void send(QJsonObject obj)
    {
        obj.insert("id", ++lastId);
        ws.sendTextMessage(QString::fromUtf8(QJsonDocument(obj).toJson(QJsonDocument::Compact)));
    }

    // The reply to the last request; a missing one shows as an empty object.
    QJsonObject reply()
    {
        QJsonObject found;
        (void)QTest::qWaitFor(
            [&] {
                for (const QJsonObject& o : texts)
                    if (o.value("op") == "reply" && o.value("id").toInt() == lastId)
                        return !(found = o).isEmpty();
                return false;
            },
            5000);
        return found;
    }

    int call(const QJsonObject& obj)
    {
        send(obj);
        return reply().value("code").toInt(-1);
    }

    QList<QJsonObject> ofOp(const QString& op) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject& o : texts)
            if (o.value("op") == op)
                out << o;
        return out;
    }

    int login(const QString& user, const QString& sig = QString())
    {
        return call({ { "op", "login" }, { "userId", user },
            { "userSig", sig.isNull() ? usersig::make(kSecret, user, kNow + 3600) : sig } });
    }

    QWebSocket ws;
    QList<QJsonObject> texts;
    QStringList raw; // as sent, for what parsing would change
    QList<QByteArray> frames;
    bool closed = false;
    int lastId = 0;
};

inline QByteArray frame(
    int src, quint32 w, quint32 h, const QByteArray& id, const QByteArray& payload, int format = 1)
{
    QByteArray out(24, '\0');
    auto* p = reinterpret_cast<uchar*>(out.data());
    p[0] = 'L';
    p[1] = 'V';
    p[2] = 1;
    p[3] = uchar(src);
    p[4] = uchar(format);
    p[5] = uchar(id.size());
    qToBigEndian<quint32>(w, p + 8);
    qToBigEndian<quint32>(h, p + 12);
    return out + id + payload;
}

inline QJsonArray text(const QString& t)
{
    return { QJsonObject { { "type", 0 }, { "text", t } } };
}

inline QJsonArray command(E_CustomCmd action, const QString& param = QString())
{
    return { QJsonObject { { "type", 1 }, { "ext", cmdmessage::kExt },
        { "data", QString::fromUtf8(cmdmessage::build(action, param)) } } };
}

inline QJsonObject group(const QJsonArray& elems)
{
    return { { "op", "groupMsg" }, { "elems", elems } };
}

inline QJsonObject peer(const QString& to, const QJsonArray& elems)
{
    return { { "op", "peerMsg" }, { "to", to }, { "elems", elems } };
}

inline QJsonObject mediaEvent(int event)
{
    return { { "op", "event" }, { "event", event } };
}

// A WebSocket spoken byte by byte: for what no client library would send, and for a member that
// stops reading.
class RawMember {
public:
    bool open(quint16 port, const QSslConfiguration* tls = nullptr)
    {
        if (tls) {
            sock.setSslConfiguration(*tls);
            sock.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
            // The relay runs on this thread: wait with its events going, not blocked.
            if (!QTest::qWaitFor([this] { return sock.isEncrypted(); }, 5000))
                return false;
        } else {
            sock.connectToHost(QHostAddress::LocalHost, port);
            if (!sock.waitForConnected(5000))
                return false;
        }
        sock.write("GET /live HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        if (!waitFor("\r\n\r\n") || !in.startsWith("HTTP/1.1 101"))
            return false;
        in.remove(0, in.indexOf("\r\n\r\n") + 4); // frames from here on
        return true;
    }
    // A client frame header (masked with a zero key, so the payload goes as it is).
    void header(int opcode, quint64 length, bool fin = true)
    {
        QByteArray h;
        h.append(char((fin ? 0x80 : 0) | opcode));
        if (length < 126) {
            h.append(char(0x80 | length));
        } else if (length < 65536) {
            h.append(char(0x80 | 126));
            h.append(char(length >> 8)).append(char(length));
        } else {
            h.append(char(0x80 | 127));
            for (int i = 7; i >= 0; --i)
                h.append(char(length >> (8 * i)));
        }
        h.append(QByteArray(4, '\0'));
        sock.write(h);
    }
    void text(const QByteArray& payload)
    {
        header(1, quint64(payload.size()));
        sock.write(payload);
    }
    bool waitFor(const QByteArray& needle, int timeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] {
                in += sock.readAll();
                return in.contains(needle);
            },
            timeoutMs);
    }
    // The code of the close frame the relay sent, or -1 when none came.
    int closeCode(int timeoutMs = 5000)
    {
        int code = -1;
        (void)QTest::qWaitFor(
            [&] {
                in += sock.readAll();
                for (int i = 0; i + 4 <= in.size();) {
                    const int op = in[i] & 0x0f;
                    int len = in[i + 1] & 0x7f, at = i + 2;
                    if (len == 126) {
                        len = (uchar(in[i + 2]) << 8) | uchar(in[i + 3]);
                        at = i + 4;
                    }
                    if (op == 8 && at + 2 <= in.size()) {
                        code = (uchar(in[at]) << 8) | uchar(in[at + 1]);
                        return true;
                    }
                    i = at + len;
                }
                return false;
            },
            timeoutMs);
        return code;
    }
    QSslSocket sock; // plain until told to encrypt
    QByteArray in;
};

// A relay on a free loopback port, on the tests' clock, and members entering its rooms.
class RelayUnderTest {
protected:
    LiveRelay* relay = nullptr;
    quint16 port = 0;

    void startRelay()
    {
        relay = new LiveRelay(kSecret);
        relay->setClock([] { return kNow; });
        QString error;
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        port = relay->port();
    }

    void stopRelay()
    {
        delete relay;
        relay = nullptr;
    }

    // Signed in and in the room, which the host creates; null when any step is refused.
    std::unique_ptr<Member> in(const QString& user, int room, bool host = false)
    {
        auto m = std::make_unique<Member>(port);
        if (m->login(user) != 0
            || m->call({ { "op", host ? "createRoom" : "joinRoom" }, { "roomId", room } }) != 0)
            return nullptr;
        return m;
    }
};

} // namespace relaytest
