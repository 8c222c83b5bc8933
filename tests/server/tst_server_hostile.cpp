// The app server against hostile or careless HTTP clients: bodies and headers past the limits, slow
// and idle connections, odd ranges, batches, bad bytes, guessed passwords. Limits are set small here
// so each case stays quick.
#include "LoopbackSocket.h"
#include "app/AppServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QtTest>

#include <httplib.h>
#include <json/json.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using appserver::AppServer;
namespace Code = appserver::ErrorCode;

namespace {

QByteArray sha1Base64(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64();
}

// A plain TCP connection to the server, closed with the object.
class Raw {
public:
    Raw(quint16 port, int receiveBuffer = 0)
    {
        fd = ConnectLoopback(port, receiveBuffer);
        if (fd < 0)
            qFatal("cannot connect to the app server on port %d", port);
        timeval tv { 10, 0 };
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Raw() { ::close(fd); }
    bool send(const std::string& text)
    {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // Reads up to max bytes, or until the server closes or nothing comes for 10 s.
    std::string read(size_t max = 1 << 20)
    {
        std::string out;
        char buffer[65536];
        while (out.size() < max) {
            const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, max - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buffer, size_t(n));
        }
        return out;
    }
    int fd = -1;
};

bool isUtf8(const std::string& text)
{
    QTextCodec::ConverterState state;
    QTextCodec::codecForName("UTF-8")->toUnicode(text.data(), int(text.size()), &state);
    return state.invalidChars == 0;
}

} // namespace

class TestServerHostile : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::unique_ptr<AppServer> server;
    std::atomic<int64_t> shiftMs { 0 };

    void start(std::function<void(appserver::AppServerOptions&)> tune = {})
    {
        server.reset();
        QFile::remove(dir.filePath("lectern.db"));
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("lectern.db");
        o.downloadsDir = dir.filePath("downloads");
        o.logRequests = false;
        o.clockMs = [this] { return QDateTime::currentMSecsSinceEpoch() + shiftMs.load(); };
        if (tune)
            tune(o);
        server = std::make_unique<AppServer>(o);
        QString error;
        QVERIFY2(server->listen("127.0.0.1", 0, &error), qPrintable(error));
        server->store().addUser("t1", "123456", "王老师", "t");
    }

    std::string loginBody(
        const std::string& login, const std::string& password, const std::string& salt = "4321")
    {
        const QByteArray salted
            = sha1Base64(sha1Base64(QByteArray::fromStdString(password)) + QByteArray::fromStdString(salt));
        return "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"loginId\":\"" + login
            + "\",\"salt\":\"" + salt + "\",\"saltedPassword\":\"" + salted.toStdString() + "\"}}";
    }

    Json::Value post(const std::string& body, std::string* raw = nullptr)
    {
        httplib::Client c("127.0.0.1", server->port());
        c.set_read_timeout(10, 0);
        auto res = c.Post(AppServer::kRpcPath, body, "application/json");
        Json::Value v;
        if (!res)
            return v;
        if (raw)
            *raw = res->body;
        std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
            ->parse(res->body.data(), res->body.data() + res->body.size(), &v, nullptr);
        return v;
    }
    int code(const Json::Value& v) { return v["error"].isObject() ? v["error"]["code"].asInt() : 0; }

private slots:
    void init()
    {
        QVERIFY(QDir(dir.path()).mkpath("downloads"));
        start();
    }
    void cleanup() { server.reset(); }

