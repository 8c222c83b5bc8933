// A group message from the teacher to 200 connected members on loopback: delivery latency
// (p50/p99) and the relay's memory. The relay runs in a child process (this program started
// with --relay-child) so that its memory is measured alone.
#include "BenchLoop.h"
#include "BenchSupport.h"
#include "ProcessMemory.h"
#include "common/UserSig.h"
#include "relay/LiveRelay.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <memory>
#include <vector>

using bench::waitFor;

namespace {

const QByteArray kSecret = "bench-secret";
const int kMembers = 200;
const int kMessages = 200;
const int kIntervalMs = 10;
const quint32 kRoom = 1;

using bench::nowNs;
using bench::request;

int runRelay()
{
    LiveRelay relay(kSecret);
    QString error;
    if (!relay.listen(QHostAddress::LocalHost, 0, &error)) {
        std::fprintf(stderr, "relay: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%u\n", relay.port());
    std::fflush(stdout);
    return QCoreApplication::exec();
}

struct Client {
    QWebSocket ws;
    int replies = 0;
    std::vector<qint64>* latencies = nullptr;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains("--relay-child"))
        return runRelay();

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(app.applicationFilePath(), { "--relay-child" });
    if (!child.waitForStarted() || !child.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_relay: the relay did not start\n");
        return 1;
    }
    const quint16 port = quint16(child.readLine().trimmed().toUInt());
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/live").arg(port));
    const qint64 idleKb = RssKb(child.processId());

    std::vector<qint64> latencies;
    latencies.reserve(size_t(kMembers) * kMessages);
    std::vector<std::unique_ptr<Client>> clients;
    const qint64 expiry = QDateTime::currentSecsSinceEpoch() + 3600;
    for (int i = 0; i <= kMembers; ++i) { // client 0 is the teacher
        auto c = std::make_unique<Client>();
        Client* raw = c.get();
        raw->latencies = &latencies;
        const QString user = i == 0 ? QStringLiteral("t1") : QStringLiteral("s%1").arg(i);
        QObject::connect(&raw->ws, &QWebSocket::connected, [raw, user, expiry, i] {
            raw->ws.sendTextMessage(request({ { "op", "login" }, { "id", 1 }, { "userId", user },
                { "userSig", usersig::make(kSecret, user, expiry) } }));
            raw->ws.sendTextMessage(request(
                { { "op", i == 0 ? "createRoom" : "joinRoom" }, { "id", 2 }, { "roomId", qint64(kRoom) } }));
        });
        QObject::connect(&raw->ws, &QWebSocket::textMessageReceived, [raw](const QString& text) {
            if (text.contains(QLatin1String("\"op\":\"msg\""))) {
                const QJsonObject m = QJsonDocument::fromJson(text.toUtf8()).object();
                const qint64 sent
                    = m.value("elems").toArray().first().toObject().value("text").toString().toLongLong();
                raw->latencies->push_back(nowNs() - sent);
            } else if (text.contains(QLatin1String("\"op\":\"reply\""))) {
                raw->replies++;
            }
        });
        raw->ws.open(url);
        clients.push_back(std::move(c));
    }
    if (!waitFor(
            [&] {
                return std::all_of(clients.begin(), clients.end(), [](auto& c) { return c->replies >= 2; });
            },
            30000)) {
        std::fprintf(stderr, "bench_relay: members did not all join\n");
        child.kill();
        return 1;
    }
    const qint64 joinedKb = RssKb(child.processId());

    QWebSocket& teacher = clients[0]->ws;
    QElapsedTimer wall;
    wall.start();
    for (int m = 0; m < kMessages; ++m) {
        teacher.sendTextMessage(request({ { "op", "groupMsg" }, { "id", 100 + m },
            { "elems",
                QJsonArray { QJsonObject { { "type", 0 }, { "text", QString::number(nowNs()) } } } } }));
        bench::pump(kIntervalMs);
    }
    const size_t expected = size_t(kMembers) * kMessages;
    waitFor([&] { return latencies.size() >= expected; }, 30000);
    const qint64 peakKb = RssKb(child.processId());

    std::sort(latencies.begin(), latencies.end());
    auto pct = [&](double p) {
        return latencies.empty()
            ? 0.0
            : latencies[std::min(latencies.size() - 1, size_t(p * latencies.size()))] / 1e6;
    };
    QTextStream out(stdout);
    out << "relay group message to " << kMembers << " members, " << kMessages << " messages every "
        << kIntervalMs << " ms\n";
    out << "  delivered        " << latencies.size() << " of " << expected << "\n";
    out << QStringLiteral("  latency p50      %1 ms\n").arg(pct(0.50), 0, 'f', 3);
    out << QStringLiteral("  latency p99      %1 ms   (target <= 20 ms)\n").arg(pct(0.99), 0, 'f', 3);
    out << QStringLiteral("  latency max      %1 ms\n")
               .arg(latencies.empty() ? 0.0 : latencies.back() / 1e6, 0, 'f', 3);
    out << "  relay RSS idle   " << idleKb << " KiB\n";
    out << "  relay RSS joined " << joinedKb << " KiB (" << kMembers + 1 << " sessions)\n";
    out << "  relay RSS after  " << peakKb << " KiB\n";
    out.flush();

    child.kill();
    child.waitForFinished(3000);
    return latencies.size() >= expected && pct(0.99) <= 20.0 ? 0 : 1;
}
