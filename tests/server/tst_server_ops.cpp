// What a school's operator relies on while classes run: the health check, the metrics its
// monitoring reads, and a backup taken under load that restores.
#include "app/AppServer.h"

#include "ServerProcess.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <httplib.h>

#include <atomic>
#include <cmath>
#include <map>
#include <set>
#include <thread>

namespace {

// A strict reader of Prometheus's text format (version 0.0.4): every sample belongs to a family
// announced by one TYPE line before it, families are not split, series are unique, label values
// use only the three escapes, histograms have "le" buckets that never fall and end in +Inf equal
// to _count. Returns series ("name{a=\"x\"}" as written) to values; an error names the line.
struct Exposition {
    std::map<QString, double> series;
    QString error;

    double value(const QString& name) const
    {
        const auto it = series.find(name);
        return it == series.end() ? std::nan("") : it->second;
    }
};

Exposition parseExposition(const QByteArray& body)
{
    Exposition e;
    if (!body.endsWith('\n')) {
        e.error = QStringLiteral("does not end with a line feed");
        return e;
    }
    static const QRegularExpression nameRe(QStringLiteral("^[a-zA-Z_:][a-zA-Z0-9_:]*$"));
    static const QRegularExpression labelRe(QStringLiteral("^[a-zA-Z_][a-zA-Z0-9_]*$"));
    static const QRegularExpression numberRe(
        QStringLiteral("^(?:[+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?|[+-]Inf|NaN)$"));
    std::map<QString, QString> types; // family -> type
    std::set<QString> helped;
    std::set<QString> closed; // families whose samples have ended
    QString current;
    // Histogram state per series without "le": last bucket value and +Inf.
    std::map<QString, double> lastBucket;
    std::map<QString, double> infBucket;
    const QList<QByteArray> lines = body.left(body.size() - 1).split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = QString::fromUtf8(lines[i]);
        const auto bad = [&](const QString& why) {
            e.error = QStringLiteral("line %1 \"%2\": %3").arg(i + 1).arg(line, why);
            return e;
        };
        if (line.startsWith(QLatin1String("# HELP ")) || line.startsWith(QLatin1String("# TYPE "))) {
            const QStringList parts = line.mid(7).split(QLatin1Char(' '));
            const QString name = parts.value(0);
            if (!nameRe.match(name).hasMatch() || parts.size() < 2)
                return bad(QStringLiteral("bad metadata"));
            if (line.startsWith(QLatin1String("# HELP "))) {
                if (!helped.insert(name).second)
                    return bad(QStringLiteral("second HELP"));
                continue;
            }
            static const QStringList kTypes = { "counter", "gauge", "histogram", "summary", "untyped" };
            if (parts.size() != 2 || !kTypes.contains(parts[1]) || types.count(name) || closed.count(name))
                return bad(QStringLiteral("bad or repeated TYPE"));
            types[name] = parts[1];
            continue;
        }
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            return bad(QStringLiteral("stray line")); // not written by us: refuse, strictly
        const int brace = line.indexOf(QLatin1Char('{'));
        const int space = line.indexOf(QLatin1Char(' '));
        const int nameEnd = brace >= 0 && brace < space ? brace : space;
        if (nameEnd <= 0)
            return bad(QStringLiteral("no value"));
        const QString name = line.left(nameEnd);
        if (!nameRe.match(name).hasMatch())
            return bad(QStringLiteral("bad name"));
        QString family = name;
        for (const char* suffix : { "_bucket", "_sum", "_count" })
            if (name.endsWith(QLatin1String(suffix))
                && types.count(name.left(name.size() - int(strlen(suffix))))
                && types[name.left(name.size() - int(strlen(suffix)))] == QLatin1String("histogram"))
                family = name.left(name.size() - int(strlen(suffix)));
        if (!types.count(family))
            return bad(QStringLiteral("no TYPE before the sample"));
        if (family != current) {
            if (closed.count(family))
                return bad(QStringLiteral("family split"));
            if (!current.isEmpty())
                closed.insert(current);
            current = family;
        }
        // Labels, with escapes read one character at a time.
        int at = nameEnd;
        QString le;
        QStringList others;
        if (line[at] == QLatin1Char('{')) {
            ++at;
            std::set<QString> seen;
            while (at < line.size() && line[at] != QLatin1Char('}')) {
                const int eq = line.indexOf(QLatin1Char('='), at);
                if (eq < 0 || eq + 1 >= line.size() || line[eq + 1] != QLatin1Char('"'))
                    return bad(QStringLiteral("bad label"));
                const QString label = line.mid(at, eq - at);
                if (!labelRe.match(label).hasMatch() || !seen.insert(label).second)
                    return bad(QStringLiteral("bad or repeated label name"));
                QString value;
                int j = eq + 2;
                for (; j < line.size() && line[j] != QLatin1Char('"'); ++j) {
                    if (line[j] == QLatin1Char('\\')) {
                        const QChar n = j + 1 < line.size() ? line[j + 1] : QChar();
                        if (n != QLatin1Char('\\') && n != QLatin1Char('"') && n != QLatin1Char('n'))
                            return bad(QStringLiteral("bad escape"));
                        value += n == QLatin1Char('n') ? QLatin1Char('\n') : n;
                        ++j;
                    } else {
                        value += line[j];
                    }
                }
                if (j >= line.size())
                    return bad(QStringLiteral("unterminated label value"));
                if (label == QLatin1String("le"))
                    le = value;
                else
                    others << label + QLatin1Char('=') + value;
                at = j + 1;
                if (at < line.size() && line[at] == QLatin1Char(','))
                    ++at;
                else if (at >= line.size() || line[at] != QLatin1Char('}'))
                    return bad(QStringLiteral("labels not separated"));
            }
            if (at >= line.size())
                return bad(QStringLiteral("unterminated labels"));
            ++at;
        }
        if (at >= line.size() || line[at] != QLatin1Char(' '))
            return bad(QStringLiteral("no space before the value"));
        const QStringList rest = line.mid(at + 1).split(QLatin1Char(' '));
        if (rest.size() > 2 || !numberRe.match(rest[0]).hasMatch())
            return bad(QStringLiteral("bad value"));
        const double v = rest[0] == QLatin1String("+Inf") ? INFINITY : rest[0].toDouble();
        const QString key = line.left(at);
        if (!e.series.emplace(key, v).second)
            return bad(QStringLiteral("series repeated"));
        if (family != name || types[family] == QLatin1String("histogram")) {
            const QString group = family + QLatin1Char('|') + others.join(QLatin1Char(','));
            if (name.endsWith(QLatin1String("_bucket"))) {
                if (le.isEmpty() || (le != QLatin1String("+Inf") && !numberRe.match(le).hasMatch()))
                    return bad(QStringLiteral("bucket without le"));
                if (lastBucket.count(group) && v < lastBucket[group])
                    return bad(QStringLiteral("bucket falls"));
                lastBucket[group] = v;
                if (le == QLatin1String("+Inf"))
                    infBucket[group] = v;
            } else if (name.endsWith(QLatin1String("_count"))) {
                if (!infBucket.count(group) || infBucket[group] != v)
                    return bad(QStringLiteral("_count is not the +Inf bucket"));
            } else if (!name.endsWith(QLatin1String("_sum"))) {
                return bad(QStringLiteral("histogram sample of no kind"));
            }
        }
    }
    return e;
}

