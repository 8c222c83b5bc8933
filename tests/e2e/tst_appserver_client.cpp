// The client's own app-server calls against a real lectern-server process on loopback: the
// version check with a published installer, login, signature, live list and a refused room.
#include "remote/AppServer.h"

#include <QApplication>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QtTest>

namespace {

quint16 FreePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// The calling window: the calls wait over it and report back to it.
class Caller : public QWidget {
public:
    bool done = false;
    int code = 0;
    QVariantMap result;
    QVariantMap error;

    static void OnOk(const QVariantMap& result, void* context)
    {
        auto* c = static_cast<Caller*>(context);
        c->result = result;
        c->done = true;
    }
    static void OnFail(int code, const QVariantMap& error, void* context)
    {
        auto* c = static_cast<Caller*>(context);
        c->code = code;
        c->error = error;
        c->done = true;
    }
    bool wait() { return QTest::qWaitFor([this] { return done; }, 8000); }
};

} // namespace

class TestAppServerClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        const QString downloads = m_dir.filePath("downloads");
        QVERIFY(QDir().mkpath(downloads));
        m_installer = QByteArray(70000, 'i') + "end";
        QFile setup(m_dir.filePath("LecternSetup.exe"));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write(m_installer);
        setup.close();

        const QString server = QStringLiteral(LECTERN_BIN_DIR "/lectern-server");
        const QStringList common{"--db", m_dir.filePath("lectern.db"), "--downloads", downloads};
        QCOMPARE(QProcess::execute(server, common + QStringList{"--publish", "rided4a_win_1.1", setup.fileName()}), 0);
        QVERIFY(QFile::exists(downloads + "/LecternSetup-rided4a_win_1.1.exe"));

        m_port = FreePort();
        quint16 livePort = FreePort();
        while (livePort == m_port)
            livePort = FreePort();
        m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_server.start(server, common + QStringList{"--demo", "--port", QString::number(m_port), "--live-port",
                                                    QString::number(livePort)});
        QVERIFY2(m_server.waitForStarted(5000), qPrintable(m_server.errorString()));
        QVERIFY(QTest::qWaitFor(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, m_port);
                return socket.waitForConnected(100);
            },
            15000));
        SetAppServerUrl(QStringLiteral("http://127.0.0.1:%1/app-server/jsonrpc/").arg(m_port));
    }

    void cleanupTestCase()
    {
        m_server.terminate();
        QVERIFY(m_server.waitForFinished(5000));
        QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server.exitCode(), 0);
    }

    void versionCheckOffersThePublishedInstaller()
    {
        Caller check;
        AppServer_CheckVersion(Caller::OnOk, Caller::OnFail, &check, nullptr, false);
        QVERIFY(check.wait());
        QCOMPARE(check.result.value("type").toInt(), 2);
        QCOMPARE(check.result.value("newestVersion").toString(), QStringLiteral("rided4a_win_1.1"));
        const QUrl url(check.result.value("updateUrl").toString(), QUrl::TolerantMode);
        QCOMPARE(url.fileName(), QStringLiteral("LecternSetup-rided4a_win_1.1.exe"));

        // What a resumed download asks for: the rest of the file from an offset.
        QNetworkAccessManager net;
        QNetworkRequest request(url);
        request.setRawHeader("Range", "bytes=60000-" + QByteArray::number(m_installer.size()));
        QNetworkReply* reply = net.get(request);
        QVERIFY(QTest::qWaitFor([reply] { return reply->isFinished(); }, 8000));
        QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 206);
        QCOMPARE(reply->readAll(), m_installer.mid(60000));
        delete reply;
    }

    void loginSignatureAndLiveList()
    {
        Caller login;
        AppServer_Login(QStringLiteral("teacher01"), QStringLiteral("123456"), Caller::OnOk, Caller::OnFail, &login);
        QVERIFY(login.wait());
        QCOMPARE(login.code, 0);
        QCOMPARE(login.result.value("nickname").toString(), QStringLiteral("王老师"));
        QVERIFY(!login.result.value("ak").toString().isEmpty());
        SessionRecord() = login.result;

        Caller sig;
        AppServer_CreateSig(Caller::OnOk, Caller::OnFail, &sig);
        QVERIFY(sig.wait());
        QCOMPARE(sig.code, 0);
        QVERIFY(sig.result.value("userSig").toString().contains('.'));

        Caller lives;
        AppServer_LiveList(Caller::OnOk, Caller::OnFail, &lives, &lives, true);
        QVERIFY(lives.wait());
        QCOMPARE(lives.code, 0);
        const QVariantList list = lives.result.value("list").toList();
        QCOMPARE(list.size(), 5);
        QSet<QString> states;
        int withoutRoom = 0;
        for (const QVariant& v : list) {
            const QVariantMap live = v.toMap();
            states.insert(live.value("state").toString());
            QVERIFY(!live.value("title").toString().isEmpty());
            QVERIFY(live.value("endTime").toLongLong() > live.value("startTime").toLongLong());
            QCOMPARE(live.value("startTime").type(), QVariant::String); // every scalar arrives as text
            withoutRoom += live.value("avRoomId").isNull() ? 1 : 0;
        }
        QCOMPARE(states, (QSet<QString>{"v", "s", "i", "e"}));
        QCOMPARE(withoutRoom, 1);
    }

    void anotherTeachersLiveIsRefusedWith109007()
    {
        Caller other;
        AppServer_Login(QStringLiteral("teacher02"), QStringLiteral("123456"), Caller::OnOk, Caller::OnFail, &other);
        QVERIFY(other.wait());
        SessionRecord() = other.result;
        Caller theirs;
        AppServer_LiveList(Caller::OnOk, Caller::OnFail, &theirs, nullptr, false);
        QVERIFY(theirs.wait());
        const QString liveId = theirs.result.value("list").toList().value(0).toMap().value("liveId").toString();
        QVERIFY(!liveId.isEmpty());

        Caller login;
        AppServer_Login(QStringLiteral("teacher01"), QStringLiteral("123456"), Caller::OnOk, Caller::OnFail, &login);
        QVERIFY(login.wait());
        SessionRecord() = login.result;

        QString boxText;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxText = box->text();
                box->accept();
            }
        });
        closer.start(20);
        Caller room;
        AppServer_CreateRoom(liveId, Caller::OnOk, Caller::OnFail, &room);
        QVERIFY(room.wait());
        QCOMPARE(room.code, int(AppServerErrorObject));
        QCOMPARE(room.error.value("code").toString(), QStringLiteral("109007"));
        QCOMPARE(boxText, QStringLiteral("没有权限进入该直播"));
    }

private:
    QTemporaryDir m_dir;
    QProcess m_server;
    quint16 m_port = 0;
    QByteArray m_installer;
};

QTEST_MAIN(TestAppServerClient)
#include "tst_appserver_client.moc"
