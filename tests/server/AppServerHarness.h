#pragma once

#include "app/AppServer.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>
#include <json/json.h>

#include <atomic>
#include <memory>
#include <string>

// An app server on a loopback port over a database in a temporary folder, with a clock the
// test can move, and a plain HTTP client to talk JSON-RPC to it.
class AppServerHarness {
public:
    explicit AppServerHarness(bool logRequests = false) : m_logRequests(logRequests)
    {
        QDir(m_dir.path()).mkpath(QStringLiteral("downloads"));
        start();
    }

    void start()
    {
        appserver::AppServerOptions o;
        o.dbPath = dbPath();
        o.downloadsDir = downloads();
        o.logRequests = m_logRequests;
        o.clockMs = [this] { return QDateTime::currentMSecsSinceEpoch() + m_clockShiftMs.load(); };
        server = std::make_unique<appserver::AppServer>(o);
        QString error;
        if (!server->listen(QStringLiteral("127.0.0.1"), 0, &error))
            qFatal("app server did not start: %s", qPrintable(error));
    }

    QString dbPath() const { return m_dir.filePath(QStringLiteral("lectern.db")); }
    QString downloads() const { return m_dir.filePath(QStringLiteral("downloads")); }
    appserver::AppStore& store() { return server->store(); }
    void shiftClock(int64_t ms) { m_clockShiftMs += ms; }

    std::unique_ptr<httplib::Client> client() const
    {
        auto c = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        c->set_read_timeout(10, 0);
        return c;
    }

    // Posts raw text; returns the HTTP status and fills the parsed answer.
    int post(const std::string& body, Json::Value* answer) const
    {
        auto res = client()->Post(appserver::AppServer::kRpcPath, body, "application/json");
        *answer = Json::Value();
        if (!res)
            return -1;
        std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
        reader->parse(res->body.data(), res->body.data() + res->body.size(), answer, nullptr);
        return res->status;
    }

    // One call as the client makes it; returns the whole answer object.
    Json::Value call(const std::string& method, Json::Value params, const std::string& ak) const
    {
        params["ak"] = ak;
        params["channel"] = "PC";
        params["clientVersion"] = "rided4a_win_1.0";
        params["appType"] = "rided4a_win";
        Json::Value envelope(Json::objectValue);
        envelope["jsonrpc"] = "2.0";
        envelope["method"] = method;
        envelope["params"] = params;
        Json::Value answer;
        if (const int status = post(Json::writeString(Json::StreamWriterBuilder(), envelope), &answer); status != 200)
            qWarning("HTTP %d for %s", status, method.c_str());
        return answer;
    }

    static QString sha1Base64(const QByteArray& text)
    {
        return QString::fromLatin1(QCryptographicHash::hash(text, QCryptographicHash::Sha1).toBase64());
    }

    Json::Value login(const std::string& loginId, const QString& password, const QString& salt = QStringLiteral("4321")) const
    {
        Json::Value p(Json::objectValue);
        p["loginId"] = loginId;
        p["saltedPassword"] = sha1Base64((sha1Base64(password.toUtf8()) + salt).toUtf8()).toStdString();
        p["salt"] = salt.toStdString();
        return call("user.login", p, std::string());
    }

    // Signs in and returns the ak; empty when refused, which later calls then report.
    std::string ak(const std::string& loginId) const { return login(loginId, QStringLiteral("123456"))["result"]["ak"].asString(); }

    std::unique_ptr<appserver::AppServer> server;

private:
    QTemporaryDir m_dir;
    bool m_logRequests;
    std::atomic<int64_t> m_clockShiftMs{0};
};

inline int errorCode(const Json::Value& answer)
{
    return answer.isMember("error") && !answer["error"].isNull() ? answer["error"]["code"].asInt() : 0;
}
