// The live relay's connections: sign-in deadline, one session per user, resumes, the limits on
// frames, queues and connections not signed in, over WS and WSS.
#include "RelayMembers.h"

#include "TestCertificate.h"

using namespace relaytest;

class TestRelayConnections : public QObject, protected RelayUnderTest {
    Q_OBJECT
private slots:
    void init() { startRelay(); }
    void cleanup() { stopRelay(); }

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
};

QTEST_MAIN(TestRelayConnections)
#include "tst_relayconnections.moc"
