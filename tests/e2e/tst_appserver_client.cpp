// The client's own app-server calls against a real lectern-server process on loopback: the
// version check with a published installer, login, signature, live list and a refused room.
#include "remote/AppServer.h"

#include "CallOutcome.h"
#include "ServerProcess.h"

#include <QApplication>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

class TestAppServerClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_installer = QByteArray(70000, 'i') + "end";
        QFile setup(m_dir.filePath("LecternSetup.exe"));
        QVERIFY(setup.open(QIODevice::WriteOnly));
        setup.write(m_installer);
        setup.close();

        const QStringList publish{"--publish", "rided4a_win_1.1", setup.fileName()};
        QCOMPARE(QProcess::execute(ServerProcess::program(), m_server.storageArguments() + publish), 0);
        QVERIFY(QFile::exists(m_server.downloadsPath() + "/LecternSetup-rided4a_win_1.1.exe"));

        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        SetAppServerUrl(m_server.jsonRpcUrl());
    }

    void cleanupTestCase()
    {
        // A clean end: terminated, it finishes in time with exit code 0.
        QVERIFY(m_server.stop());
    }

    void versionCheckOffersThePublishedInstaller()
    {
        CallOutcome check;
        AppServer_CheckVersion(CallOutcome::OnOk, CallOutcome::OnFail, &check, nullptr, false);
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
        CallOutcome login;
        AppServer_Login(QStringLiteral("teacher01"), QStringLiteral("123456"),
            CallOutcome::OnOk, CallOutcome::OnFail, &login);
        QVERIFY(login.wait());
        QCOMPARE(login.code, 0);
        QCOMPARE(login.result.value("nickname").toString(), QStringLiteral("王老师"));
        QVERIFY(!login.result.value("ak").toString().isEmpty());
        SessionRecord() = login.result;

        CallOutcome sig;
        AppServer_CreateSig(CallOutcome::OnOk, CallOutcome::OnFail, &sig);
        QVERIFY(sig.wait());
        QCOMPARE(sig.code, 0);
        QVERIFY(sig.result.value("userSig").toString().contains('.'));

        CallOutcome lives;
        AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &lives, &lives, true);
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
        QVERIFY(signIn(QStringLiteral("teacher02")));
        CallOutcome theirs;
        AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &theirs, nullptr, false);
        QVERIFY(theirs.wait());
        const QString liveId = theirs.result.value("list").toList().value(0).toMap().value("liveId").toString();
        QVERIFY(!liveId.isEmpty());

        QVERIFY(signIn(QStringLiteral("teacher01")));

        QString boxText;
        QTimer closer;
        connect(&closer, &QTimer::timeout, this, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                boxText = box->text();
                box->accept();
            }
        });
        closer.start(20);
        CallOutcome room;
        AppServer_CreateRoom(liveId, CallOutcome::OnOk, CallOutcome::OnFail, &room);
        QVERIFY(room.wait());
        QCOMPARE(room.code, int(AppServerErrorObject));
        QCOMPARE(room.error.value("code").toString(), QStringLiteral("109007"));
        QCOMPARE(boxText, QStringLiteral("没有权限进入该直播"));
    }

private:
    // Signs in and keeps the session, as the login window does; false when no answer came.
    bool signIn(const QString& loginId)
    {
        CallOutcome login;
        AppServer_Login(loginId, QStringLiteral("123456"), CallOutcome::OnOk, CallOutcome::OnFail, &login);
        const bool answered = login.wait();
        SessionRecord() = login.result;
        return answered;
    }

    QTemporaryDir m_dir;
    ServerProcess m_server;
    QByteArray m_installer;
};

QTEST_MAIN(TestAppServerClient)
#include "tst_appserver_client.moc"
