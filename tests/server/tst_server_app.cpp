#include "AppServerHarness.h"
#include "LogCapture.h"

#include "common/UserSig.h"

#include <QFile>
#include <QtTest>

#include <set>
#include <thread>
#include <vector>

using appserver::AppServer;
namespace Code = appserver::ErrorCode;

namespace {
using Members = std::initializer_list<std::pair<const char*, Json::Value>>;

Json::Value params(Members members)
{
    Json::Value p(Json::objectValue);
    for (const auto& m : members)
        p[m.first] = m.second;
    return p;
}

int64_t at(int day, int hour)
{
    return QDateTime(QDate(2030, 3, day), QTime(hour, 0)).toMSecsSinceEpoch();
}
} // namespace

class TestAppServer : public QObject {
    Q_OBJECT

    Json::Value call(const std::string& ak, const char* method, Members members = {})
    {
        return h->call(method, params(members), ak);
    }
    int code(const std::string& ak, const char* method, Members members = {})
    {
        return errorCode(call(ak, method, members));
    }
    // Without the fields the client always adds, as any other caller may post it.
    Json::Value bare(const char* method, const Json::Value& p)
    {
        Json::Value out;
        h->post(Json::writeString(Json::StreamWriterBuilder(),
                                  params({{"jsonrpc", "2.0"}, {"method", method}, {"params", p}})),
                &out);
        return out;
    }
    Json::Value memberList(const std::string& ak, int64_t liveId)
    {
        return call(ak, "live.room.member.list",
                    {{"liveId", std::to_string(liveId)}, {"pageNum", 1}, {"pageSize", 1000}});
    }
    Json::Value createRoom(const std::string& ak, int64_t host, const std::string& liveId)
    {
        return call(ak, "live.create.room", {{"hostUserId", std::to_string(host)}, {"liveId", liveId}});
    }
    QString sigOf(const std::string& ak)
    {
        return QString::fromStdString(call(ak, "live.usersig.create")["result"]["userSig"].asString());
    }

private slots:
    void init()
    {
        h = std::make_unique<AppServerHarness>();
        auto& s = h->store();
        teacher = s.addUser("t1", "123456", "王老师", "t");
        otherTeacher = s.addUser("t2", "123456", "李老师", "t");
        student = s.addUser("s1", "123456", "张小明", "s");
        student2 = s.addUser("s2", "123456", "李华", "s");
        s.addUser("nonascii", "密码123", "赵老师", "t");
        live = s.addLive("t1", "高一数学", "预习第三章", at(1, 9), at(1, 10));
        s.addLive("t2", "初二物理", "", at(2, 9), at(2, 10));
    }
    void cleanup() { h.reset(); }

    void loginSessionAndSignatureRole()
    {
        const Json::Value r = h->login("t1", "123456", "10998")["result"];
        QCOMPARE(r["userId"].asString(), std::to_string(teacher));
        QVERIFY(r["ak"].asString().size() >= 32 && r["ak"] != h->login("t1", "123456")["result"]["ak"]); // each its own
        QCOMPARE(errorCode(h->login("nonascii", "密码123")), 0); // hashed over UTF-8

        // Wrong password, a hash made with another salt, an unknown user: one answer for all.
        const QString otherSalt = AppServerHarness::sha1Base64((AppServerHarness::sha1Base64("123456") + "1001").toUtf8());
        const Json::Value wrongSalt = call("", "user.login",
                                           {{"loginId", "t1"}, {"salt", "1000"}, {"saltedPassword", otherSalt.toStdString()}});
        for (const Json::Value& a : {wrongSalt, h->login("t1", "654321"), h->login("nobody", "123456")}) {
            QCOMPARE(errorCode(a), Code::BadLogin);
            QCOMPARE(a["error"]["message"], wrongSalt["error"]["message"]);
            QVERIFY(!a.isMember("result"));
        }
        QCOMPARE(code("", "user.login", {{"loginId", "t1"}, {"salt", "1"}}), Code::InvalidParams);

        // The signature carries the role; its other refusals are checked through the relay.
        const std::string ak = h->ak("t1");
        const QByteArray secret = h->server->liveSecret();
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        usersig::Role role = usersig::Role::Member;
        QCOMPARE(usersig::verify(secret, sigOf(ak), QString::number(teacher), now, &role), usersig::Check::Ok);
        QCOMPARE(role, usersig::Role::Host);
        // A student's signature admits them to a room, never as its host.
        QCOMPARE(usersig::verify(secret, sigOf(h->ak("s1")), QString::number(student), now, &role), usersig::Check::Ok);
        QCOMPARE(role, usersig::Role::Member);

        const Json::Value stale = call(ak + "x", "live.usersig.create");
        QCOMPARE(errorCode(stale), Code::NotSignedIn);
        QCOMPARE(stale["error"]["message"].asString(), std::string("登录已过期，请重新登录"));
        QCOMPARE(errorCode(bare("live.usersig.create", Json::Value(Json::objectValue))), Code::NotSignedIn);
        QCOMPARE(code("", "client.version.check"), 0); // needs no session

        h->shiftClock(8LL * 24 * 3600 * 1000);
        QCOMPARE(code(ak, "live.usersig.create"), Code::NotSignedIn);
        QCOMPARE(code(h->ak("t1"), "live.usersig.create"), 0);
    }

