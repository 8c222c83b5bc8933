#include "remote/AppServer.h"
#include "remote/NetworkHelper.h"
#include "remote/Request.h"
#include "shell/waitingspinnerwidget.h"

#include "HttpFixture.h"

#include <QMessageBox>
#include <QtTest>

#include <json/json.h>

#include <functional>
#include <memory>

Q_DECLARE_METATYPE(std::function<void(QWidget*)>)

namespace {

// What the callbacks and the error box saw, in order.
struct Recorder {
    QStringList events;
    QVariantMap result;
    QVariantMap error;
    int code = 0;
    int successes = 0;
    int errors = 0;
    void* context = nullptr;
};
Recorder* g_rec = nullptr;

void OnSuccess(const QVariantMap& result, void* context)
{
    g_rec->events << QStringLiteral("success");
    g_rec->result = result;
    g_rec->context = context;
    ++g_rec->successes;
}

void OnError(int code, const QVariantMap& error, void* context)
{
    g_rec->events << QStringLiteral("error:%1").arg(code);
    g_rec->code = code;
    g_rec->error = error;
    g_rec->context = context;
    ++g_rec->errors;
}

QJsonObject ParamsOf(const HttpRequestRecord& request)
{
    return QJsonDocument::fromJson(request.body).object().value("params").toObject();
}

QJsonObject OwnParams(const HttpRequestRecord& request)
{
    QJsonObject params = ParamsOf(request);
    for (const char* common : {"ak", "channel", "clientVersion", "appType"})
        params.remove(QLatin1String(common));
    return params;
}

QString IndependentSha1Base64(const QString& text)
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
        g_rec = &m_rec;
        // Closes each modal box a moment after it opens and notes its title and text.
        connect(&m_boxCloser, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            m_rec.events << QStringLiteral("box:%1|%2").arg(box->windowTitle(), box->text());
            QCOMPARE(box->parentWidget(), nullptr);
            QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
            box->done(QMessageBox::Ok);
        });
        m_boxCloser.start(20);
    }
    void init()
    {
        m_rec = Recorder();
        m_server.clearRequests();
        SessionRecord().clear();
    }
    void cleanup()
    {
        // No call outlives its outcome.
        QTRY_COMPARE(Request::LiveCount(), 0);
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
        m_server.setHandler(nullptr);
    }

    void envelopeBytesAreExact()
    {
        m_server.enqueue(HttpResponse::json("{\"result\":{}}"));
        QVariantMap params{{"liveId", "L1"}, {"channel", "Mac"}, {"zeta", 3}, {"flag", true},
                           {"nested", QVariantMap{{"b", "2"}, {"a", "1"}}}};
        const QVariantMap before = params;
        AppServer_Call("live.begin", params, &OnSuccess, &OnError, this, nullptr, false);
        QCOMPARE(params, before);
        QTRY_COMPARE(m_rec.successes, 1);

        const QByteArray expected = "{\n"
                                    "    \"jsonrpc\": \"2.0\",\n"
                                    "    \"method\": \"live.begin\",\n"
                                    "    \"params\": {\n"
                                    "        \"ak\": \"\",\n"
                                    "        \"appType\": \"rided4a_win\",\n"
                                    "        \"channel\": \"PC\",\n"
                                    "        \"clientVersion\": \"rided4a_win_1.0\",\n"
                                    "        \"flag\": true,\n"
                                    "        \"liveId\": \"L1\",\n"
                                    "        \"nested\": {\n"
                                    "            \"a\": \"1\",\n"
                                    "            \"b\": \"2\"\n"
                                    "        },\n"
                                    "        \"zeta\": 3\n"
                                    "    }\n"
                                    "}\n";
        const HttpRequestRecord& r = m_server.requests().value(0);
        QCOMPARE(r.body, expected);
        QCOMPARE(r.target, QByteArray("/app-server/jsonrpc/"));
        QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(m_rec.context, static_cast<void*>(this));

        // After login the session's key goes with every call, and non-ASCII survives.
        SessionRecord().insert("ak", "AK-秘钥");
        m_server.enqueue(HttpResponse::json("{\"result\":{}}"));
        AppServer_Call("x", QVariantMap{{"ak", "forged"}, {"title", "语文"}}, nullptr, nullptr, nullptr, nullptr, false);
        QVERIFY(m_server.waitForRequests(2));
        const QJsonObject sent = ParamsOf(m_server.requests()[1]);
        QCOMPARE(sent.value("ak").toString(), QStringLiteral("AK-秘钥"));
        QCOMPARE(sent.value("title").toString(), QStringLiteral("语文"));
        QVERIFY(!QJsonDocument::fromJson(m_server.requests()[1].body).object().contains("id"));
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("code"); // 0 success
        QTest::addColumn<QVariantMap>("expected");
        QTest::addColumn<QString>("boxText");

        const QVariantMap none;
        QTest::newRow("number as text") << QByteArray("{\"jsonrpc\":\"2.0\",\"result\":{\"n\":5}}") << 0
                                        << QVariantMap{{"n", "5"}} << QString();
        QTest::newRow("scalars as text")
            << QByteArray("{\"result\":{\"i\":42,\"neg\":-7,\"big\":12345678901234,\"t\":true,\"f\":false,"
                          "\"s\":\"课\",\"nul\":null}}")
            << 0
            << QVariantMap{{"i", "42"}, {"neg", "-7"}, {"big", "12345678901234"}, {"t", "true"}, {"f", "false"},
                           {"s", QStringLiteral("课")}, {"nul", QVariant()}}
            << QString();
        QTest::newRow("nested lists of maps")
            << QByteArray("{\"result\":{\"list\":[{\"liveId\":1,\"tags\":[\"a\",2]},{\"state\":\"3\"}]}}") << 0
            << QVariantMap{{"list", QVariantList{QVariantMap{{"liveId", "1"}, {"tags", QVariantList{"a", "2"}}},
                                                 QVariantMap{{"state", "3"}}}}}
            << QString();
        QTest::newRow("error null, no result") << QByteArray("{\"error\":null}") << 0 << none << QString();
        QTest::newRow("result not an object") << QByteArray("{\"result\":[1,2]}") << 0 << none << QString();
        QTest::newRow("comments allowed") << QByteArray("// answer\n{\"result\":{/* x */\"a\":1}}") << 0
                                          << QVariantMap{{"a", "1"}} << QString();
        QTest::newRow("stops at NUL") << QByteArray("{\"result\":{\"a\":1}}\0trailing", 27) << 0
                                      << QVariantMap{{"a", "1"}} << QString();
        QTest::newRow("array top level") << QByteArray("[{\"result\":{}}]") << 3 << none
                                         << QStringLiteral("无效的Json");
        QTest::newRow("empty body") << QByteArray() << 3 << none << QStringLiteral("无效的Json");
        QTest::newRow("string top level") << QByteArray("\"ok\"") << 3 << none << QStringLiteral("无效的Json");
        QTest::newRow("broken json") << QByteArray("{\"result\":") << 3 << none << QStringLiteral("无效的Json");
        QTest::newRow("error object") << QByteArray("{\"error\":{\"code\":-32601,\"message\":\"找不到方法\"}}") << 4
                                      << QVariantMap{{"code", "-32601"}, {"message", QStringLiteral("找不到方法")}}
                                      << QStringLiteral("找不到方法");
        QTest::newRow("no permission") << QByteArray("{\"error\":{\"code\":109007,\"message\":\"denied\",\"x\":[1]}}")
                                       << 4
                                       << QVariantMap{{"code", "109007"}, {"message", "denied"},
                                                      {"x", QVariantList{"1"}}}
                                       << QStringLiteral("没有权限进入该直播");
        QTest::newRow("error not an object") << QByteArray("{\"error\":\"broken\",\"result\":{\"a\":1}}") << 4 << none
                                             << QString();
    }
    void answers()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, code);
        QFETCH(QVariantMap, expected);
        QFETCH(QString, boxText);
        m_server.enqueue(HttpResponse::json(body));
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE(m_rec.successes + m_rec.errors, 1);
        if (code == 0) {
            QCOMPARE(m_rec.events, QStringList{"success"});
            QCOMPARE(m_rec.result, expected);
        } else {
            // The box is closed before the error callback runs.
            QCOMPARE(m_rec.events,
                     QStringList() << QStringLiteral("box:网络错误|%1").arg(boxText) << QStringLiteral("error:%1").arg(code));
            QCOMPARE(m_rec.error, expected);
        }
    }

    void transportFailuresAndSilentCalls()
    {
        m_server.enqueue(HttpResponse::json("{\"result\":{}}", 500));
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE(m_rec.errors, 1);
        QCOMPARE(m_rec.events, QStringList() << QStringLiteral("box:网络错误|网络错误") << "error:2");
        QVERIFY(m_rec.error.isEmpty());

        // Without a box and without callbacks a failure only logs.
        m_rec = Recorder();
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}"));
        AppServer_Call("m", QVariantMap(), &OnSuccess, nullptr, this, nullptr, false);
        QVERIFY(m_server.waitForRequests(2));
        QTRY_COMPARE(Request::LiveCount(), 0);
        QVERIFY(m_rec.events.isEmpty());

        // No answer: code 1 after the fixed 5000 ms, never retried.
        m_rec = Recorder();
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        AppServer_Call("m", QVariantMap(), &OnSuccess, &OnError, this, nullptr, true);
        QTRY_COMPARE_WITH_TIMEOUT(m_rec.errors, 1, 8000);
        QCOMPARE(m_rec.events, QStringList() << QStringLiteral("box:网络错误|网络超时") << "error:1");
        QTest::qWait(300);
        QCOMPARE(m_server.requests().size(), 3);
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
        QVERIFY(CurrentWaitingSpinner());
        QVERIFY(CurrentWaitingSpinner()->isSpinning());
        QCOMPARE(CurrentWaitingSpinner()->parentWidget(), &window);
        QTRY_COMPARE(m_rec.successes, 1);
        QVERIFY(!CurrentWaitingSpinner() || !CurrentWaitingSpinner()->isSpinning());
        QCOMPARE(m_rec.context, static_cast<void*>(&window));

        // The member list waits over nobody.
        m_server.enqueue(slow);
        AppServer_RoomMemberList("L", 1, 1000, &OnSuccess, &OnError, &window);
        QVERIFY(!CurrentWaitingSpinner() || !CurrentWaitingSpinner()->isSpinning());
        QTRY_COMPARE(m_rec.successes, 2);
    }

    void methods_data()
    {
        QTest::addColumn<std::function<void(QWidget*)>>("call");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QJsonObject>("params");
        QTest::addColumn<bool>("box");

        QTest::newRow("user.sig") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_CreateSig(&OnSuccess, &OnError, w); })
                                  << "live.usersig.create" << QJsonObject() << true;
        QTest::newRow("version") << std::function<void(QWidget*)>([](QWidget* w) {
            AppServer_CheckVersion(&OnSuccess, &OnError, w, nullptr, false);
        }) << "client.version.check" << QJsonObject() << false;
        QTest::newRow("live list") << std::function<void(QWidget*)>([](QWidget* w) {
            AppServer_LiveList(&OnSuccess, &OnError, w, w, true);
        }) << "live.list.by.teacher.id"
                                   << QJsonObject{{"teacherUserId", "77"}, {"pageNum", 1}, {"pageSize", 1000}} << true;
        QTest::newRow("create room") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_CreateRoom("L9", &OnSuccess, &OnError, w); })
                                     << "live.create.room" << QJsonObject{{"hostUserId", "77"}, {"liveId", "L9"}}
                                     << true;
        QTest::newRow("report room") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_ReportRoom("L9", &OnSuccess, &OnError, w); })
                                     << "live.report.room.info"
                                     << QJsonObject{{"hostUserId", "77"}, {"liveId", "L9"}, {"videoType", 0},
                                                    {"device", 2}}
                                     << true;
        QTest::newRow("enter room") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_EnterRoom(4321, &OnSuccess, &OnError, w); })
                                    << "live.enter.room" << QJsonObject{{"liveRole", 1}, {"avRoomId", 4321}} << true;
        QTest::newRow("quit room") << std::function<void(QWidget*)>(
            [](QWidget*) { AppServer_QuitRoom(4321, &OnSuccess, &OnError, nullptr); })
                                   << "live.quit.room" << QJsonObject{{"liveRole", 1}, {"avRoomId", 4321}} << true;
        QTest::newRow("begin") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_BeginLive("L9", &OnSuccess, &OnError, w); })
                               << "live.begin" << QJsonObject{{"liveId", "L9"}} << true;
        QTest::newRow("end") << std::function<void(QWidget*)>(
            [](QWidget* w) { AppServer_EndLive("L9", &OnSuccess, &OnError, w); })
                             << "live.end" << QJsonObject{{"liveId", "L9"}} << true;
        QTest::newRow("member list") << std::function<void(QWidget*)>([](QWidget* w) {
            AppServer_RoomMemberList("L9", 2, 50, &OnSuccess, &OnError, w);
        }) << "live.room.member.list"
                                     << QJsonObject{{"liveId", "L9"}, {"pageNum", 2}, {"pageSize", 50}} << false;
        QTest::newRow("report on, string id") << std::function<void(QWidget*)>([](QWidget* w) {
            AppServer_RoomMemberStateReport("L9", QVariant(QStringLiteral("s1")), true, &OnSuccess, &OnError, w,
                                            nullptr, false);
        }) << "live.room.member.status.report"
                                              << QJsonObject{{"liveId", "L9"}, {"action", "on"}, {"userId", "s1"}}
                                              << false;
        QTest::newRow("report off, number id") << std::function<void(QWidget*)>([](QWidget* w) {
            AppServer_RoomMemberStateReport("L9", QVariant(15), false, &OnSuccess, &OnError, w, nullptr, true);
        }) << "live.room.member.status.report"
                                               << QJsonObject{{"liveId", "L9"}, {"action", "off"}, {"userId", 15}}
                                               << true;
    }
    void methods()
    {
        QFETCH(std::function<void(QWidget*)>, call);
        QFETCH(QString, method);
        QFETCH(QJsonObject, params);
        QFETCH(bool, box);

        // The login result held the id as a number; the session keeps it as text.
        const std::string text = "{\"userId\":77,\"ak\":\"k\"}";
        Json::Value login;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        QVERIFY(reader->parse(text.data(), text.data() + text.size(), &login, nullptr));
        SessionRecord() = JsonToVariant(login).toMap();

        QWidget window;
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":7,\"message\":\"nope\"}}"));
        call(&window);
        QTRY_COMPARE(m_rec.errors, 1);
        const HttpRequestRecord& r = m_server.requests().value(0);
        const QJsonObject envelope = QJsonDocument::fromJson(r.body).object();
        QCOMPARE(envelope.value("method").toString(), method);
        QCOMPARE(OwnParams(r), params); // compares JSON types too
        QCOMPARE(ParamsOf(r).value("ak").toString(), QStringLiteral("k"));
        QCOMPARE(m_rec.events.filter("box:").size(), box ? 1 : 0);
    }

    void loginSaltsAndHashes()
    {
        const QString password = QStringLiteral("密码ü-pass");
        m_server.setHandler([](const HttpRequestRecord&) { return HttpResponse::json("{\"result\":{}}"); });
        QWidget window;
        const int logins = 25;
        for (int i = 0; i < logins; ++i)
            AppServer_Login("teacher01", password, &OnSuccess, &OnError, &window);
        QTRY_COMPARE(m_rec.successes, logins);
        QSet<QString> salts;
        for (const HttpRequestRecord& r : m_server.requests()) {
            QCOMPARE(QJsonDocument::fromJson(r.body).object().value("method").toString(), QStringLiteral("user.login"));
            const QJsonObject params = OwnParams(r);
            QCOMPARE(params.keys(), QStringList() << "loginId" << "salt" << "saltedPassword");
            QCOMPARE(params.value("loginId").toString(), QStringLiteral("teacher01"));
            QVERIFY(params.value("salt").isString());
            const QString salt = params.value("salt").toString();
            QVERIFY2(QRegularExpression("^[1-9][0-9]{3,4}$").match(salt).hasMatch(), qPrintable(salt));
            QVERIFY(salt.toInt() >= 1000 && salt.toInt() <= 10998);
            salts.insert(salt);
            const QString salted = params.value("saltedPassword").toString();
            QCOMPARE(salted.size(), 28);
            QCOMPARE(salted, IndependentSha1Base64(IndependentSha1Base64(password) + salt));
            QVERIFY(!QString::fromUtf8(r.body).contains(password));
            QVERIFY(!r.body.contains(IndependentSha1Base64(password).toUtf8()));
        }
        QVERIFY(salts.size() > 1);
    }

private:
    HttpFixture m_server;
    Recorder m_rec;
    QTimer m_boxCloser;
};

QTEST_MAIN(TestAppServer)
#include "tst_appserver.moc"
