#pragma once

#include "AppStore.h"
#include "ClassStore.h"
#include "LoginThrottle.h"

#include "protocol/ClassFacts.h"
#include "protocol/RelayOps.h"

#include <QByteArray>
#include <QString>

#include <json/value.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>

struct MHD_Daemon;

namespace appserver {

struct RpcRequest;
class ServerStats;

struct AppServerOptions {
    QString dbPath;
    QString downloadsDir; // served under /downloads/; empty serves nothing
    QString studentPageDir; // the students' web page, served under /student/; empty serves nothing
    QString publicUrl; // base of "updateUrl"; empty: taken from the request's Host
    // Both set: HTTPS only (PEM, as tlspair::load read them); a plain request on the port fails.
    std::string tlsCertPem;
    std::string tlsKeyPem;
    int64_t sessionTtlMs = 7LL * 24 * 3600 * 1000;
    int64_t userSigTtlSecs = 24 * 3600;
    size_t maxBodyBytes = 1024 * 1024; // counted as it arrives, chunked or not
    int workerThreads = 4; // event loops; a connection costs no thread of its own
    int listenBacklog = 1024; // a class that arrives at once
    int maxConnections = 4096;
    int maxConnectionsPerAddress = 1024; // a whole school may sit behind one address
    int maxDownloadsPerAddress = 16;
    int idleTimeoutSecs = 30; // a connection that sends and reads nothing for this long is closed
    int sendBufferBytes = 256 * 1024; // per connection; see listenSocket()
    int maxHeaderBytes = 32 * 1024; // request line and headers of one request
    int maxHeaderCount = 100;
    int maxSessionsPerUser = 10; // the oldest session ends when a user signs in once more
    LoginLimits login;
    bool logRequests = true;
    std::function<int64_t()> clockMs; // "now"; tests move it to age sessions
    // Lets addresses other than the loopback read /healthz and /metrics ("Authorization: Bearer …");
    // empty: only the loopback may.
    std::string metricsToken;
    // Whether the loopback may read them without the token; not where a proxy on this machine
    // forwards other addresses' requests.
    bool monitoringFromLoopback = true;
    // Told the room of each live that ends, on a worker thread (the relay drops its media room).
    std::function<void(quint32 avRoomId)> liveEnded;
    // Told of each live that begins and ends, with its room and teacher (its recording), on a
    // worker thread.
    std::function<void(int64_t liveId, quint32 avRoomId, int64_t teacherId, bool begun)> liveRecorded;
    // The recordings folder the replays are served from (server/common/ReplayFolder.h); empty: none.
    QString recordingsDir;
};

// The app server: JSON-RPC 2.0 on POST /app-server/jsonrpc/, installer downloads on
// GET/HEAD /downloads/<file> and the students' web page on GET/HEAD /student/, served from
// event-loop threads of its own.
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
    // The live relay's port, told to the students' page (0 until the relay listens).
    void setLivePort(quint16 port) { m_livePort = port; }

    AppStore& store() { return *m_store; }
    // The answer to one POST body (a call or a batch), whatever its bytes.
    std::string answerBody(
        const char* data, size_t size, const std::string& host, const std::string& address);
    // The secret the live relay checks user signatures with.
    QByteArray liveSecret() const { return m_secret; }
    // Whether the relay lets userId host, join or see a room: hosts only the teacher of the room's
    // live, members only whom "live.enter.room" let in, and nobody once the live has ended.
    // 0 or the relay's code to refuse with.
    int roomVerdict(const QString& userId, quint32 roomId, relayop::RoomUse use);
    // Records what the relay saw in a room and counts the quick questions' answers; called on the
    // relay's thread.
    classfacts::Verdict classFact(const classfacts::Fact& fact);
    ClassStore& classes() { return *m_classes; }
    // The user's nickname in the school's records; empty for an unknown user.
    QString nicknameOf(const QString& userId);

    // What the live relay adds to /metrics (Prometheus text) and what keeps it from serving (empty
    // when nothing does); called on worker threads. Set before listen().
    void setRelayMonitor(std::function<std::string()> metrics, std::function<std::string()> problem);
    // Replays waiting or being made, for /metrics; called on worker threads. Set before listen().
    void setReplayQueue(std::function<int()> queued) { m_replayQueue = std::move(queued); }
    // The path and query a replay's file is served under to userId until expirySecs.
    std::string replayFileUrl(
        int64_t liveId, const std::string& file, int64_t userId, int64_t expirySecs) const;
    // Whether a replay file's query (u, e, s) was made by replayFileUrl for liveId and is still good.
    bool replayUrlValid(int64_t liveId, const std::string& userId, const std::string& expiry,
        const std::string& signature) const;
    // The status and body of GET /healthz (200, or 503 with the reason) and GET /metrics.
    std::pair<int, std::string> monitoring(const std::string& path);

    // Compares "<app type>_<x.y...>" versions; nullopt when either is not of that form.
    static std::optional<int> compareVersions(const std::string& a, const std::string& b);

private:
    // One JSON-RPC call on its way through dispatch().
    struct Call {
        std::string method;
        Json::Value params { Json::objectValue };
        std::string host;
        std::optional<UserRecord> user; // set for methods that need a session
        std::string address; // the caller's IP address
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
    Json::Value openLives(Call& call);
    Json::Value createRoom(Call& call);
    Json::Value reportRoomInfo(Call& call);
    Json::Value enterRoom(Call& call);
    Json::Value quitRoom(Call& call);
    Json::Value beginLive(Call& call);
    Json::Value endLive(Call& call);
    Json::Value memberList(Call& call);
    Json::Value memberStatusReport(Call& call);
    Json::Value attendance(Call& call);
    Json::Value replayList(Call& call);

    // The HTTP side (requests, downloads), kept out of this header with the library's types.
    struct Http;
    // Bytes of an over-long body read (and dropped) before the connection is ended instead.
    size_t discardLimit() const { return m_options.maxBodyBytes * 4; }
    std::string answerCall(const RpcRequest& request, const std::string& host, const std::string& address);
    Json::Value dispatch(Call& call);
    void logLine(const std::string& text);

    std::string livePage(
        std::optional<int64_t> teacher, int offset, int limit, int pageNum, std::optional<int64_t> viewer);

    // Answers of live.list.by.teacher.id, valid while the lives version stays the same.
    struct CachedPage {
        int64_t version = -1;
        std::string text;
    };
    std::mutex m_pagesMutex;
    std::map<std::tuple<int64_t, int, int, int, int64_t>, std::shared_ptr<const CachedPage>> m_pages;

    AppServerOptions m_options;
    std::unique_ptr<ServerStats> m_stats;
    std::function<std::string()> m_relayMetrics;
    std::function<std::string()> m_relayProblem;
    std::function<int()> m_replayQueue;
    // The recordings folder as last read: every lobby asks for the replays every few seconds.
    struct ReplayScan;
    std::mutex m_replayScanMutex;
    std::shared_ptr<const ReplayScan> m_replayScan;
    std::unique_ptr<AppStore> m_store;
    std::unique_ptr<ClassStore> m_classes;
    LoginThrottle m_logins;
    MHD_Daemon* m_daemon = nullptr;
    std::mutex m_downloadsMutex;
    std::unordered_map<std::string, int> m_downloadsByAddress;
    QByteArray m_secret;
    quint16 m_port = 0;
    std::atomic<quint16> m_livePort { 0 };
};

} // namespace appserver
