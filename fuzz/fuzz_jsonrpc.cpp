// A JSON-RPC request body as it reaches the app server's endpoint, answered against a real
// database holding the demo school. "@T@" and "@S@" in the input stand for the session tokens of a
// signed-in teacher and student and "@TI@" for the teacher's user id, so the methods behind sign-in
// are reached too.
#include "FuzzSupport.h"

#include "app/AppServer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QTemporaryDir>

#include <json/json.h>

#include <memory>
#include <string>

namespace {

std::string g_teacherAk;
std::string g_studentAk;
std::string g_teacherId;

std::string SignIn(appserver::AppStore& store, const char* loginId, std::string* userId = nullptr)
{
    auto sha1 = [](const QByteArray& text) {
        return QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64();
    };
    const QByteArray salt = "1000";
    const auto user
        = store.checkLogin(loginId, sha1(sha1("123456") + salt).toStdString(), salt.toStdString());
    fuzz::Require(user.has_value(), "demo user signs in");
    if (userId)
        *userId = std::to_string(user->userId);
    return store.createSession(user->userId, 24LL * 3600 * 1000).ak;
}

void ReplaceAll(std::string* text, const std::string& from, const std::string& to)
{
    for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
        text->replace(at, from.size(), to);
}

appserver::AppServer* MakeServer()
{
    // In memory where there is a RAM disk: every request may write to the database. Removed when
    // the run ends.
    static QTemporaryDir folder(QDir(QStringLiteral("/dev/shm")).exists()
            ? QStringLiteral("/dev/shm/lectern-fuzz-XXXXXX")
            : QDir::tempPath() + QStringLiteral("/lectern-fuzz-XXXXXX"));
    appserver::AppServerOptions options;
    options.dbPath = folder.filePath(QStringLiteral("app.db"));
    options.logRequests = false;
    auto* server = new appserver::AppServer(options);
    QString error;
    fuzz::Require(server->open(&error), "database opens");
    server->store().seedDemo();
    g_teacherAk = SignIn(server->store(), "teacher01", &g_teacherId);
    g_studentAk = SignIn(server->store(), "student01");
    return server;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static appserver::AppServer* server = MakeServer();
    std::string body(reinterpret_cast<const char*>(data), size);
    ReplaceAll(&body, "@T@", g_teacherAk);
    ReplaceAll(&body, "@S@", g_studentAk);
    ReplaceAll(&body, "@TI@", g_teacherId);
    const std::string answerText
        = server->answerBody(body.data(), body.size(), "127.0.0.1:8080", "127.0.0.1");

    // Whatever came in, the answer is one JSON-RPC object.
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value answer;
    std::string errors;
    const char* begin = answerText.data();
    fuzz::Require(reader->parse(begin, begin + answerText.size(), &answer, &errors), "answer is JSON");
    // One object per call; a batch gets an array of them (an empty batch one error object).
    const auto isAnswer = [](const Json::Value& one) {
        return one.isObject() && one["jsonrpc"] == "2.0" && one.isMember("result") != one.isMember("error");
    };
    if (answer.isArray()) {
        for (const auto& one : answer)
            fuzz::Require(isAnswer(one), "each batch answer is a JSON-RPC object");
    } else {
        fuzz::Require(isAnswer(answer), "answer is a JSON-RPC object");
    }
    return 0;
}
