// lectern-server makes each live's VideoRoom on a real Janus and hands its address, PIN and feed ids
// to the members it lets in, and to nobody else; when Janus dies or is down the class goes on
// without media.
// Runs in its own network namespace (tests/media/netns-run.sh).
#include "ClassPeers.h"
#include "JanusProcess.h"
#include "ServerProcess.h"
#include "janus/JanusSession.h"
#include "protocol/LoginHash.h"
#include "protocol/RelayOps.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

#include <memory>
#include <optional>

using classpeers::Account;
using classpeers::RelayClient;
using classpeers::result;
using classpeers::rpc;
using classpeers::signIn;

namespace {

const int kWaitMs = 15000;

std::unique_ptr<RelayClient> signedIn(const ServerProcess& server, const Account& a)
{
    auto c = std::make_unique<RelayClient>(server.liveUrl());
    if (c->ask(relayop::login(a.userId, a.userSig)).code != 0)
        return nullptr;
    return c;
}

// A Janus client with token joining a VideoRoom as a publisher under feed; the plugin's answer.
QJsonObject joinAsPublisher(
    const QString& url, const QString& token, qint64 room, qint64 feed, const std::optional<QString>& pin)
{
    JanusSession session;
    session.setToken(token);
    QSignalSpy ready(&session, &JanusSession::ready);
    QSignalSpy failed(&session, &JanusSession::failed);
    session.open(QUrl(url));
    if (!QTest::qWaitFor([&] { return !ready.isEmpty() || !failed.isEmpty(); }, kWaitMs) || ready.isEmpty())
        return { { "error", "no session" } };
    quint64 handle = 0;
    session.attach("janus.plugin.videoroom", [&handle](const QJsonObject& a) {
        handle = quint64(a.value("data").toObject().value("id").toDouble());
    });
    if (!QTest::qWaitFor([&handle] { return handle != 0; }, kWaitMs))
        return { { "error", "no handle" } };
    QJsonObject body { { "request", "join" }, { "ptype", "publisher" }, { "room", double(room) },
        { "id", double(feed) } };
    if (pin)
        body.insert("pin", *pin);
    std::optional<QJsonObject> answer;
    session.message(
        handle, body, {}, [&answer](const QJsonObject& a) { answer = JanusSession::pluginData(a); });
    (void)QTest::qWaitFor([&answer] { return answer.has_value(); }, kWaitMs);
    return answer.value_or(QJsonObject { { "error", "no answer" } });
}

} // namespace

class TestMediaRoom : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void membersLetInGetTheMediaRoomAndNobodyElse();
    void restartedServerMakesAFreshRoomWithAFreshPin();
    void endedLiveTakesItsMediaRoomAlong();
    void classGoesOnWhenJanusDiesOrIsDown();

private:
    bool startServer(QString* error);
    // The av room of teacher01's live in state, made ready for hosting.
    qint64 roomOfLive(const QString& state, QString* liveId = nullptr);

    JanusProcess m_janus;
    ServerProcess m_server;
    Account m_teacher;
    // What the first test handed out, for the ones after it.
    qint64 m_room = 0;
    qint64 m_videoRoom = 0;
    QString m_pin;
    QString m_token;
    qint64 m_studentCamera = 0;
};

bool TestMediaRoom::startServer(QString* error)
{
    return m_server.start(error, { "--janus", m_janus.url(), "--janus-admin-key", m_janus.adminKey() });
}

qint64 TestMediaRoom::roomOfLive(const QString& state, QString* liveId)
{
    const QJsonArray lives = rpc(m_server, "live.list.by.teacher.id",
        { { "teacherUserId", m_teacher.userId }, { "pageNum", 1 }, { "pageSize", 100 } }, m_teacher.ak)
                                 .value("result")
                                 .toObject()
                                 .value("list")
                                 .toArray();
    for (const QJsonValue& l : lives) {
        if (l.toObject().value("state").toString() != state)
            continue;
        const QString id = l.toObject().value("liveId").toString();
        if (liveId)
            *liveId = id;
        return rpc(m_server, "live.create.room", { { "hostUserId", m_teacher.userId }, { "liveId", id } },
            m_teacher.ak)
            .value("result")
            .toObject()
            .value("avRoomId")
            .toVariant()
            .toLongLong();
    }
    return 0;
}

void TestMediaRoom::initTestCase()
{
    QString error;
    QVERIFY2(m_janus.start(&error), qPrintable(error));
    QVERIFY2(startServer(&error), qPrintable(error));
    m_teacher = signIn(m_server, "teacher01");
    QVERIFY(!m_teacher.userSig.isEmpty());
}