QString sha1Base64(const QByteArray& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64());
}

// user.login as the client sends it; true when it gave a session.
bool signIn(quint16 port, const QString& loginId, const QString& password)
{
    const QString salted = sha1Base64((sha1Base64(password.toUtf8()) + QStringLiteral("4321")).toUtf8());
    const std::string body
        = QStringLiteral("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"user.login\",\"params\":{"
                         "\"loginId\":\"%1\",\"saltedPassword\":\"%2\",\"salt\":\"4321\","
                         "\"channel\":\"PC\",\"appType\":\"rided4a_win\","
                         "\"clientVersion\":\"rided4a_win_1.0\"}}")
              .arg(loginId, salted)
              .toStdString();
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(10, 0);
    const auto res = c.Post(appserver::AppServer::kRpcPath, body, "application/json");
    return res && res->status == 200 && res->body.find("\"ak\"") != std::string::npos;
}

struct Answer {
    int status = -1;
    QByteArray body;
};

Answer get(quint16 port, const char* path, const std::string& authorization = {})
{
    httplib::Client c("127.0.0.1", port);
    httplib::Headers headers;
    if (!authorization.empty())
        headers.emplace("Authorization", authorization);
    const auto res = c.Get(path, headers);
    return res ? Answer { res->status, QByteArray::fromStdString(res->body) } : Answer {};
}

