#include "FakeILive.h"
#include "LogCapture.h"
#include "room/CmdMsgHelper.h"

#include <QtTest>

class TestCmdMsg : public QObject {
    Q_OBJECT
private slots:
    void init() { m_service = FakeILive::install(); }
    void cleanup() { FakeILive::uninstall(); }

    void commandIsIndentedJsonWithActionParamAlwaysPresent_data();
    void commandIsIndentedJsonWithActionParamAlwaysPresent();
    void sendOutcomeIsLoggedWithCodeAndDescription();

private:
    FakeILive* m_service = nullptr;
};

void TestCmdMsg::commandIsIndentedJsonWithActionParamAlwaysPresent_data()
{
    QTest::addColumn<int>("cmd");
    QTest::addColumn<QString>("param");
    QTest::addColumn<QByteArray>("expected");
    auto json = [](const QByteArray& param, int action) {
        return "{\n    \"actionParam\": \"" + param + "\",\n    \"userAction\": " + QByteArray::number(action)
            + "\n}\n";
    };
    QTest::newRow("null") << int(CmdLiveEnd) << QString() << json("", 6);
    QTest::newRow("identity with quotes and Chinese")
        << int(CmdEnterRoom) << QStringLiteral("{\"nickname\":\"小明\"}")
        << json("{\\\"nickname\\\":\\\"" + QStringLiteral("小明").toUtf8() + "\\\"}", 1);
}

void TestCmdMsg::commandIsIndentedJsonWithActionParamAlwaysPresent()
{
    QFETCH(int, cmd);
    QFETCH(QString, param);
    QFETCH(QByteArray, expected);
    QCOMPARE(CmdMsgHelper::BuildCmdJson(E_CustomCmd(cmd), param), expected);
    // The message holds exactly that text in one custom element.
    const ilive::Message msg = CmdMsgHelper::BuildCmdMessage(E_CustomCmd(cmd), param);
    QCOMPARE(msg.elems.size(), size_t(1));
    QCOMPARE(FakeILive::customDataOf(msg).toUtf8(), expected);
    QCOMPARE(FakeILive::customExtOf(msg), QStringLiteral("LiveNotification"));
}

void TestCmdMsg::sendOutcomeIsLoggedWithCodeAndDescription()
{
    LogCapture log;
    CmdMsgHelper::sendGroupCmdMessage(CmdLiveEnd, QString());
    QCOMPARE(log.count(QStringLiteral("发送群发指令,cmd:6 param:")), 1);
    QCOMPARE(log.count(QStringLiteral("发送消息成功")), 1);

    m_service->sendCode = 6011;
    m_service->sendDesc = QStringLiteral("to_user invalid");
    CmdMsgHelper::sendC2CCmdMessage(QStringLiteral("nobody"), CmdMicOff, QString());
    QCOMPARE(log.count(QStringLiteral("发送指令,userId:nobody cmd:2050 param:")), 1);
    QCOMPARE(log.count(QStringLiteral("发送消息失败,code：6011 desc:to_user invalid")), 1);

    // Regression: placeholders inside a user id were filled in by the log line's own arguments.
    CmdMsgHelper::sendC2CCmdMessage(QStringLiteral("u%1x"), CmdMicOff, QStringLiteral("%2"));
    QCOMPARE(log.count(QStringLiteral("发送指令,userId:u%1x cmd:2050 param:%2")), 1);
}

QTEST_MAIN(TestCmdMsg)
#include "tst_cmdmsg.moc"
