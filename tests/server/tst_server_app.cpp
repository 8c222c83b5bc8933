// The app server on a loopback port over a database in a temporary folder, with a clock the test
// can move, spoken to as plain JSON-RPC over HTTP.
#include "app/AppServer.h"
#include "LogCapture.h"

#include "common/UserSig.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <SQLiteCpp/SQLiteCpp.h>
#include <httplib.h>
#include <json/json.h>

#include <atomic>
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

QString sha1Base64(const QByteArray& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64());
}

int errorCode(const Json::Value& answer)
{
    return answer.isMember("error") && !answer["error"].isNull() ? answer["error"]["code"].asInt() : 0;
}

class Harness {
public:
    explicit Harness(bool logRequests = false)
        : m_logRequests(logRequests)
    {
        QDir(dir.path()).mkpath("downloads");
        start();
    }

    void start()
    {
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("lectern.db");
        o.downloadsDir = dir.filePath("downloads");
        o.logRequests = m_logRequests;
        o.clockMs = [this] { return QDateTime::currentMSecsSinceEpoch() + clockShiftMs.load(); };
        server = std::make_unique<AppServer>(o);
        QString error;
        if (!server->listen(QStringLiteral("127.0.0.1"), 0, &error))
            qFatal("app server did not start: %s", qPrintable(error));
    }

    appserver::AppStore& store() { return server->store(); }

    std::unique_ptr<httplib::Client> client() const
    {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        c->set_read_timeout(10, 0);
        return c;
    }

    // Posts raw text; returns the HTTP status and fills the parsed answer.
    int post(const std::string& body, Json::Value* answer) const
    {
        auto res = client()->Post(AppServer::kRpcPath, body, "application/json");
        *answer = Json::Value();
        if (!res)
            return -1;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        reader->parse(res->body.data(), res->body.data() + res->body.size(), answer, nullptr);
        return res->status;
    }

    // One call as the client makes it.
    Json::Value call(const std::string& method, Json::Value p, const std::string& ak) const
    {
        p["ak"] = ak;
        p["channel"] = "PC";
        p["appType"] = "rided4a_win";
        if (!p.isMember("clientVersion"))
            p["clientVersion"] = "rided4a_win_1.0";
        Json::Value answer;
        post(Json::writeString(Json::StreamWriterBuilder(),
                 params({ { "jsonrpc", "2.0" }, { "method", method }, { "params", p } })),
            &answer);
        return answer;
    }

    Json::Value login(const std::string& loginId, const QString& password) const
    {
        const QString salt = QStringLiteral("4321");
        const std::string salted = sha1Base64((sha1Base64(password.toUtf8()) + salt).toUtf8()).toStdString();
        return call("user.login",
            params({ { "loginId", loginId }, { "saltedPassword", salted }, { "salt", "4321" } }), "");
    }

    // Signs in and returns the ak; empty when refused, which later calls then report.
    std::string ak(const std::string& loginId) const
    {
        return login(loginId, "123456")["result"]["ak"].asString();
    }

    QTemporaryDir dir;
    std::unique_ptr<AppServer> server;
    std::atomic<int64_t> clockShiftMs { 0 };
    bool m_logRequests;
};
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
    Json::Value memberList(const std::string& ak, int64_t liveId)
    {
        return call(ak, "live.room.member.list",
            { { "liveId", std::to_string(liveId) }, { "pageNum", 1 }, { "pageSize", 1000 } });
    }
    Json::Value createRoom(const std::string& ak, int64_t host, const std::string& liveId)
    {
        return call(ak, "live.create.room", { { "hostUserId", std::to_string(host) }, { "liveId", liveId } });
    }
    QString sigOf(const std::string& ak)
    {
        return QString::fromStdString(call(ak, "live.usersig.create")["result"]["userSig"].asString());
    }

