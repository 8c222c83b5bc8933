#include "remote/AppServer.h"
#include "remote/NetworkHelper.h"
#include "remote/Request.h"
#include "shell/waitingspinnerwidget.h"

#include "BoxCatcher.h"
#include "HttpFixture.h"

#include <QtTest>

#include <functional>

using Call = std::function<void(QWidget*)>;
Q_DECLARE_METATYPE(Call)

namespace {

// Callbacks, and the boxes shown, in the order they came.
QStringList g_events;
QVariantMap g_result;
void* g_context = nullptr;

void OnSuccess(const QVariantMap& result, void* context)
{
    g_events << "success";
    g_result = result;
    g_context = context;
}

void OnError(int code, const QVariantMap& error, void* context)
{
    g_events << QStringLiteral("error:%1").arg(code);
    g_result = error;
    g_context = context;
}

int Outcomes()
{
    return g_events.filter(QRegularExpression("^(success|error)")).size();
}

QJsonObject ParamsOf(const HttpRequestRecord& request, bool ownOnly = false)
{
    QJsonObject params = QJsonDocument::fromJson(request.body).object().value("params").toObject();
    if (ownOnly) {
        for (const char* common : { "ak", "channel", "clientVersion", "appType" })
            params.remove(QLatin1String(common));
    }
    return params;
}

QString Sha1Base64(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

} // namespace

class TestAppServer : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        SetAppServerUrl(m_server.url("/app-server/jsonrpc/"));
    }
    void init()
    {
        g_events.clear();
        g_result.clear();
        m_server.clearRequests();
        SessionRecord().clear();
    }
    void cleanup()
    {
        // No call outlives its outcome, and every box is an ownerless plain "OK".
        QTRY_COMPARE(Request::LiveCount(), 0);
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
        m_server.setHandler(nullptr);
        for (const BoxCatcher::Seen& box : m_boxes.seen()) {
            QCOMPARE(box.parent, nullptr);
            QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        }
        m_boxes.clear();
    }

    void envelopeBytesAreExact()
    {
        m_server.enqueue(HttpResponse::json("{\"result\":{}}"));
        const QVariantMap params { { "liveId", "L1" }, { "channel", "Mac" },
            { "nested", QVariantMap { { "b", 2 }, { "a", true } } } };
        AppServer_Call("live.begin", params, &OnSuccess, &OnError, this, nullptr, false);
        QTRY_COMPARE(Outcomes(), 1);
        QCOMPARE(g_context, static_cast<void*>(this));
        const HttpRequestRecord& r = m_server.requests().value(0);
        QCOMPARE(r.body,
            QByteArray(
                "{\n    \"jsonrpc\": \"2.0\",\n    \"method\": \"live.begin\",\n    \"params\": {\n"
                "        \"ak\": \"\",\n        \"appType\": \"rided4a_win\",\n        \"channel\": \"PC\",\n"
                "        \"clientVersion\": \"rided4a_win_1.0\",\n        \"liveId\": \"L1\",\n"
                "        \"nested\": {\n            \"a\": true,\n            \"b\": 2\n        }\n    "
                "}\n}\n"));
        QCOMPARE(r.target, QByteArray("/app-server/jsonrpc/"));
        QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));

        // After login the session's key goes with every call, and non-ASCII survives.
        SessionRecord().insert("ak", "AK-秘钥");
        m_server.enqueue(HttpResponse::json("{\"result\":{}}"));
        AppServer_Call(
            "x", { { "ak", "forged" }, { "title", "语文" } }, nullptr, nullptr, nullptr, nullptr, false);
        QVERIFY(m_server.waitForRequests(2));
        QCOMPARE(ParamsOf(m_server.requests()[1]).value("ak").toString(), QStringLiteral("AK-秘钥"));
        QCOMPARE(ParamsOf(m_server.requests()[1]).value("title").toString(), QStringLiteral("语文"));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QVariantMap>("expected");

        const QStringList ok { "success" };
        const QStringList badJson { "box:网络错误|无效的Json", "error:3" };
        QTest::newRow("scalars as text") << QByteArray(
            "{\"result\":{\"i\":42,\"big\":12345678901234,\"t\":true,\"s\":\"课\",\"nul\":null}}")
                                         << ok
                                         << QVariantMap { { "i", "42" }, { "big", "12345678901234" },
                                                { "t", "true" }, { "s", "课" }, { "nul", QVariant() } };
        QTest::newRow("nested lists of maps")
            << QByteArray("{\"result\":{\"list\":[{\"id\":1,\"tags\":[\"a\",2]}]}}") << ok
            << QVariantMap { { "list",
                   QVariantList { QVariantMap { { "id", "1" }, { "tags", QVariantList { "a", "2" } } } } } };
        QTest::newRow("error null, no result") << QByteArray("{\"error\":null}") << ok << QVariantMap();
        QTest::newRow("result not an object") << QByteArray("{\"result\":[1,2]}") << ok << QVariantMap();
        QTest::newRow("comments allowed")
            << QByteArray("// a\n{\"result\":{/* x */\"a\":1}}") << ok << QVariantMap { { "a", "1" } };
        QTest::newRow("stops at NUL")
            << QByteArray("{\"result\":{\"a\":1}}\0trailing", 27) << ok << QVariantMap { { "a", "1" } };
        QTest::newRow("array top level") << QByteArray("[{\"result\":{}}]") << badJson << QVariantMap();
        QTest::newRow("empty body") << QByteArray() << badJson << QVariantMap();
        QTest::newRow("broken json") << QByteArray("{\"result\":") << badJson << QVariantMap();
        QTest::newRow("error object")
            << QByteArray("{\"error\":{\"code\":-32601,\"message\":\"找不到方法\"}}")
            << QStringList { "box:网络错误|找不到方法", "error:4" }
            << QVariantMap { { "code", "-32601" }, { "message", "找不到方法" } };
        QTest::newRow("no permission") << QByteArray("{\"error\":{\"code\":109007,\"message\":\"denied\"}}")
                                       << QStringList { "box:网络错误|没有权限进入该直播", "error:4" }
                                       << QVariantMap { { "code", "109007" }, { "message", "denied" } };
        QTest::newRow("error not an object") << QByteArray("{\"error\":\"broken\",\"result\":{\"a\":1}}")
                                             << QStringList { "box:网络错误|", "error:4" } << QVariantMap();
        QTest::newRow("status 500") << QByteArray("{\"result\":{}}")
                                    << QStringList { "box:网络错误|网络错误", "error:2" } << QVariantMap();
    }
    void answers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QStringList, events);
        QFETCH(QVariantMap, expected);
        m_server.enqueue(
            HttpResponse::json(body, QTest::currentDataTag() == QByteArray("status 500") ? 500 : 200));
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE(Outcomes(), 1);
        // The box is closed before the error callback runs.
        QCOMPARE(g_events, events);
        QCOMPARE(g_result, expected);
    }

    void silentCallsAndTimeout()
    {
        // Without a box and without callbacks a failure only logs.
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}"));
        AppServer_Call("m", QVariantMap(), &OnSuccess, nullptr, this, nullptr, false);
        QVERIFY(m_server.waitForRequests(1));
        QTRY_COMPARE(Request::LiveCount(), 0);
        QVERIFY(g_events.isEmpty());

        // No answer: code 1 after the fixed 5000 ms, never retried.
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE_WITH_TIMEOUT(Outcomes(), 1, 8000);
        QCOMPARE(g_events, QStringList({ "box:网络错误|网络超时", "error:1" }));
        QTest::qWait(300);
        QCOMPARE(m_server.requests().size(), 2);
    }

    void waitingIndicatorFollowsTheCall()
    {
        QWidget window;
        window.resize(300, 200);
        window.show();
        HttpResponse slow = HttpResponse::json("{\"result\":{}}");
        slow.delayMs = 300;
        m_server.enqueue(slow);
        AppServer_CreateSig(&OnSuccess, &OnError, &window);
        QVERIFY(CurrentWaitingSpinner() && CurrentWaitingSpinner()->isSpinning());
        QCOMPARE(CurrentWaitingSpinner()->parentWidget(), &window);
        QTRY_COMPARE(Outcomes(), 1);
        QVERIFY(!CurrentWaitingSpinner() || !CurrentWaitingSpinner()->isSpinning());

        // The member list waits over nobody.
        m_server.enqueue(slow);
        AppServer_RoomMemberList("L", 1, 1000, &OnSuccess, &OnError, &window);
        QVERIFY(!CurrentWaitingSpinner() || !CurrentWaitingSpinner()->isSpinning());
        QTRY_COMPARE(Outcomes(), 2);
    }

    void methods_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<bool>("box");
