// Load on the app server over loopback: 8 clients with keep-alive connections, each sending a
// fixed number of "user.login" and then "live.list.by.teacher.id" requests (1,000 lives per answer).
// Prints requests per second and p50/p99 latency for both; then the latency of logins while 200 slow
// or idle connections are held open (slow header senders, downloads nobody reads, idle keep-alive).
// Last, "user.login" over HTTPS (a certificate made with openssl), on kept and on fresh connections.
#include "LoopbackSocket.h"
#include "app/AppServer.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr int kClients = 8;
constexpr int kLives = 1000;

QByteArray sha1Base64(const QByteArray& text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64();
}

struct Figures {
    double requestsPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    int failures = 0;
    size_t bytesPerAnswer = 0;
};

// scheme "https": over TLS, the certificate taken on trust. keepAlive false: a fresh connection
// (and handshake) per request.
Figures run(
    quint16 port, const std::string& body, int perClient, const char* scheme = "http", bool keepAlive = true)
{
    std::vector<std::vector<double>> latencies(kClients);
    std::atomic<int> failures { 0 };
    std::atomic<size_t> lastSize { 0 };
    std::vector<std::thread> clients;
    const auto started = std::chrono::steady_clock::now();
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            httplib::Client cli(std::string(scheme) + "://127.0.0.1:" + std::to_string(port));
            cli.enable_server_certificate_verification(false);
            cli.set_keep_alive(keepAlive);
            cli.set_tcp_nodelay(true);
            latencies[c].reserve(perClient);
            for (int i = 0; i < perClient; ++i) {
                const auto t0 = std::chrono::steady_clock::now();
                auto res = cli.Post(appserver::AppServer::kRpcPath, body, "application/json");
                const auto t1 = std::chrono::steady_clock::now();
                if (!res || res->status != 200 || res->body.find("\"result\"") == std::string::npos)
                    ++failures;
                else
                    lastSize = res->body.size();
                latencies[c].push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        });
    }
    for (std::thread& t : clients)
        t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    std::sort(all.begin(), all.end());
    Figures f;
    f.requestsPerSecond = all.size() / seconds;
    f.p50Ms = all[all.size() / 2];
    f.p99Ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    f.failures = failures;
    f.bytesPerAnswer = lastSize;
    return f;
}

void print(const char* name, const Figures& f, double targetRps)
{
    std::printf("%-26s %9.0f req/s  p50 %6.2f ms  p99 %6.2f ms  %7zu B/answer  %d failed   (target >= %.0f "
                "req/s, p99 <= 20 ms: %s)\n",
        name, f.requestsPerSecond, f.p50Ms, f.p99Ms, f.bytesPerAnswer, f.failures, targetRps,
        f.requestsPerSecond >= targetRps && f.p99Ms <= 20.0 && f.failures == 0 ? "met" : "MISSED");
    std::fflush(stdout);
}

void printUntargeted(const char* name, const Figures& f)
{
    std::printf("%-26s %9.0f req/s  p50 %6.2f ms  p99 %6.2f ms  %7zu B/answer  %d failed\n", name,
        f.requestsPerSecond, f.p50Ms, f.p99Ms, f.bytesPerAnswer, f.failures);
    std::fflush(stdout);
}

// Logins over HTTPS, against the plain figures above: what TLS costs on this machine.
bool httpsLogins(const QTemporaryDir& dir, const std::string& login)
{
    const QString cert = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
        { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
            "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert });
    QFile certFile(cert), keyFile(key);
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0 || !certFile.open(QIODevice::ReadOnly)
        || !keyFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_appserver: openssl could not make a certificate (scripts/setup.sh)\n");
        return false;
    }
    appserver::AppServerOptions options;
    options.dbPath = dir.filePath(QStringLiteral("bench-tls.db"));
    options.tlsCertPem = certFile.readAll().toStdString();
    options.tlsKeyPem = keyFile.readAll().toStdString();
    appserver::AppServer server(options);
    QString error;
    if (!server.listen(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "bench_appserver: %s\n", qPrintable(error));
        return false;
    }
    server.store().addUser("bench_teacher", "123456", "王老师", "t");
    run(server.port(), login, 50, "https");
    printUntargeted("user.login https", run(server.port(), login, 1500, "https"));
    printUntargeted("user.login https, new conn", run(server.port(), login, 200, "https", false));
    server.stop();
    return true;
}

void sendText(int fd, const std::string& text)
{
    [[maybe_unused]] const ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
}

