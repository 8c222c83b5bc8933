#include "BoxCatcher.h"
#include "ilive/LiveService.h"
#include "lobby/LiveListDlg.h"
#include "lobby/LoginDlg.h"
#include "remote/AppServer.h"
#include "room/LiveDlg.h"
#include "ServerProcess.h"
#include "shell/Resources.h"
#include "shell/Util.h"
#include "ui_LiveListDlg.h"
#include "ui_LoginDlg.h"

#include <QDateTime>
#include <QFile>
#include <QTest>

// Sign-in and room entry with the shipped live-video service against the real live relay.
class TestLoginRelay : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        LecternInitResources();
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
        SetAppServerUrl(m_server.jsonRpcUrl());
        LiveService::setDefaultUrl(QUrl(m_server.liveUrl()));
        GetSettings()->clear();
    }

    void cleanupTestCase()
    {
        GetSettings()->clear();
        GetSettings()->sync();
        m_server.stop();
    }

    void signInAndEnterLiveThroughRelay()
    {
        auto* service = dynamic_cast<LiveService*>(GetILive());
        QVERIFY(service);
        LoginDlg dlg;
        dlg.show();
        BoxCatcher boxes;
        dlg.form()->userTextEdit->setText(QStringLiteral("teacher01"));
        dlg.form()->pwdTextEdit->setText(QStringLiteral("123456"));
        QTest::mouseClick(dlg.form()->loginButton, Qt::LeftButton);

        LiveListDlg* lobby = LiveListDlg::GetInstance();
        QTRY_VERIFY_WITH_TIMEOUT(lobby->isVisible(), 15000);
        QVERIFY2(boxes.seen().isEmpty(), qPrintable(boxes.texts().join('|')));
        QVERIFY(service->isSignedIn());
        QCOMPARE(service->userId(), SessionRecord().value("userId").toString());
        QVERIFY(!dlg.isVisible() && lobby->isMaximized());
        // The settings hold the login id and the password as Base64 bytes, with which the next window
        // is filled in.
        GetSettings()->sync();
        QFile file(GetSettings()->fileName());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString ini = QString::fromUtf8(file.readAll());
        QVERIFY2(ini.contains("user=teacher01") && ini.contains("pwd=@ByteArray(MTIzNDU2)"), qPrintable(ini));
        LoginDlg next;
        QCOMPARE(next.form()->userTextEdit->text() + next.form()->pwdTextEdit->text(),
            QStringLiteral("teacher01123456"));

        // The live in progress, entered through the relay.
        QTRY_VERIFY_WITH_TIMEOUT(!lobby->lives().isEmpty(), 10000);
        const QVariantMap live
            = LiveListDlg::QuickEntryLive(lobby->lives(), QDateTime::currentMSecsSinceEpoch());
        QVERIFY(!live.isEmpty());
        QTest::mouseClick(lobby->form()->enterButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(g_liveDlg != nullptr, 15000);
        QVERIFY2(boxes.seen().isEmpty(), qPrintable(boxes.texts().join('|')));
        QVERIFY(service->isInRoom());
        QCOMPARE(int(service->roomId()), g_liveDlg->avRoomId());
        QCOMPARE(g_liveDlg->liveId(), live.value("liveId").toString());
        QVERIFY(!lobby->isVisible());
        g_liveDlg->hide();
    }

private:
    ServerProcess m_server;
};

QTEST_MAIN(TestLoginRelay)
#include "tst_loginrelay.moc"
