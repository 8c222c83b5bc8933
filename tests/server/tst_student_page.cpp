// The students' page as the app server serves it, and the list of classes a student may enter.
#include "RpcCalls.h"
#include "app/AppServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>
#include <json/json.h>

using appserver::AppServer;
namespace Code = appserver::ErrorCode;

namespace {
bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestStudentPage : public QObject {
    Q_OBJECT

    Json::Value call(const std::string& method, Json::Value params, const std::string& ak = std::string())
    {
        return rpctest::call(server->port(), method, params, ak);
    }
    std::string ak(const std::string& loginId) { return rpctest::ak(server->port(), loginId); }
    std::unique_ptr<httplib::Client> client() const { return rpctest::client(server->port()); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QDir(dir->path()).mkpath("page/js");
        appserver::AppServerOptions o;
        o.dbPath = dir->filePath("lectern.db");
        o.studentPageDir = dir->filePath("page");
        o.logRequests = false;
        server = std::make_unique<AppServer>(o);
        QString error;
        QVERIFY2(server->listen("127.0.0.1", 0, &error), qPrintable(error));
    }
    void cleanup()
    {
        server.reset();
        dir.reset();
    }

    void pageFilesAreServedOnlyFromInsideItsFolder()
    {
        const QString page = dir->filePath("page");
        QVERIFY(write(page + "/index.html", "<!doctype html><title>课堂</title>")
            && write(page + "/js/main.js", "export {};") && write(page + "/style.css", "body{}")
            && write(page + "/notes.txt", "not a page file") && write(page + "/.hidden.js", "hidden")
            && write(dir->filePath("secret.html"), "do not serve"));
        QVERIFY(QFile::link(dir->filePath("secret.html"), page + "/link.html"));
        {
            QFile big(page + "/big.js"); // a stray huge file is refused, not streamed
            QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(9 << 20));
        }
        server->setLivePort(4567);
        auto c = client();

        auto redirect = c->Get("/student");
        QVERIFY(redirect && redirect->status == 301);
        QCOMPARE(redirect->get_header_value("Location"), std::string("/student/"));

        struct Served {
            const char* path;
            const char* type;
            const char* body;
        };
        for (const Served& s : { Served { "/student/", "text/html", "<!doctype html><title>课堂</title>" },
                 Served { "/student/js/main.js", "text/javascript", "export {};" },
                 Served { "/student/style.css", "text/css", "body{}" },
                 Served { "/student/config.json", "application/json", "{\"livePort\":4567}" } }) {
            auto r = c->Get(s.path);
            QVERIFY2(r && r->status == 200, s.path);
            QVERIFY2(r->get_header_value("Content-Type").rfind(s.type, 0) == 0, s.path);
            QCOMPARE(r->get_header_value("X-Content-Type-Options"), std::string("nosniff"));
            QCOMPARE(r->body, std::string(s.body));
        }
        const std::string policy = c->Get("/student/")->get_header_value("Content-Security-Policy");
        QVERIFY2(policy.find("script-src 'self'") != std::string::npos, policy.c_str());
        auto head = c->Head("/student/js/main.js");
        QVERIFY(head && head->status == 200 && head->body.empty());
        QCOMPARE(head->get_header_value("Content-Length"), std::string("10"));

        for (const char* path : { "/student/../secret.html", "/student/%2e%2e/secret.html",
                 "/student/..%2fsecret.html", "/student/js/..%2f..%2fsecret.html", "/student/link.html",
                 "/student/.hidden.js", "/student/notes.txt", "/student/js", "/student/js/",
                 "/student//style.css", "/student/js\\main.js", "/student/nothing.js" }) {
            auto r = c->Get(path);
            QVERIFY2(r && r->status == 404, path);
            QVERIFY2(r->body.find("do not serve") == std::string::npos, path);
        }
        QCOMPARE(c->Get("/student/big.js")->status, 403);
        QCOMPARE(c->Post("/student/", "x", "text/plain")->status, 405);
    }

