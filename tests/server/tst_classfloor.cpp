// Raised hands, quick questions and attendance through a real lectern-server: the relay's rules for
// students, the answers counted by the server (never by a client), and the attendance method.
#include "ClassPeers.h"
#include "ServerProcess.h"
#include "protocol/CmdMessage.h"
#include "protocol/RelayOps.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <memory>

using classpeers::Account;
using classpeers::RelayClient;
using classpeers::result;
using classpeers::rpc;
using classpeers::signIn;

namespace {

const int kWaitMs = 10000;

QJsonArray commandElems(E_CustomCmd cmd, const QJsonObject& param)
{
    const QString text = QString::fromUtf8(QJsonDocument(param).toJson(QJsonDocument::Compact));
    return { relayop::customElem(QString::fromUtf8(cmdmessage::build(cmd, text)), cmdmessage::kExt) };
}

// A member of the class: its account and relay connection.
struct Seat {
    Account account;
    std::unique_ptr<RelayClient> relay;

    int toRoom(E_CustomCmd cmd, const QJsonObject& param = {})
    {
        return relay->ask(relayop::groupMsg(commandElems(cmd, param))).code;
    }
    int to(const Seat& peer, E_CustomCmd cmd, const QJsonObject& param = {})
    {
        return relay->ask(relayop::peerMsg(peer.account.userId, commandElems(cmd, param))).code;
    }
    // The parameters of the commands cmd pushed to this member from sender so far, oldest first.
    QList<QJsonObject> received(E_CustomCmd cmd, const QString& sender) const
    {
        QList<QJsonObject> found;
        for (const relayop::Push& p : relay->pushes()) {
            if (p.kind != relayop::Push::Msg || p.sender != sender)
                continue;
            for (const QJsonValue& e : p.elems) {
                const auto c = cmdmessage::parse(e.toObject().value("data").toString().toUtf8());
                if (c && c->userAction == cmd)
                    found << QJsonDocument::fromJson(c->actionParam.toUtf8()).object();
            }
        }
        return found;
    }
    // The last one once there are at least n.
    QJsonObject waitFor(E_CustomCmd cmd, const QString& sender, int n = 1) const
    {
        QList<QJsonObject> found;
        (void)QTest::qWaitFor([&] { return (found = received(cmd, sender)).size() >= n; }, kWaitMs);
        return found.size() >= n ? found.last() : QJsonObject();
    }
};

QJsonArray counts(std::initializer_list<int> n)
{
    QJsonArray a;
    for (int v : n)
        a.append(v);
    return a;
}

} // namespace

class TestClassFloor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void handsFollowTheStudentRules();
    void answersAreCountedByTheServerOncePerStudent();
    void attendanceSumsTimePresentForTheLivesTeacherOnly();

private:
    void enter(Seat& seat, bool host);

    ServerProcess m_server;
    QString m_liveId;
    quint32 m_room = 0;
    Seat m_teacher, m_a, m_b;
};

void TestClassFloor::enter(Seat& seat, bool host)
{
    if (!host)
        QVERIFY(rpc(m_server, "live.enter.room", { { "liveRole", 0 }, { "avRoomId", qint64(m_room) } },
            seat.account.ak)
                    .contains("result"));
    if (!seat.relay) {
        seat.relay = std::make_unique<RelayClient>(m_server.liveUrl());
        QCOMPARE(seat.relay->ask(relayop::login(seat.account.userId, seat.account.userSig)).code, 0);
    }
    QCOMPARE(
        seat.relay->ask(host ? relayop::createRoom(m_room, "LiveMaster") : relayop::joinRoom(m_room)).code,
        0);
}

void TestClassFloor::initTestCase()
{
    QString error;
    QVERIFY2(m_server.start(&error), qPrintable(error));
    m_teacher.account = signIn(m_server, "teacher01");
    m_a.account = signIn(m_server, "student01");
    m_b.account = signIn(m_server, "student02");
    const QJsonArray lives = result(m_server, "live.list.by.teacher.id",
        { { "teacherUserId", m_teacher.account.userId }, { "pageNum", 1 }, { "pageSize", 100 } },
        m_teacher.account.ak)
                                 .value("list")
                                 .toArray();
    for (const QJsonValue& l : lives)
        if (l.toObject().value("state").toString() == QLatin1String("i"))
            m_liveId = l.toObject().value("liveId").toString();
    m_room = quint32(result(m_server, "live.create.room",
        { { "hostUserId", m_teacher.account.userId }, { "liveId", m_liveId } }, m_teacher.account.ak)
                         .value("avRoomId")
                         .toVariant()
                         .toLongLong());
    QVERIFY(m_room > 0);
    enter(m_teacher, true);
    enter(m_a, false);
    enter(m_b, false);
}

