#pragma once

#include "AppStore.h"

#include <QByteArray>
#include <QString>

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace appserver {

struct AppServerOptions {
    QString dbPath;
    QString downloadsDir; // served under /downloads/; empty serves nothing
    QString publicUrl; // base of "updateUrl"; empty: taken from the request's Host
    int64_t sessionTtlMs = 7LL * 24 * 3600 * 1000;
    int64_t userSigTtlSecs = 24 * 3600;
    size_t maxBodyBytes = 1024 * 1024;
    int workerThreads = 8;
    bool logRequests = true;
    std::function<int64_t()> clockMs; // "now"; tests move it to age sessions
};

// The app server: JSON-RPC 2.0 on POST /app-server/jsonrpc/ and installer downloads on
// GET/HEAD /downloads/<file>, served from worker threads of its own.
class AppServer {
public:
    static constexpr const char* kRpcPath = "/app-server/jsonrpc/";

    explicit AppServer(AppServerOptions options);
    ~AppServer();
    AppServer(const AppServer&) = delete;
    AppServer& operator=(const AppServer&) = delete;

    // Opens (and if needed creates) the database; false with a reason on failure.
    bool open(QString* error);
    // Binds (port 0 picks a free one) and starts serving in the background.
    bool listen(const QString& host, quint16 port, QString* error);
    quint16 port() const { return m_port; }
    void stop();

    AppStore& store() { return *m_store; }
    // The secret the live relay checks user signatures with.
    QByteArray liveSecret() const { return m_secret; }

    // Compares "<app type>_<x.y...>" versions; nullopt when either is not of that form.
    static std::optional<int> compareVersions(const std::string& a, const std::string& b);

private:
    // One JSON-RPC call on its way through dispatch().
    struct Call {
        std::string method;
        Json::Value params { Json::objectValue };
        std::string host;
        std::optional<UserRecord> user; // set for methods that need a session
        std::string who = "-"; // for the log line
        std::string rawResult; // a result already written as JSON text
    };
    struct Method {
        const char* name;
        bool needsSession;
        Json::Value (AppServer::*handler)(Call&);
    };
    static const Method kMethods[];

    Json::Value login(Call& call);
    Json::Value versionCheck(Call& call);
    Json::Value createUserSig(Call& call);
    Json::Value liveList(Call& call);
    Json::Value createRoom(Call& call);
    Json::Value reportRoomInfo(Call& call);
    Json::Value enterRoom(Call& call);
    Json::Value quitRoom(Call& call);
    Json::Value beginLive(Call& call);
    Json::Value endLive(Call& call);
    Json::Value memberList(Call& call);
    Json::Value memberStatusReport(Call& call);

    void handleRpc(const httplib::Request& req, httplib::Response& res);
    void handleDownload(const httplib::Request& req, httplib::Response& res);
    Json::Value dispatch(Call& call);
    void logLine(const std::string& text);

    std::string livePage(std::optional<int64_t> teacher, int offset, int limit, int pageNum);

    // Answers of live.list.by.teacher.id, valid while the lives version stays the same.
    struct CachedPage {
        int64_t version = -1;
        std::string text;
    };
    std::mutex m_pagesMutex;
    std::map<std::tuple<int64_t, int, int, int>, std::shared_ptr<const CachedPage>> m_pages;

    AppServerOptions m_options;
    std::unique_ptr<AppStore> m_store;
    std::unique_ptr<httplib::Server> m_http;
    std::thread m_thread;
    QByteArray m_secret;
    quint16 m_port = 0;
};

} // namespace appserver