#define CALL(expr) Call([](QWidget* w) { expr; })

        const QJsonObject av { { "liveRole", 1 }, { "avRoomId", 4321 } };
        QTest::newRow("sig") << CALL(AppServer_CreateSig(&OnSuccess, &OnError, w)) << "live.usersig.create"
                             << QJsonObject() << true;
        QTest::newRow("version") << CALL(AppServer_CheckVersion(&OnSuccess, &OnError, w, nullptr, false))
                                 << "client.version.check" << QJsonObject() << false;
        QTest::newRow("live list") << CALL(AppServer_LiveList(&OnSuccess, &OnError, w, w, true))
                                   << "live.list.by.teacher.id"
                                   << QJsonObject { { "teacherUserId", "77" }, { "pageNum", 1 },
                                          { "pageSize", 1000 } }
                                   << true;
        QJsonObject report { { "hostUserId", "77" }, { "liveId", "L9" } };
        report.insert("videoType", 0);
        report.insert("device", 2);
        QTest::newRow("report room") << CALL(AppServer_ReportRoom("L9", &OnSuccess, &OnError, w))
                                     << "live.report.room.info" << report << true;
        QTest::newRow("enter room") << CALL(AppServer_EnterRoom(4321, &OnSuccess, &OnError, w))
                                    << "live.enter.room" << av << true;
        QTest::newRow("member list") << CALL(AppServer_RoomMemberList("L9", 2, 50, &OnSuccess, &OnError, w))
                                     << "live.room.member.list"
                                     << QJsonObject { { "liveId", "L9" }, { "pageNum", 2 },
                                            { "pageSize", 50 } }
                                     << false;
        QTest::newRow("report on, text id")
            << CALL(AppServer_RoomMemberStateReport(
                   "L9", QString("s1"), true, &OnSuccess, &OnError, w, nullptr, false))
            << "live.room.member.status.report"
            << QJsonObject { { "liveId", "L9" }, { "action", "on" }, { "userId", "s1" } } << false;
        QTest::newRow("report off, number id")
            << CALL(AppServer_RoomMemberStateReport("L9", 15, false, &OnSuccess, &OnError, w, nullptr, true))
            << "live.room.member.status.report"
            << QJsonObject { { "liveId", "L9" }, { "action", "off" }, { "userId", 15 } } << true;