private slots:
    void init()
    {
        h = std::make_unique<Harness>();
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
        const Json::Value r = h->login("t1", "123456")["result"];
        QCOMPARE(r["userId"].asString(), std::to_string(teacher));
        QVERIFY(r["ak"].asString().size() >= 32
            && r["ak"] != h->login("t1", "123456")["result"]["ak"]); // each its own
        QCOMPARE(errorCode(h->login("nonascii", "密码123")), 0); // hashed over UTF-8
        const Json::Value wrong = h->login("t1", "654321"), nobody = h->login("nobody", "123456");
        QCOMPARE(errorCode(wrong), Code::BadLogin);
        QCOMPARE(nobody["error"], wrong["error"]); // an unknown user is not told apart

        // The signature carries the role: a student's admits them to a room, never as its host.
        const std::string ak = h->ak("t1");
        const QByteArray secret = h->server->liveSecret();
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        usersig::Role role = usersig::Role::Member;
        QCOMPARE(
            usersig::verify(secret, sigOf(ak), QString::number(teacher), now, &role), usersig::Check::Ok);
        QVERIFY(role == usersig::Role::Host);
        QCOMPARE(usersig::verify(secret, sigOf(h->ak("s1")), QString::number(student), now, &role),
            usersig::Check::Ok);
        QVERIFY(role == usersig::Role::Member);

        QCOMPARE(code(ak + "x", "live.usersig.create"), Code::NotSignedIn);
        h->clockShiftMs += 8LL * 24 * 3600 * 1000;
        QCOMPARE(code(ak, "live.usersig.create"), Code::NotSignedIn);
        QCOMPARE(code(h->ak("t1"), "live.usersig.create"), 0);
    }

    void envelopeFaultsGetJsonRpcErrors()
    {
        const std::vector<std::pair<std::string, int>> cases = {
            { "{\"a\":1} trailing", Code::ParseError },
            { std::string(10000, '['), Code::ParseError }, // nesting that once threw out of the parser
            { "{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\",\"params\":[1]}",
                Code::InvalidParams },
            { "{\"jsonrpc\":\"2.0\",\"method\":\"no.such.method\",\"params\":{}}", Code::MethodNotFound },
            { "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\""
                    + std::string(1100 * 1024, 'a') + "\"}}",
                Code::InvalidRequest },
        };
        for (const auto& [body, want] : cases) {
            Json::Value answer;
            QCOMPARE(h->post(body, &answer), 200);
            QCOMPARE(errorCode(answer), want);
            QVERIFY(!answer["error"]["message"].asString().empty() && answer["jsonrpc"].asString() == "2.0");
        }
        QVERIFY(h->client()->Get("/app-server/jsonrpc/")->status >= 400); // not a page
    }

    void liveListPagesOwnLivesAndFollowsChanges()
    {
        for (int i = 0; i < 12; ++i)
            h->store().addLive("t1", "第" + std::to_string(i) + "课", "", at(3 + i, 8), at(3 + i, 9));
        const std::string ak = h->ak("t1");
        auto page = [&](int num, int size, int64_t who = 0) {
            return call(ak, "live.list.by.teacher.id",
                { { "teacherUserId", std::to_string(who ? who : teacher) }, { "pageNum", num },
                    { "pageSize", size } })["result"];
        };
        std::set<std::string> seen;
        for (int n = 1; n <= 3; ++n) {
            const Json::Value r = page(n, 5);
            for (const Json::Value& l : r["list"])
                seen.insert(l["liveId"].asString());
        }
        QVERIFY(seen.size() == 13 && page(3, 5)["total"].asInt() == 13 && page(4, 5)["list"].empty());
        QCOMPARE(page(1, 5000)["pageSize"].asInt(), 1000);
        QCOMPARE(int(page(1, 1000, otherTeacher)["list"].size()), 1);

        // Answers are cached, yet follow every change: ours, and another process's on the same file.
        QCOMPARE(page(1, 1000)["list"][0]["state"].asString(), std::string("v"));
        QCOMPARE(code(ak, "live.begin", { { "liveId", std::to_string(live) } }), 0);
        QCOMPARE(page(1, 1000)["list"][0]["state"].asString(), std::string("i"));
        appserver::AppStore admin(h->dir.filePath("lectern.db").toStdString(), nullptr);
        admin.open();
        admin.addLive("t1", "加课", "", at(28, 9), at(28, 10));
        QCOMPARE(page(1, 1000)["total"].asInt(), 14);
    }

    void roomLifecycleAndPermissions()
    {
        const std::string ak = h->ak("t1"), ak2 = h->ak("t2"), sak = h->ak("s1"), sak2 = h->ak("s2");
        const std::string lid = std::to_string(live);
        const int room = createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt();
        QVERIFY(room > 0);
        QCOMPARE(createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt(), room); // same live, same room
        QCOMPARE(errorCode(createRoom(ak2, teacher, lid)), Code::NotYourLive); // posing as its teacher
        QCOMPARE(errorCode(createRoom(ak, teacher, "x1")), Code::LiveNotFound);

        auto enter = [&](const std::string& a, int role, int r) {
            return code(a, "live.enter.room", { { "liveRole", role }, { "avRoomId", r } });
        };
        QCOMPARE(enter(ak, 1, room), 0);
        QCOMPARE(enter(sak, 1, room), Code::NotYourLive); // a student cannot take the host's role
        QCOMPARE(enter(sak, 0, room) + enter(sak2, 0, room), 0);
        const Json::Value list = memberList(ak, live)["result"]["list"];
        QVERIFY(list.size() == 3 && list[0]["userId"].asString() == std::to_string(teacher));
        QCOMPARE(errorCode(memberList(ak2, live)), Code::NotYourLive); // not in the room, not its teacher

        // Speaking state; the id may come as text or as a number.
        auto report = [&](const std::string& a, const Json::Value& who, const char* action) {
            return code(a, "live.room.member.status.report",
                { { "liveId", lid }, { "action", action }, { "userId", who } });
        };
        auto status = [&] { return memberList(ak, live)["result"]["list"][1]["status"].asString(); };
        QCOMPARE(report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(status(), std::string("1"));
        QCOMPARE(
            report(sak2, std::to_string(student), "off"), Code::NotYourLive); // not about another student
        QCOMPARE(
            report(sak, std::to_string(student), "on"), Code::NotYourLive); // only off, never on by themself
        QCOMPARE(report(sak, Json::Int64(student), "off"), 0);
        QCOMPARE(status(), std::string("0"));

        // Leaving drops the member.
        QCOMPARE(code(sak2, "live.quit.room", { { "liveRole", 0 }, { "avRoomId", room } }), 0);
        QCOMPARE(report(ak, std::to_string(student2), "off"), Code::NotInRoom);

        // Begin and end: states, repeated calls, nothing after the end, microphones off.
        QCOMPARE(
            code(ak, "live.begin", { { "liveId", lid } }) + report(ak, std::to_string(student), "on"), 0);
        QCOMPARE(h->store().live(live)->state, std::string("i"));
        for (int i = 0; i < 2; ++i)
            QCOMPARE(code(ak, "live.end", { { "liveId", lid } }), 0);
        QCOMPARE(h->store().live(live)->state, std::string("e"));
        QCOMPARE(status(), std::string("0"));
        QCOMPARE(code(ak, "live.begin", { { "liveId", lid } }), Code::LiveEnded);
        QCOMPARE(enter(sak2, 0, room), Code::LiveEnded);
    }

    // Any student of the school could once list, enter and hear any class.
    void rosteredLiveIsInvisibleAndClosedToStudentsNotOnIt()
    {
        const std::string ak = h->ak("t1"), ak2 = h->ak("t2"), sak = h->ak("s1"), sak2 = h->ak("s2");
        const std::string lid = std::to_string(live);
        const int room = createRoom(ak, teacher, lid)["result"]["avRoomId"].asInt();
        const auto enter = [&](const std::string& a, int role) {
            return code(a, "live.enter.room", { { "liveRole", role }, { "avRoomId", room } });
        };
        const auto sees = [&](const std::string& a) {
            bool open = false, listed = false;
            const Json::Value openLives = call(a, "live.list.open")["result"]["list"];
            const Json::Value allLives = call(
                a, "live.list.by.teacher.id", { { "pageNum", 1 }, { "pageSize", 100 } })["result"]["list"];
            for (const Json::Value& l : openLives)
                open = open || l["liveId"].asString() == lid;
            for (const Json::Value& l : allLives)
                listed = listed || l["liveId"].asString() == lid;
            return int(open) + int(listed); // 2 seen in both lists, 0 in neither
        };
        QCOMPARE(enter(ak, 1), 0);
        QVERIFY(sees(sak) == 2 && sees(sak2) == 2); // no roster: the whole school

        h->store().setOnRoster(live, { "s1" }, true);
        QVERIFY(sees(sak) == 2 && sees(sak2) == 0 && sees(ak) == 2);
        QCOMPARE(enter(sak, 0), 0);
        QCOMPARE(enter(sak2, 0), Code::NotOnRoster);
        QCOMPARE(enter(ak2, 0), Code::NotOnRoster); // another teacher is no exception
        const QString s2 = QString::number(student2), s1 = QString::number(student);
        QCOMPARE(h->server->roomVerdict(s2, quint32(room), relayop::RoomUse::List), int(relayop::kNotLetIn));
        QCOMPARE(h->server->roomVerdict(s1, quint32(room), relayop::RoomUse::Join), int(relayop::kOk));

        // Taken off the roster, a student who entered before may not come back into the room.
        h->store().setOnRoster(live, { "s1" }, false);
        h->store().setOnRoster(live, { "s2" }, true);
        QCOMPARE(h->server->roomVerdict(s1, quint32(room), relayop::RoomUse::Join), int(relayop::kNotLetIn));
        QVERIFY(sees(sak) == 0 && sees(sak2) == 2);
        // All or nothing: an unknown login adds nobody.
        QVERIFY_EXCEPTION_THROWN(h->store().setOnRoster(live, { "s1", "nobody" }, true), appserver::AppError);
        QCOMPARE(int(h->store().roster(live).size()), 1);
    }

    void databaseFromBeforeRostersGetsThemOnOpening()
    {
        const std::string file = h->dir.filePath("lectern.db").toStdString();
        h->server.reset(); // the folder stays
        {
            SQLite::Database db(file, SQLite::OPEN_READWRITE);
            db.exec("DROP TRIGGER roster_inserted; DROP TRIGGER roster_deleted; DROP TABLE roster;"
                    " PRAGMA user_version=1");
        }
        appserver::AppStore store(file, nullptr);
        store.open();
        store.setOnRoster(live, { "s2" }, true);
        QCOMPARE(store.roster(live).size(), size_t(1));
        SQLite::Database db(file, SQLite::OPEN_READONLY);
        QCOMPARE(db.execAndGet("PRAGMA user_version").getInt(), appserver::AppStore::kSchemaVersion);
    }

    // That a published installer is offered with its address is checked through the client.
    void versionCheckOffersOnlyNewerInstallers()
    {
        auto check = [&](const std::string& version) {
            return call("", "client.version.check", { { "clientVersion", version } });
        };
        auto type = [&](const std::string& version) { return check(version)["result"]["type"].asInt(); };
        QCOMPARE(type("rided4a_win_1.0"), 1); // nothing published
        h->store().setNewestRelease({ "rided4a_win_1.2", "Lectern Setup 1.2.exe" });
        QCOMPARE(type("rided4a_win_1.1"), 2);
        for (const char* notOlder : { "rided4a_win_1.10", "rided4a_win_1.2.0", "rided4a_mac_0.1" })
            QCOMPARE(type(notOlder), 1);
        QCOMPARE(errorCode(check("garbage")), Code::InvalidParams);
    }

    // Resuming the installer's download is checked through the client's downloader.
    void downloadsServeRangesInsideTheFolder()
    {
        const QByteArray content(5000, 'i');
        auto write = [](const QString& path, const QByteArray& bytes) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
        };
        const QString secret = h->dir.filePath("secret.txt");
        QVERIFY(write(h->dir.filePath("downloads/setup.exe"), content) && write(secret, "do not serve"));
        QVERIFY(QFile::link(secret, h->dir.filePath("downloads/link.txt"))
            && QDir(h->dir.filePath("downloads")).mkdir("folder"));

        auto c = h->client();
        // Ranges it cannot serve as asked get the whole file or a refusal, never a wrong slice.
        for (const char* odd : { "bytes=0-1,5-6", "bytes=20-10", "bytes=99999999999999999999-" }) {
            auto r = c->Get("/downloads/setup.exe", { { "Range", odd } });
            QVERIFY2(r && (r->status == 416 || (r->status == 200 && r->body.size() == 5000)), odd);
        }
        auto past = c->Get("/downloads/setup.exe", { { "Range", "bytes=5000-" } });
        QCOMPARE(past->status, 416);
        QCOMPARE(past->get_header_value("Content-Range"), std::string("bytes */5000"));

        for (const char* path :
            { "/downloads/../secret.txt", "/downloads/%2e%2e/secret.txt", "/downloads/..%2fsecret.txt",
                "/downloads/link.txt", "/downloads/folder", "/downloads/", "/downloads/.hidden" }) {
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
            s.addUser("c" + std::to_string(i), "123456", "学生", "s");
            aks.push_back(h->ak("c" + std::to_string(i)));
        }
        const std::string ak = h->ak("t1");
        std::vector<int64_t> liveIds;
        for (int i = 0; i < threads * perThread; ++i)
            liveIds.push_back(s.addLive("t1", "并发", "", at(9, 9), at(9, 10)));
        auto liveOf = [&](int t, int i) { return liveIds[(t * 7 + i * 3) % liveIds.size()]; };

        // Every thread creates rooms for lives (racing the others) and moves its student into the first room.
        const int firstRoom
            = createRoom(ak, teacher, std::to_string(liveIds[0]))["result"]["avRoomId"].asInt();
        std::vector<std::vector<int>> rooms(threads);
        std::atomic<int> failures { 0 };
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                for (int i = 0; i < perThread; ++i) {
                    const Json::Value a = createRoom(ak, teacher, std::to_string(liveOf(t, i)));
                    rooms[t].push_back(a["result"]["avRoomId"].asInt());
                    failures += errorCode(a) != 0;
                    failures
                        += code(aks[t], "live.enter.room", { { "liveRole", 0 }, { "avRoomId", firstRoom } })
                        != 0;
                }
            });
        }
        for (std::thread& th : pool)
            th.join();
        QCOMPARE(failures.load(), 0);

        // Same live, same room, whoever asked first; different lives never share one.
        std::map<int64_t, int64_t> roomOf;
        std::set<int64_t> distinct;
        for (const appserver::LiveRecord& l : s.allLives())
            if (l.avRoomId)
                QVERIFY2(distinct.insert(roomOf[l.liveId] = *l.avRoomId).second, "two lives share a room");
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
        QCOMPARE(code(ak, "live.enter.room", { { "liveRole", 1 }, { "avRoomId", room } }), 0);
        QVERIFY(h->store().seedDemo());
        const size_t users = h->store().users().size();

        h->server.reset();
        h->start();
        QCOMPARE(h->server->liveSecret(), secret);
        QCOMPARE(*h->store().live(live)->avRoomId, int64_t(room));
        QCOMPARE(int(memberList(ak, live)["result"]["list"].size()), 1); // the old ak still works
        QVERIFY(!h->store().seedDemo() && h->store().users().size() == users);
        QCOMPARE(errorCode(h->login("student12", "123456")), 0);
    }

    void logLinesCannotBeForgedByCallers()
    {
        LogCapture log;
        {
            Harness logged(true);
            auto c = logged.client();
            // Escaped in the JSON text (a raw one is a parse error), so the method name holds a real newline.
            const std::string forged = "x\\n2030-01-01 00:00:00.000 jsonrpc user.login user=10001 ok";
            c->Post(AppServer::kRpcPath, "{\"jsonrpc\":\"2.0\",\"method\":\"" + forged + "\",\"params\":{}}",
                "application/json");
            QVERIFY(c->Get("/downloads/a%1B[2Kb%00c")->status == 404);
        }
        const QStringList lines = log.lines();
        QVERIFY2(lines.size() == 2, qPrintable(lines.join(" | ")));
        for (const QString& line : lines) {
            QVERIFY2(
                !line.contains('\n') && !line.contains('\r') && !line.contains(QChar(0)), qPrintable(line));
            QVERIFY2((line.contains("\\x0a") || line.contains("\\x1b")) && !line.contains(QChar(0x1b)),
                qPrintable(line));
        }
    }

private:
    std::unique_ptr<Harness> h;
    int64_t teacher = 0, otherTeacher = 0, student = 0, student2 = 0, live = 0;
};

QTEST_GUILESS_MAIN(TestAppServer)
#include "tst_server_app.moc"