void TestMediaRoom::membersLetInGetTheMediaRoomAndNobodyElse()
{
    const qint64 room = roomOfLive("i");
    QVERIFY(room > 0);
    const Account student = signIn(m_server, "student01");
    const Account outsider = signIn(m_server, "student02");
    QVERIFY(!student.userSig.isEmpty() && !outsider.userSig.isEmpty());
    QVERIFY(rpc(m_server, "live.enter.room", { { "liveRole", 0 }, { "avRoomId", room } }, student.ak)
                .contains("result"));

    // The host: the media server's address, the room, a PIN and its own two feed ids.
    auto teacher = signedIn(m_server, m_teacher);
    QVERIFY(teacher);
    const relayop::Push created = teacher->ask(relayop::createRoom(quint32(room), "LiveMaster"));
    QCOMPARE(created.code, 0);
    const QJsonObject media = created.object.value("media").toObject();
    QCOMPARE(media.value("url").toString(), m_janus.url());
    // The VideoRoom id is drawn at random: the room id every student sees does not name it.
    const qint64 videoRoom = media.value("room").toVariant().toLongLong();
    QVERIFY(videoRoom > 0 && videoRoom != room && videoRoom < (qint64(1) << 53));
    const QString pin = media.value("pin").toString();
    QVERIFY(pin.size() >= 16);
    const QString teacherToken = media.value("token").toString();
    QVERIFY(teacherToken.size() >= 16);
    const QJsonObject teacherFeeds = media.value("feeds").toObject().value(m_teacher.userId).toObject();
    QCOMPARE(media.value("feeds").toObject().size(), 1);
    const qint64 camera = teacherFeeds.value("camera").toVariant().toLongLong();
    const qint64 screen = teacherFeeds.value("screen").toVariant().toLongLong();
    QVERIFY(camera > 0 && screen > 0 && camera != screen && camera < (qint64(1) << 53));

    // A member let in: the same room and PIN, and every member's feeds, its own included.
    auto member = signedIn(m_server, student);
    QVERIFY(member);
    const relayop::Push joined = member->ask(relayop::joinRoom(quint32(room)));
    QCOMPARE(joined.code, 0);
    const QJsonObject seen = joined.object.value("media").toObject();
    QCOMPARE(seen.value("pin").toString(), pin);
    QCOMPARE(seen.value("room").toVariant().toLongLong(), videoRoom);
    // A token of its own, which no other member is told.
    const QString token = seen.value("token").toString();
    QVERIFY(token.size() >= 16 && token != teacherToken);
    QCOMPARE(seen.value("feeds").toObject().value(m_teacher.userId).toObject(), teacherFeeds);
    const QJsonObject studentFeeds = seen.value("feeds").toObject().value(student.userId).toObject();
    const qint64 studentCamera = studentFeeds.value("camera").toVariant().toLongLong();
    QVERIFY(studentCamera > 0 && studentCamera != camera && studentCamera != screen);

    // The host learns the newcomer's feeds with its entry.
    const std::optional<relayop::Push> entered = teacher->event(relayop::kEntered, student.userId);
    QVERIFY(entered);
    QCOMPARE(entered->object.value("feeds").toObject().value(student.userId).toObject(), studentFeeds);
    QVERIFY(!entered->object.contains("media")); // it has it already

    // Leaving and coming back keeps the feed ids.
    QCOMPARE(member->ask(relayop::quitRoom()).code, 0);
    const relayop::Push again = member->ask(relayop::joinRoom(quint32(room)));
    QCOMPARE(
        again.object.value("media").toObject().value("feeds").toObject().value(student.userId).toObject(),
        studentFeeds);
    QCOMPARE(again.object.value("media").toObject().value("token").toString(), token);
    for (const relayop::Push& p : teacher->pushes())
        QVERIFY(!QJsonDocument(p.object).toJson().contains(token.toUtf8()));

    // Not let in: refused as ever, and told nothing of the media room.
    auto stranger = signedIn(m_server, outsider);
    QVERIFY(stranger);
    const relayop::Push refused = stranger->ask(relayop::joinRoom(quint32(room)));
    QCOMPARE(refused.code, int(relayop::kNotLetIn));
    QVERIFY(!refused.object.contains("media"));
    for (const relayop::Push& p : stranger->pushes())
        QVERIFY(!QJsonDocument(p.object).toJson().contains(pin.toUtf8()));

    // The PIN opens the VideoRoom under the member's feed id; without it, or with another, nothing.
    const QJsonObject published
        = joinAsPublisher(seen.value("url").toString(), token, videoRoom, studentCamera, pin);
    QCOMPARE(published.value("videoroom").toString(), QStringLiteral("joined"));
    QCOMPARE(published.value("id").toVariant().toLongLong(), studentCamera);
    // 429: the PIN is missing; 433: it is wrong.
    const QPair<std::optional<QString>, int> turnedAway[] = { { std::nullopt, 429 }, { pin + "x", 433 } };
    for (const auto& [wrong, code] : turnedAway)
        QCOMPARE(joinAsPublisher(m_janus.url(), token, videoRoom, studentCamera + 1, wrong)
                     .value("error_code")
                     .toInt(),
            code);
    m_room = room;
    m_videoRoom = videoRoom;
    m_pin = pin;
    m_token = token;
    m_studentCamera = studentCamera;
}