#undef CALL
    }
    void methods()
    {
        QFETCH(Call, call);
        QFETCH(QString, method);
        QFETCH(QJsonObject, params);
        QFETCH(bool, box);
        SessionRecord() = QVariantMap { { "userId", "77" }, { "ak", "k" } };
        QWidget window;
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":7,\"message\":\"nope\"}}"));
        call(&window);
        QTRY_COMPARE(Outcomes(), 1);
        const HttpRequestRecord& r = m_server.requests().value(0);
        QCOMPARE(QJsonDocument::fromJson(r.body).object().value("method").toString(), method);
        QCOMPARE(ParamsOf(r, true), params); // compares JSON types too
        QCOMPARE(ParamsOf(r).value("ak").toString(), QStringLiteral("k"));
        QCOMPARE(m_boxes.seen().size(), box ? 1 : 0);
    }

    void loginSaltsAndHashes()
    {
        const QString password = QStringLiteral("密码ü-pass");
        m_server.setHandler([](const HttpRequestRecord&) { return HttpResponse::json("{\"result\":{}}"); });
        QWidget window;
        const int logins = 12;
        for (int i = 0; i < logins; ++i)
            AppServer_Login("teacher01", password, &OnSuccess, &OnError, &window);
        QTRY_COMPARE(Outcomes(), logins);
        QSet<QString> salts;
        for (const HttpRequestRecord& r : m_server.requests()) {
            QCOMPARE(QJsonDocument::fromJson(r.body).object().value("method").toString(),
                QStringLiteral("user.login"));
            const QJsonObject params = ParamsOf(r, true);
            QCOMPARE(params.keys(),
                QStringList() << "loginId"
                              << "salt"
                              << "saltedPassword");
            QCOMPARE(params.value("loginId").toString(), QStringLiteral("teacher01"));
            const QString salt = params.value("salt").toString();
            QVERIFY2(QRegularExpression("^[1-9][0-9]{3,4}$").match(salt).hasMatch() && salt.toInt() <= 10998,
                qPrintable(salt));
            salts.insert(salt);
            QCOMPARE(params.value("saltedPassword").toString(), Sha1Base64(Sha1Base64(password) + salt));
            QVERIFY(!r.body.contains(password.toUtf8()) && !r.body.contains(Sha1Base64(password).toUtf8()));
        }
        QVERIFY(salts.size() > 1);
    }

private:
    HttpFixture m_server;
    BoxCatcher m_boxes { [](QMessageBox* box) {
        g_events << QStringLiteral("box:%1|%2").arg(box->windowTitle(), box->text());
    } };
};

QTEST_MAIN(TestAppServer)
#include "tst_appserver.moc"
