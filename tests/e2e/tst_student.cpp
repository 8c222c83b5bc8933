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

namespace {

const QByteArray kSecret = "student-test-secret";
const quint32 kRoom = 4321;

struct Teacher {
    QList<QPair<QString, QJsonObject>> commands; // sender, command object
    QStringList chatSenders;
    QList<QPair<int, QStringList>> events;
    int frames = 0, ok = 0;
    QSize frameSize;

    QList<int> actions() const
    {
        QList<int> out;
        for (const auto& c : commands)
            out << c.second.value("userAction").toInt();
        return out;
    }
};

void onSuc(void* d) { static_cast<Teacher*>(d)->ok++; }
void onErr(int, const char*, void*) {}
void onMessage(const ilive::Message& msg, void* d)
{
    auto* t = static_cast<Teacher*>(d);
    for (const ilive::MessageElem* e : msg.elems) {
        const auto* c = static_cast<const ilive::MessageCustomElem*>(e);
        if (e->type == ilive::TEXT) {
            t->chatSenders << QString::fromUtf8(msg.sender.c_str());
        } else if (QByteArray(c->ext.c_str()) == "LiveNotification") {
            t->commands << qMakePair(QString::fromUtf8(msg.sender.c_str()), QJsonDocument::fromJson(c->data.c_str()).object());
        }
    }
}
void onEvent(ilive::E_EndpointEventId event, const ilive::Vector<ilive::String>& ids, void* d)
{
    QStringList list;
    for (const ilive::String& id : ids)
        list << QString::fromUtf8(id.c_str());
    static_cast<Teacher*>(d)->events << qMakePair(int(event), list);
}
void onRemote(const ilive::LiveVideoFrame* f, void* d)
{
    auto* t = static_cast<Teacher*>(d);
    if (f->desc.srcType == ilive::VIDEO_SRC_TYPE_CAMERA) {
        t->frames++;
        t->frameSize = QSize(int(f->desc.width), int(f->desc.height));
    }
}
void onDisconnect(int, const char*, void*) {}

QString sha1Base64(const QString& text)
{
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha1).toBase64());
}

} // namespace

class TestStudent : public QObject {
    Q_OBJECT
private:
    HttpFixture app;
    LiveRelay* relay = nullptr;
    LiveService* service = nullptr;
    Teacher teacher;
    QList<QJsonObject> calls; // method + params as the app server saw them

    QStringList baseArgs() const
    {
        return { "--server", app.url("/app-server/jsonrpc/"), "--live", QStringLiteral("ws://127.0.0.1:%1/live").arg(relay->port()),
                 "--login", "student01", "--password", "123456" };
    }