void TestMediaRoom::restartedServerMakesAFreshRoomWithAFreshPin()
{
    QVERIFY(m_room);
    QVERIFY(m_server.stop());
    QString error;
    QVERIFY2(startServer(&error), qPrintable(error));
    m_teacher = signIn(m_server, "teacher01");
    auto teacher = signedIn(m_server, m_teacher);
    QVERIFY(teacher);
    const relayop::Push created = teacher->ask(relayop::createRoom(quint32(m_room), "LiveMaster"));
    QCOMPARE(created.code, 0);
    const QJsonObject media = created.object.value("media").toObject();
    const QString pin = media.value("pin").toString();
    const qint64 videoRoom = media.value("room").toVariant().toLongLong();
    const QString token = media.value("token").toString();
    QVERIFY(!pin.isEmpty() && !token.isEmpty());
    QVERIFY(pin != m_pin && videoRoom != m_videoRoom);
    // The room left behind is gone: 426, no such room.
    QCOMPARE(joinAsPublisher(m_janus.url(), token, m_videoRoom, m_studentCamera, m_pin)
                 .value("error_code")
                 .toInt(),
        426);
    QCOMPARE(
        joinAsPublisher(m_janus.url(), token, videoRoom, m_studentCamera, m_pin).value("error_code").toInt(),
        433);
    QCOMPARE(
        joinAsPublisher(m_janus.url(), token, videoRoom, m_studentCamera, pin).value("videoroom").toString(),
        QStringLiteral("joined"));
    m_videoRoom = videoRoom;
    m_pin = pin;
    m_token = token;
}

void TestMediaRoom::endedLiveTakesItsMediaRoomAlong()
{
    QVERIFY(m_room);
    QString liveId;
    QCOMPARE(roomOfLive("i", &liveId), m_room);
    QVERIFY(rpc(m_server, "live.end", { { "liveId", liveId } }, m_teacher.ak).contains("result"));
    // 426: no such room.
    QString error;
    QVERIFY2(m_janus.addToken(QStringLiteral("after-the-end"), &error), qPrintable(error));
    QTRY_COMPARE_WITH_TIMEOUT(
        joinAsPublisher(m_janus.url(), QStringLiteral("after-the-end"), m_videoRoom, m_studentCamera, m_pin)
            .value("error_code")
            .toInt(),
        426, kWaitMs);
    // The members' tokens went with it: they open no session any more.
    QCOMPARE(joinAsPublisher(m_janus.url(), m_token, m_videoRoom, m_studentCamera, m_pin)
                 .value("error")
                 .toString(),
        QStringLiteral("no session"));
}

void TestMediaRoom::classGoesOnWhenJanusDiesOrIsDown()
{
    const qint64 room = roomOfLive("s");
    QVERIFY(room > 0);
    const Account student = signIn(m_server, "student03");
    QVERIFY(rpc(m_server, "live.enter.room", { { "liveRole", 0 }, { "avRoomId", room } }, student.ak)
                .contains("result"));
    auto teacher = signedIn(m_server, m_teacher);
    QVERIFY(teacher);
    QVERIFY(teacher->ask(relayop::createRoom(quint32(room), "LiveMaster")).object.contains("media"));

    // Janus dies mid-class: members entering from then on are not sent to a room that is gone.
    QVERIFY(m_janus.stop());
    auto member = signedIn(m_server, student);
    QVERIFY(member);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            member->ask(relayop::quitRoom());
            const relayop::Push joined = member->ask(relayop::joinRoom(quint32(room)));
            return joined.code == 0 && !joined.object.contains("media");
        }(),
        kWaitMs);
    QVERIFY(teacher->event(relayop::kEntered, student.userId));

    // Messages go on.
    QCOMPARE(member->ask(relayop::groupMsg({ relayop::textElem("听得到吗") })).code, 0);
    QVERIFY(QTest::qWaitFor(
        [&] {
            for (const relayop::Push& p : teacher->pushes())
                if (p.kind == relayop::Push::Msg && p.sender == student.userId)
                    return true;
            return false;
        },
        kWaitMs));

    // With Janus down, the host entering again is let in at once, without media.
    QCOMPARE(teacher->ask(relayop::quitRoom()).code, 0);
    const relayop::Push created = teacher->ask(relayop::createRoom(quint32(room), "LiveMaster"));
    QCOMPARE(created.code, 0);
    QVERIFY(!created.object.contains("media"));
}

QTEST_GUILESS_MAIN(TestMediaRoom)
#include "tst_mediaroom.moc"
