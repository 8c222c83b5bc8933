// Replays as the app server lists and serves them, and as the command line keeps them: who may
// watch which, the signed addresses, byte ranges, and the recordings folder's own files.
#include "app/AppServer.h"
#include "RpcCalls.h"
#include "common/ReplayFolder.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>
#include <json/json.h>

using appserver::AppServer;

namespace {

bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

class TestReplays : public QObject {
    Q_OBJECT

    Json::Value call(const std::string& method, Json::Value params, const std::string& ak = std::string())
    {
        return rpctest::call(server->port(), method, params, ak);
    }
    std::string ak(const std::string& loginId) { return rpctest::ak(server->port(), loginId); }
    std::unique_ptr<httplib::Client> client() const { return rpctest::client(server->port()); }
    // The liveIds live.replay.list gives the user, and the first entry.
    QStringList listed(const std::string& login, Json::Value* first = nullptr)
    {
        const Json::Value list
            = call("live.replay.list", Json::Value(Json::objectValue), ak(login))["result"]["list"];
        QStringList ids;
        for (const Json::Value& r : list)
            ids << QString::fromStdString(r["liveId"].asString());
        if (first && !list.empty())
            *first = list[0];
        return ids;
    }
    // A live of teacher01's, begun and (when ended) ended.
    int64_t live(const char* title, bool ended)
    {
        auto& s = server->store();
        const int64_t id = s.addLive("teacher01", title, "", 0, 3600000);
        s.createRoom(teacherId, id);
        s.beginLive(teacherId, id);
        if (ended)
            s.endLive(teacherId, id);
        return id;
    }
    // The live's folder as the replay maker leaves it: ready (video and description) or waiting.
    void folder(int64_t liveId, bool ready)
    {
        const QString d = replayfolder::liveDir(recordings(), liveId);
        QVERIFY(QDir().mkpath(d));
        replayfolder::ClassNotes notes;
        notes.liveId = liveId;
        notes.teacherId = teacherId;
        notes.beganMs = 1000;
        notes.endedMs = 61000;
        QString why;
        QVERIFY2(replayfolder::writeNotes(d, notes, &why), qPrintable(why));
        if (!ready)
            return;
        QVERIFY(write(QDir(d).filePath("replay.webm"), video));
        const QJsonObject description { { "liveId", QString::number(liveId) }, { "durationMs", 60000 },
            { "madeMs", double(QDateTime::currentMSecsSinceEpoch()) } };
        QVERIFY(write(QDir(d).filePath("replay.json"), QJsonDocument(description).toJson()));
    }
    QString recordings() const { return dir->filePath("recordings"); }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        appserver::AppServerOptions o;
        o.dbPath = dir->filePath("lectern.db");
        o.recordingsDir = recordings();
        o.logRequests = false;
        server = std::make_unique<AppServer>(o);
        QString error;
        QVERIFY2(server->listen("127.0.0.1", 0, &error), qPrintable(error));
        auto& s = server->store();
        teacherId = s.addUser("teacher01", "123456", "王老师", "t");
        s.addUser("teacher02", "123456", "李老师", "t");
        for (const char* login : { "student01", "student02", "student03" })
            s.addUser(login, "123456", login, "s");
        video.clear();
        for (int i = 0; i < 5000; ++i)
            video.append(char(i * 7));
    }
    void cleanup()
    {
        server.reset();
        dir.reset();
    }

    void listedOnlyToWhomTheRosterAdmitsAndOnlyOnceReady()
    {
        auto& s = server->store();
        const int64_t rostered = live("rostered", true);
        const int64_t open = live("open", true);
        const int64_t waiting = live("waiting", true);
        const int64_t running = live("running", false);
        const int64_t other = live("other", true);
        s.setOnRoster(rostered, { "student01" }, true);
        s.setOnRoster(other, { "student02" }, true);
        folder(rostered, true);
        folder(open, true);
        folder(waiting, false);
        folder(running, true);
        const QString r = QString::number(rostered);
        const QString o = QString::number(open);
        QCOMPARE(listed("student01"), (QStringList { o, r }));
        QCOMPARE(listed("student02"), QStringList { o });
        QCOMPARE(listed("teacher01"), (QStringList { o, r }));
        QCOMPARE(listed("teacher02"), QStringList { o });
        Json::Value first;
        listed("student03", &first);
        QCOMPARE(first["title"].asString(), std::string("open"));
        QCOMPARE(first["durationMs"].asInt64(), Json::Int64(60000));
        QVERIFY(first["pageUrl"].asString().rfind("/student/replay.html?live=" + o.toStdString() + "&u=", 0)
            == 0);
    }