int runServer(const QStringList& args, QString* err)
{
    QProcess p;
    p.start(ServerProcess::program(), args);
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return -1;
    *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitCode();
}

} // namespace

class TestServerOps : public QObject {
    Q_OBJECT

private slots:
    void metricsParseAndCountersMoveAfterSignIns()
    {
        ServerProcess server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QCOMPARE(get(server.port(), "/healthz").status, 200);

        const Answer first = get(server.port(), "/metrics");
        QCOMPARE(first.status, 200);
        const Exposition before = parseExposition(first.body);
        QVERIFY2(before.error.isEmpty(), qPrintable(before.error));
        QCOMPARE(before.value("lectern_lives_in_progress"), 1.0); // the demo's running live

        QVERIFY(signIn(server.port(), "student01", "123456"));
        QVERIFY(!signIn(server.port(), "student01", "wrong"));
        // The relay counts a connection and the message it refuses, and the error it answers.
        QWebSocket ws;
        QSignalSpy answered(&ws, &QWebSocket::textMessageReceived);
        ws.open(QUrl(server.liveUrl()));
        QTRY_COMPARE(ws.state(), QAbstractSocket::ConnectedState);
        ws.sendTextMessage(QStringLiteral("not json"));
        QTRY_COMPARE(answered.count(), 1);

        Exposition after;
        QTRY_VERIFY_WITH_TIMEOUT(
            (after = parseExposition(get(server.port(), "/metrics").body),
                after.value("lectern_relay_messages_total{direction=\"in\"}")
                    == before.value("lectern_relay_messages_total{direction=\"in\"}") + 1),
            5000);
        QVERIFY2(after.error.isEmpty(), qPrintable(after.error));
        QCOMPARE(after.value("lectern_sign_ins_total"), before.value("lectern_sign_ins_total") + 1);
        QCOMPARE(after.value("lectern_sign_in_failures_total{reason=\"bad_password\"}"),
            before.value("lectern_sign_in_failures_total{reason=\"bad_password\"}") + 1);
        QVERIFY(after.value("lectern_http_requests_total{method=\"POST\"}")
            >= before.value("lectern_http_requests_total{method=\"POST\"}") + 2);
        QVERIFY(after.value("lectern_http_request_duration_seconds_count{method=\"POST\"}") >= 2);
        QCOMPARE(after.value("lectern_relay_connections"), 1.0);
        QVERIFY(after.value("lectern_relay_messages_total{direction=\"out\"}")
            >= before.value("lectern_relay_messages_total{direction=\"out\"}") + 1);
        QVERIFY(after.value("lectern_relay_bytes_total{direction=\"in\"}")
            >= before.value("lectern_relay_bytes_total{direction=\"in\"}") + 8);

        // The parser is strict: it refuses what a sloppy exposition would slip through.
        for (const QByteArray& bad : { QByteArray("x 1\n"), QByteArray("# TYPE x gauge\nx{a=\"\\t\"} 1\n"),
                 QByteArray("# TYPE x gauge\nx 1\nx 2\n"), QByteArray("# TYPE x gauge\nx one\n"),
                 QByteArray(
                     "# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_count 1\n") })
            QVERIFY2(!parseExposition(bad).error.isEmpty(), bad.constData());
    }