    void envelopeFaultsGetJsonRpcErrors()
    {
        const std::string big = "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\""
            + std::string(1100 * 1024, 'a') + "\"}}";
        const std::vector<std::pair<std::string, int>> cases = {
            {"{\"jsonrpc\":\"2.0\",\"method\":", Code::ParseError},
            {"{\"a\":1} trailing", Code::ParseError},
            {std::string(10000, '['), Code::ParseError}, // nesting that once threw out of the parser
            {"[{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\"}]", Code::InvalidRequest},
            {"{\"method\":\"client.version.check\",\"params\":{}}", Code::InvalidRequest},
            {"{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\",\"params\":[1]}", Code::InvalidParams},
            {"{\"jsonrpc\":\"2.0\",\"method\":\"no.such.method\",\"params\":{}}", Code::MethodNotFound},
            {big, Code::InvalidRequest},
        };
        for (const auto& [body, want] : cases) {
            Json::Value answer;
            QCOMPARE(h->post(body, &answer), 200);
            QCOMPARE(errorCode(answer), want);
            QVERIFY(!answer["error"]["message"].asString().empty() && answer["jsonrpc"].asString() == "2.0");
        }
        // A request with an id gets it back; the client's own requests carry none and are answered.
        Json::Value answer;
        h->post("{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"client.version.check\",\"params\":{\"clientVersion\":\"a_1.0\"}}",
                &answer);
        QCOMPARE(answer["id"].asInt(), 7);
        QCOMPARE(errorCode(answer), 0);
        QVERIFY(h->client()->Get("/app-server/jsonrpc/")->status >= 400); // not a page

        // Parameters of the wrong type are refused by name, not guessed at.
        const std::string ak = h->ak("t1");
        const std::vector<std::pair<const char*, Json::Value>> typed = {
            {"live.list.by.teacher.id", params({{"teacherUserId", std::to_string(teacher)}, {"pageNum", "1"}, {"pageSize", 10}})},
            {"live.create.room", params({{"hostUserId", std::to_string(teacher)}, {"liveId", Json::Int64(live)}})},
        };
        for (const auto& [method, p] : typed)
            QVERIFY2(errorCode(h->call(method, p, ak)) == Code::InvalidParams, method);
    }

    void liveListPagesOwnLives()
    {
        auto& s = h->store();
        for (int i = 0; i < 25; ++i)
            s.addLive("t1", "第" + std::to_string(i) + "课", "", at(3 + i % 20, 8), at(3 + i % 20, 9));
        const std::string ak = h->ak("t1");
        auto page = [&](int num, int size, int64_t who) {
            return call(ak, "live.list.by.teacher.id",
                        {{"teacherUserId", std::to_string(who)}, {"pageNum", num}, {"pageSize", size}})["result"];
        };
        std::set<std::string> seen;
        for (int n = 1; n <= 3; ++n) {
            const Json::Value r = page(n, 10, teacher);
            QCOMPARE(r["total"].asInt(), 26);
            QCOMPARE(int(r["list"].size()), n < 3 ? 10 : 6);
            for (const Json::Value& l : r["list"])
                seen.insert(l["liveId"].asString());
        }
        QCOMPARE(int(seen.size()), 26);
        QCOMPARE(int(page(4, 10, teacher)["list"].size()), 0);
        QCOMPARE(page(1, 5000, teacher)["pageSize"].asInt(), 1000);
        QCOMPARE(int(page(1, 1000, otherTeacher)["list"].size()), 1);

        // Answers are cached, yet follow every change: ours, and another process's on the same file.
        QCOMPARE(page(1, 1000, teacher)["list"][0]["state"].asString(), std::string("v"));
        QCOMPARE(code(ak, "live.begin", {{"liveId", std::to_string(live)}}), 0);
        QCOMPARE(page(1, 1000, teacher)["list"][0]["state"].asString(), std::string("i"));
        appserver::AppStore admin(h->dbPath().toStdString(), nullptr);
        admin.open();
        admin.addLive("t1", "加课", "", at(28, 9), at(28, 10));
        QCOMPARE(page(1, 1000, teacher)["total"].asInt(), 27);
        QCOMPARE(page(1, 10, teacher)["total"].asInt(), 27);
    }