    void servedWithRangesToTheHolderOfTheAddressOnly()
    {
        const int64_t id = live("rostered", true);
        server->store().setOnRoster(id, { "student01" }, true);
        folder(id, true);
        Json::Value entry;
        QCOMPARE(listed("student01", &entry).size(), 1);
        const std::string videoUrl = entry["videoUrl"].asString();
        auto c = client();

        auto whole = c->Get(videoUrl);
        QVERIFY(whole && whole->status == 200);
        QCOMPARE(whole->body, video.toStdString());
        QCOMPARE(whole->get_header_value("Content-Type"), std::string("video/webm"));
        QCOMPARE(whole->get_header_value("Accept-Ranges"), std::string("bytes"));
        auto part = c->Get(videoUrl, { { "Range", "bytes=4990-" } });
        QVERIFY(part && part->status == 206);
        QCOMPARE(part->body, video.mid(4990).toStdString());
        QCOMPARE(part->get_header_value("Content-Range"), std::string("bytes 4990-4999/5000"));
        QCOMPARE(c->Get(videoUrl, { { "Range", "bytes=9000-" } })->status, 416);
        auto chat = c->Get(entry["chatUrl"].asString());
        QVERIFY(chat && chat->status == 200);
        QVERIFY(chat->body.find("\"durationMs\"") != std::string::npos);

        const std::string access = videoUrl.substr(videoUrl.find('?'));
        const std::string student02
            = call("user.login", rpctest::demoLogin("student02"))["result"]["userId"].asString();
        const int64_t me = std::stoll(access.substr(3, access.find('&') - 3));
        const int64_t soon = QDateTime::currentSecsSinceEpoch() + 60;
        std::string wrongSignature = videoUrl;
        wrongSignature.back() = wrongSignature.back() == '0' ? '1' : '0';
        std::string otherUser = videoUrl;
        otherUser.replace(otherUser.find("u=") + 2, std::to_string(me).size(), student02);
        struct Refused {
            std::string path;
            int status;
        };
        const Refused refused[] = {
            { wrongSignature, 403 },
            { otherUser, 403 },
            { "/replays/" + std::to_string(id) + "/replay.webm", 403 },
            { server->replayFileUrl(id, "replay.webm", me, QDateTime::currentSecsSinceEpoch() - 1), 403 },
            { server->replayFileUrl(id, "replay.webm", std::stoll(student02), soon), 403 },
            { server->replayFileUrl(id, "class.json", me, soon), 404 },
            { server->replayFileUrl(id, "../" + std::to_string(id) + "/replay.webm", me, soon), 404 },
            { "/replays/x/replay.webm" + access, 404 },
        };
        for (const Refused& r : refused) {
            auto answer = c->Get(r.path);
            QVERIFY2(answer && answer->status == r.status, r.path.c_str());
            QVERIFY2(answer->body != video.toStdString(), r.path.c_str());
        }
        // An address handed out stops working once the roster leaves its holder out.
        server->store().setOnRoster(id, { "student01" }, false);
        server->store().setOnRoster(id, { "student03" }, true);
        QCOMPARE(c->Get(videoUrl)->status, 403);
        // And one for a live whose replay is not made yet answers that there is none.
        const int64_t waiting = live("waiting", true);
        folder(waiting, false);
        QCOMPARE(c->Get(server->replayFileUrl(waiting, "replay.webm", me, soon))->status, 404);
    }

    void metricsTellTheReplayQueue()
    {
        server->setReplayQueue([] { return 3; });
        auto m = client()->Get("/metrics");
        QVERIFY(m && m->status == 200);
        QVERIFY2(m->body.find("\nlectern_replays_queued 3\n") != std::string::npos, m->body.c_str());
    }

    void chatKeepsWholeLinesOnlyAndTimesThemFromTheStart()
    {
        const QString d = dir->filePath("chat");
        QVERIFY(QDir().mkpath(d));
        QVERIFY(replayfolder::appendChat(d, 5000, "10003", "小明", "第一句"));
        QVERIFY(replayfolder::appendChat(d, 9500, "10001", "王老师", "第二句\n两行"));
        {
            QFile f(QDir(d).filePath(replayfolder::kChatFile));
            QVERIFY(f.open(QIODevice::Append));
            f.write("{\"ms\":9900,\"userId\":\"1\",\"text\":\"cut by a full di"); // no line end
        }
        const QJsonArray lines = replayfolder::chatSince(d, 4000);
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[0].toObject().value("t").toDouble(), 1000.0);
        QCOMPARE(lines[1].toObject().value("text").toString(), QStringLiteral("第二句\n两行"));
        QCOMPARE(lines[1].toObject().value("name").toString(), QStringLiteral("王老师"));
    }

    void commandLineListsDeletesAndPurges()
    {
        const int64_t kept = live("kept", true);
        const int64_t gone = live("gone", true);
        const int64_t waiting = live("waiting", true);
        folder(kept, true);
        folder(gone, true);
        folder(waiting, false);
        server.reset(); // the command line works on the same files
        const QStringList base { "--db", dir->filePath("lectern.db"), "--recordings", recordings(),
            "replay" };
        const auto run = [&](const QStringList& args, QString* output) {
            QProcess p;
            p.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-server"), base + args);
            p.waitForFinished(30000);
            *output = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
            return p.exitCode();
        };
        QString out;
        QCOMPARE(run({ "list" }, &out), 0);
        QVERIFY2(out.contains(QStringLiteral("%1\tready\t60 s\t").arg(kept)) && out.contains("\tkept"),
            qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("%1\twaiting").arg(waiting)), qPrintable(out));
        QCOMPARE(run({ "delete", QString::number(gone) }, &out), 0);
        QVERIFY(!QDir(replayfolder::liveDir(recordings(), gone)).exists());
        QCOMPARE(run({ "delete", QString::number(gone) }, &out), 1);
        QCOMPARE(run({ "purge", "--older-than", "1" }, &out), 0);
        QVERIFY(QDir(replayfolder::liveDir(recordings(), kept)).exists());
        QCOMPARE(run({ "purge", "--older-than", "0" }, &out), 0);
        QVERIFY2(out.contains("deleted 1 replays"), qPrintable(out));
        // A class still waiting for its replay is never purged.
        QVERIFY(!QDir(replayfolder::liveDir(recordings(), kept)).exists());
        QVERIFY(QDir(replayfolder::liveDir(recordings(), waiting)).exists());
        QCOMPARE(run({ "purge", "--older-than", "soon" }, &out), 1);
        QProcess p;
        p.start(QStringLiteral(LECTERN_BIN_DIR "/lectern-server"),
            { "--db", dir->filePath("lectern.db"), "replay", "list" });
        p.waitForFinished(30000);
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("--recordings"));
    }

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<AppServer> server;
    int64_t teacherId = 0;
    QByteArray video;
};

QTEST_MAIN(TestReplays)
#include "tst_replays.moc"