    void chunkedBodyPastTheLimitIsCutOffAsItArrives()
    {
        start([](appserver::AppServerOptions& o) { o.maxBodyBytes = 64 << 10; });
        Raw raw(server->port());
        QVERIFY(
            raw.send("POST /app-server/jsonrpc/ HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
        const std::string chunk = "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
        bool refused = false;
        for (int i = 0; i < 1000 && !refused; ++i) // 64 MiB if nobody stops it
            refused = !raw.send(chunk);
        QVERIFY(refused);
        QCOMPARE(code(post(loginBody("t1", "123456"))), 0);
        // The same limit by declared length gets a JSON-RPC answer.
        QCOMPARE(code(post("{\"jsonrpc\":\"2.0\",\"method\":\"x\",\"params\":{\"p\":\""
                     + std::string(70000, 'b') + "\"}}")),
            Code::InvalidRequest);
    }

    void headersPastTheCountOrSizeAreRefused()
    {
        std::string many;
        for (int i = 0; i < 500; ++i)
            many += "X-" + std::to_string(i) + ": 1\r\n";
        for (const std::string& headers : { many, "X-Big: " + std::string(64 << 10, 'h') + "\r\n" }) {
            Raw raw(server->port());
            const std::string request = "GET /downloads/none HTTP/1.1\r\nHost: x\r\n" + headers;
            raw.send(request + "\r\n");
            const std::string answer = raw.read(4096);
            QVERIFY2(answer.rfind("HTTP/1.1 431", 0) == 0 || answer.rfind("HTTP/1.1 413", 0) == 0,
                answer.substr(0, 40).c_str());
        }
        QCOMPARE(code(post(loginBody("t1", "123456"))), 0);
    }

    void loginIsAnsweredWhileManyConnectionsHang()
    {
        QFile big(dir.filePath("downloads/big.bin"));
        QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(20 << 20));
        big.close();
        std::vector<std::unique_ptr<Raw>> hanging;
        for (int i = 0; i < 200; ++i) {
            auto r = std::make_unique<Raw>(server->port(), i % 3 == 1 ? 4096 : 0);
            if (i % 3 == 0) {
                r->send("POST /app-server/jsonrpc/ HTTP/1.1\r\nHost: x\r\n"); // headers never finished
            } else if (i % 3 == 1) {
                r->send("GET /downloads/big.bin HTTP/1.1\r\nHost: x\r\n\r\n"); // never read
            } else {
                r->send("GET /downloads/none HTTP/1.1\r\nHost: x\r\n\r\n"); // answered, then idle
                QVERIFY(r->read(100).rfind("HTTP/1.1 404", 0) == 0);
            }
            hanging.push_back(std::move(r));
        }
        for (int i = 0; i < 3; ++i) {
            httplib::Client c("127.0.0.1", server->port());
            c.set_read_timeout(5, 0);
            auto res = c.Post(AppServer::kRpcPath, loginBody("t1", "123456"), "application/json");
            QVERIFY2(res && res->body.find("\"ak\"") != std::string::npos, "login unanswered");
        }
    }

    void downloadsServeProgressingReadersAndLetIdleOnesGo()
    {
        start([](appserver::AppServerOptions& o) {
            o.idleTimeoutSecs = 2;
            o.maxDownloadsPerAddress = 3;
        });
        QByteArray content(2 << 20, Qt::Uninitialized);
        for (int i = 0; i < content.size(); ++i)
            content[i] = char(i * 7);
        QFile f(dir.filePath("downloads/setup.exe"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();

        // Reads about 200 KB/s, for far longer than the idle timeout: gets every byte.
        Raw slow(server->port(), 64 << 10);
        slow.send("GET /downloads/setup.exe HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        std::string got;
        char buffer[64 << 10];
        const auto started = std::chrono::steady_clock::now();
        for (;;) {
            const ssize_t n = ::recv(slow.fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, size_t(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        QVERIFY(std::chrono::steady_clock::now() - started > std::chrono::seconds(4));
        QVERIFY2(got.size() > size_t(content.size()), std::to_string(got.size()).c_str());
        QVERIFY(
            got.compare(got.size() - size_t(content.size()), std::string::npos, content.toStdString()) == 0);

        // Three readers that read nothing hold the address's downloads; a fourth is refused, and
        // once the idle ones are let go the address may download again.
        std::vector<std::unique_ptr<Raw>> idle;
        for (int i = 0; i < 3; ++i) {
            idle.push_back(std::make_unique<Raw>(server->port(), 4096));
            idle.back()->send("GET /downloads/setup.exe HTTP/1.1\r\nHost: x\r\n\r\n");
        }
        QTest::qWait(300);
        httplib::Client c("127.0.0.1", server->port());
        auto refused = c.Get("/downloads/setup.exe");
        QVERIFY(refused && refused->status == 503);
        QTRY_VERIFY_WITH_TIMEOUT(c.Get("/downloads/setup.exe")->status == 200, 10000);
        for (auto& r : idle) // let go short of the file
            QVERIFY(r->read(8 << 20).size() < size_t(content.size()));
    }

    void secondServerOnABusyPortIsRefused()
    {
        AppServer second([&] {
            appserver::AppServerOptions o;
            o.dbPath = dir.filePath("other.db");
            o.logRequests = false;
            return o;
        }());
        QString error;
        QVERIFY(!second.listen("127.0.0.1", server->port(), &error));
        QVERIFY2(error.contains("port in use"), qPrintable(error));
    }

    void sessionsPerUserAreCappedOldestFirst()
    {
        start([](appserver::AppServerOptions& o) { o.maxSessionsPerUser = 3; });
        std::vector<std::string> aks;
        for (int i = 0; i < 5; ++i) {
            shiftMs += 1000; // signed in one after another, not all in the same millisecond
            aks.push_back(post(loginBody("t1", "123456"))["result"]["ak"].asString());
        }
        const int64_t user = server->store().users().front().userId;
        QCOMPARE(server->store().sessionCount(user), 3);
        QVERIFY(!server->store().sessionUser(aks[0]) && !server->store().sessionUser(aks[1]));
        QVERIFY(server->store().sessionUser(aks[4]));
        // Sessions that expire in the same millisecond are capped all the same.
        for (int i = 0; i < 5; ++i)
            aks.push_back(server->store().createSession(user, 60 * 1000, 3).ak);
        QCOMPARE(server->store().sessionCount(user), 3);
        QVERIFY(server->store().sessionUser(aks.back()));
        // Expired sessions go at a later sign-in, even another user's.
        const int64_t other = server->store().addUser("t2", "123456", "李老师", "t");
        shiftMs += 8LL * 24 * 3600 * 1000;
        QCOMPARE(code(post(loginBody("t2", "123456"))), 0);
        QCOMPARE(server->store().sessionCount(user), 0);
        QCOMPARE(server->store().sessionCount(other), 1);
    }

    void loginRefusesBadSaltsAndSlowsDownGuessing()
    {
        start([](appserver::AppServerOptions& o) { o.login.addressFailuresPerMinute = 40; });
        for (const std::string salt : { "", "abc", "12 3", "99999999999" })
            QCOMPARE(code(post(loginBody("t1", "123456", salt))), Code::InvalidParams);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(code(post(loginBody("t1", "wrong"))), Code::BadLogin);
        QCOMPARE(code(post(loginBody("t1", "wrong"))), Code::BadLogin);
        // Now the right password waits too, but never long.
        QCOMPARE(code(post(loginBody("t1", "123456"))), Code::TooManyAttempts);
        shiftMs += 31 * 1000;
        QCOMPARE(code(post(loginBody("t1", "123456"))), 0);
        // Many login ids from one address: past the ceiling the address waits for its minute.
        int refusedAt = -1;
        for (int i = 0; i < 60 && refusedAt < 0; ++i)
            if (code(post(loginBody("nobody" + std::to_string(i), "x"))) == Code::TooManyAttempts)
                refusedAt = i;
        QVERIFY(refusedAt >= 30);
        QCOMPARE(code(post(loginBody("t1", "123456"))), Code::TooManyAttempts);
        shiftMs += 61 * 1000;
        QCOMPARE(code(post(loginBody("t1", "123456"))), 0);
    }

    void answersAreUtf8AndControlCharactersAreParseErrors()
    {
        const std::string cut = std::string(63, 'm') + "方法"; // the 64-byte cut falls inside a character
        const std::vector<std::pair<std::string, int>> cases = {
            { "{\"jsonrpc\":\"2.0\",\"method\":\"" + cut + "\"}", Code::MethodNotFound },
            { "{\"jsonrpc\":\"2.0\",\"method\":\"a\xff\xfe\"}", Code::ParseError },
            { "{\"jsonrpc\":\"2.0\",\"method\":\"a\xed\xa0\x80\"}", Code::ParseError }, // a surrogate
            { "{\"jsonrpc\":\"2.0\",\"method\":\"a\tb\"}", Code::ParseError },
            { "{\"jsonrpc\":\"2.0\",\"method\":\"a\\tb\"}", Code::MethodNotFound },
            { "{\"jsonrpc\":\"2.0\",\"id\":\"\xe6\x96\",\"method\":\"x\"}", Code::ParseError },
        };
        for (const auto& [body, want] : cases) {
            std::string raw;
            QCOMPARE(code(post(body, &raw)), want);
            QVERIFY2(isUtf8(raw), raw.c_str());
        }
    }

    void rangesAreReadAsHttpSays()
    {
        const QByteArray content = QByteArray("0123456789").repeated(100);
        QFile f(dir.filePath("downloads/setup.exe"));
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        httplib::Client c("127.0.0.1", server->port());
        struct Case {
            const char* range;
            int status;
            std::string body;
        };
        const std::string all = content.toStdString();
        for (const Case& k : std::vector<Case> { { "bytes=10-19", 206, all.substr(10, 10) },
                 { "bytes=-5", 206, all.substr(995) },
                 { "bytes=990-99999999999999999999999", 206, all.substr(990) },
                 { "bytes=99999999999999999999-", 416, "" }, { "bytes=1000-", 416, "" },
                 { "bytes=x-y", 200, all }, { "items=0-5", 200, all }, { "bytes=5-1", 200, all },
                 { "bytes=0-1,4-5", 200, all } }) {
            auto r = c.Get("/downloads/setup.exe", { { "Range", k.range } });
            QVERIFY2(r && r->status == k.status, k.range);
            if (k.status == 416)
                QCOMPARE(r->get_header_value("Content-Range"), std::string("bytes */1000"));
            else
                QVERIFY2(r->body == k.body, k.range);
        }
        // Validators: a range against the same version is served, against another the whole file.
        auto whole = c.Get("/downloads/setup.exe");
        const std::string etag = whole->get_header_value("ETag"),
                          modified = whole->get_header_value("Last-Modified");
        QVERIFY(etag.size() > 2 && etag.front() == '"' && modified.find("GMT") != std::string::npos);
        QCOMPARE(
            c.Get("/downloads/setup.exe", { { "Range", "bytes=0-9" }, { "If-Range", etag } })->status, 206);
        QCOMPARE(
            c.Get("/downloads/setup.exe", { { "Range", "bytes=0-9" }, { "If-Range", modified } })->status,
            206);
        auto changed
            = c.Get("/downloads/setup.exe", { { "Range", "bytes=0-9" }, { "If-Range", "\"other\"" } });
        QVERIFY(changed->status == 200 && changed->body == all);
        // The RPC path ignores ranges altogether.
        auto rpc = c.Post(
            AppServer::kRpcPath, { { "Range", "bytes=0-3" } }, loginBody("t1", "123456"), "application/json");
        QVERIFY(rpc && rpc->status == 200 && rpc->body.find("\"ak\"") != std::string::npos);
    }

    void batchesGetArraysAndCallsWithoutIdAreAnswered()
    {
        const std::string version = "{\"jsonrpc\":\"2.0\",\"method\":\"client.version.check\",\"params\":{"
                                    "\"clientVersion\":\"rided4a_win_1.0\"}";
        const Json::Value batch
            = post("[" + version + ",\"id\":1}, 5, " + version + ",\"id\":\"b\"}, " + version + "}]");
        QVERIFY(batch.isArray() && batch.size() == 4);
        QVERIFY(batch[0]["id"] == 1 && batch[0]["result"]["type"] == 1);
        QVERIFY(batch[1]["id"].isNull() && code(batch[1]) == Code::InvalidRequest);
        QVERIFY(batch[2]["id"] == "b" && code(batch[2]) == 0);
        QVERIFY(batch[3]["id"].isNull() && batch[3]["result"]["type"] == 1); // no id, still answered
        const Json::Value empty = post("[]");
        QVERIFY(empty.isObject() && code(empty) == Code::InvalidRequest);
    }
};

QTEST_GUILESS_MAIN(TestServerHostile)
#include "tst_server_hostile.moc"
