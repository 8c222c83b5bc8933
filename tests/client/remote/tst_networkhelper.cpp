#include "remote/NetworkHelper.h"

#include "HttpFixture.h"
#include "LogCapture.h"

#include <QtTest>

namespace {

using Outcomes = QList<QPair<int, QByteArray>>;

void Collect(int code, const QByteArray& body, void* userData)
{
    static_cast<Outcomes*>(userData)->append({ code, body });
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
    void initTestCase() { QVERIFY(m_server.start()); }
    void cleanup()
    {
        // Every helper deletes itself once its outcome is out.
        QTRY_COMPARE(NetworkHelper::LiveCount(), 0);
        m_server.clearRequests();
    }

    void answersErrorsAndRedirects()
    {
        LogCapture log(true);
        const QByteArray answer = u8"{\"result\":{\"title\":\"数学课\"}}";
        m_server.enqueue(HttpResponse::json(answer));
        const QString text = QStringLiteral("{\"title\": \"数学课 – ü\"}");
        QCOMPARE(post(text, 5000), Outcomes({ { 0, answer } }));
        QCOMPARE(m_server.requests().value(0).method, QByteArray("POST"));
        QCOMPARE(m_server.requests().value(0).body, text.toUtf8());

        // A redirect is an answer of its own, never followed.
        HttpResponse moved;
        moved.status = 302;
        moved.headers.append({ "Location", m_server.url("/elsewhere").toUtf8() });
        m_server.enqueue(moved);
        QCOMPARE(post("{}", 5000), Outcomes({ { 0, QByteArray() } }));
        QCOMPARE(m_server.requests().size(), 2);

        // An error status drops the body; the log line carries the status, 0 where none came.
        m_server.enqueue(HttpResponse::json("{\"error\":{\"code\":1}}", 500));
        QCOMPARE(post("{}", 5000), Outcomes({ { 2, QByteArray() } }));
        HttpFixture closed;
        QVERIFY(closed.start());
        const QString deadUrl = closed.url("/x");
        closed.stop();
        QCOMPARE(post("{}", 5000, deadUrl), Outcomes({ { 2, QByteArray() } }));
        QStringList errors = log.lines().filter("found error");
        QCOMPARE(errors.replaceInStrings(QRegularExpression(" \\d+\\n$"), "."),
            QStringList({ "found error ....code: 500.", "found error ....code: 0." }));
    }

    void silentServerTimesOutExactlyOnce()
    {
        HttpResponse silent;
        silent.neverAnswer = true;
        m_server.enqueue(silent);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(post("{}", 300), Outcomes({ { 1, QByteArray() } })); // the repeating timer reports once
        QVERIFY(clock.elapsed() >= 250);

        // Without a callback the call is still sent, and the helper still goes.
        m_server.enqueue(silent);
        NetworkHelper::Post(m_server.url("/x"), "{\"a\":1}", nullptr, nullptr, 100);
        QVERIFY(m_server.waitForRequests(2));
        QCOMPARE(m_server.requests()[1].body, QByteArray("{\"a\":1}"));
    }

    // Regression: the late reply finishes in the nested loop of the time-out callback; the helper
    // must neither call back again nor delete itself from under the callback.
    void lateReplyDuringTimeoutCallbackNeitherReportsNorFreesHelper()
    {
        HttpResponse late = HttpResponse::json("{\"result\":{}}");
        late.delayMs = 250;
        m_server.enqueue(late);
        QCOMPARE(post("{}", 100, QString(), &CollectAndWait), Outcomes({ { 1, QByteArray() } }));
        QCOMPARE(g_liveAfterNestedLoop, 1);
    }

private:
    // Posts, waits for the outcome and a moment more for any second report.
    Outcomes post(const QString& body, int timeoutMs, const QString& url = QString(),
        NetworkReplyCallback callback = &Collect)
    {
        Outcomes outcomes;
        NetworkHelper::Post(url.isEmpty() ? m_server.url("/x") : url, body, callback, &outcomes, timeoutMs);
        if (QTest::qWaitFor([&] { return !outcomes.isEmpty(); }, timeoutMs + 5000))
            QTest::qWait(timeoutMs < 1000 ? 700 : 100);
        return outcomes;
    }

    HttpFixture m_server;
};

QTEST_MAIN(TestNetworkHelper)
#include "tst_networkhelper.moc"