    void roomLifecycleAndPermissions()
    {
        const std::string ak = h->ak("t1"), ak2 = h->ak("t2"), sak = h->ak("s1"), sak2 = h->ak("s2");
        const std::string lid = std::to_string(live);
        const Members roomInfo = {{"hostUserId", std::to_string(teacher)}, {"liveId", lid}, {"videoType", 0}, {"device", 2}};
        QCOMPARE(code(ak, "live.report.room.info", roomInfo), Code::NoRoomYet);
        const int room = createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt();
        QVERIFY(room > 0);
        QCOMPARE(createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt(), room); // same live, same room
        QCOMPARE(h->store().live(live)->state, std::string("s"));

        // Another teacher's live, or posing as its teacher.
        QCOMPARE(errorCode(createRoom(ak2, otherTeacher, lid)), Code::NotYourLive);
        QCOMPARE(errorCode(createRoom(ak2, teacher, lid)), Code::NotYourLive);
        QCOMPARE(code(ak2, "live.begin", {{"liveId", lid}}), Code::NotYourLive);
        for (const char* missing : {"999999", "x1"})
            QCOMPARE(errorCode(createRoom(ak, teacher, missing)), Code::LiveNotFound);

        auto enter = [&](const std::string& a, int role, int r) {
            return code(a, "live.enter.room", {{"liveRole", role}, {"avRoomId", r}});
        };
        QCOMPARE(enter(ak, 1, room), 0);
        QCOMPARE(enter(sak, 1, room), Code::NotYourLive); // a student cannot take the host's role
        QCOMPARE(enter(sak, 0, room), 0);
        QCOMPARE(enter(sak2, 0, room), 0);
        QCOMPARE(enter(sak, 0, 424242), Code::RoomNotFound);

        const Json::Value list = memberList(ak, live)["result"]["list"];
        QCOMPARE(int(list.size()), 3);
        QCOMPARE(list[0]["userId"].asString(), std::to_string(teacher));
        QCOMPARE(errorCode(memberList(ak2, live)), Code::NotYourLive); // not in the room, not its teacher

        // Speaking state; the id may come as text or as a number.
        auto report = [&](const std::string& a, const Json::Value& who, const char* action) {
            return code(a, "live.room.member.status.report", {{"liveId", lid}, {"action", action}, {"userId", who}});
        };
        auto status = [&] { return memberList(ak, live)["result"]["list"][1]["status"].asString(); };
        QCOMPARE(status(), std::string("0"));
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(status(), std::string("1"));
        QCOMPARE(report(sak2, std::to_string(student), "off"), Code::NotYourLive); // not about another student
        // A student cannot put themself on the microphone, only take themself off.
        QCOMPARE(report(sak, std::to_string(student), "on"), Code::NotYourLive);
        QCOMPARE(report(sak, Json::Int64(student), "off"), 0);
        QCOMPARE(status(), std::string("0"));

        // Leaving drops the member; quitting twice is harmless.
        for (int i = 0; i < 2; ++i)
            QCOMPARE(code(sak2, "live.quit.room", {{"liveRole", 0}, {"avRoomId", room}}), 0);
        QCOMPARE(memberList(ak, live)["result"]["total"].asInt(), 2);
        QCOMPARE(report(ak, std::to_string(student2), "off"), Code::NotInRoom);

        // Begin and end: states, repeated calls, nothing after the end, microphones off.
        QCOMPARE(code(ak, "live.begin", {{"liveId", lid}}), 0);
        QCOMPARE(h->store().live(live)->state, std::string("i"));
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        for (int i = 0; i < 2; ++i)
            QCOMPARE(code(ak, "live.end", {{"liveId", lid}}), 0);
        QCOMPARE(h->store().live(live)->state, std::string("e"));
        QCOMPARE(status(), std::string("0"));
        QCOMPARE(code(ak, "live.begin", {{"liveId", lid}}), Code::LiveEnded);
        QCOMPARE(enter(sak2, 0, room), Code::LiveEnded);
        QCOMPARE(createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt(), room);
    }

