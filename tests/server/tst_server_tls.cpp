// lectern-server over HTTPS and WSS with a certificate made for the test: what a student on
// another machine goes through, and what a wrong certificate or a plain client meets.
#include "app/AppServer.h"
#include "protocol/LoginHash.h"

#include "ClassPeers.h"
#include "ServerProcess.h"
#include "TestCertificate.h"

#include <QFile>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <memory>

using namespace classpeers;

class TestServerTls : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TestCertificate m_cert;
    ServerProcess m_server;

    QByteArray get(const QString& path, int* status)
    {
        QNetworkAccessManager net;
        std::unique_ptr<QNetworkReply> reply(net.get(QNetworkRequest(QUrl(m_server.baseUrl() + path))));
        (void)QTest::qWaitFor([&reply] { return reply->isFinished(); }, kWaitMs);
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return reply->readAll();
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_cert.make(m_dir.path(), &error), qPrintable(error));
        // Every client in this test trusts the test's certificate, and only it.
        QSslConfiguration::setDefaultConfiguration(m_cert.trusting());
        QVERIFY2(m_server.start(&error, { "--tls-cert", m_cert.certFile, "--tls-key", m_cert.keyFile }),
            qPrintable(error));
        QVERIFY(m_server.isSecure());
    }

    void signInPageAndRelayGoOverTls()
    {
        const Account teacher = signIn(m_server, "teacher01");
        QVERIFY2(!teacher.ak.isEmpty() && !teacher.userSig.isEmpty(), "user.login over HTTPS");

        int status = 0;
        QVERIFY(get("/student/", &status).contains("<script"));
        QCOMPARE(status, 200);
        const QJsonObject config = QJsonDocument::fromJson(get("/student/config.json", &status)).object();
        QCOMPARE(config.value("livePort").toInt(), int(m_server.livePort()));

        // The teacher opens the live in progress and enters its room over WSS.
        const QJsonArray lives = result(m_server, "live.list.by.teacher.id",
            { { "teacherUserId", teacher.userId }, { "pageNum", 1 }, { "pageSize", 100 } }, teacher.ak)
                                     .value("list")
                                     .toArray();
        QString liveId;
        for (const QJsonValue& l : lives)
            if (l.toObject().value("state").toString() == QLatin1String("i"))
                liveId = l.toObject().value("liveId").toString();
        QVERIFY(!liveId.isEmpty());
        const qint64 room = result(m_server, "live.create.room",
            { { "hostUserId", teacher.userId }, { "liveId", liveId } }, teacher.ak)
                                .value("avRoomId")
                                .toVariant()
                                .toLongLong();
        QVERIFY(room > 0);
        RelayClient relay(m_server.liveUrl());
        QCOMPARE(relay.ask(relayop::login(teacher.userId, teacher.userSig)).code, 0);
        QCOMPARE(relay.ask(relayop::createRoom(quint32(room), "LiveMaster")).code, 0);

        QWebSocket ws;
        QStringList texts;
        connect(&ws, &QWebSocket::textMessageReceived, this, [&texts](const QString& t) { texts << t; });
        ws.open(QUrl(m_server.liveUrl()));
        QTRY_COMPARE_WITH_TIMEOUT(ws.state(), QAbstractSocket::ConnectedState, kWaitMs);
        const Account student = signIn(m_server, "student01");
        QVERIFY(rpc(m_server, "live.enter.room", { { "liveRole", 0 }, { "avRoomId", room } }, student.ak)
                    .contains("result"));
        ws.sendTextMessage(
            QString::fromUtf8(relayop::request(relayop::login(student.userId, student.userSig), 1)));
        ws.sendTextMessage(QString::fromUtf8(relayop::request(relayop::joinRoom(quint32(room)), 2)));
        ws.sendTextMessage(R"({"op":"ping","id":3,"seq":99})");
        QTRY_VERIFY_WITH_TIMEOUT(texts.contains(R"({"id":3,"seq":99,"op":"pong"})"), kWaitMs);
        QCOMPARE(texts.filter(R"("code":0)").size(), 2); // signed in, and in the room
        QVERIFY(relay.event(relayop::kEntered, student.userId));
    }

    void plainClientsOnTheTlsPortsFailCleanly()
    {
        QTcpSocket http;
        http.connectToHost(QHostAddress::LocalHost, m_server.port());
        QVERIFY(http.waitForConnected(5000));
        http.write(
            "POST /app-server/jsonrpc/ HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            "Content-Length: 2\r\n\r\n{}");
        QByteArray answer;
        QVERIFY(QTest::qWaitFor(
            [&] {
                answer += http.readAll();
                return http.state() == QAbstractSocket::UnconnectedState;
            },
            kWaitMs));
        QVERIFY2(!answer.contains("HTTP/1."), answer.constData()); // nothing served in the clear

        QWebSocket ws;
        QSignalSpy opened(&ws, &QWebSocket::connected);
        QSignalSpy gone(&ws, &QWebSocket::disconnected);
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(m_server.livePort())));
        QTRY_VERIFY_WITH_TIMEOUT(gone.count() > 0, kWaitMs);
        QCOMPARE(opened.count(), 0);

        QVERIFY(m_server.isRunning());
        QVERIFY(!signIn(m_server, "student02").ak.isEmpty());
    }

    // OpenSSL 3 itself refuses TLS 1.1 unless told otherwise: the same command is shown to get
    // TLS 1.1 from a server that offers it, so its failure against ours says something.
    void httpsRefusesTls11AndAsksForHttpsOnly()
    {
        const auto handshake = [](quint16 port, const char* version) {
            QProcess client;
            client.start("openssl",
                { "s_client", "-connect", QStringLiteral("127.0.0.1:%1").arg(port), version, "-cipher",
                    "DEFAULT@SECLEVEL=0" });
            client.closeWriteChannel();
            if (!client.waitForFinished(kWaitMs))
                client.kill(), client.waitForFinished(3000);
            return QString::fromUtf8(client.readAllStandardOutput() + client.readAllStandardError());
        };
        // The version agreed on, empty when the handshake failed ("Cipher is (NONE)").
        const auto agreed = [](const QString& said) {
            const QRegularExpressionMatch m
                = QRegularExpression(QStringLiteral("Protocol *: *(TLSv1\\.[0-3])")).match(said);
            return said.contains("Cipher is ") && !said.contains("Cipher is (NONE)") ? m.captured(1)
                                                                                     : QString();
        };

        QProcess tls11Server;
        tls11Server.start("openssl",
            { "s_server", "-accept", "127.0.0.1:0", "-cert", m_cert.certFile, "-key", m_cert.keyFile,
                "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0", "-naccept", "1" });
        QByteArray banner;
        QVERIFY2(QTest::qWaitFor(
                     [&] {
                         banner += tls11Server.readAllStandardOutput();
                         return banner.contains("ACCEPT") && banner.endsWith('\n');
                     },
                     kWaitMs),
            banner.constData());
        const quint16 controlPort = quint16(banner.mid(banner.lastIndexOf(':') + 1).trimmed().toUInt());
        const QString control = handshake(controlPort, "-tls1_1");
        tls11Server.kill();
        tls11Server.waitForFinished(3000);
        QCOMPARE(agreed(control), QStringLiteral("TLSv1.1"));

        const QString ours = handshake(m_server.port(), "-tls1_1");
        QVERIFY2(ours.contains("CONNECTED") && agreed(ours).isEmpty(), qPrintable(ours));
        QCOMPARE(agreed(handshake(m_server.port(), "-tls1_2")), QStringLiteral("TLSv1.2"));

        QNetworkAccessManager net;
        std::unique_ptr<QNetworkReply> reply(
            net.get(QNetworkRequest(QUrl(m_server.baseUrl() + "/student/"))));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QVERIFY(reply->rawHeader("Strict-Transport-Security").startsWith("max-age="));
    }

    void httpsHandshakesThatNeverFinishAreDroppedAndFreeTheirSlots()
    {
        QTemporaryDir dir;
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("lectern.db");
        o.logRequests = false;
        o.idleTimeoutSecs = 1;
        o.maxConnectionsPerAddress = 3;
        o.tlsCertPem = m_cert.certPem.toStdString();
        o.tlsKeyPem = m_cert.keyPem.toStdString();
        appserver::AppServer server(o);
        QString error;
        QVERIFY2(server.listen("127.0.0.1", 0, &error), qPrintable(error));
        server.store().addUser("t1", "123456", "王老师", "t");

        // Every slot of this address taken by a connection that never says hello, or stops halfway.
        std::vector<std::unique_ptr<QTcpSocket>> stalled;
        for (int i = 0; i < 3; ++i) {
            stalled.push_back(std::make_unique<QTcpSocket>());
            stalled.back()->connectToHost(QHostAddress::LocalHost, server.port());
            QVERIFY(stalled.back()->waitForConnected(5000));
        }
        stalled[1]->write(QByteArray::fromHex("1603010200010001fc0303"));
        for (const auto& s : stalled)
            QTRY_COMPARE_WITH_TIMEOUT(s->state(), QAbstractSocket::UnconnectedState, 10000);

        QNetworkAccessManager net;
        QNetworkRequest request(QUrl(QStringLiteral("https://127.0.0.1:%1%2")
                                         .arg(server.port())
                                         .arg(QLatin1String(appserver::AppServer::kRpcPath))));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        const QJsonObject call { { "jsonrpc", "2.0" }, { "id", 1 }, { "method", "user.login" },
            { "params",
                QJsonObject { { "loginId", "t1" }, { "salt", "4321" },
                    { "saltedPassword", loginhash::saltedPassword("123456", "4321") } } } };
        std::unique_ptr<QNetworkReply> reply(net.post(request, QJsonDocument(call).toJson()));
        QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), kWaitMs);
        QVERIFY(!QJsonDocument::fromJson(reply->readAll())
                     .object()
                     .value("result")
                     .toObject()
                     .value("ak")
                     .toString()
                     .isEmpty());
    }

    void badTlsFlagsExitWithAMessage_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        const QString cert = m_cert.certFile;
        const QString key = m_cert.keyFile;
        const QString missing = m_dir.filePath("missing.pem");
        const QString notPem = m_dir.filePath("not.pem");
        QFile f(notPem);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write("hello\n") == 6);
        f.close();
        QTest::newRow("cert without key") << QStringList { "--tls-cert", cert } << "go together";
        QTest::newRow("key without cert") << QStringList { "--tls-key", key } << "go together";
        QTest::newRow("missing cert")
            << QStringList { "--tls-cert", missing, "--tls-key", key } << "cannot read the certificate";
        QTest::newRow("key not PEM") << QStringList { "--tls-cert", cert, "--tls-key", notPem }
                                     << "is not a PEM file";
        QTest::newRow("another key") << QStringList { "--tls-cert", cert, "--tls-key", m_cert.otherKeyFile }
                                     << "does not belong to the certificate";
        QTest::newRow("cert as key") << QStringList { "--tls-cert", cert, "--tls-key", cert }
                                     << "cannot use the certificate";
        QTest::newRow("folder as cert")
            << QStringList { "--tls-cert", m_dir.path(), "--tls-key", key } << "certificate";
    }

    void badTlsFlagsExitWithAMessage()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        QTemporaryDir data;
        QProcess p;
        p.start(ServerProcess::program(),
            QStringList { "--port", "0", "--live-port", "0", "--db", data.filePath("db"), "--downloads",
                data.filePath("dl") }
                + args);
        const bool ended = p.waitForFinished(15000);
        if (!ended)
            p.kill(), p.waitForFinished(3000);
        QVERIFY2(ended, "the server went on serving");
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(err.contains(says), qPrintable(err));
        QVERIFY(!QString::fromUtf8(p.readAllStandardOutput()).contains("app server on"));
    }
};

QTEST_MAIN(TestServerTls)
#include "tst_server_tls.moc"
