// The live relay's rooms spoken to over real sockets, one WebSocket per member: sign-in, hosting and
// joining, who may send what, the op table's answers. Its connections are tst_relayconnections'.
#include "RelayMembers.h"

#include "app/AppServer.h"

#include <QTemporaryDir>

using namespace relaytest;

class TestRelay : public QObject, protected RelayUnderTest {
    Q_OBJECT
private slots:
    void init() { startRelay(); }
    void cleanup() { stopRelay(); }

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
