// The shared protocol library on its own: what the relay reads from any bytes, and the login hash
// checked against digests computed elsewhere.
#include "protocol/CmdMessage.h"
#include "protocol/LoginHash.h"
#include "protocol/RelayOps.h"
#include "protocol/RelayRequest.h"

#include <QJsonDocument>
#include <QtTest>

class TestProtocol : public QObject {
    Q_OBJECT
private slots:
    void loginHashMatchesIndependentDigests()
    {
        // Expected values from Python's hashlib over the same UTF-8 text.
        QCOMPARE(loginhash::saltedPassword("123456", "4321"), QStringLiteral("Pdj8h5Sqrx04N/UAROMLyhbEp18="));
        QCOMPARE(loginhash::saltedPassword(QStringLiteral("密码123"), "10998"),
            QStringLiteral("OHmXKJa09lXUbQ4S14zCxiXqZW0="));
        QCOMPARE(loginhash::salted(loginhash::passwordDigest("123456"), "4321"),
            QByteArray("Pdj8h5Sqrx04N/UAROMLyhbEp18="));
        for (const char* good : { "1000", "10998", "0", "123456789" })
            QVERIFY2(loginhash::isValidSalt(good), good);
        for (const char* bad : { "", " 1000", "10a", "-5", "1e3", "1234567890" })
            QVERIFY2(!loginhash::isValidSalt(bad), bad);
    }

    void commandMessagesRoundTrip()
    {
        const QByteArray data = cmdmessage::build(CmdInviteInteract, QStringLiteral("{\"a\":\"%1\"}"));
        QCOMPARE(data,
            QByteArray("{\n    \"actionParam\": \"{\\\"a\\\":\\\"%1\\\"}\",\n    \"userAction\": 2049\n}\n"));
        const auto back = cmdmessage::parse(data);
        QVERIFY(back && back->userAction == CmdInviteInteract && back->actionParam == "{\"a\":\"%1\"}");
        QVERIFY(!cmdmessage::parse("[1]") && !cmdmessage::parse("not json"));
        QCOMPARE(cmdmessage::parse("{\"userAction\":\"abc\"}")->userAction, 0);
    }

    void relayRequestsAreReadOrRefused_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("isObject");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("rawId");
        QTest::newRow("not json") << QByteArray("{\"op\":") << false << 4000 << QByteArray("0");
        QTest::newRow("array") << QByteArray("[1,2]") << false << 4000 << QByteArray("0");
        QTest::newRow("no op") << QByteArray("{\"id\":7}") << true << 4000 << QByteArray("7");
        QTest::newRow("unknown op") << QByteArray("{\"op\":\"fly\",\"id\":\"a\\\"b\"}") << true << 4001
                                    << QByteArray("\"a\\\"b\"");
        QTest::newRow("large id") << QByteArray("{\"op\":\"rooms\",\"id\":123456789012345678901234567890}")
                                  << true << 0 << QByteArray("123456789012345678901234567890");
        QTest::newRow("nested id is not the id")
            << QByteArray("{\"op\":\"rooms\",\"x\":{\"id\":5,\"s\":\"}\"},\"id\":6}") << true << 0
            << QByteArray("6");
        QTest::newRow("object id") << QByteArray("{\"op\":\"rooms\",\"id\":{}}") << true << 0
                                   << QByteArray("0");
        QTest::newRow("room 0") << QByteArray("{\"op\":\"joinRoom\",\"id\":1,\"roomId\":0}") << true << 4000
                                << QByteArray("1");
        QTest::newRow("room past 2^32") << QByteArray("{\"op\":\"joinRoom\",\"id\":1,\"roomId\":4294967296}")
                                        << true << 4000 << QByteArray("1");
        QTest::newRow("room ok") << QByteArray("{\"op\":\"createRoom\",\"id\":1,\"roomId\":4294967295}")
                                 << true << 0 << QByteArray("1");
        QTest::newRow("empty elems") << QByteArray("{\"op\":\"groupMsg\",\"id\":2,\"elems\":[]}") << true
                                     << 4000 << QByteArray("2");
        QTest::newRow("elem with number ext") << QByteArray(
            "{\"op\":\"peerMsg\",\"id\":2,\"to\":\"u\",\"elems\":[{\"type\":1,\"data\":\"d\",\"ext\":3}]}")
                                              << true << 4000 << QByteArray("2");
        QTest::newRow("bad event") << QByteArray("{\"op\":\"event\",\"id\":3,\"event\":5}") << true << 4000
                                   << QByteArray("3");
        QByteArray big = "{\"id\":99,\"op\":\"groupMsg\",\"elems\":[{\"type\":0,\"text\":\"";
        big += QByteArray(relayrequest::kMaxTextBytes, 'x') + "\"}]}";
        QTest::newRow("over the size limit") << big << true << 4000 << QByteArray("99");
    }

    void relayRequestsAreReadOrRefused()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, isObject);
        QFETCH(int, error);
        QFETCH(QByteArray, rawId);
        const relayrequest::Request r = relayrequest::parse(text);
        QCOMPARE(r.isObject, isObject);
        QCOMPARE(r.error, error);
        QCOMPARE(r.rawId, rawId);
        QVERIFY(!error || !r.desc.isEmpty());
        // Whatever came in, the reply is one JSON object carrying the id as sent.
        const QJsonDocument reply = QJsonDocument::fromJson(relayop::reply(r.rawId, r.error, r.desc));
        QVERIFY(reply.isObject());
        QCOMPARE(reply.object().value("code").toInt(), error);
    }

    void elementsAreCleanedInOrder()
    {
        const relayrequest::Request r
            = relayrequest::parse("{\"op\":\"groupMsg\",\"id\":1,\"elems\":[{\"type\":0,\"text\":\"hi\","
                                  "\"extra\":1},{\"type\":1,\"data\":\"d\"}]}");
        QCOMPARE(r.error, 0);
        QCOMPARE(r.elems,
            QJsonArray({ QJsonObject { { "type", 0 }, { "text", "hi" } },
                QJsonObject { { "type", 1 }, { "data", "d" }, { "ext", "" } } }));
        const relayop::Push push = relayop::readPush(relayop::msg("10001", true, r.elems));
        QVERIFY(
            push.kind == relayop::Push::Msg && push.group && push.sender == "10001" && push.elems == r.elems);
    }

    void liveFeedsKeepOnlyIdsAFeedCanHave()
    {
        const QList<quint64> sent = { 1, 4242, 9007199254740991ull };
        QCOMPARE(relayop::readLiveFeeds(QJsonDocument::fromJson(relayop::liveFeeds(sent)).object()), sent);
        // A push from a broken or hostile relay: nothing here may become a feed id, nor be cast
        // from a double out of range.
        const QJsonObject odd = QJsonDocument::fromJson(
            R"({"op":"feeds","live":[0,-3,0.5,1e300,9007199254740992,"7",null,{"id":8},[9],12]})")
                                    .object();
        QCOMPARE(relayop::readLiveFeeds(odd), QList<quint64>({ 12 }));
    }
};

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
