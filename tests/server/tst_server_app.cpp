#include "AppServerHarness.h"

#include "app/ByteRange.h"
#include "common/UserSig.h"

#include <QFile>
#include <QMutex>
#include <QScopeGuard>
#include <QtTest>

#include <set>
#include <thread>
#include <vector>

using appserver::AppServer;
using appserver::ByteRange;
namespace Code = appserver::ErrorCode;

namespace {
Json::Value params(std::initializer_list<std::pair<const char*, Json::Value>> members)
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

    void loginChecksPasswordSaltAndUser()
    {
        const Json::Value ok = h->login("t1", "123456", "10998");
        QCOMPARE(errorCode(ok), 0);
        const Json::Value& r = ok["result"];
        QCOMPARE(r["userId"].asString(), std::to_string(teacher));
        QCOMPARE(r["nickname"].asString(), std::string("王老师"));
        QCOMPARE(r["role"].asString(), std::string("t"));
        QVERIFY(r["ak"].asString().size() >= 32);
        QVERIFY(r["ak"] != h->login("t1", "123456")["result"]["ak"]); // every login its own ak

        QCOMPARE(errorCode(h->login("nonascii", "密码123")), 0); // hashed over UTF-8

        // Wrong password, a hash made with another salt, an unknown user: one answer for all.
        Json::Value p = params({{"loginId", "t1"}, {"salt", "1000"}});
        p["saltedPassword"] = AppServerHarness::sha1Base64(
                                  (AppServerHarness::sha1Base64("123456") + QStringLiteral("1001")).toUtf8())
                                  .toStdString();
        const Json::Value wrongSalt = h->call("user.login", p);
        const Json::Value wrongPassword = h->login("t1", "654321");
        const Json::Value unknown = h->login("nobody", "123456");
        for (const Json::Value& a : {wrongSalt, wrongPassword, unknown}) {
            QCOMPARE(errorCode(a), Code::BadLogin);
            QCOMPARE(a["error"]["message"], wrongSalt["error"]["message"]);
            QVERIFY(!a.isMember("result"));
        }
        QCOMPARE(errorCode(h->call("user.login", params({{"loginId", "t1"}, {"salt", "1"}}))), Code::InvalidParams);
    }

    void sessionMustBeValidAndSignatureVerifies()
    {
        const std::string ak = h->ak("t1");
        const Json::Value sig = h->call("live.usersig.create", Json::Value(Json::objectValue), ak);
        QCOMPARE(errorCode(sig), 0);
        const QString userSig = QString::fromStdString(sig["result"]["userSig"].asString());
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        usersig::Role role = usersig::Role::Member;
        QCOMPARE(usersig::verify(h->server->liveSecret(), userSig, QString::number(teacher), now, &role),
                 usersig::Check::Ok);
        QCOMPARE(role, usersig::Role::Host);
        // A student's signature lets the relay admit them to a room, never as its host.
        const Json::Value studentSig = h->call("live.usersig.create", Json::Value(Json::objectValue), h->ak("s1"));
        QCOMPARE(usersig::verify(h->server->liveSecret(), QString::fromStdString(studentSig["result"]["userSig"].asString()),
                                 QString::number(student), now, &role),
                 usersig::Check::Ok);
        QCOMPARE(role, usersig::Role::Member);
        QCOMPARE(usersig::verify(h->server->liveSecret(), userSig, QString::number(student), now),
                 usersig::Check::WrongUser);
        QCOMPARE(usersig::verify(h->server->liveSecret(), userSig, QString::number(teacher), now + 25 * 3600),
                 usersig::Check::Expired);

        for (const std::string& bad : {std::string(), std::string("0123456789abcdef"), ak + "x"}) {
            const Json::Value a = h->call("live.usersig.create", Json::Value(Json::objectValue), bad);
            QCOMPARE(errorCode(a), Code::NotSignedIn);
            QCOMPARE(a["error"]["message"].asString(), std::string("登录已过期，请重新登录"));
        }
        Json::Value noAk = params({{"jsonrpc", "2.0"}, {"method", "live.usersig.create"}});
        noAk["params"] = Json::Value(Json::objectValue);
        Json::Value answer;
        h->post(Json::writeString(Json::StreamWriterBuilder(), noAk), &answer);
        QCOMPARE(errorCode(answer), Code::NotSignedIn);

        // The version check needs no session at all.
        QCOMPARE(errorCode(h->call("client.version.check")), 0);

        h->shiftClock(8LL * 24 * 3600 * 1000);
        QCOMPARE(errorCode(h->call("live.usersig.create", Json::Value(Json::objectValue), ak)), Code::NotSignedIn);
        QCOMPARE(errorCode(h->call("live.usersig.create", Json::Value(Json::objectValue), h->ak("t1"))), 0);
    }

