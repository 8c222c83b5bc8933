// One server's capacity: 200 rooms of 50 members (10,000 relay connections, each its own user)
// that each send a ping every 2 s, chat at a classroom's rate (one message a room every 2 s, to
// its 49 others) and a few leaves and joins a second. Figures: the server's CPU and memory, ping
// and chat latency p50/p99, and what /metrics costs under that load. The server (the app server
// with /metrics and the relay, as lectern-server wires them) runs in a child process, started as
// this program with --server-child, so that its CPU and memory are measured alone.
#include "BenchLoop.h"
#include "BenchSupport.h"
#include "ProcessMemory.h"
#include "app/AppServer.h"
#include "common/EpollDispatcher.h"
#include "common/UserSig.h"
#include "relay/LiveRelay.h"
#include "relay/RelayMetrics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using bench::waitFor;

namespace {

const QByteArray kSecret = "bench-secret";
int kRooms = 200; // --rooms N for a smaller school
const int kMembers = 50; // the teacher and 49 students
const int kPingMs = 2000;
const int kChatEveryMs = 2000; // per room
const int kChurnPerSec = 4; // students that leave, and join again
const int kRunMs = 30000;

using bench::nowNs;
using bench::request;

void raiseFileLimit()
{
    rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// CPU seconds (user + system) a process has used, from /proc.
double cpuSecs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = f.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(::sysconf(_SC_CLK_TCK));
}

int runServer()
{
    raiseFileLimit();
    QTemporaryDir dir;
    appserver::AppServerOptions o;
    o.dbPath = dir.filePath(QStringLiteral("lectern.db"));
    o.logRequests = false;
    appserver::AppServer app(o);
    QString error;
    if (!app.open(&error)) {
        std::fprintf(stderr, "app server: %s\n", qPrintable(error));
        return 1;
    }
    LiveRelay relay(kSecret);
    auto metrics = std::make_shared<RelayMetrics>(&relay, nullptr, QList<MediaServerConfig>());
    app.setRelayMonitor([metrics] { return metrics->text(); }, [metrics] { return metrics->problem(); });
    if (!app.listen(QStringLiteral("127.0.0.1"), 0, &error)
        || !relay.listen(QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "server: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u %u\n", app.port(), relay.port());
    std::fflush(stdout);
    const int code = QCoreApplication::exec();
    app.stop();
    return code;
}

struct Client {
    QWebSocket ws;
    QString user;
    quint32 room = 0;
    bool host = false;
    bool joined = false;
};

struct Latencies {
    std::vector<qint64> ping;
    std::vector<qint64> chat;
};

// The relay's message totals (received + sent) from /metrics; -1 when it does not answer.
qint64 relayMessages(quint16 httpPort, double* metricsMs = nullptr, size_t* bytes = nullptr)
{
    httplib::Client http("127.0.0.1", httpPort);
    http.set_read_timeout(30, 0);
    QElapsedTimer t;
    t.start();
    const auto res = http.Get("/metrics");
    if (metricsMs)
        *metricsMs = t.nsecsElapsed() / 1e6;
    if (!res || res->status != 200)
        return -1;
    if (bytes)
        *bytes = res->body.size();
    qint64 total = 0;
    for (const QByteArray& line : QByteArray::fromStdString(res->body).split('\n'))
        if (line.startsWith("lectern_relay_messages_total{"))
            total += line.mid(line.lastIndexOf(' ') + 1).toLongLong();
    return total;
}

double pct(std::vector<qint64>& v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * v.size()))] / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    // The event dispatcher lectern-server runs on (see its main.cpp); "QT_NO_GLIB=" (set, empty) for glib's.
    // LECTERN_EVENT_DISPATCHER=qt for Qt's (before the server had its own); the load's 10,000
    // sockets are waited on the same way.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    installEpollDispatcher();
    QCoreApplication app(argc, argv);
    if (app.arguments().contains("--server-child"))
        return runServer();
    raiseFileLimit();
    const int roomsAt = app.arguments().indexOf(QStringLiteral("--rooms"));
    if (roomsAt > 0)
        kRooms = std::max(1, app.arguments().value(roomsAt + 1).toInt());

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(app.applicationFilePath(), { "--server-child" });
    if (!child.waitForStarted() || !child.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_capacity: the server did not start\n");
        return 1;
    }
    const QList<QByteArray> ports = child.readLine().trimmed().split(' ');
    const quint16 httpPort = quint16(ports.value(0).toUInt());
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/live").arg(ports.value(1).toUInt()));
    const qint64 pid = child.processId();
    const qint64 idleKb = RssKb(pid);

    Latencies lat;
    bool measuring = false;
    std::vector<std::unique_ptr<Client>> clients;
    const qint64 expiry = QDateTime::currentSecsSinceEpoch() + 3600;
    int connected = 0;
    QElapsedTimer connectClock;
    connectClock.start();
    for (int r = 0; r < kRooms; ++r)
        for (int m = 0; m < kMembers; ++m) {
            auto c = std::make_unique<Client>();
            Client* raw = c.get();
            raw->room = quint32(r + 1);
            raw->host = m == 0;
            raw->user = QStringLiteral("r%1u%2").arg(r + 1).arg(m);
            QObject::connect(&raw->ws, &QWebSocket::connected, [raw, expiry] {
                raw->ws.sendTextMessage(request({ { "op", "login" }, { "id", 1 }, { "userId", raw->user },
                    { "userSig",
                        usersig::make(kSecret, raw->user, expiry,
                            raw->host ? usersig::Role::Host : usersig::Role::Member) } }));
                raw->ws.sendTextMessage(request({ { "op", raw->host ? "createRoom" : "joinRoom" },
                    { "id", 2 }, { "roomId", qint64(raw->room) }, { "role", "LiveMaster" } }));
            });
            QObject::connect(&raw->ws, &QWebSocket::textMessageReceived,
                [raw, &lat, &measuring, &connected](const QString& text) {
                    if (text.contains(QLatin1String("\"op\":\"pong\""))) {
                        const QJsonObject m = QJsonDocument::fromJson(text.toUtf8()).object();
                        if (measuring)
                            lat.ping.push_back(nowNs() - m.value("seq").toString().toLongLong());
                    } else if (text.contains(QLatin1String("\"op\":\"msg\""))) {
                        const QJsonObject m = QJsonDocument::fromJson(text.toUtf8()).object();
                        const qint64 sent = m.value("elems")
                                                .toArray()
                                                .first()
                                                .toObject()
                                                .value("text")
                                                .toString()
                                                .toLongLong();
                        if (measuring && sent > 0)
                            lat.chat.push_back(nowNs() - sent);
                    } else if (!raw->joined && text.contains(QLatin1String("\"id\":2"))
                        && text.contains(QLatin1String("\"code\":0"))) {
                        raw->joined = true;
                        ++connected;
                    }
                });
            clients.push_back(std::move(c));
        }
    // Opened a few hundred at a time, as a school's classes arrive over minutes, not at once.
    for (size_t i = 0; i < clients.size(); i += 250) {
        for (size_t j = i; j < std::min(clients.size(), i + 250); ++j)
            clients[j]->ws.open(url);
        if (!waitFor([&] { return connected >= int(std::min(clients.size(), i + 250)); }, 30000)) {
            std::fprintf(stderr, "bench_capacity: only %d of %zu members joined\n", connected, i + 250);
            child.kill();
            return 1;
        }
    }
    const double connectSecs = connectClock.elapsed() / 1000.0;
    const qint64 joinedKb = RssKb(pid);

    // The load: every 20 ms a hundredth of the clients ping, a hundredth of the rooms chat, and
    // every 250 ms one student leaves its room and joins again.
    QRandomGenerator rng(42);
    const int slices = kPingMs / 20;
    int slice = 0;
    qint64 chatSent = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const QString now = QString::number(nowNs());
        for (size_t i = size_t(slice); i < clients.size(); i += size_t(slices))
            clients[i]->ws.sendTextMessage(
                request({ { "op", "ping" }, { "id", 3 }, { "seq", QString::number(nowNs()) } }));
        for (int r = slice % (kChatEveryMs / 20); r < kRooms; r += kChatEveryMs / 20) {
            Client* from = clients[size_t(r) * kMembers + size_t(rng.bounded(kMembers))].get();
            from->ws.sendTextMessage(request({ { "op", "groupMsg" }, { "id", 4 },
                { "elems", QJsonArray { QJsonObject { { "type", 0 }, { "text", now } } } } }));
            ++chatSent;
        }
        slice = (slice + 1) % slices;
    });
    QTimer churn;
    int churned = 0;
    QObject::connect(&churn, &QTimer::timeout, [&] {
        Client* c
            = clients[size_t(rng.bounded(kRooms)) * kMembers + 1 + size_t(rng.bounded(kMembers - 1))].get();
        c->ws.sendTextMessage(request({ { "op", "quitRoom" }, { "id", 5 } }));
        c->ws.sendTextMessage(request({ { "op", "joinRoom" }, { "id", 6 }, { "roomId", qint64(c->room) } }));
        ++churned;
    });

    lat.ping.reserve(size_t(clients.size()) * kRunMs / kPingMs + 1000);
    lat.chat.reserve(size_t(kRooms) * kRunMs / kChatEveryMs * kMembers + 10000);
    measuring = true;
    bench::pump(1100); // the relay's figures are sampled once a second
    const qint64 messagesBefore = relayMessages(httpPort);
    const double cpuBefore = cpuSecs(pid);
    const double loaderBefore = cpuSecs(::getpid());
    QElapsedTimer wall;
    wall.start();
    tick.start(20);
    churn.start(1000 / kChurnPerSec);
    // /metrics under load, a few times spread over the run (Prometheus scrapes every 15 s or so).
    std::vector<double> metricsMs;
    size_t metricsBytes = 0;
    qint64 messagesAfter = 0;
    for (int i = 0; i < 10; ++i) {
        bench::pump(kRunMs / 10);
        double ms = 0;
        messagesAfter = relayMessages(httpPort, &ms, &metricsBytes);
        metricsMs.push_back(ms);
    }
    tick.stop();
    churn.stop();
    const double runSecs = wall.elapsed() / 1000.0;
    const double cpuRun = cpuSecs(pid) - cpuBefore;
    // What the full load asks of the relay each second: every ping and its pong, every chat message
    // and its copies to the room, the leaves and joins with their replies and events to the room.
    const double fullRate = clients.size() * 2.0 * 1000 / kPingMs + kRooms * 1000.0 / kChatEveryMs * kMembers
        + kChurnPerSec * 2 * (2 + kMembers - 1);
    const qint64 handled = messagesAfter - messagesBefore;
    const double cpuPerMessageUs = handled > 0 ? cpuRun * 1e6 / double(handled) : 0;
    const double loaderRun = cpuSecs(::getpid()) - loaderBefore;
    bench::pump(500); // messages still on their way
    measuring = false;
    const qint64 loadKb = RssKb(pid);

    const size_t pings = lat.ping.size();
    const size_t chats = lat.chat.size();
    std::sort(metricsMs.begin(), metricsMs.end());
    QTextStream out(stdout);
    out << "capacity: " << kRooms << " rooms x " << kMembers << " members = " << clients.size()
        << " relay connections, ping every " << kPingMs << " ms, a chat message per room every "
        << kChatEveryMs << " ms, " << kChurnPerSec << " leaves+joins/s, " << kRunMs / 1000 << " s\n";
    out << QStringLiteral("  connect+join     %1 s for all\n").arg(connectSecs, 0, 'f', 1);
    out << QStringLiteral("  server CPU       %1 % of one core (%2 s in %3 s)\n")
               .arg(100 * cpuRun / runSecs, 0, 'f', 1)
               .arg(cpuRun, 0, 'f', 1)
               .arg(runSecs, 0, 'f', 1);
    out << QStringLiteral("  load CPU         %1 % of one core (the clients, same machine)\n")
               .arg(100 * loaderRun / runSecs, 0, 'f', 1);
    out << QStringLiteral("  relay messages   %1 in+out handled (%2/s of the %3/s the full load asks)\n")
               .arg(handled)
               .arg(handled / runSecs, 0, 'f', 0)
               .arg(fullRate, 0, 'f', 0);
    out << QStringLiteral("  server CPU/msg   %1 us, so the full load needs %2 % of one core\n")
               .arg(cpuPerMessageUs, 0, 'f', 1)
               .arg(cpuPerMessageUs * fullRate / 1e4, 0, 'f', 0);
    out << "  server RSS       idle " << idleKb / 1024 << " MiB, joined " << joinedKb / 1024
        << " MiB, under load " << loadKb / 1024 << " MiB   (target <= 1024 MiB)\n";
    out << "  pings answered   " << pings << QStringLiteral(" (%1/s)\n").arg(pings / runSecs, 0, 'f', 0);
    out << QStringLiteral("  ping p50/p99     %1 / %2 ms\n")
               .arg(pct(lat.ping, 0.5), 0, 'f', 2)
               .arg(pct(lat.ping, 0.99), 0, 'f', 2);
    out << "  chat delivered   " << chats << " of " << chatSent * (kMembers - 1) << " sent to members, "
        << churned << " leaves+joins\n";
    out << QStringLiteral("  chat p50/p99     %1 / %2 ms   (target p99 <= 50 ms)\n")
               .arg(pct(lat.chat, 0.5), 0, 'f', 2)
               .arg(pct(lat.chat, 0.99), 0, 'f', 2);
    out << QStringLiteral("  /metrics         %1 ms median, %2 ms max, %3 bytes\n")
               .arg(metricsMs[metricsMs.size() / 2], 0, 'f', 2)
               .arg(metricsMs.back(), 0, 'f', 2)
               .arg(metricsBytes);
    out.flush();

    const bool ok = pct(lat.chat, 0.99) <= 50.0 && loadKb <= 1024 * 1024 && !lat.chat.empty();
    child.kill();
    child.waitForFinished(3000);
    return ok ? 0 : 1;
}
