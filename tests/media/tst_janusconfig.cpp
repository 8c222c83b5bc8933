// Our Janus configuration, started the way tests and scripts/run.sh start it: only a holder of the
// admin key creates rooms or forwards media, only holders of a token lectern-server added open
// sessions, the packaged sample room is not there, and stopping ends Janus.
#include "JanusProcess.h"
#include "janus/JanusAdmin.h"
#include "janus/JanusSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <optional>

namespace {

// Sends one VideoRoom request and waits for its answer.
QJsonObject ask(JanusSession& session, quint64 handle, const QJsonObject& body)
{
    std::optional<QJsonObject> answer;
    session.message(handle, body, {}, [&answer](const QJsonObject& a) { answer = a; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 15000))
        return QJsonObject { { "janus", "error" }, { "error", QJsonObject { { "reason", "no answer" } } } };
    return *answer;
}

} // namespace

class TestJanusConfig : public QObject {
    Q_OBJECT
private slots:
    void onlyTheAdminKeyCreatesRoomsAndNoSampleRoomIsThere();
    void onlyHoldersOfAnAddedTokenOpenSessions();
    void startScriptRefusesValuesItWouldWriteUnchecked_data();
    void startScriptRefusesValuesItWouldWriteUnchecked();
    void requestLeftWaitingByALostServerHungForever();
};

void TestJanusConfig::onlyTheAdminKeyCreatesRoomsAndNoSampleRoomIsThere()
{
    JanusProcess janus;
    QString error;
    QVERIFY2(janus.start(&error), qPrintable(error));

    QVERIFY2(janus.addToken(QStringLiteral("config"), &error), qPrintable(error));
    JanusSession session;
    session.setToken(QStringLiteral("config"));
    QSignalSpy ready(&session, &JanusSession::ready);
    QSignalSpy failed(&session, &JanusSession::failed);
    session.open(QUrl(janus.url()));
    QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty() || !failed.isEmpty(), 10000);
    QVERIFY2(failed.isEmpty(), failed.isEmpty() ? "" : qPrintable(failed.first().first().toString()));
    quint64 handle = 0;
    session.attach(QStringLiteral("janus.plugin.videoroom"), [&handle](const QJsonObject& a) {
        handle = quint64(a.value("data").toObject().value("id").toDouble());
    });
    QTRY_VERIFY_WITH_TIMEOUT(handle != 0, 10000);

    const QJsonObject room { { "request", "create" }, { "room", 4242 }, { "secret", "s" }, { "pin", "p" } };
    QJsonObject keyed = room;
    keyed.insert("admin_key", janus.adminKey());
    QJsonObject wrongKey = room;
    wrongKey.insert("admin_key", janus.adminKey() + "x");

    struct Case {
        const char* what;
        QJsonObject body;
        int errorCode; // 0: created
    };
    const Case cases[] = {
        { "without the admin key", room, 429 },
        { "with a wrong admin key", wrongKey, 433 },
        { "with the admin key", keyed, 0 },
    };
    for (const Case& c : cases) {
        const QJsonObject data = JanusSession::pluginData(ask(session, handle, c.body));
        QCOMPARE(data.value("error_code").toInt(), c.errorCode);
        if (!c.errorCode)
            QCOMPARE(data.value("videoroom").toString(), QStringLiteral("created"));
    }

    // Forwarding a publisher's media elsewhere takes the admin key too, beside the room's secret:
    // without it the request is refused before the publisher is even looked for (428).
    QJsonObject forward { { "request", "rtp_forward" }, { "room", 4242 }, { "secret", "s" },
        { "publisher_id", 99 }, { "host", "127.0.0.1" }, { "video_port", 5004 } };
    const int unkeyed = JanusSession::pluginData(ask(session, handle, forward)).value("error_code").toInt();
    QVERIFY2(unkeyed == 429 || unkeyed == 433, qPrintable(QString::number(unkeyed)));
    forward.insert("admin_key", janus.adminKey());
    QCOMPARE(JanusSession::pluginData(ask(session, handle, forward)).value("error_code").toInt(), 428);

    // Only the room just made exists: no sample room with its published secrets.
    const QJsonObject list = JanusSession::pluginData(ask(session, handle, { { "request", "list" } }));
    QVERIFY2(list.value("list").isArray(), qPrintable(JanusSession::errorText(list)));
    QJsonArray rooms = list.value("list").toArray();
    QCOMPARE(rooms.size(), 1);
    QCOMPARE(rooms.first().toObject().value("room").toInt(), 4242);

    const qint64 pid = janus.processId();
    QVERIFY(janus.stop());
    QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    // The session notices its server is gone.
    QTRY_VERIFY_WITH_TIMEOUT(!failed.isEmpty(), 10000);
}