    // That a published installer is offered with its address is checked through the client.
    void versionCheckOffersOnlyNewerInstallers()
    {
        auto check = [&](const std::string& version) { return bare("client.version.check", params({{"clientVersion", version}})); };
        QCOMPARE(check("rided4a_win_1.0")["result"]["type"].asInt(), 1); // nothing published
        h->store().setNewestRelease({"rided4a_win_1.2", "Lectern Setup 1.2.exe"});
        QCOMPARE(check("rided4a_win_1.1")["result"]["type"].asInt(), 2);
        for (const char* notOlder : {"rided4a_win_1.10", "rided4a_win_1.2", "rided4a_win_1.2.0", "rided4a_mac_0.1"})
            QCOMPARE(check(notOlder)["result"]["type"].asInt(), 1);
        QCOMPARE(errorCode(check("garbage")), Code::InvalidParams);
        QCOMPARE(AppServer::compareVersions("a_1..2", "a_1.2"), std::optional<int>());
    }

    void downloadsServeRangesInsideTheFolder()
    {
        QByteArray content(5000, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7 % 251);
        auto write = [](const QString& path, const QByteArray& bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        const QString secret = QDir(h->downloads()).filePath("../secret.txt");
        QVERIFY(write(h->downloads() + "/setup.exe", content) && write(secret, "do not serve"));
        QVERIFY(QFile::link(secret, h->downloads() + "/link.txt"));
        QVERIFY(QDir(h->downloads()).mkdir("folder"));

        auto c = h->client();
        auto head = c->Head("/downloads/setup.exe");
        QVERIFY(head && head->status == 200 && head->get_header_value("Content-Length") == "5000");
        QCOMPARE(head->get_header_value_count("Accept-Ranges"), size_t(1));
        QVERIFY(c->Get("/downloads/setup.exe")->body == content.toStdString());

        // What a resuming download asks, and a range past the end.
        auto part = c->Get("/downloads/setup.exe", {{"Range", "bytes=1000-5000"}});
        QCOMPARE(part->status, 206);
        QCOMPARE(part->get_header_value("Content-Range"), std::string("bytes 1000-4999/5000"));
        QVERIFY(part->body == content.mid(1000).toStdString());
        QVERIFY(c->Get("/downloads/setup.exe", {{"Range", "bytes=-100"}})->body == content.mid(4900).toStdString());
        // Ranges it cannot serve as asked get the whole file or a refusal, never a wrong slice.
        for (const char* odd : {"bytes=0-1,5-6", "bytes=20-10", "bytes=99999999999999999999-"}) {
            auto r = c->Get("/downloads/setup.exe", {{"Range", odd}});
            QVERIFY2(r && (r->status == 416 || (r->status == 200 && r->body == content.toStdString())), odd);
        }
        for (const char* past : {"bytes=5000-5000", "bytes=9000-"}) {
            auto r = c->Get("/downloads/setup.exe", {{"Range", past}});
            QCOMPARE(r->status, 416);
            QCOMPARE(r->get_header_value("Content-Range"), std::string("bytes */5000"));
        }

        for (const char* path : {"/downloads/../secret.txt", "/downloads/%2e%2e/secret.txt", "/downloads/..%2fsecret.txt",
                                 "/downloads/link.txt", "/downloads/folder", "/downloads/missing.exe", "/downloads/",
                                 "/downloads/.hidden", "/secret.txt"}) {
            auto r = c->Get(path);
            QVERIFY2(r && r->status == 404 && r->body.find("do not serve") == std::string::npos, path);
        }
    }

    void concurrentCallsLoseNoUpdate()
    {
        const int threads = 8, perThread = 25;
        auto& s = h->store();
        std::vector<std::string> aks;
        for (int i = 0; i < threads; ++i) {
            s.addUser("c" + std::to_string(i), "123456", "学生" + std::to_string(i), "s");
            aks.push_back(h->ak("c" + std::to_string(i)));
        }
        const std::string ak = h->ak("t1");
        std::vector<int64_t> liveIds;
        for (int i = 0; i < threads * perThread; ++i)
            liveIds.push_back(s.addLive("t1", "并发" + std::to_string(i), "", at(9, 9), at(9, 10)));
        auto liveOf = [&](int t, int i) { return liveIds[(t * 7 + i * 3) % liveIds.size()]; };

        // Every thread creates rooms for lives (racing the others) and moves its student into the first room.
        const int firstRoom = createRoom(ak, teacher, std::to_string(liveIds[0]))["result"]["avRoomId"].asInt();
        std::vector<std::vector<int>> rooms(threads);
        std::atomic<int> failures{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const Json::Value a = createRoom(ak, teacher, std::to_string(liveOf(t, i)));
                    rooms[t].push_back(a["result"]["avRoomId"].asInt());
                    failures += errorCode(a) != 0;
                    failures += code(aks[t], "live.enter.room", {{"liveRole", 0}, {"avRoomId", firstRoom}}) != 0;
                }
            });
        }
        for (std::thread& th : pool)
            th.join();
        QCOMPARE(failures.load(), 0);

        // Same live, same room, whoever asked first; different lives never share one.
        std::map<int64_t, int64_t> roomOf;
        std::set<int64_t> distinct;
        for (const appserver::LiveRecord& l : s.allLives()) {
            if (l.avRoomId) {
                roomOf[l.liveId] = *l.avRoomId;
                QVERIFY2(distinct.insert(*l.avRoomId).second, "two lives share a room");
            }
        }
        for (int t = 0; t < threads; ++t)
            for (int i = 0; i < perThread; ++i)
                QCOMPARE(int64_t(rooms[t][i]), roomOf[liveOf(t, i)]);
        QCOMPARE(int(memberList(ak, liveIds[0])["result"]["list"].size()), threads);
    }

    void restartKeepsDataAndSeedsTheDemoOnce()
    {
        const std::string ak = h->ak("t1");
        const QByteArray secret = h->server->liveSecret();
        const int room = createRoom(ak, teacher, std::to_string(live))["result"]["avRoomId"].asInt();
        QCOMPARE(code(ak, "live.enter.room", {{"liveRole", 1}, {"avRoomId", room}}), 0);
        const QString sig = sigOf(ak);
        QVERIFY(h->store().seedDemo());
        const size_t users = h->store().users().size(), lives = h->store().allLives().size();

        h->server.reset();
        h->start();
        QCOMPARE(h->server->liveSecret(), secret);
        QCOMPARE(usersig::verify(secret, sig, QString::number(teacher), QDateTime::currentSecsSinceEpoch()), usersig::Check::Ok);
        QCOMPARE(*h->store().live(live)->avRoomId, int64_t(room));
        const Json::Value list = memberList(ak, live); // the old ak still works
        QCOMPARE(errorCode(list), 0);
        QCOMPARE(int(list["result"]["list"].size()), 1);
        QVERIFY(!h->store().seedDemo());
        QCOMPARE(h->store().users().size(), users);
        QCOMPARE(h->store().allLives().size(), lives);
        QCOMPARE(errorCode(h->login("student12", "123456")), 0);
    }

    void logLinesCannotBeForgedByCallers()
    {
        LogCapture log;
        {
            AppServerHarness logged(true);
            auto c = logged.client();
            const std::string forged = "x\n2030-01-01 00:00:00.000 jsonrpc user.login user=10001 ok";
            c->Post(AppServer::kRpcPath, "{\"jsonrpc\":\"2.0\",\"method\":\"" + forged + "\",\"params\":{}}", "application/json");
            c->Post(AppServer::kRpcPath,
                    "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\"a\\r\\nb\","
                    "\"saltedPassword\":\"x\",\"salt\":\"1\"}}",
                    "application/json");
            auto got = c->Get("/downloads/a%1B[2Kb%00c");
            QVERIFY(got && got->status == 404);
        }
        const QStringList lines = log.lines();
        QVERIFY2(lines.size() == 3, qPrintable(lines.join(" | ")));
        for (const QString& line : lines) {
            QVERIFY2(!line.contains('\n') && !line.contains('\r') && !line.contains(QChar(0)), qPrintable(line));
            QVERIFY2(line.contains("\\x0a") || line.contains("\\x1b"), qPrintable(line));
            QVERIFY2(!line.contains(QChar(0x1b)), qPrintable(line));
        }
        QVERIFY(lines[2].endsWith(" ms"));
    }

private:
    std::unique_ptr<AppServerHarness> h;
    int64_t teacher = 0;
    int64_t otherTeacher = 0;
    int64_t student = 0;
    int64_t student2 = 0;
    int64_t live = 0;
};

QTEST_GUILESS_MAIN(TestAppServer)
#include "tst_server_app.moc"