    QList<QJsonObject> callsOf(const QString& method) const
    {
        QList<QJsonObject> out;
        for (const QJsonObject& c : calls)
            if (c.value("method").toString() == method)
                out << c.value("params").toObject();
        return out;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(LECTERN_BIN_DIR "/lectern-student"));
        app.setHandler([this](const HttpRequestRecord& req) {
            const QJsonObject env = QJsonDocument::fromJson(req.body).object();
            calls << env;
            const QString method = env.value("method").toString();
            const QJsonObject p = env.value("params").toObject();
            QJsonObject result;
            if (method == "user.login") {
                if (p.value("saltedPassword").toString() != sha1Base64(sha1Base64("123456") + p.value("salt").toString()))
                    return HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1001","message":"bad password"}})");
                result = { { "ak", "ak-s1" }, { "userId", "s1" }, { "nickname", "小明" } };
            } else if (method == "live.usersig.create") {
                if (p.value("ak").toString() != "ak-s1")
                    return HttpResponse::json(R"({"jsonrpc":"2.0","error":{"code":"1002","message":"no session"}})");
                result = { { "userSig", usersig::make(kSecret, "s1", QDateTime::currentSecsSinceEpoch() + 600) } };
            }
            return HttpResponse::json(QJsonDocument(QJsonObject { { "jsonrpc", "2.0" }, { "result", result } }).toJson());
        });
        QVERIFY(app.start());
    }

    // The teacher: the shipped live-video service, hosting the room on a fresh relay.
    void init()
    {
        calls.clear();
        teacher = Teacher();
        relay = new LiveRelay(kSecret);
        QString error;
        QVERIFY2(relay->listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        service = new LiveService;
        service->setUrl(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(relay->port())));
        service->setMessageCallBack(onMessage, &teacher);
        service->setRemoteVideoCallBack(onRemote, &teacher);
        service->init(1400001234, 8848, true);
        const QString sig = usersig::make(kSecret, "t1", QDateTime::currentSecsSinceEpoch() + 600);
        service->login("t1", sig.toUtf8().constData(), onSuc, onErr, &teacher);
        QTRY_COMPARE(teacher.ok, 1);
        ilive::iLiveRoomOption option;
        option.roomId = kRoom;
        option.controlRole = "LiveMaster";
        option.roomDisconnectListener = onDisconnect;
        option.memberStatusListener = onEvent;
        option.data = &teacher;
        service->createRoom(option, onSuc, onErr, &teacher);
        QTRY_COMPARE(teacher.ok, 2);
    }

    void cleanup()
    {
        delete service;
        delete relay;
    }

    // Chatting, the microphone and leaving are also walked through against the teacher's window.
    void studentFindsTheClassShowsCameraAndLeaves()
    {
        QProcess student;
        student.start(LECTERN_BIN_DIR "/lectern-student", baseArgs() << "--chat-every" << "1" << "--camera" << "--duration" << "4");
        QTRY_VERIFY_WITH_TIMEOUT(!teacher.commands.isEmpty(), 8000);
        QCOMPARE(teacher.commands.first().first, QString("s1"));
        QCOMPARE(teacher.actions(), QList<int> { 1 }); // entered
        const QJsonObject who = QJsonDocument::fromJson(teacher.commands.first().second.value("actionParam").toString().toUtf8()).object();
        QCOMPARE(who.value("nickname").toString() + who.value("userId").toString(), QString("小明s1"));
        // It found the class in progress on the relay and entered its room as a student.
        QCOMPARE(callsOf("live.list.by.teacher.id").size(), 0);
        QCOMPARE(callsOf("live.enter.room").size(), 1);
        QCOMPARE(callsOf("live.enter.room").first().value("avRoomId").toInt(), int(kRoom));
        QCOMPARE(callsOf("live.enter.room").first().value("liveRole").toInt(), 0);

        QTRY_VERIFY(teacher.events.contains(qMakePair(3, QStringList { "s1" })));
        QTRY_VERIFY(teacher.frames >= 3);
        QCOMPARE(teacher.frameSize, QSize(160, 120));
        QTRY_VERIFY_WITH_TIMEOUT(!teacher.chatSenders.isEmpty(), 4000);
        QCOMPARE(teacher.chatSenders.first(), QString("s1"));

        QTRY_COMPARE_WITH_TIMEOUT(student.state(), QProcess::NotRunning, 8000);
        QCOMPARE(student.exitStatus(), QProcess::NormalExit);
        QCOMPARE(student.exitCode(), 0);
        QTRY_COMPARE(teacher.actions(), QList<int>({ 1, 2 })); // and left
        QTRY_VERIFY(teacher.events.contains(qMakePair(4, QStringList { "s1" })));
        QTRY_COMPARE(callsOf("live.quit.room").size(), 1);
        QCOMPARE(relay->roomMemberCount(kRoom), 1);
    }

    void badArgumentsAreRefused()
    {
        QProcess p;
        for (const QStringList& args : { QStringList { "--password", "x" }, QStringList { "--login", "a", "--duration", "soon" } }) {
            p.start(LECTERN_BIN_DIR "/lectern-student", args);
            QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 5000);
            QCOMPARE(p.exitCode(), 2);
        }
        // A wrong password ends the student with an error, not a hang.
        p.start(LECTERN_BIN_DIR "/lectern-student",
                QStringList { "--server", app.url("/app-server/jsonrpc/"), "--login", "student01", "--password", "nope" });
        QTRY_COMPARE_WITH_TIMEOUT(p.state(), QProcess::NotRunning, 8000);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("bad password"));
    }
};

QTEST_MAIN(TestStudent)
#include "tst_student.moc"
