#include "FakeILive.h"
#include "ScriptedAppServer.h"
#include "room/CmdMsgHelper.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestCmdMsg : public QObject {
    Q_OBJECT
private slots:
    void init() { m_service = FakeILive::install(); }
    void cleanup() { FakeILive::uninstall(); }

    void commandValuesAreTheSharedOnes();
    void commandObjectIsIndentedJsonWithActionParamAlwaysPresent_data();
    void commandObjectIsIndentedJsonWithActionParamAlwaysPresent();
    void groupAndPeerSendsCarryUtf8OnTheWire();
    void sendOutcomeIsLoggedWithCodeAndDescription();

private:
    FakeILive* m_service = nullptr;
};

void TestCmdMsg::commandValuesAreTheSharedOnes()
{
    QCOMPARE(int(CmdEnterRoom), 1);
    QCOMPARE(int(CmdLeaveRoom), 2);
    QCOMPARE(int(CmdLivePause), 4);
    QCOMPARE(int(CmdLiveEnd), 6);
    QCOMPARE(int(CmdInviteInteract), 2049);
    QCOMPARE(int(CmdMicOff), 2050);
    QCOMPARE(int(CmdAcceptInteract), 2051);
    QCOMPARE(int(CmdRejectInteract), 2052);
    QCOMPARE(int(CmdClassTime), 2053);
    QCOMPARE(sizeof(E_CustomCmd), size_t(4));
}

void TestCmdMsg::commandObjectIsIndentedJsonWithActionParamAlwaysPresent_data()
{
    QTest::addColumn<int>("cmd");
    QTest::addColumn<QString>("param");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("class time at start") << int(CmdClassTime) << QStringLiteral("0")
                                         << QByteArray("{\n    \"actionParam\": \"0\",\n    \"userAction\": 2053\n}\n");
    QTest::newRow("empty parameter") << int(CmdInviteInteract) << QStringLiteral("")
                                     << QByteArray("{\n    \"actionParam\": \"\",\n    \"userAction\": 2049\n}\n");
    QTest::newRow("null parameter") << int(CmdLiveEnd) << QString()
                                    << QByteArray("{\n    \"actionParam\": \"\",\n    \"userAction\": 6\n}\n");
    QTest::newRow("identity object with quotes and Chinese")
        << int(CmdEnterRoom) << QStringLiteral("{\"nickname\":\"小明\"}")
        << QByteArray("{\n    \"actionParam\": \"{\\\"nickname\\\":\\\"") + QStringLiteral("小明").toUtf8()
               + QByteArray("\\\"}\",\n    \"userAction\": 1\n}\n");
}

void TestCmdMsg::commandObjectIsIndentedJsonWithActionParamAlwaysPresent()
{
    QFETCH(int, cmd);
    QFETCH(QString, param);
    QFETCH(QByteArray, expected);
    QCOMPARE(CmdMsgHelper::BuildCmdJson(E_CustomCmd(cmd), param), expected);

    // The message holds exactly that text in one custom element.
    const ilive::Message msg = CmdMsgHelper::BuildCmdMessage(E_CustomCmd(cmd), param);
    QCOMPARE(msg.elems.size(), size_t(1));
    QCOMPARE(int(msg.elems[0]->type), 1);
    const auto* custom = static_cast<const ilive::MessageCustomElem*>(msg.elems[0]);
    QCOMPARE(QByteArray(custom->data.c_str(), int(custom->data.size())), expected);
    QCOMPARE(QByteArray(custom->ext.c_str()), QByteArray("LiveNotification"));

    // Receivers read it back as the same command and parameter.
    const QJsonObject object = QJsonDocument::fromJson(expected).object();
    QCOMPARE(object.value("userAction").toInt(), cmd);
    QCOMPARE(object.value("actionParam").toString(), param.isNull() ? QString("") : param);
}

void TestCmdMsg::groupAndPeerSendsCarryUtf8OnTheWire()
{
    CmdMsgHelper::sendGroupCmdMessage(CmdClassTime, QStringLiteral("125"));
    CmdMsgHelper::sendC2CCmdMessage(QStringLiteral("学生7"), CmdInviteInteract, QString());
    const QString chat = QStringLiteral("同学们好 hello ✓");
    CmdMsgHelper::sendGroupTextMessage(chat);

    QCOMPARE(m_service->calls,
             QStringList({ "sendGroupMessage", QStringLiteral("sendC2CMessage 学生7"), "sendGroupMessage" }));
    QCOMPARE(m_service->sent.size(), 3);

    QVERIFY(m_service->sent[0].to.isEmpty());
    QCOMPARE(FakeILive::customDataOf(m_service->sent[0].msg).toUtf8(),
             CmdMsgHelper::BuildCmdJson(CmdClassTime, QStringLiteral("125")));
    QCOMPARE(FakeILive::customExtOf(m_service->sent[0].msg), QStringLiteral("LiveNotification"));

    QCOMPARE(m_service->sent[1].to, QStringLiteral("学生7"));
    QCOMPARE(QJsonDocument::fromJson(FakeILive::customDataOf(m_service->sent[1].msg).toUtf8()).object()
                 .value("userAction").toInt(),
             2049);

    const ilive::Message& text = m_service->sent[2].msg;
    QCOMPARE(text.elems.size(), size_t(1));
    QCOMPARE(int(text.elems[0]->type), 0);
    const auto* elem = static_cast<const ilive::MessageTextElem*>(text.elems[0]);
    QCOMPARE(QByteArray(elem->content.c_str(), int(elem->content.size())), chat.toUtf8());
}

void TestCmdMsg::sendOutcomeIsLoggedWithCodeAndDescription()
{
    LogLines log;
    CmdMsgHelper::sendGroupCmdMessage(CmdLiveEnd, QString());
    QCOMPARE(log.count(QStringLiteral("发送群发指令,cmd:6 param:")), 1);
    QCOMPARE(log.count(QStringLiteral("发送消息成功")), 1);

    m_service->sendCode = 6011;
    m_service->sendDesc = QStringLiteral("to_user invalid");
    CmdMsgHelper::sendC2CCmdMessage(QStringLiteral("nobody"), CmdMicOff, QString());
    QCOMPARE(log.count(QStringLiteral("发送指令,userId:nobody cmd:2050 param:")), 1);
    QCOMPARE(log.count(QStringLiteral("发送消息失败,code：6011 desc:to_user invalid")), 1);
    QCOMPARE(log.count(QStringLiteral("发送消息成功")), 1);

    // Placeholders inside a user id are logged as they are.
    CmdMsgHelper::sendC2CCmdMessage(QStringLiteral("u%1x"), CmdMicOff, QStringLiteral("%2"));
    QCOMPARE(log.count(QStringLiteral("发送指令,userId:u%1x cmd:2050 param:%2")), 1);

    // A failed chat send is reported the same way and nothing else happens.
    CmdMsgHelper::sendGroupTextMessage(QStringLiteral("x"));
    QCOMPARE(log.count(QStringLiteral("发送消息失败,code：6011")), 3);
}

QTEST_MAIN(TestCmdMsg)
#include "tst_cmdmsg.moc"