void TestClassFloor::handsFollowTheStudentRules()
{
    const QString a = m_a.account.userId;
    const QString b = m_b.account.userId;
    const QString teacher = m_teacher.account.userId;
    QCOMPARE(m_a.to(m_teacher, CmdRaiseHand, { { "userId", a }, { "nickname", "张小明" } }), 0);
    QCOMPARE(m_teacher.waitFor(CmdRaiseHand, a).value("userId").toString(), a);

    // Another's hand, all hands down, or a hand to anyone but the host: refused, and nothing arrives.
    QCOMPARE(m_a.to(m_teacher, CmdRaiseHand, { { "userId", b } }), 10022);
    QCOMPARE(m_a.toRoom(CmdLowerAllHands), 10022);
    QCOMPARE(m_a.to(m_teacher, CmdLowerAllHands), 10022);
    QCOMPARE(m_a.to(m_b, CmdRaiseHand, { { "userId", a } }), 10022);
    QCOMPARE(m_a.to(m_teacher, CmdQuizTally, { { "quizId", 1 } }), 10022);
    // Its own hand down is fine; then the host's lowering of all reaches the students.
    QCOMPARE(m_a.to(m_teacher, CmdLowerHand, { { "userId", a } }), 0);
    QCOMPARE(m_teacher.waitFor(CmdLowerHand, a).value("userId").toString(), a);
    QCOMPARE(m_teacher.toRoom(CmdLowerAllHands), 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_b.received(CmdLowerAllHands, teacher).size(), 1, kWaitMs);
    QCOMPARE(m_teacher.received(CmdRaiseHand, a).size(), 1);
    QCOMPARE(m_teacher.received(CmdLowerAllHands, a).size(), 0);
}

void TestClassFloor::answersAreCountedByTheServerOncePerStudent()
{
    const QString a = m_a.account.userId;
    const QString b = m_b.account.userId;
    const QString teacher = m_teacher.account.userId;
    const qint64 quiz = 4242;
    QCOMPARE(m_teacher.toRoom(CmdQuizOpen, { { "quizId", quiz }, { "choices", 4 }, { "text", "1+1=?" } }), 0);
    QCOMPARE(m_a.waitFor(CmdQuizOpen, teacher).value("choices").toInt(), 4);
    QCOMPARE(m_b.waitFor(CmdQuizOpen, teacher).value("quizId").toInt(), int(quiz));
    const int talliesBefore = m_teacher.received(CmdQuizTally, QString()).size();
    QVERIFY(talliesBefore >= 1); // the empty one on asking

    // A's first answer carries counts of its own making: only its choice counts. Then it changes
    // its mind; B answers once. A choice beyond the question's is refused.
    QCOMPARE(
        m_a.to(m_teacher, CmdQuizAnswer,
            { { "userId", a }, { "quizId", quiz }, { "choice", 1 }, { "counts", counts({ 0, 99, 0, 0 }) } }),
        0);
    QCOMPARE(m_a.to(m_teacher, CmdQuizAnswer, { { "userId", a }, { "quizId", quiz }, { "choice", 2 } }), 0);
    QCOMPARE(m_b.to(m_teacher, CmdQuizAnswer, { { "userId", b }, { "quizId", quiz }, { "choice", 1 } }), 0);
    QCOMPARE(
        m_b.to(m_teacher, CmdQuizAnswer, { { "userId", b }, { "quizId", quiz }, { "choice", 4 } }), 4000);
    QCOMPARE(m_b.to(m_teacher, CmdQuizAnswer, { { "userId", b }, { "quizId", 7 }, { "choice", 0 } }), 10023);
    // Nobody's client may tell counts: not the page, not even the host's.
    QCOMPARE(m_a.toRoom(CmdQuizShare, { { "quizId", quiz }, { "counts", counts({ 9, 9, 9, 9 }) } }), 10022);
    QCOMPARE(
        m_teacher.toRoom(CmdQuizTally, { { "quizId", quiz }, { "counts", counts({ 9, 9, 9, 9 }) } }), 10022);

    QJsonObject tally;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const QList<QJsonObject> all = m_teacher.received(CmdQuizTally, QString());
            tally = all.isEmpty() ? QJsonObject() : all.last();
            return tally.value("answers").toObject().size() == 2
                && tally.value("answers").toObject().value(a).toInt() == 2;
        },
        kWaitMs));
    QCOMPARE(tally.value("counts").toArray(), counts({ 0, 1, 1, 0 }));
    QCOMPARE(tally.value("answers").toObject().value(b).toInt(), 1);
    QCOMPARE(tally.value("closed").toBool(), false);
    // The answers themselves never reach the host as messages.
    QCOMPARE(m_teacher.received(CmdQuizAnswer, a).size(), 0);

    QCOMPARE(m_teacher.toRoom(CmdQuizClose, { { "quizId", quiz } }), 0);
    QVERIFY(!m_a.waitFor(CmdQuizClose, teacher).isEmpty());
    QCOMPARE(
        m_a.to(m_teacher, CmdQuizAnswer, { { "userId", a }, { "quizId", quiz }, { "choice", 0 } }), 10024);

    // Shared: the room sees the server's counts whatever the host's client put in, and not who
    // answered what.
    QCOMPARE(m_teacher.toRoom(CmdQuizShare, { { "quizId", quiz }, { "counts", counts({ 5, 5, 5, 5 }) } }), 0);
    const QJsonObject shared = m_b.waitFor(CmdQuizShare, teacher);
    QCOMPARE(shared.value("counts").toArray(), counts({ 0, 1, 1, 0 }));
    QCOMPARE(shared.value("closed").toBool(), true);
    QVERIFY(!shared.contains("answers"));
}

