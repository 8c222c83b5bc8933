#include "remote/AppServer.h"
#include "remote/NetworkHelper.h"
#include "remote/Request.h"

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

void OnSuccess(const QVariantMap& result, void*)
{
    g_events << "success";
    g_result = result;
}

void OnError(int code, const QVariantMap& error, void*)
{
    g_events << QStringLiteral("error:%1").arg(code);
    g_result = error;
}

int Outcomes()
{
    return g_events.filter(QRegularExpression("^(success|error)")).size();
}

QJsonObject ParamsOf(const HttpRequestRecord& request, bool ownOnly = false)
{
    QJsonObject params = QJsonDocument::fromJson(request.body).object().value("params").toObject();
    for (const char* common : { "ak", "channel", "clientVersion", "appType" })
        if (ownOnly)
            params.remove(QLatin1String(common));
    return params;
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
    void cleanup()
    {
        // No call outlives its outcome, and every box is an ownerless plain "OK".
        QTRY_COMPARE(Request::LiveCount(), 0);
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
        m_server.setHandler(nullptr);
        for (const BoxCatcher::Seen& box : m_boxes.seen())
            QVERIFY(!box.parent && box.buttons == QMessageBox::Ok);
        m_boxes.clear();
        g_events.clear();
        g_result.clear();
        m_server.clearRequests();
        SessionRecord().clear();
    }

    void envelopeBytesAreExact()
    {
        m_server.enqueue(HttpResponse::json("{\"result\":{}}"));
        const QVariantMap params { { "liveId", "L1" }, { "channel", "Mac" },
            { "nested", QVariantMap { { "b", 2 }, { "a", true } } } };
        AppServer_Call("live.begin", params, &OnSuccess, &OnError, this, nullptr, false);
        QTRY_COMPARE(Outcomes(), 1);
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

        // After login the session's key goes with every call, and non-ASCII survives. Without a box
        // and without callbacks a failure only logs.
        SessionRecord().insert("ak", "AK-秘钥");
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}"));
        AppServer_Call(
            "x", { { "ak", "forged" }, { "title", "语文" } }, nullptr, nullptr, nullptr, nullptr, false);
        QVERIFY(m_server.waitForRequests(2));
        QTRY_COMPARE(Request::LiveCount(), 0);
        QVERIFY(g_events.size() == 1 && m_boxes.seen().isEmpty());
        const QJsonObject sent = ParamsOf(m_server.requests()[1]);
        QCOMPARE(sent.value("ak").toString() + sent.value("title").toString(), QStringLiteral("AK-秘钥语文"));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QVariantMap>("expected");
        const QStringList ok { "success" }, badJson { "box:网络错误|无效的Json", "error:3" };
        QTest::newRow("scalars as text, nested")
            << QByteArray("{\"result\":{\"big\":12345678901234,\"t\":true,\"nul\":null,\"list\":[{\"id\":1,"
                          "\"tags\":[\"课\",2]}]}}")
            << ok
            << QVariantMap { { "big", "12345678901234" }, { "t", "true" }, { "nul", QVariant() },
                   { "list",
                       QVariantList {
                           QVariantMap { { "id", "1" }, { "tags", QVariantList { "课", "2" } } } } } };
        QTest::newRow("error null, result not an object")
            << QByteArray("{\"error\":null,\"result\":[1]}") << ok << QVariantMap();
        QTest::newRow("comments, stops at NUL")
            << QByteArrayLiteral("// a\n{\"result\":{/* x */\"a\":1}}\0trailing") << ok
            << QVariantMap { { "a", "1" } };
        QTest::newRow("array top level") << QByteArray("[{\"result\":{}}]") << badJson << QVariantMap();
        QTest::newRow("broken json") << QByteArray("{\"result\":") << badJson << QVariantMap();
        QTest::newRow("error object")
            << QByteArray("{\"error\":{\"code\":-32601,\"message\":\"找不到方法\"}}")
            << QStringList { "box:网络错误|找不到方法", "error:4" }
            << QVariantMap { { "code", "-32601" }, { "message", "找不到方法" } };
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
        QCOMPARE(g_events, events); // the box is closed before the error callback runs
        QCOMPARE(g_result, expected);
    }

    void timesOutOnceAfterFiveSeconds()
    {
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE_WITH_TIMEOUT(Outcomes(), 1, 8000);
        QCOMPARE(g_events, QStringList({ "box:网络错误|网络超时", "error:1" }));
        QTest::qWait(300);
        QCOMPARE(m_server.requests().size(), 1); // never retried
    }

    // Calls no end-to-end test makes with these arguments.
    void methods_data()
    {
        QTest::addColumn<Call>("call");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<bool>("box");
#define CALL(expr) Call([](QWidget* w) { expr; })
        QTest::newRow("report room") << CALL(AppServer_ReportRoom("L9", &OnSuccess, &OnError, w, w))
                                     << "live.report.room.info"
                                     << QJsonObject { { "hostUserId", "77" }, { "liveId", "L9" },
                                            { "videoType", 0 }, { "device", 2 } }
                                     << true;
        QTest::newRow("enter room") << CALL(AppServer_EnterRoom(4321, &OnSuccess, &OnError, w, w))
                                    << "live.enter.room"
                                    << QJsonObject { { "liveRole", 1 }, { "avRoomId", 4321 } } << true;
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
        const auto Sha1Base64 = [](const QString& text) {
            return QString(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toBase64());
        };
        const QString password = QStringLiteral("密码ü-pass");
        m_server.setHandler([](const HttpRequestRecord&) { return HttpResponse::json("{\"result\":{}}"); });
        QWidget window;
        for (int i = 0; i < 8; ++i)
            AppServer_Login("teacher01", password, &OnSuccess, &OnError, &window, &window);
        QTRY_COMPARE(Outcomes(), 8);
        QSet<QString> salts;
        for (const HttpRequestRecord& r : m_server.requests()) {
            const QJsonObject params = ParamsOf(r, true);
            QCOMPARE(params.keys(), QStringList({ "loginId", "salt", "saltedPassword" }));
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
