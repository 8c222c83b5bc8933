// The client's own app-server calls against a real lectern-server on loopback: the version check
// with a published installer and its download, login, signature, live list and a refused room.
#include "remote/AppServer.h"
#include "updater/downloadmanagerHTTP.h"

#include "BoxCatcher.h"
#include "CallOutcome.h"
#include "ServerProcess.h"

#include <QtTest>

class TestAppServerClient : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        for (quint32 i = 0; i < 700001; ++i) // odd-sized, so no range lines up
            m_installer += char((i * 7919u) >> 5);
        QFile setup(m_dir.filePath("LecternSetup.exe"));
        QVERIFY(setup.open(QIODevice::WriteOnly) && setup.write(m_installer) == m_installer.size());
        setup.close();
        const QStringList publish { "--publish", "rided4a_win_1.1", setup.fileName() };
        QCOMPARE(QProcess::execute(ServerProcess::program(), m_server.storageArguments() + publish), 0);
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        SetAppServerUrl(m_server.jsonRpcUrl());
    }

    void cleanupTestCase() { QVERIFY(m_server.stop()); } // terminated, it ends in time with code 0

    // A part file left by an earlier run, even one byte short of the whole, is continued from its
    // end; the server's answer to that range must still give the exact installer.
    void versionCheckOffersAnInstallerThatResumes()
    {
        CallOutcome check;
        AppServer_CheckVersion(CallOutcome::OnOk, CallOutcome::OnFail, &check, nullptr, false);
        QVERIFY(check.wait() && check.result.value("type").toInt() == 2);
        const QUrl url(check.result.value("updateUrl").toString(), QUrl::TolerantMode);

        DownloadManagerHTTP dm;
        dm.setDownloadFolder(m_dir.path());
        QSignalSpy complete(&dm, &DownloadManagerHTTP::downloadComplete);
        QSignalSpy failed(&dm, &DownloadManagerHTTP::downloadError);
        for (const int kept : { 300000, m_installer.size() - 1 }) {
            QFile part(m_dir.filePath(url.fileName() + ".part"));
            QVERIFY(part.open(QIODevice::WriteOnly) && part.write(m_installer.left(kept)) == kept);
            part.close();
            dm.download(url);
            QVERIFY(QTest::qWaitFor([&] { return !complete.isEmpty() || !failed.isEmpty(); }, 20000)
                && failed.isEmpty());
            QFile file(complete.takeFirst().value(0).toString());
            QVERIFY(file.open(QIODevice::ReadOnly) && file.readAll() == m_installer);
            QVERIFY(!part.exists() && file.remove());
        }
    }

    void signedInCallsAndARefusedRoom()
    {
        signIn("teacher02");
        CallOutcome theirs;
        AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &theirs, nullptr, false);
        QVERIFY(theirs.wait());
        const QString liveId
            = theirs.result.value("list").toList().value(0).toMap().value("liveId").toString();

        QCOMPARE(signIn("teacher01").value("nickname").toString(), QStringLiteral("王老师"));
        CallOutcome sig;
        AppServer_CreateSig(CallOutcome::OnOk, CallOutcome::OnFail, &sig, nullptr);
        QVERIFY(sig.wait() && sig.result.value("userSig").toString().contains('.'));
        CallOutcome lives;
        AppServer_LiveList(CallOutcome::OnOk, CallOutcome::OnFail, &lives, &lives, true);
        QVERIFY(lives.wait());
        int withoutRoom = 0;
        for (const QVariant& live : lives.result.value("list").toList()) {
            QCOMPARE(
                live.toMap().value("startTime").type(), QVariant::String); // every scalar arrives as text
            withoutRoom += live.toMap().value("avRoomId").isNull(); // a null stays null
        }
        QCOMPARE(withoutRoom, 1);

        BoxCatcher boxes;
        CallOutcome room;
        AppServer_CreateRoom(liveId, CallOutcome::OnOk, CallOutcome::OnFail, &room, nullptr);
        QVERIFY(room.wait());
        QCOMPARE(room.code, int(AppServerErrorObject));
        QCOMPARE(room.error.value("code").toString(), QStringLiteral("109007"));
        QCOMPARE(boxes.texts(), QStringList { QStringLiteral("没有权限进入该直播") });
    }

private:
    // Signs in and keeps the session, as the login window does.
    QVariantMap signIn(const char* loginId)
    {
        CallOutcome login;
        AppServer_Login(
            loginId, QStringLiteral("123456"), CallOutcome::OnOk, CallOutcome::OnFail, &login, nullptr);
        return SessionRecord() = login.wait() ? login.result : QVariantMap();
    }

    QTemporaryDir m_dir;
    ServerProcess m_server;
    QByteArray m_installer;
};

QTEST_MAIN(TestAppServerClient)
#include "tst_appserver_client.moc"
