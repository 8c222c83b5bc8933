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
    static_cast<QList<Outcome>*>(userData)->append({ code, body });
}

// Spins a nested loop inside the time-out callback, as a modal box would, while the late reply
// finishes; notes whether the helper was still alive afterwards.
int g_liveAfterNestedLoop = -1;
void CollectAndWait(int code, const QByteArray& body, void* userData)
{
    Collect(code, body, userData);
    QTest::qWait(600);
    g_liveAfterNestedLoop = NetworkHelper::LiveCount();
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
    void cleanupTestCase() { m_log.reset(); }
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

    void postsUtf8AndReportsOnce()
    {
        const QByteArray answer = u8"{\"result\":{\"title\":\"数学课\"}}";
        m_server.enqueue(HttpResponse::json(answer));
        const QString text = QStringLiteral("{\"title\": \"数学课 – ü\"}");
        const QList<Outcome> outcomes = post(text, 5000);
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 0);
        QCOMPARE(outcomes[0].body, answer);
        QCOMPARE(m_server.requests().value(0).method, QByteArray("POST"));
        QCOMPARE(m_server.requests().value(0).body, text.toUtf8());

        // A redirect is an answer of its own, never followed.
        HttpResponse moved;
        moved.status = 302;
        moved.headers.append({ "Location", m_server.url("/elsewhere").toUtf8() });
        m_server.enqueue(moved);
        const QList<Outcome> redirected = post("{}", 5000);
        QCOMPARE(redirected.size(), 1);
        QCOMPARE(redirected[0].code, 0);
        QVERIFY(redirected[0].body.isEmpty());
        QCOMPARE(m_server.requests().size(), 2);
    }

    void errorStatusesAndTransportFailuresAreCode2()
    {
        // A 500 with a JSON body: code 2, body dropped, the status in the log line.
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}", 500));
        QList<Outcome> outcomes = post("{}", 5000);
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);
        QVERIFY(outcomes[0].body.isEmpty());
        QVERIFY2(
            m_log->lines().indexOf(QRegularExpression("^found error \\.\\.\\.\\.code: 500 \\d+\\n$")) >= 0,
            qPrintable(m_log->lines().join('|')));

        // A connection cut before the announced body is complete.
        HttpResponse cut = HttpResponse::json("{\"result\":{}}");
        cut.contentLength = 500;
        m_server.enqueue(cut);
        outcomes = post("{}", 5000);
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);

        // Nobody listening: no HTTP status, so the first number is 0.
        HttpFixture closed;
        QVERIFY(closed.start());
        const QString deadUrl = closed.url("/x");
        closed.stop();
        m_log->clear();
        outcomes = post("{}", 5000, deadUrl);
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 2);
        QVERIFY2(m_log->lines().indexOf(QRegularExpression("^found error \\.\\.\\.\\.code: 0 \\d+\\n$")) >= 0,
            qPrintable(m_log->lines().join('|')));
    }

    void silentServerTimesOutExactlyOnce()
    {
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        QElapsedTimer clock;
        clock.start();
        const QList<Outcome> outcomes = post("{}", 300);
        QVERIFY(clock.elapsed() >= 250);
        QCOMPARE(outcomes.size(), 1); // the repeating timer did not report again
        QCOMPARE(outcomes[0].code, 1);
        QVERIFY(outcomes[0].body.isEmpty());
        QVERIFY(m_log->lines().filter("found error").isEmpty());

        // Without a callback the call is still sent, and the helper still goes.
        m_server.enqueue(silent);
        NetworkHelper::Post(m_server.url("/x"), "{\"a\":1}", nullptr, nullptr, 100);
        QVERIFY(m_server.waitForRequests(2));
        QCOMPARE(m_server.requests()[1].body, QByteArray("{\"a\":1}"));
    }

    // The late reply finishes in the nested loop of the time-out callback: the helper must neither
    // call back again nor delete itself from under the callback.
    void lateReplyDuringTimeoutCallbackNeitherReportsNorFreesHelper()
    {
        HttpResponse late = HttpResponse::json("{\"result\":{}}");
        late.delayMs = 250;
        m_server.enqueue(late);
        const QList<Outcome> outcomes = post("{}", 100, QString(), &CollectAndWait);
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(outcomes[0].code, 1);
        QCOMPARE(g_liveAfterNestedLoop, 1);
    }

private:
    // Posts to the fixture, waits for the outcome and a moment more for any second report.
    QList<Outcome> post(const QString& body, int timeoutMs, const QString& url = QString(),
        NetworkReplyCallback callback = &Collect)
    {
        QList<Outcome> outcomes;
        NetworkHelper::Post(url.isEmpty() ? m_server.url("/x") : url, body, callback, &outcomes, timeoutMs);
        if (QTest::qWaitFor([&] { return !outcomes.isEmpty(); }, timeoutMs + 5000))
            QTest::qWait(timeoutMs < 1000 ? 700 : 100);
        return outcomes;
    }

    HttpFixture m_server;
    std::unique_ptr<LogCapture> m_log;
};

QTEST_MAIN(TestNetworkHelper)
#include "tst_networkhelper.moc"