void TestJanusConfig::onlyHoldersOfAnAddedTokenOpenSessions()
{
    JanusProcess janus;
    QString error;
    QVERIFY2(janus.start(&error), qPrintable(error));
    QVERIFY2(janus.addToken(QStringLiteral("granted"), &error), qPrintable(error));

    // The Admin API takes the admin key as its secret, and nothing else.
    JanusAdmin stranger(QUrl(janus.adminUrl()), janus.adminKey() + "x");
    std::optional<QJsonObject> refused;
    stranger.addToken(QStringLiteral("self-made"), [&refused](const QJsonObject& a) { refused = a; });
    QTRY_VERIFY_WITH_TIMEOUT(refused.has_value(), 10000);
    QCOMPARE(refused->value("janus").toString(), QStringLiteral("error"));
    QCOMPARE(refused->value("error").toObject().value("code").toInt(), 403);

    const QPair<QString, bool> cases[] = { { QString(), false }, { QStringLiteral("self-made"), false },
        { QStringLiteral("granted"), true } };
    for (const auto& [token, opens] : cases) {
        JanusSession session;
        session.setToken(token);
        QSignalSpy ready(&session, &JanusSession::ready);
        QSignalSpy failed(&session, &JanusSession::failed);
        session.open(QUrl(janus.url()));
        QTRY_VERIFY_WITH_TIMEOUT(!ready.isEmpty() || !failed.isEmpty(), 10000);
        QVERIFY2(ready.isEmpty() != opens, qPrintable(token));
        if (!opens)
            QVERIFY2(failed.first().first().toString().contains("403"),
                qPrintable(failed.first().first().toString()));
    }
}

void TestJanusConfig::startScriptRefusesValuesItWouldWriteUnchecked_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("complaint");
    // Each would end a quoted value or a line of the configuration and add settings of its own.
    QTest::newRow("port") << QStringList { "--port", "8188\nadmin_ws = true" } << "--port";
    QTest::newRow("admin port") << QStringList { "--admin-port", "70000" } << "--admin-port";
    QTest::newRow("bind") << QStringList { "--bind", "127.0.0.1\" api_secret=\"x" } << "--bind";
    QTest::newRow("admin bind") << QStringList { "--admin-bind", "0.0.0.0 #" } << "--admin-bind";
    QTest::newRow("local ip") << QStringList { "--local-ip", "1.2.3.4\"" } << "--local-ip";
    QTest::newRow("interface") << QStringList { "--ice-interface", "v0\"\n" } << "--ice-interface";
    QTest::newRow("rtp ports") << QStringList { "--rtp-ports", "1-2\"" } << "--rtp-ports";
    QTest::newRow("debug level") << QStringList { "--debug-level", "4\ntoken_auth=false" } << "--debug-level";
    QTest::newRow("folder") << QStringList { "--dir", QDir::tempPath() + "/a|b" } << "may not hold";
    QTest::newRow("missing value") << QStringList { "--bind" } << "needs a value";
    // A service hands the key over as a file; a wrong one must not start Janus without a secret.
    const QString empty = QDir::temp().filePath("lectern-empty-key");
    QFile(empty).open(QIODevice::WriteOnly);
    QTest::newRow("key file empty") << QStringList { "--admin-key-file", empty } << "is empty";
    QTest::newRow("key file missing") << QStringList { "--admin-key-file", empty + ".none" } << "cannot read";
    QTest::newRow("key file and key")
        << QStringList { "--admin-key-file", empty, "--admin-key", "k" } << "not both";
}

void TestJanusConfig::startScriptRefusesValuesItWouldWriteUnchecked()
{
    QFETCH(QStringList, args);
    QFETCH(QString, complaint);
    QTemporaryDir dir;
    QStringList all { QStringLiteral(LECTERN_SOURCE_DIR "/server/janus/start-janus.sh"), "--dir", dir.path(),
        "--port", "8188" };
    if (!args.contains(QLatin1String("--admin-key-file")))
        all << "--admin-key"
            << "k";
    all << args;
    QProcess script;
    script.start(QStringLiteral("/bin/bash"), all);
    QVERIFY(script.waitForFinished(10000));
    const QString said = QString::fromUtf8(script.readAllStandardError());
    QCOMPARE(script.exitCode(), 2);
    QVERIFY2(said.contains(complaint), qPrintable(said));
    // Nothing was written for Janus to read.
    QVERIFY(!QFile::exists(dir.filePath("janus.jcfg")));
}

// Regression: a request still waiting when the connection died was dropped unanswered, so whoever
// waited on it (a teacher's createRoom) waited forever.
void TestJanusConfig::requestLeftWaitingByALostServerHungForever()
{
    // Creates the session, then drops the connection on the next request instead of answering.
    QWebSocketServer server(QStringLiteral("scripted"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    connect(&server, &QWebSocketServer::newConnection, this, [&server] {
        QWebSocket* ws = server.nextPendingConnection();
        connect(ws, &QWebSocket::textMessageReceived, ws, [ws](const QString& text) {
            const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
            if (request.value("janus") != QLatin1String("create")) {
                ws->abort();
                return;
            }
            const QJsonObject answer { { "janus", "success" },
                { "transaction", request.value("transaction") }, { "data", QJsonObject { { "id", 77 } } } };
            ws->sendTextMessage(QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact)));
        });
    });
    JanusSession session;
    session.setRequestTimeoutMs(60000); // the answer must come from the loss, not the timeout
    QSignalSpy ready(&session, &JanusSession::ready);
    QSignalSpy failed(&session, &JanusSession::failed);
    session.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort())));
    QVERIFY(ready.wait(10000));
    std::optional<QJsonObject> answer;
    session.attach(QStringLiteral("janus.plugin.videoroom"), [&answer](const QJsonObject& a) { answer = a; });
    QTRY_VERIFY_WITH_TIMEOUT(answer.has_value(), 10000);
    QVERIFY(!JanusSession::ok(*answer));
    QCOMPARE(failed.size(), 1);
}

QTEST_GUILESS_MAIN(TestJanusConfig)
#include "tst_janusconfig.moc"
