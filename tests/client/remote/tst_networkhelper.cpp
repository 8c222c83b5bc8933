#include "remote/NetworkHelper.h"

#include "HttpFixture.h"
#include "LogCapture.h"

#include <QtTest>

#include <memory>

namespace {

struct Outcome {
    int code = -1;
    QByteArray body;
};

void Collect(int code, const QByteArray& body, void* userData)
{
    static_cast<QList<Outcome>*>(userData)->append({code, body});
}

// Spins the event loop inside the time-out callback, so that the late reply finishes while the
// helper is still alive.
struct LateReplyProbe {
    QList<Outcome> outcomes;
    HttpFixture* server = nullptr;
    int liveAfterNestedLoop = -1;
};

void CollectAndWait(int code, const QByteArray& body, void* userData)
{
    auto* probe = static_cast<LateReplyProbe*>(userData);
    probe->outcomes.append({code, body});
    QTest::qWait(600);
    probe->liveAfterNestedLoop = NetworkHelper::LiveCount();
}

} // namespace

class TestNetworkHelper : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        m_log.reset(new LogCapture(true));
    }
    void cleanupTestCase()
    {
        m_log.reset();
    }
    void init()
    {
        m_server.clearRequests();
        m_log->clear();
    }
    void cleanup()
    {
        // Every helper deletes itself once its outcome is out.
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
    }

    void postsUtf8JsonAndReportsBodyOnce()
    {
        const QByteArray answer = u8"{\"result\":{\"title\":\"数学课\"}}";
        m_server.enqueue(HttpResponse::json(answer));
        const QString text = QStringLiteral("{\"title\": \"数学课 – ü\"}");
        QList<Outcome> outcomes;
        NetworkHelper::Post(m_server.url("/app-server/jsonrpc/"), text, &Collect, &outcomes, 5000);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 0);
        QCOMPARE(outcomes[0].body, answer);

        QCOMPARE(m_server.requests().size(), 1);
        const HttpRequestRecord& r = m_server.requests()[0];
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.target, QByteArray("/app-server/jsonrpc/"));
        QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
        QCOMPARE(r.body, text.toUtf8());
        QTest::qWait(100);
        QCOMPARE(outcomes.size(), 1);
    }

    void errorStatusesAndTransportFailuresAreCode2()
    {
        // A 500 with a JSON body: code 2, body dropped, the status in the log line.
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}", 500));
        QList<Outcome> outcomes;
        NetworkHelper::Post(m_server.url("/x"), "{}", &Collect, &outcomes, 5000);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);
        QVERIFY(outcomes[0].body.isEmpty());
        const QStringList log = m_log->lines();
        const int line = log.indexOf(QRegularExpression("^found error \\.\\.\\.\\.code: 500 \\d+\\n$"));
        QVERIFY2(line >= 0, qPrintable(log.join('|')));
        QVERIFY(line + 1 < log.size());
        QVERIFY(!log[line + 1].isEmpty());

        // A connection cut before the announced body is complete.
        HttpResponse cut = HttpResponse::json("{\"result\":{}}");
        cut.contentLength = 500;
        m_server.enqueue(cut);
        outcomes.clear();
        NetworkHelper::Post(m_server.url("/x"), "{}", &Collect, &outcomes, 5000);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);

        // Nobody listening: no HTTP status, so the first number is 0.
        HttpFixture closed;
        QVERIFY(closed.start());
        const QString deadUrl = closed.url("/x");
        closed.stop();
        m_log->clear();
        outcomes.clear();
        NetworkHelper::Post(deadUrl, "{}", &Collect, &outcomes, 5000);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);
        QVERIFY2(m_log->lines().indexOf(QRegularExpression("^found error \\.\\.\\.\\.code: 0 \\d+\\n$")) >= 0,
                 qPrintable(m_log->lines().join('|')));
    }

    void silentServerTimesOutExactlyOnce()
    {
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        QList<Outcome> outcomes;
        QElapsedTimer clock;
        clock.start();
        NetworkHelper::Post(m_server.url("/x"), "{}", &Collect, &outcomes, 300);
        QTRY_COMPARE(outcomes.size(), 1);
        QVERIFY(clock.elapsed() >= 250);
        QCOMPARE(outcomes[0].code, 1);
        QVERIFY(outcomes[0].body.isEmpty());
        QTest::qWait(700); // the repeating timer must not report again
        QCOMPARE(outcomes.size(), 1);
        QVERIFY(m_log->lines().filter("found error").isEmpty());
    }

    // A modal box in the time-out callback spins a nested loop in which the late reply finishes;
    // the helper must neither call back again nor delete itself from under the callback.
    void lateReplyDuringTimeoutCallbackNeitherReportsNorFreesHelper()
    {
        HttpResponse late = HttpResponse::json("{\"result\":{}}");
        late.delayMs = 250;
        m_server.enqueue(late);
        LateReplyProbe probe;
        probe.server = &m_server;
        NetworkHelper::Post(m_server.url("/x"), "{}", &CollectAndWait, &probe, 100);
        QTRY_COMPARE(probe.outcomes.size(), 1);
        QTest::qWait(800);
        QCOMPARE(probe.outcomes.size(), 1);
        QCOMPARE(probe.outcomes[0].code, 1);
        QVERIFY(m_server.requests().size() == 1);
        QCOMPARE(probe.liveAfterNestedLoop, 1);
    }

    void nullCallbackStillSendsAndCleansUp()
    {
        m_server.enqueue(HttpResponse::json("{}"));
        NetworkHelper::Post(m_server.url("/x"), "{\"a\":1}", nullptr, nullptr, 5000);
        QVERIFY(m_server.waitForRequests(1));
        QCOMPARE(m_server.requests()[0].body, QByteArray("{\"a\":1}"));
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);

        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        NetworkHelper::Post(m_server.url("/x"), "{}", nullptr, nullptr, 100);
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
    }

    void redirectIsNotFollowed()
    {
        HttpResponse moved;
        moved.status = 302;
        moved.headers.append(HttpHeaders::value_type("Location", m_server.url("/elsewhere").toUtf8()));
        m_server.enqueue(moved);
        QList<Outcome> outcomes;
        NetworkHelper::Post(m_server.url("/x"), "{}", &Collect, &outcomes, 5000);
        QTRY_COMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 0);
        QVERIFY(outcomes[0].body.isEmpty());
        QTest::qWait(100);
        QCOMPARE(m_server.requests().size(), 1);
    }

private:
    HttpFixture m_server;
    std::unique_ptr<LogCapture> m_log;
};

QTEST_MAIN(TestNetworkHelper)
#include "tst_networkhelper.moc"