void TestClassFloor::attendanceSumsTimePresentForTheLivesTeacherOnly()
{
    // B leaves and comes back: two entries and a leave. Its first stay began in initTestCase.
    Seat c;
    c.account = signIn(m_server, "student03");
    QElapsedTimer present;
    enter(c, false);
    present.start();
    QCOMPARE(c.relay->ask(relayop::groupMsg({ relayop::textElem("老师好") })).code, 0);
    QCOMPARE(c.to(m_teacher, CmdRaiseHand, { { "userId", c.account.userId } }), 0);
    QTest::qWait(1200);
    QCOMPARE(c.relay->ask(relayop::quitRoom()).code, 0);
    qint64 expected = present.elapsed();
    QTest::qWait(1500);
    enter(c, false);
    present.restart();
    QTest::qWait(800);

    const QJsonObject answer
        = rpc(m_server, "live.attendance", { { "liveId", m_liveId } }, m_teacher.account.ak);
    expected += present.elapsed();
    const QJsonArray list = answer.value("result").toObject().value("list").toArray();
    QJsonObject row;
    QJsonObject rowA;
    for (const QJsonValue& v : list) {
        if (v.toObject().value("userId").toString() == c.account.userId)
            row = v.toObject();
        if (v.toObject().value("userId").toString() == m_a.account.userId)
            rowA = v.toObject();
    }
    QVERIFY2(!row.isEmpty(), QJsonDocument(answer).toJson().constData());
    QCOMPARE(row.value("nickname").toString(), QStringLiteral("王芳"));
    QCOMPARE(row.value("entries").toInt(), 2);
    QVERIFY2(qAbs(row.value("presentMs").toVariant().toLongLong() - expected) < 1000,
        qPrintable(QStringLiteral("present %1 ms, expected %2 ms")
                       .arg(row.value("presentMs").toVariant().toLongLong())
                       .arg(expected)));
    QCOMPARE(row.value("chatLines").toInt(), 1);
    QCOMPARE(row.value("hands").toInt(), 1);
    QCOMPARE(row.value("answers").toInt(), 0);
    // A raised its hand once (a refused raise counts nothing) and answered one question.
    QCOMPARE(rowA.value("hands").toInt(), 1);
    QCOMPARE(rowA.value("answers").toInt(), 1);

    // Another teacher, a student, or a live that does not exist: no table.
    const Account other = signIn(m_server, "teacher02");
    QCOMPARE(rpc(m_server, "live.attendance", { { "liveId", m_liveId } }, other.ak)
                 .value("error")
                 .toObject()
                 .value("code")
                 .toInt(),
        109007);
    QCOMPARE(rpc(m_server, "live.attendance", { { "liveId", m_liveId } }, m_a.account.ak)
                 .value("error")
                 .toObject()
                 .value("code")
                 .toInt(),
        109007);
    QCOMPARE(rpc(m_server, "live.attendance", { { "liveId", "999999" } }, m_teacher.account.ak)
                 .value("error")
                 .toObject()
                 .value("code")
                 .toInt(),
        109001);
}

QTEST_GUILESS_MAIN(TestClassFloor)
#include "tst_classfloor.moc"