    void openLivesListOnlyRoomsTheirTeacherIsIn()
    {
        auto& s = server->store();
        const int64_t teacher = s.addUser("t1", "123456", "王老师", "t");
        s.addUser("t2", "123456", "<b>李老师</b>", "t");
        s.addUser("s1", "123456", "张小明", "s");
        const int64_t morning = QDateTime(QDate(2030, 3, 1), QTime(9, 0)).toMSecsSinceEpoch();
        const int64_t math = s.addLive("t1", "高一数学", "预习第三章", morning + 3600000, morning + 7200000);
        const int64_t physics = s.addLive("t2", "初二物理", "", morning, morning + 3600000);
        const int64_t history = s.addLive("t1", "历史", "", morning, morning + 3600000);
        const std::string t1 = ak("t1"), t2 = ak("t2"), student = ak("s1");

        auto room = [&](const std::string& a, int64_t live) {
            Json::Value p(Json::objectValue);
            p["hostUserId"] = std::to_string(a == t1 ? teacher : teacher + 1);
            p["liveId"] = std::to_string(live);
            return call("live.create.room", p, a)["result"]["avRoomId"].asInt();
        };
        auto roomCall = [&](const char* method, const std::string& a, int r, int role) {
            Json::Value p(Json::objectValue);
            p["liveRole"] = role;
            p["avRoomId"] = r;
            return call(method, p, a)["error"]["code"].asInt();
        };
        auto open = [&] {
            std::vector<std::string> titles;
            const Json::Value answer = call("live.list.open", Json::Value(Json::objectValue), student);
            for (const Json::Value& l : answer["result"]["list"])
                titles.push_back(l["title"].asString() + "/" + l["teacherNickname"].asString());
            return titles;
        };
        using Titles = std::vector<std::string>;

        const int mathRoom = room(t1, math), physicsRoom = room(t2, physics), historyRoom = room(t1, history);
        QVERIFY(mathRoom > 0 && physicsRoom > 0 && historyRoom > 0);
        QCOMPARE(open(), Titles()); // rooms made, but no teacher in them yet
        // A student already let in does not make a room open.
        QCOMPARE(roomCall("live.enter.room", student, mathRoom, 0), 0);
        QCOMPARE(open(), Titles());

        QCOMPARE(roomCall("live.enter.room", t1, mathRoom, 1)
                + roomCall("live.enter.room", t2, physicsRoom, 1)
                + roomCall("live.enter.room", t1, historyRoom, 1),
            0);
        Json::Value liveId(Json::objectValue);
        liveId["liveId"] = std::to_string(math);
        QCOMPARE(call("live.begin", liveId, t1)["error"]["code"].asInt(), 0);
        // The class in progress first, then the waiting ones by start time; names come as stored.
        QCOMPARE(open(), Titles({ "高一数学/王老师", "初二物理/<b>李老师</b>", "历史/王老师" }));

        liveId["liveId"] = std::to_string(history);
        QCOMPARE(call("live.end", liveId, t1)["error"]["code"].asInt(), 0);
        QCOMPARE(roomCall("live.quit.room", t2, physicsRoom, 1), 0); // the teacher paused and left
        QCOMPARE(open(), Titles({ "高一数学/王老师" }));
        const Json::Value row
            = call("live.list.open", Json::Value(Json::objectValue), student)["result"]["list"][0];
        QCOMPARE(row["avRoomId"].asInt(), mathRoom);
        QCOMPARE(row["liveId"].asString(), std::to_string(math));
        QCOMPARE(row["teacherUserId"].asString(), std::to_string(teacher));

        QCOMPARE(call("live.list.open", Json::Value(Json::objectValue), "bogus")["error"]["code"].asInt(),
            Code::NotSignedIn);
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<AppServer> server;
};

QTEST_GUILESS_MAIN(TestStudentPage)
#include "tst_student_page.moc"