// Logins, one after another, while 200 connections hang on the server: a third send their headers a
// byte every few seconds, a third downloads a big file and reads nothing, a third idles after one answer.
void slowConnections(quint16 port, const QString& downloads, const std::string& login)
{
    constexpr int kSlow = 200;
    QFile big(QDir(downloads).filePath(QStringLiteral("big.bin")));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(50 << 20)) {
        std::fprintf(stderr, "bench_appserver: cannot write the download\n");
        return;
    }
    big.close();
    std::vector<int> headerSenders;
    std::vector<int> sockets;
    for (int i = 0; i < kSlow; ++i) {
        const int kind = i % 3;
        const int fd = ConnectLoopback(port, kind == 1 ? 4096 : 0);
        if (fd < 0)
            continue;
        sockets.push_back(fd);
        if (kind == 0) {
            sendText(fd, "POST /app-server/jsonrpc/ HTTP/1.1\r\nHost: 127.0.0.1\r\n");
            headerSenders.push_back(fd);
        } else if (kind == 1) {
            sendText(fd, "GET /downloads/big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        } else {
            sendText(fd, "GET /downloads/none HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            char buffer[4096];
            [[maybe_unused]] const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        }
    }
    std::atomic<bool> done { false };
    std::thread trickle([&] {
        while (!done) {
            for (int fd : headerSenders)
                sendText(fd, "X");
            for (int i = 0; i < 30 && !done; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<double> latencies;
    int failures = 0;
    const auto started = std::chrono::steady_clock::now();
    // A starved server answers nothing for many seconds: a minute of trying says enough.
    for (int i = 0; i < 100 && std::chrono::steady_clock::now() - started < std::chrono::seconds(60); ++i) {
        httplib::Client cli("127.0.0.1", port);
        cli.set_read_timeout(20, 0);
        cli.set_connection_timeout(20, 0);
        const auto t0 = std::chrono::steady_clock::now();
        auto res = cli.Post(appserver::AppServer::kRpcPath, login, "application/json");
        const auto t1 = std::chrono::steady_clock::now();
        if (!res || res->status != 200 || res->body.find("\"result\"") == std::string::npos)
            ++failures;
        latencies.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    done = true;
    trickle.join();
    for (int fd : sockets)
        ::close(fd);
    std::sort(latencies.begin(), latencies.end());
    const double p50 = latencies[latencies.size() / 2], p99 = latencies[latencies.size() * 99 / 100];
    std::printf("%-26s %zu slow connections  p50 %6.2f ms  p99 %6.2f ms  max %8.2f ms  %d failed   (target "
                "p99 <= 100 ms: %s)\n",
        "user.login, slow clients", sockets.size(), p50, p99, latencies.back(), failures,
        p99 <= 100.0 && failures == 0 ? "met" : "MISSED");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    // The request log is formatted as in production but not written: the terminal is not under test.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    QTemporaryDir dir;
    appserver::AppServerOptions options;
    options.dbPath = dir.filePath(QStringLiteral("bench.db"));
    options.downloadsDir = dir.filePath(QStringLiteral("downloads"));
    QDir().mkpath(options.downloadsDir);
    appserver::AppServer server(options);
    QString error;
    if (!server.listen(QStringLiteral("127.0.0.1"), 0, &error)) {
        std::fprintf(stderr, "bench_appserver: %s\n", qPrintable(error));
        return 1;
    }
    appserver::AppStore& store = server.store();
    const int64_t teacher = store.addUser("bench_teacher", "123456", "王老师", "t");
    const int64_t day = 24LL * 3600 * 1000;
    const int64_t base = QDateTime::currentMSecsSinceEpoch() - 500 * day;
    for (int i = 0; i < kLives; ++i)
        store.addLive("bench_teacher", "高一数学第" + std::to_string(i + 1) + "课：函数与方程",
            "请提前预习课本，带好草稿纸和练习册", base + i * day, base + i * day + 45 * 60 * 1000);

    const QByteArray salt = "5678";
    const std::string login
        = "{\"jsonrpc\":\"2.0\",\"method\":\"user.login\",\"params\":{\"ak\":\"\",\"appType\":\"rided4a_"
          "win\","
          "\"channel\":\"PC\",\"clientVersion\":\"rided4a_win_1.0\",\"loginId\":\"bench_teacher\","
          "\"salt\":\""
        + salt.toStdString() + "\",\"saltedPassword\":\""
        + sha1Base64(sha1Base64("123456") + salt).toStdString() + "\"}}";
    std::printf("app server on loopback, %d concurrent keep-alive clients, %d lives per list answer\n",
        kClients, kLives);
    run(server.port(), login, 50); // warm-up
    print("user.login", run(server.port(), login, 1500), 2000);
    // Signed in after the login load: a user keeps only the latest few sessions.
    httplib::Client cli("127.0.0.1", server.port());
    auto first = cli.Post(appserver::AppServer::kRpcPath, login, "application/json");
    const size_t at = first ? first->body.find("\"ak\":\"") : std::string::npos;
    if (at == std::string::npos) {
        std::fprintf(stderr, "bench_appserver: login failed\n");
        return 1;
    }
    const std::string ak = first->body.substr(at + 6, first->body.find('"', at + 6) - at - 6);
    const std::string list
        = "{\"jsonrpc\":\"2.0\",\"method\":\"live.list.by.teacher.id\",\"params\":{\"ak\":\"" + ak
        + "\",\"appType\":\"rided4a_win\",\"channel\":\"PC\",\"clientVersion\":\"rided4a_win_1.0\","
          "\"pageNum\":1,"
          "\"pageSize\":1000,\"teacherUserId\":\""
        + std::to_string(teacher) + "\"}}";

    run(server.port(), list, 20);
    print("live.list.by.teacher.id", run(server.port(), list, 400), 1000);
    printUntargeted("user.login, new conn", run(server.port(), login, 200, "http", false));
    slowConnections(server.port(), options.downloadsDir, login);
    server.stop();
    return httpsLogins(dir, login) ? 0 : 1;
}
