// The live relay spoken to over real sockets, one raw WebSocket per member.
#include "app/AppServer.h"
#include "common/UserSig.h"
#include "protocol/CmdMessage.h"
#include "relay/LiveRelay.h"

#include "TestCertificate.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtEndian>
#include <QtTest>

namespace {

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

QByteArray frame(
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

QJsonArray text(const QString& t)
{
    return { QJsonObject { { "type", 0 }, { "text", t } } };
}

QJsonArray command(E_CustomCmd action, const QString& param = QString())
{
    return { QJsonObject { { "type", 1 }, { "ext", cmdmessage::kExt },
        { "data", QString::fromUtf8(cmdmessage::build(action, param)) } } };
}

QJsonObject group(const QJsonArray& elems)
{
    return { { "op", "groupMsg" }, { "elems", elems } };
}

QJsonObject peer(const QString& to, const QJsonArray& elems)
{
    return { { "op", "peerMsg" }, { "to", to }, { "elems", elems } };
}

QJsonObject mediaEvent(int event)
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

} // namespace

class TestRelay : public QObject {
    Q_OBJECT
private:
    LiveRelay* relay = nullptr;
    quint16 port = 0;

    // Signed in and in the room, which the host creates; null when any step is refused.
    std::unique_ptr<Member> in(const QString& user, int room, bool host = false)
    {
        auto m = std::make_unique<Member>(port);
        if (m->login(user) != 0
            || m->call({ { "op", host ? "createRoom" : "joinRoom" }, { "roomId", room } }) != 0)
            return nullptr;
        return m;
    }

private slots:
    void init()
    {
        relay = new LiveRelay(kSecret);
        relay->setClock([] { return kNow; });
        QString error;
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        port = relay->port();
    }

    void cleanup()
    {
        delete relay;
        relay = nullptr;
    }

    void signatureRefusedWhenWrongExpiredOrForAnotherUser_data()
    {
        QTest::addColumn<QString>("sig");
        QTest::addColumn<int>("code");
        const auto b64 = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
        const QByteArray bare = "t1:" + QByteArray::number(kNow + 60);
        auto sign = [&](const QByteArray& shown, const QByteArray& hashed) {
            return QString::fromLatin1(shown.toBase64(b64) + '.'
                + QMessageAuthenticationCode::hash(hashed, kSecret, QCryptographicHash::Sha256)
                      .toBase64(b64));
        };
        QTest::newRow("good") << usersig::make(kSecret, "t1", kNow + 60) << 0;
        QTest::newRow("wrong secret") << usersig::make("other", "t1", kNow + 60) << 70003;
        QTest::newRow("expired") << usersig::make(kSecret, "t1", kNow - 1) << 70001;
        QTest::newRow("another user's") << usersig::make(kSecret, "s1", kNow + 60) << 70013;
        QTest::newRow("no role") << sign(bare, bare) << 70002; // signed, but not one of ours
        QTest::newRow("member rewritten as host") << sign(bare + ":h", bare + ":m") << 70003;
    }

    void signatureRefusedWhenWrongExpiredOrForAnotherUser()
    {
        QFETCH(QString, sig);
        QFETCH(int, code);
        Member m(port);
        QCOMPARE(m.call({ { "op", "joinRoom" }, { "roomId", 5 } }), 8001); // nothing before signing in
        QCOMPARE(m.login("t1", sig), code);
        QVERIFY(code == 0 || !m.reply().value("desc").toString().isEmpty());
        QCOMPARE(m.call({ { "op", "joinRoom" }, { "roomId", 5 } }), code ? 8001 : 0);
    }

