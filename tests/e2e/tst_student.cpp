// lectern-student as a real process: signs in against a scripted app server, joins the room on a
// real relay and talks to a teacher that is the shipped live-video service. The servers live in
// this process, so the test waits for the student with QTRY (which keeps them serving).
#include "HttpFixture.h"
#include "common/UserSig.h"
#include "ilive/LiveService.h"
#include "relay/LiveRelay.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

const QByteArray kSecret = "student-test-secret";
const quint32 kRoom = 4321;

// What the teacher's service was told.
struct Teacher {
    QStringList chatSenders, commandSenders, events; // events as "3:s1"
    QList<QJsonObject> commands;
    int ok = 0, disconnects = 0;
};

void onSuc(void* d)
{
    static_cast<Teacher*>(d)->ok++;
}
void onErr(int, const char*, void*) { }
void onMessage(const ilive::Message& msg, void* d)
{
    auto* t = static_cast<Teacher*>(d);
    for (const ilive::MessageElem* e : msg.elems) {
        if (e->type == ilive::TEXT) {
            t->chatSenders << QString::fromUtf8(msg.sender.c_str());
        } else {
            t->commandSenders << QString::fromUtf8(msg.sender.c_str());
            t->commands << QJsonDocument::fromJson(
                static_cast<const ilive::MessageCustomElem*>(e)->data.c_str())
                               .object();
        }
    }
}
void onEvent(ilive::E_EndpointEventId event, const ilive::Vector<ilive::String>& ids, void* d)
{
    for (const ilive::String& id : ids)
        static_cast<Teacher*>(d)->events << QString::number(event) + ":" + QString::fromUtf8(id.c_str());
}
void onDisconnect(int, const char*, void* d)
{
    static_cast<Teacher*>(d)->disconnects++;
}

QString sha1Base64(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

// The teacher signs in to the relay and hosts kRoom; false when either step fails.
bool HostRoom(LiveService& service, Teacher& teacher)
{
    service.init(1400001234, 8848, true);
    service.login("t1",
        usersig::make(kSecret, "t1", QDateTime::currentSecsSinceEpoch() + 600).toUtf8().constData(), onSuc,
        onErr, &teacher);
    if (!QTest::qWaitFor([&] { return teacher.ok == 1; }, 5000))
        return false;
    ilive::iLiveRoomOption option;
    option.roomId = kRoom;
    option.controlRole = "LiveMaster";
    option.roomDisconnectListener = onDisconnect;
    option.memberStatusListener = onEvent;
    option.data = &teacher;
    service.createRoom(option, onSuc, onErr, &teacher);
    return QTest::qWaitFor([&] { return teacher.ok == 2; }, 5000);
}

} // namespace