    void envelopeFaultsGetJsonRpcErrors()
    {
        struct Case {
            std::string body;
            int code;
        };
        const std::string big = "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\""
            + std::string(1100 * 1024, 'a') + "\"}}";
        const std::vector<Case> cases = {
            {"{\"jsonrpc\":\"2.0\",\"method\":", Code::ParseError},
            {"", Code::ParseError},
            {"{\"a\":1} trailing", Code::ParseError},
            {std::string(10000, '['), Code::ParseError},
            {"[{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\"}]", Code::InvalidRequest},
            {"{\"method\":\"client.version.check\",\"params\":{}}", Code::InvalidRequest},
            {"{\"jsonrpc\":\"2.0\",\"method\":7}", Code::InvalidRequest},
            {"{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\",\"params\":[1]}", Code::InvalidParams},
            {"{\"jsonrpc\":\"2.0\",\"method\":\"no.such.method\",\"params\":{}}", Code::MethodNotFound},
            {big, Code::InvalidRequest},
        };
        for (const Case& c : cases) {
            Json::Value answer;
            QCOMPARE(h->post(c.body, &answer), 200);
            QCOMPARE(errorCode(answer), c.code);
            QVERIFY(!answer["error"]["message"].asString().empty());
            QCOMPARE(answer["jsonrpc"].asString(), std::string("2.0"));
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
        const std::string lid = std::to_string(live);
        const std::string tid = std::to_string(teacher);
        struct Typed {
            const char* method;
            Json::Value p;
        };
        const std::vector<Typed> typed = {
            {"live.list.by.teacher.id", params({{"teacherUserId", tid}, {"pageNum", "1"}, {"pageSize", 10}})},
            {"live.list.by.teacher.id", params({{"teacherUserId", tid}, {"pageNum", 1.5}, {"pageSize", 10}})},
            {"live.list.by.teacher.id", params({{"teacherUserId", tid}, {"pageNum", 0}, {"pageSize", 10}})},
            {"live.list.by.teacher.id", params({{"teacherUserId", tid}, {"pageNum", 1}})},
            {"live.create.room", params({{"hostUserId", tid}, {"liveId", Json::Int64(live)}})},
            {"live.report.room.info", params({{"hostUserId", tid}, {"liveId", lid}, {"videoType", "0"}, {"device", 2}})},
            {"live.enter.room", params({{"liveRole", 1}, {"avRoomId", "100001"}})},
            {"live.enter.room", params({{"liveRole", 2}, {"avRoomId", 100001}})},
            {"live.quit.room", params({{"liveRole", true}, {"avRoomId", 100001}})},
            {"live.begin", params({})},
            {"live.room.member.status.report", params({{"liveId", lid}, {"action", "up"}, {"userId", "1"}})},
            {"live.room.member.status.report", params({{"liveId", lid}, {"action", "on"}, {"userId", true}})},
            {"client.version.check", params({{"clientVersion", 10}})},
        };
        for (const Typed& t : typed) {
            Json::Value p = t.p;
            const Json::Value a = t.method == std::string("client.version.check")
                ? [&] {
                      Json::Value env = params({{"jsonrpc", "2.0"}, {"method", t.method}, {"params", p}});
                      Json::Value out;
                      h->post(Json::writeString(Json::StreamWriterBuilder(), env), &out);
                      return out;
                  }()
                : h->call(t.method, p, ak);
            QVERIFY2(errorCode(a) == Code::InvalidParams, (std::string(t.method) + " " + a.toStyledString()).c_str());
        }
    }

    void liveListPagesOwnLives()
    {
        auto& s = h->store();
        for (int i = 0; i < 25; ++i)
            s.addLive("t1", "第" + std::to_string(i) + "课", "", at(3 + i % 20, 8), at(3 + i % 20, 9));
        const std::string ak = h->ak("t1");
        auto page = [&](int num, int size) {
            return h->call("live.list.by.teacher.id",
                           params({{"teacherUserId", std::to_string(teacher)}, {"pageNum", num}, {"pageSize", size}}),
                           ak)["result"];
        };
        std::set<std::string> seen;
        for (int n = 1; n <= 3; ++n) {
            const Json::Value r = page(n, 10);
            QCOMPARE(r["total"].asInt(), 26);
            QCOMPARE(int(r["list"].size()), n < 3 ? 10 : 6);
            for (const Json::Value& l : r["list"]) {
                QCOMPARE(l["teacherUserId"].asString(), std::to_string(teacher));
                seen.insert(l["liveId"].asString());
            }
        }
        QCOMPARE(int(seen.size()), 26);
        QCOMPARE(int(page(4, 10)["list"].size()), 0);
        QCOMPARE(page(1, 5000)["pageSize"].asInt(), 1000);

        const Json::Value first = page(1, 1000)["list"][0];
        QCOMPARE(first["liveId"].asString(), std::to_string(live));
        QVERIFY(first["avRoomId"].isNull());
        QVERIFY(first["startTime"].isInt64());
        QCOMPARE(first["startTime"].asInt64(), at(1, 9));
        QCOMPARE(first["title"].asString(), std::string("高一数学"));
        QCOMPARE(first["state"].asString(), std::string("v"));

        // Answers are cached, yet follow every change: ours, and another process's on the same file.
        QCOMPARE(errorCode(h->call("live.begin", params({{"liveId", std::to_string(live)}}), ak)), 0);
        QCOMPARE(page(1, 1000)["list"][0]["state"].asString(), std::string("i"));
        appserver::AppStore admin(h->dbPath().toStdString(), nullptr);
        admin.open();
        admin.addLive("t1", "加课", "", at(28, 9), at(28, 10));
        QCOMPARE(page(1, 1000)["total"].asInt(), 27);
        QCOMPARE(page(1, 10)["total"].asInt(), 27);

        // Another teacher's list, an id that names nobody.
        const Json::Value other = h->call("live.list.by.teacher.id",
                                          params({{"teacherUserId", std::to_string(otherTeacher)}, {"pageNum", 1},
                                                  {"pageSize", 1000}}),
                                          ak)["result"];
        QCOMPARE(int(other["list"].size()), 1);
        QCOMPARE(int(h->call("live.list.by.teacher.id",
                             params({{"teacherUserId", "abc"}, {"pageNum", 1}, {"pageSize", 10}}), ak)["result"]["list"]
                         .size()),
                 0);
    }

    void roomLifecycleAndPermissions()
    {
        const std::string ak = h->ak("t1");
        const std::string lid = std::to_string(live);
        const std::string tid = std::to_string(teacher);
        auto create = [&](const std::string& a, const std::string& host, const std::string& id) {
            return h->call("live.create.room", params({{"hostUserId", host}, {"liveId", id}}), a);
        };
        QCOMPARE(errorCode(h->call("live.report.room.info",
                                   params({{"hostUserId", tid}, {"liveId", lid}, {"videoType", 0}, {"device", 2}}), ak)),
                 Code::NoRoomYet);
        const Json::Value created = create(ak, tid, lid);
        QCOMPARE(errorCode(created), 0);
        const int room = created["result"]["avRoomId"].asInt();
        QVERIFY(room > 0);
        QCOMPARE(create(ak, tid, lid)["result"]["avRoomId"].asInt(), room); // same live, same room
        QCOMPARE(h->store().live(live)->state, std::string("s"));
        const int64_t second = h->store().addLive("t1", "第二课", "", at(5, 9), at(5, 10));
        QVERIFY(create(ak, tid, std::to_string(second))["result"]["avRoomId"].asInt() != room);

        // Another teacher's live, or posing as its teacher: 109007.
        const std::string ak2 = h->ak("t2");
        QCOMPARE(errorCode(create(ak2, std::to_string(otherTeacher), lid)), Code::NotYourLive);
        QCOMPARE(errorCode(create(ak2, tid, lid)), Code::NotYourLive);
        QCOMPARE(errorCode(h->call("live.begin", params({{"liveId", lid}}), ak2)), Code::NotYourLive);
        QCOMPARE(errorCode(create(ak, tid, "999999")), Code::LiveNotFound);
        QCOMPARE(errorCode(create(ak, tid, "x1")), Code::LiveNotFound);

        QCOMPARE(errorCode(h->call("live.report.room.info",
                                   params({{"hostUserId", tid}, {"liveId", lid}, {"videoType", 0}, {"device", 2}}), ak)),
                 0);
        auto enter = [&](const std::string& a, int role, int r) {
            return errorCode(h->call("live.enter.room", params({{"liveRole", role}, {"avRoomId", r}}), a));
        };
        const std::string sak = h->ak("s1");
        const std::string sak2 = h->ak("s2");
        QCOMPARE(enter(ak, 1, room), 0);
        QCOMPARE(enter(sak, 1, room), Code::NotYourLive); // a student cannot take the host's role
        QCOMPARE(enter(sak, 0, room), 0);
        QCOMPARE(enter(sak2, 0, room), 0);
        QCOMPARE(enter(sak, 0, 424242), Code::RoomNotFound);

        auto members = [&](const std::string& a) {
            return h->call("live.room.member.list", params({{"liveId", lid}, {"pageNum", 1}, {"pageSize", 1000}}), a);
        };
        Json::Value list = members(ak)["result"]["list"];
        QCOMPARE(int(list.size()), 3);
        QCOMPARE(list[0]["userId"].asString(), tid);
        QCOMPARE(list[0]["role"].asString(), std::string("t"));
        QCOMPARE(list[1]["nickname"].asString(), std::string("张小明"));
        QCOMPARE(list[1]["role"].asString(), std::string("s"));
        QCOMPARE(list[1]["status"].asString(), std::string("0"));
        QCOMPARE(errorCode(members(ak2)), Code::NotYourLive); // not in the room, not its teacher
        QCOMPARE(errorCode(members(sak)), 0);

        // Speaking state round trip; the id may come as text or as a number.
        auto report = [&](const std::string& a, const Json::Value& who, const char* action) {
            return errorCode(h->call("live.room.member.status.report",
                                     params({{"liveId", lid}, {"action", action}, {"userId", who}}), a));
        };
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(members(ak)["result"]["list"][1]["status"].asString(), std::string("1"));
        QCOMPARE(report(ak, Json::Int64(student), "off"), 0);
        QCOMPARE(members(ak)["result"]["list"][1]["status"].asString(), std::string("0"));
        QCOMPARE(report(sak2, std::to_string(student), "on"), Code::NotYourLive); // not about another student
        QCOMPARE(report(sak2, std::to_string(student), "off"), Code::NotYourLive);
        // A student cannot put themself on the microphone, only take themself off.
        QCOMPARE(report(sak, std::to_string(student), "on"), Code::NotYourLive);
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(report(sak, Json::Int64(student), "off"), 0);
        QCOMPARE(members(ak)["result"]["list"][1]["status"].asString(), std::string("0"));
        QCOMPARE(report(ak, std::to_string(otherTeacher), "on"), Code::NotInRoom);
        QCOMPARE(report(ak, std::to_string(student2), "on"), 0);

        // Leaving drops the member; quitting twice is harmless.
        QCOMPARE(errorCode(h->call("live.quit.room", params({{"liveRole", 0}, {"avRoomId", room}}), sak2)), 0);
        QCOMPARE(errorCode(h->call("live.quit.room", params({{"liveRole", 0}, {"avRoomId", room}}), sak2)), 0);
        list = members(ak)["result"]["list"];
        QCOMPARE(int(list.size()), 2);
        QCOMPARE(members(ak)["result"]["total"].asInt(), 2);
        QCOMPARE(report(ak, std::to_string(student2), "off"), Code::NotInRoom);

        // Begin and end: states, repeated calls, nothing after the end.
        QCOMPARE(errorCode(h->call("live.begin", params({{"liveId", lid}}), ak)), 0);
        QCOMPARE(h->store().live(live)->state, std::string("i"));
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(errorCode(h->call("live.end", params({{"liveId", lid}}), ak)), 0);
        QCOMPARE(errorCode(h->call("live.end", params({{"liveId", lid}}), ak)), 0);
        QCOMPARE(h->store().live(live)->state, std::string("e"));
        QCOMPARE(members(ak)["result"]["list"][1]["status"].asString(), std::string("0"));
        QCOMPARE(errorCode(h->call("live.begin", params({{"liveId", lid}}), ak)), Code::LiveEnded);
        QCOMPARE(enter(sak2, 0, room), Code::LiveEnded);
        QCOMPARE(create(ak, tid, lid)["result"]["avRoomId"].asInt(), room);
    }

    void versionCheckOffersOnlyNewerInstallers()
    {
        auto check = [&](const std::string& version) {
            Json::Value env = params({{"jsonrpc", "2.0"}, {"method", "client.version.check"},
                                      {"params", params({{"clientVersion", version}})}});
            Json::Value out;
            h->post(Json::writeString(Json::StreamWriterBuilder(), env), &out);
            return out;
        };
        QCOMPARE(check("rided4a_win_1.0")["result"]["type"].asInt(), 1); // nothing published
        h->store().setNewestRelease({"rided4a_win_1.2", "Lectern Setup 1.2.exe"});
        const Json::Value older = check("rided4a_win_1.0")["result"];
        QCOMPARE(older["type"].asInt(), 2);
        QCOMPARE(older["newestVersion"].asString(), std::string("rided4a_win_1.2"));
        QCOMPARE(older["updateUrl"].asString(), "http://127.0.0.1:" + std::to_string(h->server->port())
                                                    + "/downloads/Lectern%20Setup%201.2.exe");
        QCOMPARE(check("rided4a_win_1.10")["result"]["type"].asInt(), 1); // 1.10 is after 1.2
        QCOMPARE(check("rided4a_win_1.2")["result"]["type"].asInt(), 1);
        QCOMPARE(check("rided4a_win_1.2.0")["result"]["type"].asInt(), 1);
        QCOMPARE(check("rided4a_mac_0.1")["result"]["type"].asInt(), 1); // no installer for it
        QCOMPARE(errorCode(check("garbage")), Code::InvalidParams);

        QCOMPARE(AppServer::compareVersions("a_1.9", "a_1.10"), std::optional<int>(-1));
        QCOMPARE(AppServer::compareVersions("a_2", "a_1.10"), std::optional<int>(1));
        QCOMPARE(AppServer::compareVersions("a_1..2", "a_1.2"), std::optional<int>());
    }

    void byteRanges_data()
    {
        QTest::addColumn<QString>("header");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("first");
        QTest::addColumn<qint64>("last");
        QTest::newRow("none") << "" << int(ByteRange::Whole) << 0LL << 4999LL;
        QTest::newRow("from offset") << "bytes=1000-" << int(ByteRange::Partial) << 1000LL << 4999LL;
        QTest::newRow("middle") << "bytes=10-19" << int(ByteRange::Partial) << 10LL << 19LL;
        QTest::newRow("end is the size") << "bytes=1000-5000" << int(ByteRange::Partial) << 1000LL << 4999LL;
        QTest::newRow("suffix") << "bytes=-100" << int(ByteRange::Partial) << 4900LL << 4999LL;
        QTest::newRow("suffix longer than file") << "bytes=-9000" << int(ByteRange::Partial) << 0LL << 4999LL;
        QTest::newRow("at the end") << "bytes=5000-5000" << int(ByteRange::Unsatisfiable) << 0LL << -1LL;
        QTest::newRow("past the end") << "bytes=7000-" << int(ByteRange::Unsatisfiable) << 0LL << -1LL;
        QTest::newRow("reversed") << "bytes=20-10" << int(ByteRange::Whole) << 0LL << 4999LL;
        QTest::newRow("several") << "bytes=0-1,5-6" << int(ByteRange::Whole) << 0LL << 4999LL;
        QTest::newRow("other unit") << "items=0-1" << int(ByteRange::Whole) << 0LL << 4999LL;
        QTest::newRow("overflow") << "bytes=99999999999999999999-" << int(ByteRange::Whole) << 0LL << 4999LL;
    }

    void byteRanges()
    {
        QFETCH(QString, header);
        QFETCH(int, kind);
        const ByteRange r = ByteRange::parse(header.toStdString(), 5000);
        QCOMPARE(int(r.kind), kind);
        if (r.kind != ByteRange::Unsatisfiable) {
            QFETCH(qint64, first);
            QFETCH(qint64, last);
            QCOMPARE(qint64(r.first), first);
            QCOMPARE(qint64(r.last), last);
        }
    }

    void downloadsServeRangesInsideTheFolder()
    {
        QByteArray content(5000, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7 % 251);
        QFile f(h->downloads() + "/setup.exe");
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
        f.close();
        QFile secret(QDir(h->downloads()).filePath("../secret.txt"));
        QVERIFY(secret.open(QIODevice::WriteOnly));
        secret.write("do not serve");
        secret.close();
        QVERIFY(QFile::link(secret.fileName(), h->downloads() + "/link.txt"));
        QVERIFY(QDir(h->downloads()).mkdir("folder"));

        auto c = h->client();
        auto head = c->Head("/downloads/setup.exe");
        QVERIFY(head);
        QCOMPARE(head->status, 200);
        QCOMPARE(head->get_header_value("Content-Length"), std::string("5000"));
        QCOMPARE(head->get_header_value_count("Accept-Ranges"), size_t(1));
        QCOMPARE(head->get_header_value("Accept-Ranges"), std::string("bytes"));

        auto whole = c->Get("/downloads/setup.exe");
        QCOMPARE(whole->status, 200);
        QVERIFY(whole->body == content.toStdString());

        struct Want {
            const char* range;
            int status;
            int from;
            int to;
            const char* contentRange;
        };
        const Want wants[] = {
            {"bytes=1000-", 206, 1000, 4999, "bytes 1000-4999/5000"},
            {"bytes=1000-5000", 206, 1000, 4999, "bytes 1000-4999/5000"}, // what a resuming download asks
            {"bytes=2000-2099", 206, 2000, 2099, "bytes 2000-2099/5000"},
            {"bytes=5000-5000", 416, 0, -1, "bytes */5000"},
            {"bytes=9000-", 416, 0, -1, "bytes */5000"},
        };
        for (const Want& w : wants) {
            auto r = c->Get("/downloads/setup.exe", {{"Range", w.range}});
            QVERIFY(r);
            QCOMPARE(r->status, w.status);
            QCOMPARE(r->get_header_value("Content-Range"), std::string(w.contentRange));
            if (w.status == 206)
                QVERIFY(r->body == content.mid(w.from, w.to - w.from + 1).toStdString());
        }

        for (const char* path : {"/downloads/../secret.txt", "/downloads/%2e%2e/secret.txt", "/downloads/..%2fsecret.txt",
                                 "/downloads/link.txt", "/downloads/folder", "/downloads/missing.exe", "/downloads/",
                                 "/downloads/.hidden", "/secret.txt"}) {
            auto r = c->Get(path);
            QVERIFY2(r && r->status == 404, path);
            QVERIFY(r->body.find("do not serve") == std::string::npos);
        }
    }

    void concurrentCallsLoseNoUpdate()
    {
        const int threads = 8;
        const int perThread = 25;
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

        // Every thread creates rooms for all lives (racing each other) and moves its student
        // in and out of the first room, then toggles its speaking state.
        const int firstRoom = h->call("live.create.room",
                                      params({{"hostUserId", std::to_string(teacher)},
                                              {"liveId", std::to_string(liveIds[0])}}),
                                      ak)["result"]["avRoomId"]
                                  .asInt();
        std::vector<std::vector<int>> rooms(threads);
        std::atomic<int> failures{0};
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const int64_t id = liveIds[(t * 7 + i * 3) % liveIds.size()];
                    const Json::Value a = h->call(
                        "live.create.room",
                        params({{"hostUserId", std::to_string(teacher)}, {"liveId", std::to_string(id)}}), ak);
                    if (errorCode(a) != 0)
                        ++failures;
                    rooms[t].push_back(a["result"]["avRoomId"].asInt());
                    if (errorCode(h->call("live.enter.room", params({{"liveRole", 0}, {"avRoomId", firstRoom}}), aks[t]))
                        != 0)
                        ++failures;
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
                QCOMPARE(int64_t(rooms[t][i]), roomOf[liveIds[(t * 7 + i * 3) % liveIds.size()]]);
        const Json::Value list = h->call("live.room.member.list",
                                         params({{"liveId", std::to_string(liveIds[0])}, {"pageNum", 1}, {"pageSize", 1000}}),
                                         ak)["result"]["list"];
        QCOMPARE(int(list.size()), threads);
    }

    void restartKeepsData()
    {
        const std::string ak = h->ak("t1");
        const QByteArray secret = h->server->liveSecret();
        const int room = h->call("live.create.room",
                                 params({{"hostUserId", std::to_string(teacher)}, {"liveId", std::to_string(live)}}),
                                 ak)["result"]["avRoomId"]
                             .asInt();
        QCOMPARE(errorCode(h->call("live.enter.room", params({{"liveRole", 1}, {"avRoomId", room}}), ak)), 0);
        const Json::Value sig = h->call("live.usersig.create", Json::Value(Json::objectValue), ak);

        h->restart();
        QCOMPARE(h->server->liveSecret(), secret);
        QCOMPARE(usersig::verify(h->server->liveSecret(), QString::fromStdString(sig["result"]["userSig"].asString()),
                                 QString::number(teacher), QDateTime::currentSecsSinceEpoch()),
                 usersig::Check::Ok);
        QCOMPARE(*h->store().live(live)->avRoomId, int64_t(room));
        const Json::Value list = h->call("live.room.member.list",
                                         params({{"liveId", std::to_string(live)}, {"pageNum", 1}, {"pageSize", 10}}),
                                         ak); // the old ak still works
        QCOMPARE(errorCode(list), 0);
        QCOMPARE(int(list["result"]["list"].size()), 1);
    }

    void logLinesCannotBeForgedByCallers()
    {
        static QMutex mutex;
        static QStringList lines;
        lines.clear();
        const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
            QMutexLocker lock(&mutex);
            lines << m;
        });
        const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });
        QTemporaryDir dir;
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("log.db");
        o.downloadsDir = dir.path();
        {
            AppServer server(o);
            QString error;
            QVERIFY2(server.listen("127.0.0.1", 0, &error), qPrintable(error));
            httplib::Client c("127.0.0.1", server.port());
            const std::string forged = "x\n2030-01-01 00:00:00.000 jsonrpc user.login user=10001 ok";
            c.Post(AppServer::kRpcPath, "{\"jsonrpc\":\"2.0\",\"method\":\"" + forged + "\",\"params\":{}}",
                   "application/json");
            c.Post(AppServer::kRpcPath,
                   "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\"a\\r\\nb\","
                   "\"saltedPassword\":\"x\",\"salt\":\"1\"}}",
                   "application/json");
            auto got = c.Get("/downloads/a%1B[2Kb%00c");
            QVERIFY(got && got->status == 404);
            server.stop();
        }
        QVERIFY2(lines.size() == 3, qPrintable(lines.join(" | ")));
        for (const QString& line : lines) {
            QVERIFY2(!line.contains('\n') && !line.contains('\r') && !line.contains(QChar(0)), qPrintable(line));
            QVERIFY2(line.contains("\\x0a") || line.contains("\\x1b"), qPrintable(line));
            QVERIFY2(!line.contains(QChar(0x1b)), qPrintable(line));
        }
        QVERIFY(lines[2].endsWith(" ms"));
    }

    void storeRefusesBadAdministration()
    {
        auto& s = h->store();
        auto code = [](auto&& fn) {
            try {
                fn();
            } catch (const appserver::AppError& e) {
                return e.code;
            }
            return 0;
        };
        QCOMPARE(code([&] { s.addUser("t1", "x", "y", "t"); }), Code::UserExists);
        QCOMPARE(code([&] { s.addUser("with space", "x", "y", "t"); }), Code::InvalidParams);
        QCOMPARE(code([&] { s.addUser("new", "", "y", "t"); }), Code::InvalidParams);
        QCOMPARE(code([&] { s.addUser("new", "x", "y", "admin"); }), Code::InvalidParams);
        QCOMPARE(code([&] { s.addLive("s1", "课", "", at(1, 9), at(1, 10)); }), Code::InvalidParams);
        QCOMPARE(code([&] { s.addLive("nobody", "课", "", at(1, 9), at(1, 10)); }), Code::UserNotFound);
        QCOMPARE(code([&] { s.addLive("t1", "课", "", at(1, 10), at(1, 9)); }), Code::InvalidParams);
        QCOMPARE(int(s.users().size()), 5);

        // The demo school comes once, however often it is asked for.
        QVERIFY(s.seedDemo());
        const size_t users = s.users().size();
        const size_t lives = s.allLives().size();
        QVERIFY(!s.seedDemo());
        QCOMPARE(s.users().size(), users);
        QCOMPARE(s.allLives().size(), lives);
        std::set<std::string> states;
        bool roomless = false;
        bool acrossMidnight = false;
        for (const appserver::LiveRecord& l : s.allLives()) {
            states.insert(l.state);
            roomless |= !l.avRoomId && l.state == "v";
            acrossMidnight |= QDateTime::fromMSecsSinceEpoch(l.startMs).date()
                != QDateTime::fromMSecsSinceEpoch(l.endMs).date();
        }
        QVERIFY(states.count("v") && states.count("s") && states.count("i") && states.count("e"));
        QVERIFY(roomless);
        QVERIFY(acrossMidnight);
        QCOMPARE(errorCode(h->login("student12", "123456")), 0);
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