    void aConnectionThatNeverSignsInIsClosed()
    {
        relay->setSignInTimeout(300);
        Member idle(port), signedIn(port);
        QCOMPARE(signedIn.login("s1"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(idle.closed, 3000);
        QCOMPARE(idle.ofOp("error").value(0).value("code").toInt(), 8001);
        QTest::qWait(100);
        QVERIFY(!signedIn.closed);
        QCOMPARE(relay->sessionCount(), 1);
    }

    void olderSessionIsForcedOffline()
    {
        auto first = in("t1", 5, true), watcher = in("s1", 5);
        QVERIFY(first && watcher);
        Member second(port);
        QCOMPARE(second.login("t1"), 0);
        QTRY_VERIFY(first->closed);
        QCOMPARE(first->ofOp("kicked").size(), 1);
        QCOMPARE(relay->roomMemberCount(5), 1); // the new session is a member of nothing yet
        // Peer messages to t1 now reach the new session.
        QCOMPARE(second.call({ { "op", "createRoom" }, { "roomId", 5 } }), 0);
        QCOMPARE(watcher->call(peer("t1", command(CmdMicOff))), 0);
        QTRY_COMPARE(second.ofOp("msg").size(), 1);
    }

    // Fan-out of messages to every member and peer delivery are checked through the client's service.
    void roomIsHostedByItsTeacherAndTrafficStaysInIt()
    {
        // Coming early, or joining first, does not let a student take the class over.
        Member early(port);
        QCOMPARE(early.login("s3", usersig::make(kSecret, "s3", kNow + 60, usersig::Role::Member)), 0);
        for (const char* op : { "createRoom", "joinRoom", "createRoom" })
            QCOMPARE(early.call({ { "op", op }, { "roomId", 7 } }), op[0] == 'c' ? 10004 : 0);
        auto host = in("t1", 7, true), m1 = in("s1", 7), m2 = in("s2", 7), elsewhere = in("s9", 8);
        QVERIFY(host && m1 && m2 && elsewhere);
        QCOMPARE(m1->call({ { "op", "createRoom" }, { "roomId", 7 } }), 10021); // the room has its host

        // Camera events. A video frame in the old binary form is refused, and reaches nobody.
        QCOMPARE(m1->call({ { "op", "event" }, { "event", 3 } }), 0);
        QTRY_VERIFY(!host->ofOp("memberEvent").isEmpty());
        QCOMPARE(host->ofOp("memberEvent").last().value("ids").toArray(), QJsonArray { "s1" });
        m1->ws.sendBinaryMessage(frame(1, 2, 2, "t1", QByteArray(16, 'p'), 2));
        QTRY_COMPARE(m1->ofOp("error").size(), 1);
        QCOMPARE(m1->ofOp("error").first().value("code").toInt(), 4002);
        // 30,000 three-byte characters: under the request limit in characters, over it in bytes.
        QCOMPARE(
            host->call({ { "op", "groupMsg" }, { "elems", text(QString(30000, QChar(0x4F60))) } }), 4000);
        QCOMPARE(host->call({ { "op", "groupMsg" }, { "elems", text(QString(20000, QChar(0x4F60))) } }), 0);
        QTRY_COMPARE(m2->ofOp("msg").size(), 1);
        QCOMPARE(m2->ofOp("msg").first().value("elems").toArray(), text(QString(20000, QChar(0x4F60))));
        QTest::qWait(100);
        QCOMPARE(host->ofOp("msg").size() + elsewhere->ofOp("msg").size(), 0);
        QCOMPARE(host->frames.size() + m2->frames.size() + elsewhere->frames.size(), 0);

        // Leaving with the camera on tells the room both things, once the dropped place expires.
        relay->setGracePeriod(300);
        const int seen = host->ofOp("memberEvent").size();
        m1->ws.close();
        QTRY_COMPARE(host->ofOp("memberEvent").size(), seen + 2);
        QCOMPARE(host->ofOp("memberEvent").at(seen).value("event").toInt(), 4);
        QCOMPARE(host->ofOp("memberEvent").at(seen + 1).value("event").toInt(), 2);
        QCOMPARE(m2->call({ { "op", "quitRoom" } }), 0);
        QCOMPARE(m2->call({ { "op", "groupMsg" }, { "elems", text("x") } }), 10010);
    }

    // A dropped member keeps its place for a sign-in that brings its resume token; the room hears
    // nothing of it. Another sign-in of that user ends the held place with the usual leave.
    void droppedMemberResumesOnlyWithItsToken()
    {
        relay->setGracePeriod(5000);
        auto host = in("t1", 9, true);
        QVERIFY(host);
        auto m = std::make_unique<Member>(port);
        QCOMPARE(m->login("s1"), 0);
        const QString token = m->reply().value("resume").toString();
        QVERIFY(token.size() >= 16 && !m->reply().value("resumed").toBool());
        QCOMPARE(m->call({ { "op", "joinRoom" }, { "roomId", 9 } }), 0);
        QCOMPARE(m->call({ { "op", "event" }, { "event", 3 } }), 0);
        QTRY_COMPARE(host->ofOp("memberEvent").size(), 2); // 1 entered, 3 camera on
        const int sessions = relay->sessionCount();

        m->ws.abort();
        QTRY_COMPARE(relay->sessionCount(), sessions - 1);
        QCOMPARE(relay->roomMemberCount(9), 2);
        // A peer message to the dropped member is refused, not queued.
        QCOMPARE(host->call({ { "op", "peerMsg" }, { "to", "s1" }, { "elems", text("x") } }), 20003);
        Member back(port);
        QCOMPARE(back.call({ { "op", "login" }, { "userId", "s1" },
                     { "userSig", usersig::make(kSecret, "s1", kNow + 3600) }, { "resume", token } }),
            0);
        QVERIFY(back.reply().value("resumed").toBool() && back.reply().value("roomId").toInt() == 9);
        QCOMPARE(back.reply().value("resume").toString(), token);
        QCOMPARE(back.call({ { "op", "groupMsg" }, { "elems", text("还在") } }), 0);
        QTRY_COMPARE(host->ofOp("msg").size(), 1);
        QCOMPARE(host->ofOp("memberEvent").size(), 2);
        // Its camera state came along: a newcomer hears of it.
        auto late = in("s2", 9);
        QTRY_VERIFY(late && !late->ofOp("memberEvent").isEmpty());
        QCOMPARE(late->ofOp("memberEvent").first().value("ids").toArray(), QJsonArray { "s1" });

        back.ws.abort();
        QTRY_COMPARE(relay->sessionCount(), sessions);
        Member other(port);
        QCOMPARE(other.call({ { "op", "login" }, { "userId", "s1" },
                     { "userSig", usersig::make(kSecret, "s1", kNow + 3600) }, { "resume", "guessed" } }),
            0);
        QVERIFY(!other.reply().value("resumed").toBool() && other.reply().value("roomId").toInt() == 0);
        QTRY_COMPARE(host->ofOp("memberEvent").size(), 5); // 1 for s2, then 4 and 2 for s1
        QCOMPARE(host->ofOp("memberEvent").last().value("event").toInt(), 2);
        QCOMPARE(relay->roomMemberCount(9), 2);
    }

    void malformedInputIsAnsweredWithoutCrash()
    {
        Member m(port);
        m.ws.sendTextMessage("not json at all");
        m.ws.sendTextMessage("[1,2,3]");
        m.ws.sendBinaryMessage(QByteArray("\x00\x01", 2));
        QTRY_COMPARE(m.ofOp("error").size(), 3);
        QCOMPARE(m.ofOp("error").first().value("code").toInt(), 4000);
        QCOMPARE(m.ofOp("error").last().value("code").toInt(), 8001);

        QCOMPARE(m.login("s1"), 0);
        QCOMPARE(m.call({ { "op", "fly" } }), 4001);
        QCOMPARE(m.call({ { "op", "joinRoom" }, { "roomId", -3 } }), 4000);
        QCOMPARE(m.call({ { "op", "groupMsg" }, { "elems", QJsonArray { QJsonObject { { "type", 5 } } } } }),
            4000);
        QCOMPARE(m.call({ { "op", "joinRoom" }, { "roomId", 3 } }), 0);
        m.ws.sendBinaryMessage(frame(1, 4, 4, "", QByteArray(64, 'p'), 2)); // a frame, well formed
        QTRY_COMPARE(m.ofOp("error").size(), 4);
        QCOMPARE(m.ofOp("error").last().value("code").toInt(), 4002);

        // A message past the size limit ends that connection cleanly; the relay carries on.
        m.ws.sendBinaryMessage(QByteArray(17 << 20, 'x'));
        QTRY_VERIFY_WITH_TIMEOUT(m.closed, 10000);
        QVERIFY(in("s2", 3));
    }

    void frameOrMessageOverTheLimitIsRefusedBeforeItIsBuffered()
    {
        relay->setMaxIncomingBytes(1 << 20);
        // One frame announcing 100 MiB: refused on its header, not after its payload.
        RawMember big;
        QVERIFY(big.open(port));
        big.header(2, 100ull << 20);
        big.sock.write(QByteArray(4096, 'x'));
        QCOMPARE(big.closeCode(), 1009);
        // A message of two frames, each under the limit, together over it: refused once the frame
        // that passes it is in, so no more than one frame past the limit is ever held.
        RawMember split;
        QVERIFY(split.open(port));
        split.header(2, 700 << 10, false);
        split.sock.write(QByteArray(700 << 10, 'x'));
        split.header(0, 700 << 10);
        split.sock.write(QByteArray(700 << 10, 'x'));
        QCOMPARE(split.closeCode(), 1009);
        QVERIFY(in("s1", 3)); // the relay carries on
    }

    void nonReadersTogetherCannotHoldMoreThanTheTotal()
    {
        // Each member alone stays under its own limit; the room together goes past the total.
        relay->setQueueLimits(64 << 20, 4 << 20);
        auto host = in("t1", 9, true);
        QVERIFY(host);
        std::vector<std::unique_ptr<RawMember>> stalled;
        for (int i = 0; i < 4; ++i) {
            auto m = std::make_unique<RawMember>();
            m->sock.setReadBufferSize(1024);
            m->sock.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
            QVERIFY(m->open(port));
            const QString user = QStringLiteral("s%1").arg(i);
            m->text(QJsonDocument(QJsonObject { { "op", "login" }, { "id", 1 }, { "userId", user },
                                      { "userSig", usersig::make(kSecret, user, kNow + 3600) } })
                        .toJson(QJsonDocument::Compact));
            m->text(R"({"op":"joinRoom","id":2,"roomId":9})");
            QVERIFY(m->waitFor("\"id\":2"));
            stalled.push_back(std::move(m));
        }
        QTRY_COMPARE(relay->roomMemberCount(9), 5);
        const QString chunk(60000, QLatin1Char('c'));
        for (int i = 0; i < 200 && relay->membersCutOff() == 0; ++i) {
            host->send({ { "op", "groupMsg" }, { "elems", text(chunk) } });
            QTest::qWait(5);
        }
        QVERIFY(relay->membersCutOff() > 0);
        QTRY_VERIFY(relay->roomMemberCount(9) < 5);
        QCOMPARE(host->reply().value("code").toInt(), 0); // the reading member is served on
    }

    void pingIsAnsweredWithPongBeforeAndAfterSignIn()
    {
        relay->setSignInTimeout(800);
        Member early(port);
        early.ws.sendTextMessage(R"({"op":"ping","id":"p-1","seq":41})");
        early.ws.sendTextMessage(R"({"op":"ping","seq":{"deep":[1]}})"); // no scalar seq: none echoed
        QTRY_COMPARE(early.ofOp("pong").size(), 2);
        QCOMPARE(early.raw.filter("pong").first(), QStringLiteral(R"({"id":"p-1","seq":41,"op":"pong"})"));
        QCOMPARE(early.raw.filter("pong").last(), QStringLiteral(R"({"id":0,"op":"pong"})"));
        QCOMPARE(early.call({ { "op", "rooms" } }), 8001); // a pong lets nothing else in
        // Pinging does not keep a connection that never signs in past its deadline.
        QTimer pinger;
        connect(
            &pinger, &QTimer::timeout, &early, [&early] { early.ws.sendTextMessage(R"({"op":"ping"})"); });
        pinger.start(100);
        QTRY_VERIFY_WITH_TIMEOUT(early.closed, 5000);
        QCOMPARE(early.ofOp("error").value(0).value("code").toInt(), 8001);

        auto member = in("s1", 3);
        QVERIFY(member);
        member->send({ { "op", "ping" }, { "seq", 7 } });
        QTRY_VERIFY(
            member->raw.contains(QStringLiteral(R"({"id":%1,"seq":7,"op":"pong"})").arg(member->lastId)));
    }

    void unsignedConnectionThatReadsNoPongsCannotHoldMoreThanItsCap()
    {
        RawMember stalled;
        stalled.sock.setReadBufferSize(1024);
        stalled.sock.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QVERIFY(stalled.open(port));
        const QByteArray ping = "{\"op\":\"ping\",\"id\":\"" + QByteArray(200, 'i') + "\",\"seq\":\""
            + QByteArray(200, 's') + "\"}";
        for (int i = 0; i < 400 && relay->membersCutOff() == 0; ++i) {
            for (int j = 0; j < 50; ++j)
                stalled.text(ping);
            QTest::qWait(5);
        }
        QCOMPARE(relay->membersCutOff(), 1);
        QTRY_COMPARE(relay->sessionCount(), 0);
        QVERIFY(in("s1", 3)); // the relay carries on
    }

    void overTlsFramesQueuesAndHandshakesStayBounded()
    {
        QTemporaryDir dir;
        TestCertificate cert;
        QString error;
        QVERIFY2(cert.make(dir.path(), &error), qPrintable(error));
        delete relay;
        relay = new LiveRelay(kSecret);
        relay->setClock([] { return kNow; });
        QVERIFY2(relay->useTls(cert.certPem, cert.keyPem, &error), qPrintable(error));
        QVERIFY(relay->isSecure());
        relay->setHandshakeTimeout(500);
        relay->setQueueLimits(1 << 20);
        relay->setMaxIncomingBytes(1 << 20);
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        port = relay->port();
        const QSslConfiguration trusting = cert.trusting();

        // Connections that never finish their TLS handshake (silent, or stopped halfway through a
        // hello) are dropped, as are plain WebSocket clients.
        QTcpSocket silent, halfway;
        silent.connectToHost(QHostAddress::LocalHost, port);
        halfway.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(silent.waitForConnected(5000) && halfway.waitForConnected(5000));
        halfway.write(QByteArray::fromHex("1603010200010001fc0303"));
        QWebSocket plain;
        QSignalSpy plainOpened(&plain, &QWebSocket::connected);
        QSignalSpy plainGone(&plain, &QWebSocket::disconnected);
        plain.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(port)));

        // A client that trusts the certificate signs in, hosts, and is answered.
        Member host(port, &trusting);
        QCOMPARE(host.login("t1"), 0);
        QCOMPARE(host.call({ { "op", "createRoom" }, { "roomId", 9 } }), 0);
        host.send({ { "op", "ping" }, { "seq", 1 } });
        QTRY_COMPARE(host.ofOp("pong").size(), 1);

        QTRY_VERIFY(plainGone.count() > 0);
        QCOMPARE(plainOpened.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QAbstractSocket::UnconnectedState, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(halfway.state(), QAbstractSocket::UnconnectedState, 5000);

        // A member that reads nothing is cut off at its limit: over TLS what waits is encrypted
        // already, and must be counted all the same.
        RawMember stalled;
        stalled.sock.setReadBufferSize(1024);
        stalled.sock.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QVERIFY(stalled.open(port, &trusting));
        stalled.text(QJsonDocument(QJsonObject { { "op", "login" }, { "id", 1 }, { "userId", "s1" },
                                       { "userSig", usersig::make(kSecret, "s1", kNow + 3600) } })
                         .toJson(QJsonDocument::Compact));
        stalled.text(R"({"op":"joinRoom","id":2,"roomId":9})");
        QVERIFY(stalled.waitFor("\"id\":2"));
        const QString chunk(60000, QLatin1Char('c'));
        for (int i = 0; i < 300 && relay->membersCutOff() == 0; ++i) {
            host.send({ { "op", "groupMsg" }, { "elems", text(chunk) } });
            QTest::qWait(5);
        }
        QCOMPARE(relay->membersCutOff(), 1);
        QTRY_COMPARE(relay->roomMemberCount(9), 1);

        // A frame announcing more than the limit ends the connection on its header.
        RawMember big;
        QVERIFY(big.open(port, &trusting));
        big.header(2, 100ull << 20);
        big.sock.write(QByteArray(4096, 'x'));
        QCOMPARE(big.closeCode(), 1009);
        QCOMPARE(host.call({ { "op", "rooms" } }), 0); // the relay carries on
    }

    // A teacher who sits in another's class is a member there, and a student answers invitations
    // only when one waits for it.
    void onlyTheRoomsHostDirectsItsClass()
    {
        auto host = in("t1", 21, true), guest = in("t2", 21);
        QVERIFY(host && guest);
        Member student(port);
        QCOMPARE(student.login("s1", usersig::make(kSecret, "s1", kNow + 3600, usersig::Role::Member)), 0);
        QCOMPARE(student.call({ { "op", "joinRoom" }, { "roomId", 21 } }), 0);
        const QList<QPair<Member*, QJsonObject>> refused = {
            { guest.get(), group(command(CmdLiveEnd)) },
            { guest.get(), group(command(CmdMicOff)) },
            { guest.get(), group(command(CmdClassTime, "99999")) },
            { guest.get(), peer("s1", command(CmdInviteInteract)) },
            { guest.get(), peer("s1", command(CmdMicOff)) },
            { guest.get(), peer("s1", text("私聊")) },
            { guest.get(), mediaEvent(7) },
            { &student, mediaEvent(7) },
            { &student, peer("t1", command(CmdAcceptInteract)) },
        };
        for (const auto& [who, request] : refused)
            QCOMPARE(who->call(request), 10022);
        QCOMPARE(student.call(mediaEvent(3)), 0);
        QCOMPARE(host->call(peer("s1", command(CmdInviteInteract))), 0);
        QCOMPARE(student.call(peer("t1", command(CmdAcceptInteract))), 0);
        QCOMPARE(student.call(peer("t1", command(CmdAcceptInteract))), 10022); // answered already
        QCOMPARE(host->call(group(command(CmdLiveEnd))), 0);

        QTRY_COMPARE(guest->ofOp("msg").size(), 1); // the host's end
        QTRY_COMPARE(student.ofOp("msg").size(), 2); // the invitation, and the end
        QCOMPARE(host->ofOp("msg").size(), 1); // the one answer
        for (Member* m : { host.get(), guest.get(), &student }) {
            for (const QJsonObject& msg : m->ofOp("msg"))
                QVERIFY(msg.value("sender").toString() != "t2");
            for (const QJsonObject& e : m->ofOp("memberEvent"))
                QVERIFY(e.value("event").toInt() != 7);
        }
    }

    void noMessageCrossesAfterTheClassEnds()
    {
        relay->setGracePeriod(5000);
        auto host = in("t1", 23, true), present = in("s1", 23), dropped = in("s2", 23);
        QVERIFY(host && present && dropped);
        const QString token = dropped->texts.first().value("resume").toString();
        dropped->ws.abort();
        QTRY_COMPARE(relay->sessionCount(), 2);
        QCOMPARE(relay->roomMemberCount(23), 3); // held for a resume

        relay->closeRoom(23);
        for (Member* m : { host.get(), present.get() }) {
            QTRY_COMPARE(m->ofOp("roomClosed").size(), 1);
            QCOMPARE(m->ofOp("roomClosed").first().value("roomId").toInt(), 23);
            QCOMPARE(m->ofOp("roomClosed").first().value("code").toInt(), 10017);
        }
        QCOMPARE(relay->roomMemberCount(23), 0);
        QCOMPARE(present->call(group(text("还有人吗"))), 10010);
        QCOMPARE(host->call(group(text("再见"))), 10010);
        QCOMPARE(present->call(peer("t1", command(CmdMicOff))), 10022); // no room, no host of it
        QCOMPARE(present->call({ { "op", "joinRoom" }, { "roomId", 23 } }), 10017);
        QCOMPARE(host->call({ { "op", "createRoom" }, { "roomId", 23 } }), 10017);
        Member back(port);
        QCOMPARE(back.call({ { "op", "login" }, { "userId", "s2" },
                     { "userSig", usersig::make(kSecret, "s2", kNow + 3600) }, { "resume", token } }),
            0);
        QCOMPARE(back.reply().value("roomId").toInt(), 0);
        QCOMPARE(back.call(group(text("我回来了"))), 10010);
        QCOMPARE(host->ofOp("msg").size() + present->ofOp("msg").size(), 0);
    }

    void connectionsNotSignedInAreCappedPerAddressMembersAreNot()
    {
        relay->setUnsignedPerAddressLimit(3);
        std::vector<std::unique_ptr<Member>> first;
        for (int i = 0; i < 3; ++i) {
            first.push_back(std::make_unique<Member>(port));
            QCOMPARE(first.back()->call({ { "op", "rooms" } }), 8001); // served, not yet signed in
        }
        Member over(port);
        QTRY_VERIFY(over.closed);
        QCOMPARE(over.ws.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        // Signed in, they no longer count: a whole school may sit behind one address.
        for (size_t i = 0; i < first.size(); ++i)
            QCOMPARE(first[i]->login(QStringLiteral("u%1").arg(i)), 0);
        std::vector<std::unique_ptr<Member>> second;
        for (int i = 0; i < 3; ++i) {
            second.push_back(std::make_unique<Member>(port));
            QCOMPARE(second.back()->call({ { "op", "rooms" } }), 8001);
        }
        Member overAgain(port);
        QTRY_VERIFY(overAgain.closed);
        // One that goes away frees its place.
        second.front()->ws.close();
        QTRY_COMPARE(relay->sessionCount(), 5);
        Member late(port);
        QCOMPARE(late.login("u9"), 0);
        QCOMPARE(relay->sessionCount(), 6);
    }

    // A member once made the room show its chat under the teacher's name.
    void identitiesCarryTheNameOnRecordNotTheOneClaimed()
    {
        relay->setNameOf([](const QString& user) {
            return user == "s1" ? QStringLiteral("张小明")
                : user == "t1"  ? QStringLiteral("王老师")
                                : QString();
        });
        auto host = in("t1", 25, true), forger = in("s1", 25);
        QVERIFY(host && forger);
        QCOMPARE(forger->call(group(command(CmdEnterRoom, R"({"nickname":"王老师"})"))), 0);
        QCOMPARE(forger->call(group(command(CmdLeaveRoom, R"({"nickname":"王老师","userId":"s1"})"))), 0);
        QCOMPARE(forger->call(group(command(CmdEnterRoom, "not an identity"))), 0);
        QTRY_COMPARE(host->ofOp("msg").size(), 3);
        QStringList shown;
        for (const QJsonObject& msg : host->ofOp("msg")) {
            const QJsonObject elem = msg.value("elems").toArray().first().toObject();
            QCOMPARE(elem.value("ext").toString(), QString::fromLatin1(cmdmessage::kExt));
            const std::optional<cmdmessage::Command> cmd
                = cmdmessage::parse(elem.value("data").toString().toUtf8());
            QVERIFY(cmd);
            shown << cmd->actionParam;
        }
        QCOMPARE(
            QJsonDocument::fromJson(shown[0].toUtf8()).object(), QJsonObject({ { "nickname", "张小明" } }));
        QCOMPARE(QJsonDocument::fromJson(shown[1].toUtf8()).object().value("nickname").toString(), "张小明");
        QCOMPARE(shown[2], QStringLiteral("not an identity"));
    }

    void roomIdsMustBeIntegersAndRequestIdsComeBackAsSent()
    {
        Member m(port);
        QCOMPARE(m.login("s1"), 0);
        for (const QJsonValue& bad :
            { QJsonValue("5"), QJsonValue(5.5), QJsonValue(true), QJsonValue(4294967296.0) })
            QCOMPARE(m.call({ { "op", "joinRoom" }, { "roomId", bad } }), 4000);
        m.ws.sendTextMessage(R"({"op":"rooms","id":"req-7"})");
        m.ws.sendTextMessage(R"({"op":"rooms","id":123456789012345678901})");
        QTRY_COMPARE(m.raw.filter("\"op\":\"reply\"").filter("\"rooms\"").size(), 2);
        QVERIFY(m.raw.filter("\"rooms\"").filter("\"id\":\"req-7\"").size() == 1);
        QVERIFY(m.raw.filter("\"rooms\"").filter("\"id\":123456789012345678901,").size() == 1);
    }

    void roomsAreHostedAndJoinedOnlyAsTheirLivesAllow()
    {
        QTemporaryDir dir;
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("lectern.db");
        o.logRequests = false;
        appserver::AppServer app(o);
        QString error;
        QVERIFY2(app.open(&error), qPrintable(error));
        auto& store = app.store();
        const qint64 t1 = store.addUser("t1", "123456", "王老师", "t"),
                     t2 = store.addUser("t2", "123456", "李老师", "t");
        const qint64 s1 = store.addUser("s1", "123456", "张小明", "s"),
                     s2 = store.addUser("s2", "123456", "李华", "s");
        const int64_t now = QDateTime::currentMSecsSinceEpoch();
        const int64_t live = store.addLive("t1", "高一数学", "", now, now + 3600000);
        const int room = int(store.createRoom(t1, live));

        LiveRelay school(app.liveSecret());
        school.setClock([] { return kNow; });
        school.setRoomAccess([&app](const QString& user, quint32 r, LiveRelay::RoomUse use) {
            return app.roomVerdict(user, r, use);
        });
        QVERIFY(school.listen(QHostAddress::LocalHost, 0, &error));
        auto member = [&](qint64 id, bool teacher) {
            auto m = std::make_unique<Member>(school.port());
            const QString user = QString::number(id);
            m->login(user,
                usersig::make(app.liveSecret(), user, kNow + 3600,
                    teacher ? usersig::Role::Host : usersig::Role::Member));
            return m;
        };
        auto roomsOf = [](Member& m) {
            m.send({ { "op", "rooms" } });
            return m.reply().value("rooms").toArray().size();
        };
        auto other = member(t2, true), teacher = member(t1, true), student = member(s1, false),
             late = member(s2, false);
        QCOMPARE(
            other->call({ { "op", "createRoom" }, { "roomId", room } }), 10016); // not the live's teacher
        QCOMPARE(teacher->call({ { "op", "createRoom" }, { "roomId", room + 1 } }), 10015); // no live's room
        QCOMPARE(teacher->call({ { "op", "createRoom" }, { "roomId", room } }), 0);
        QCOMPARE(student->call({ { "op", "joinRoom" }, { "roomId", room } }), 10016); // not entered the live
        QCOMPARE(roomsOf(*student), 1);
        store.enterRoom(s1, room, 0);
        store.enterRoom(s2, room, 0);
        QCOMPARE(student->call({ { "op", "joinRoom" }, { "roomId", room } }), 0);
        // A roster leaves the others out: not listed, not let in.
        store.setOnRoster(live, { "s1" }, true);
        QCOMPARE(roomsOf(*late), 0);
        QCOMPARE(late->call({ { "op", "joinRoom" }, { "roomId", room } }), 10016);
        QCOMPARE(roomsOf(*student), 1);
        store.setOnRoster(live, { "s1" }, false);
        store.endLive(t1, live);
        QCOMPARE(late->call({ { "op", "joinRoom" }, { "roomId", room } }), 10017);
        QCOMPARE(roomsOf(*late), 0);
    }
};

QTEST_MAIN(TestRelay)
#include "tst_relay.moc"