    // A proxy on this machine makes every request come from the loopback: then only the token lets
    // anyone in, and the health check says what is wrong.
    void monitoringNeedsTheTokenWhereLoopbackIsNotTrusted()
    {
        QTemporaryDir dir;
        appserver::AppServerOptions o;
        o.dbPath = dir.filePath("lectern.db");
        o.logRequests = false;
        o.monitoringFromLoopback = false;
        o.metricsToken = "s3cret";
        appserver::AppServer server(o);
        QString error;
        QVERIFY2(server.open(&error) && server.listen("127.0.0.1", 0, &error), qPrintable(error));
        for (const char* path : { "/healthz", "/metrics" }) {
            QCOMPARE(get(server.port(), path).status, 401);
            QCOMPARE(get(server.port(), path, "Bearer s3creT").status, 401);
            QCOMPARE(get(server.port(), path, "Bearer s3cret ").status, 401);
            QCOMPARE(get(server.port(), path, "Bearer s3cret").status, 200);
        }
        server.setRelayMonitor(
            [] { return std::string(); }, [] { return std::string("live relay: not listening"); });
        const Answer sick = get(server.port(), "/healthz", "Bearer s3cret");
        QCOMPARE(sick.status, 503);
        QCOMPARE(sick.body, QByteArray("live relay: not listening\n"));
        server.stop();

        o.metricsToken.clear();
        appserver::AppServer closed(o);
        QVERIFY2(closed.open(&error) && closed.listen("127.0.0.1", 0, &error), qPrintable(error));
        QCOMPARE(get(closed.port(), "/metrics", "Bearer ").status, 403);
    }

    void backupUnderLoadRestoresAndSignsIn()
    {
        ServerProcess server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        const QString db = server.storageArguments().value(1);
        QCOMPARE(runServer({ "--db", db, "user", "add", "zhao", "pw-zhao", "赵老师", "teacher" }, &error), 0);

        // Sign-ins write a session each, on several connections, all through the backup.
        std::atomic<bool> stop { false };
        std::atomic<int> signIns { 0 };
        std::vector<std::thread> load;
        for (int t = 0; t < 3; ++t)
            load.emplace_back([&, t] {
                while (!stop)
                    if (signIn(server.port(), QStringLiteral("student%1").arg(t + 1, 2, 10, QLatin1Char('0')),
                            "123456"))
                        ++signIns;
            });
        QTRY_VERIFY(signIns > 20);
        QTemporaryDir out;
        const QString copy = out.filePath("school-backup.db");
        const int before = signIns;
        const int code = runServer({ "--db", db, "backup", copy }, &error);
        QVERIFY(signIns > before); // the server went on writing
        stop = true;
        for (std::thread& t : load)
            t.join();
        QVERIFY2(code == 0, qPrintable(error));
        QVERIFY(!QFile::exists(copy + ".part") && !QFile::exists(copy + "-wal"));

        // Restored in place of another server's database, the copy serves and signs in.
        ServerProcess restored;
        QVERIFY(QFile::copy(copy, restored.storageArguments().value(1)));
        QVERIFY2(restored.start(&error), qPrintable(error));
        QVERIFY(signIn(restored.port(), "zhao", "pw-zhao"));
        QVERIFY(signIn(restored.port(), "student01", "123456"));

        // Refusals leave nothing behind.
        QCOMPARE(runServer({ "--db", db, "backup", db }, &error), 1);
        QVERIFY2(error.contains("must not be the database itself"), qPrintable(error));
        QCOMPARE(runServer({ "--db", out.filePath("none.db"), "backup", out.filePath("b.db") }, &error), 1);
        QVERIFY2(error.contains("no database at"), qPrintable(error));
        QCOMPARE(runServer({ "--db", db, "backup", out.filePath("no/such/dir.db") }, &error), 1);
        QVERIFY(!QFile::exists(out.filePath("b.db")) && !QFile::exists(out.filePath("none.db")));
    }
};

QTEST_GUILESS_MAIN(TestServerOps)
#include "tst_server_ops.moc"