class TestStudent : public QObject {
    Q_OBJECT
private:
    HttpFixture app;
    QStringList methods; // as the app server was called
    QJsonObject entered; // the room entry's parameters

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(LECTERN_BIN_DIR "/lectern-student"));
        app.setHandler([this](const HttpRequestRecord& req) {
            const QJsonObject env = QJsonDocument::fromJson(req.body).object();
            const QString method = env.value("method").toString();
            const QJsonObject p = env.value("params").toObject();
            methods << method;
            QJsonObject result;
            if (method == "user.login") {
                if (p.value("saltedPassword").toString()
                    != sha1Base64(sha1Base64("123456") + p.value("salt").toString()))
                    return HttpResponse::json(
                        R"({"jsonrpc":"2.0","error":{"code":"1001","message":"bad password"}})");
                result = { { "ak", "ak-s1" }, { "userId", "s1" }, { "nickname", "小明" } };
            } else if (method == "live.usersig.create" && p.value("ak").toString() == "ak-s1") {
                result = { { "userSig",
                    usersig::make(kSecret, "s1", QDateTime::currentSecsSinceEpoch() + 600) } };
            } else if (method == "live.enter.room") {
                entered = p;
            }
            return HttpResponse::json(
                QJsonDocument(QJsonObject { { "jsonrpc", "2.0" }, { "result", result } }).toJson());
        });
        QVERIFY(app.start());
    }

    // Chatting, the microphone and leaving are also walked through against the teacher's window.
    // Its sound and pictures are the media tests' business (tests/media).
    void studentFindsTheClassChatsAndLeaves()
    {
        // The teacher: the shipped live-video service, hosting the room.
        LiveRelay relay(kSecret);
        QString error;
        QVERIFY2(relay.listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        const QString liveUrl = QStringLiteral("ws://127.0.0.1:%1/live").arg(relay.port());
        Teacher teacher;
        LiveService service;
        service.setUrl(QUrl(liveUrl));
        service.setMessageCallBack(onMessage, &teacher);
        QVERIFY(HostRoom(service, teacher));

        QProcess student;
        student.start(LECTERN_BIN_DIR "/lectern-student",
            { "--server", app.url("/app-server/jsonrpc/"), "--live", liveUrl, "--login", "student01",
                "--password", "123456", "--chat-every", "1", "--duration", "4" });
        QTRY_VERIFY_WITH_TIMEOUT(!teacher.commands.isEmpty(), 8000);
        QCOMPARE(teacher.commandSenders.first(), QString("s1"));
        QCOMPARE(teacher.commands.first().value("userAction").toInt(), 1); // entered
        const QJsonObject who
            = QJsonDocument::fromJson(teacher.commands.first().value("actionParam").toString().toUtf8())
                  .object();
        QCOMPARE(who.value("nickname").toString() + who.value("userId").toString(), QString("小明s1"));
        // It found the class in progress on the relay and entered its room as a student.
        QVERIFY(!methods.contains("live.list.by.teacher.id"));
        QCOMPARE(methods.count("live.enter.room"), 1);
        QVERIFY(entered.value("avRoomId").toInt() == int(kRoom) && entered.value("liveRole").toInt() == 0);

        QTRY_VERIFY_WITH_TIMEOUT(!teacher.chatSenders.isEmpty(), 4000);
        QCOMPARE(teacher.chatSenders.first(), QString("s1"));

        QTRY_COMPARE_WITH_TIMEOUT(student.state(), QProcess::NotRunning, 8000);
        QVERIFY(student.exitStatus() == QProcess::NormalExit && student.exitCode() == 0);
        QTRY_COMPARE(teacher.commands.size(), 2);
        QCOMPARE(teacher.commands.last().value("userAction").toInt(), 2); // left
        QTRY_COMPARE(methods.count("live.quit.room"), 1);
        QCOMPARE(relay.roomMemberCount(kRoom), 1);
    }

    // The relay restarts on the same port mid-class: the student and the teacher's service come back
    // into the room on their own, chat goes on and nobody announces leaving or entering again.
    // A relay gone for longer than they wait ends the student and tells the teacher once.
    void studentAndTeacherRideOutARelayRestart()
    {
        auto relay = std::make_unique<LiveRelay>(kSecret);
        QString error;
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        const quint16 port = relay->port();
        const QString liveUrl = QStringLiteral("ws://127.0.0.1:%1/live").arg(port);
        Teacher teacher;
        LiveService service;
        service.setUrl(QUrl(liveUrl));
        service.setReconnectGraceMs(2500);
        service.setMessageCallBack(onMessage, &teacher);
        QVERIFY(HostRoom(service, teacher));

        QProcess student;
        student.start(LECTERN_BIN_DIR "/lectern-student",
            { "--server", app.url("/app-server/jsonrpc/"), "--live", liveUrl, "--login", "student01",
                "--room", QString::number(kRoom), "--chat-every", "1", "--reconnect-ms", "2500" });
        QTRY_VERIFY_WITH_TIMEOUT(!teacher.chatSenders.isEmpty(), 8000);

        relay.reset();
        relay = std::make_unique<LiveRelay>(kSecret);
        QVERIFY2(relay->listen(QHostAddress::LocalHost, port, &error), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(relay->roomMemberCount(kRoom) == 2 && service.isInRoom(), 5000);
        const int chatsBefore = teacher.chatSenders.size();
        QTRY_VERIFY_WITH_TIMEOUT(teacher.chatSenders.size() > chatsBefore, 4000);
        QCOMPARE(student.state(), QProcess::Running);
        QCOMPARE(teacher.disconnects, 0);
        QStringList actions;
        for (const QJsonObject& c : teacher.commands)
            actions << c.value("userAction").toVariant().toString();
        QCOMPARE(actions, QStringList({ "1" })); // entered once, never left
        QVERIFY(student.readAllStandardOutput().contains("back in room"));

        relay.reset();
        QTRY_COMPARE_WITH_TIMEOUT(student.state(), QProcess::NotRunning, 8000);
        QCOMPARE(student.exitCode(), 1);
        QVERIFY(student.readAllStandardError().contains("unreachable"));
        QTRY_COMPARE_WITH_TIMEOUT(teacher.disconnects, 1, 8000);
        QVERIFY(!service.isReconnecting());
    }

    void badArgumentsAndAWrongPasswordEndTheStudent()
    {
        QProcess p;
        p.start(LECTERN_BIN_DIR "/lectern-student", { "--login", "a", "--duration", "soon" });
        QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 5000);
        QCOMPARE(p.exitCode(), 2);
        p.start(LECTERN_BIN_DIR "/lectern-student",
            { "--server", app.url("/app-server/jsonrpc/"), "--login", "student01", "--password", "nope" });
        QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 8000);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("bad password"));
    }
};

QTEST_MAIN(TestStudent)
#include "tst_student.moc"
