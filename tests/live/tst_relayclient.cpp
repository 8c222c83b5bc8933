// The relay session on its own against a real relay on loopback: what a request's handler hears,
// and what the owner hears when the connection goes.
#include "common/UserSig.h"
#include "live/RelayClient.h"
#include "relay/LiveRelay.h"

#include <QDateTime>
#include <QTcpServer>
#include <QWebSocket>
#include <QtTest>

namespace {

const QByteArray kSecret = "relay-client-secret";

QString sigFor(const QString& user)
{
    return usersig::make(kSecret, user, QDateTime::currentSecsSinceEpoch() + 600);
}

QUrl urlOf(quint16 port)
{
    return QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(port));
}

} // namespace

class TestRelayClient : public QObject {
    Q_OBJECT
private:
    LiveRelay* relay = nullptr;

    // Signed in to the relay, or null.
    RelayClient* signedIn(const QString& user, QObject* parent)
    {
        auto* client = new RelayClient(parent);
        client->setUrl(urlOf(relay->port()));
        int code = -1;
        client->signIn(user, sigFor(user), [&code](const RelayClient::Reply& r) { code = r.code; });
        return QTest::qWaitFor([&] { return code != -1; }, 5000) && code == 0 ? client : nullptr;
    }

private slots:
    void init()
    {
        relay = new LiveRelay(kSecret);
        QString error;
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
    }

    void cleanup() { delete relay; }

    // A sign-in's handler hears the relay's answer, or the client's own code when none can come.
    // Nothing is sent before a sign-in succeeds, and then no handler runs.
    void signInHearsTheAnswerOrWhyNoneCame_data()
    {
        QTest::addColumn<QString>("where"); // relay, closed (nobody listens), mute (never answers)
        QTest::addColumn<QString>("sigUser");
        QTest::addColumn<int>("code");
        QTest::newRow("signed in") << "relay"
                                   << "u1" << 0;
        QTest::newRow("another's signature") << "relay"
                                             << "u2" << int(relayop::kSigWrongUser);
        QTest::newRow("nobody listens") << "closed"
                                        << "u1" << int(RelayClient::kUnreachable);
        QTest::newRow("never answers") << "mute"
                                       << "u1" << int(RelayClient::kTimeout);
    }

    void signInHearsTheAnswerOrWhyNoneCame()
    {
        QFETCH(QString, where);
        QFETCH(QString, sigUser);
        QFETCH(int, code);
        QTcpServer mute; // takes the connection and says nothing
        QVERIFY(mute.listen(QHostAddress::LocalHost, 0));
        quint16 closedPort = 0;
        {
            QTcpServer gone;
            QVERIFY(gone.listen(QHostAddress::LocalHost, 0));
            closedPort = gone.serverPort();
        }
        RelayClient client;
        client.setRequestTimeoutMs(400);
        client.setUrl(urlOf(where == "relay" ? relay->port()
                : where == "mute"            ? mute.serverPort()
                                             : closedPort));
        int requestRan = 0;
        QCOMPARE(client.request(relayop::rooms(), [&](const RelayClient::Reply&) { ++requestRan; }), 0);

        QList<int> heard;
        client.signIn("u1", sigFor(sigUser), [&](const RelayClient::Reply& r) { heard << r.code; });
        QTRY_COMPARE_WITH_TIMEOUT(heard.size(), 1, 5000);
        QCOMPARE(heard.first(), code);
        QCOMPARE(client.isSignedIn(), code == 0);
        QCOMPARE(client.userId(), code == 0 ? QString("u1") : QString());
        QCOMPARE(requestRan, 0);
        if (code != 0)
            QCOMPARE(client.request(relayop::rooms(), [&](const RelayClient::Reply&) { ++requestRan; }), 0);
    }

    // A request cut off by a drop hears kNotSignedIn; the session comes back on its own with the
    // relay's word that it kept it and in which room. A relay gone past the grace period ends the
    // session once.
    void aDropIsResumedAndALongOneGivenUp()
    {
        QObject owner;
        RelayClient* client = signedIn("t1", &owner);
        QVERIFY(client);
        client->setReconnectGraceMs(1000);
        int drops = 0, losses = 0;
        QList<QPair<bool, quint32>> resumes;
        QString why;
        connect(client, &RelayClient::dropped, &owner, [&] { ++drops; });
        connect(client, &RelayClient::resumed, &owner,
            [&](bool kept, quint32 room) { resumes << qMakePair(kept, room); });
        connect(client, &RelayClient::lost, &owner, [&](const QString& w) {
            ++losses;
            why = w;
        });

        relay->setGracePeriod(5000);
        int answered = -1;
        QVERIFY(client->request(
            relayop::createRoom(77, "LiveMaster"), [&](const RelayClient::Reply& r) { answered = r.code; }));
        QTRY_COMPARE(answered, 0);

        QList<int> cutOff;
        QVERIFY(client->request(relayop::rooms(), [&](const RelayClient::Reply& r) { cutOff << r.code; }));
        client->findChild<QWebSocket*>()->abort();
        QCOMPARE(cutOff, QList<int>({ int(RelayClient::kNotSignedIn) }));
        QCOMPARE(drops, 1);
        QVERIFY(client->isReconnecting());
        QTRY_COMPARE(resumes.size(), 1);
        QCOMPARE(resumes.first(), qMakePair(true, quint32(77)));
        QVERIFY(client->isSignedIn() && !client->isReconnecting());
        QCOMPARE(client->reconnectCount(), 1);
        QCOMPARE(client->userId(), QString("t1"));

        relay->close();
        QTRY_COMPARE_WITH_TIMEOUT(losses, 1, 5000);
        QVERIFY2(why.startsWith("unreachable for"), qPrintable(why));
        QCOMPARE(drops, 2);
        QVERIFY(!client->isSignedIn() && !client->isReconnecting());
        QCOMPARE(client->request(relayop::rooms()), 0);
    }

    // Signing in elsewhere ends the first session for good: kicked, and no reconnecting.
    void signedInElsewhereIsKickedNotResumed()
    {
        QObject owner;
        RelayClient* first = signedIn("t1", &owner);
        QVERIFY(first);
        int kicks = 0, losses = 0;
        connect(first, &RelayClient::kicked, &owner, [&] { ++kicks; });
        connect(first, &RelayClient::lost, &owner, [&] { ++losses; });
        QVERIFY(signedIn("t1", &owner));
        QTRY_COMPARE(kicks, 1);
        QVERIFY(!first->isSignedIn() && !first->isReconnecting() && !first->isConnected());
        QCOMPARE(losses, 0);
    }
};

QTEST_MAIN(TestRelayClient)
#include "tst_relayclient.moc"
