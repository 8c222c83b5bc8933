#pragma once

#include "protocol/AppApi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace SQLite {
class Database;
}

namespace appserver {

// Codes of the JSON-RPC "error" object, shared with the clients.
namespace ErrorCode = appapi::ErrorCode;

// A refusal that reaches the caller as {"code", "message"}; messages are shown to teachers.
struct AppError : std::runtime_error {
    AppError(int code, const std::string& message)
        : std::runtime_error(message)
        , code(code)
    {
    }
    int code;
};

struct UserRecord {
    int64_t userId = 0;
    std::string loginId;
    std::string nickname;
    std::string role; // "t" teacher, "s" student
};

struct LiveRecord {
    int64_t liveId = 0;
    int64_t teacherId = 0;
    std::string title;
    std::string remark;
    int64_t startMs = 0;
    int64_t endMs = 0;
    std::string state; // "v"/"s" not started, "i" in progress, "e" ended
    std::optional<int64_t> avRoomId;
};

struct MemberRecord {
    int64_t userId = 0;
    std::string nickname;
    std::string role;
    std::string status; // "1" on the microphone
};

struct ClientRelease {
    std::string version;
    std::string fileName;
};

struct Session {
    std::string ak;
    int64_t expiresMs = 0;
};

// All persistent state of the app server in one SQLite file. Every public call is safe from
// any thread: reads use pooled connections, writes are serialised and run in one transaction.
class AppStore {
public:
    static constexpr int kSchemaVersion = 2;

    // clockMs gives "now" in ms since the epoch; tests pass their own to age sessions.
    AppStore(std::string path, std::function<int64_t()> clockMs);
    ~AppStore();
    AppStore(const AppStore&) = delete;
    AppStore& operator=(const AppStore&) = delete;

    // Creates or upgrades the schema and the relay secret; throws std::runtime_error.
    void open();
    // Set by open() when an existing database file is open to other users; empty otherwise.
    const std::string& exposureWarning() const { return m_exposure; }
    const std::string& path() const { return m_path; }
    int64_t nowMs() const { return m_clockMs(); }

    // Sign-in. checkLogin takes the client's Sha1Base64(Sha1Base64(password) + salt).
    std::optional<UserRecord> checkLogin(
        const std::string& loginId, const std::string& saltedPassword, const std::string& salt);
    // Ends the user's oldest sessions beyond maxPerUser, and every expired one.
    Session createSession(int64_t userId, int64_t ttlMs, int maxPerUser = 10);
    int sessionCount(int64_t userId);
    std::optional<UserRecord> sessionUser(const std::string& ak);
    std::optional<UserRecord> userById(int64_t userId);

    // Lives and rooms; each throws AppError for what the caller may not do.
    // nullopt lists every teacher's lives. With a viewer, lives whose roster leaves it out are not
    // listed.
    std::vector<LiveRecord> livesOfTeacher(std::optional<int64_t> teacherId, int offset, int limit,
        int* total, int64_t* version = nullptr, std::optional<int64_t> viewer = std::nullopt);
    // Changes whenever any live changes, also when another process changed it.
    int64_t livesVersion();
    // Lives whose room its teacher has entered (and not left) and that have not ended, running ones
    // first, with each teacher's nickname; at most limit of them, and only those the viewer may visit
    // (no roster, or it teaches the live or is on its roster).
    std::vector<std::pair<LiveRecord, std::string>> openLives(int limit, int64_t viewer);
    int64_t createRoom(int64_t callerId, int64_t liveId);
    void reportRoom(int64_t callerId, int64_t liveId, int videoType, int device);
    void enterRoom(int64_t userId, int64_t avRoomId, int liveRole);
    void quitRoom(int64_t userId, int64_t avRoomId);
    void beginLive(int64_t callerId, int64_t liveId);
    void endLive(int64_t callerId, int64_t liveId);
    std::vector<MemberRecord> members(int64_t callerId, int64_t liveId, int offset, int limit, int* total);
    void setMemberStatus(int64_t callerId, int64_t liveId, int64_t userId, bool on);
    std::optional<LiveRecord> live(int64_t liveId);
    std::optional<LiveRecord> liveByRoom(int64_t avRoomId);
    // Whether userId may watch the live's replay: its teacher, and the students its roster admits
    // (everyone when it has none).
    bool mayWatch(int64_t liveId, int64_t userId);
    // When "live.end" ended the live; nullopt while it has not.
    std::optional<int64_t> endedMs(int64_t liveId);
    // What the live relay needs to know to let a user host or join a room.
    struct RoomAccess {
        bool exists = false; // some live has this room
        bool ended = false;
        int64_t teacherId = 0;
        bool member = false; // "live.enter.room" let the user in and it has not quit since
        bool mayVisit = false; // the live has no roster, or the user teaches it or is on it
    };
    RoomAccess roomAccess(int64_t avRoomId, int64_t userId);

    // Client releases.
    std::optional<ClientRelease> newestRelease();
    void setNewestRelease(const ClientRelease& release);

    // The secret shared with the live relay, made once and kept.
    std::string liveSecret();

    // Administration.
    int64_t addUser(const std::string& loginId, const std::string& password, const std::string& nickname,
        const std::string& role);
    std::vector<UserRecord> users();
    int64_t addLive(const std::string& teacherLoginId, const std::string& title, const std::string& remark,
        int64_t startMs, int64_t endMs);
    std::vector<LiveRecord> allLives();
    // Class rosters by login; all or nothing, AppError for an unknown live or login.
    void setOnRoster(int64_t liveId, const std::vector<std::string>& loginIds, bool on);
    std::vector<UserRecord> roster(int64_t liveId);
    // Seeds the demo school once; returns false when it was already there.
    bool seedDemo();

    // Lives begun and not ended; also how monitoring learns that the database answers (throws).
    int livesInProgress();

private:
    struct Conn;
    class Lease;
    friend class Lease;

    std::unique_ptr<Conn> connect();
    Lease lease();
    template <typename Fn> auto write(Fn&& fn);
    void prepareFile();
    void createSchema(SQLite::Database& db, int fromVersion);
    LiveRecord ownLive(Conn& c, int64_t callerId, int64_t liveId);
    bool mayVisit(Conn& c, int64_t avRoomId, int64_t userId);
    std::optional<LiveRecord> liveIn(Conn& c, int64_t liveId);
    std::string metaValue(Conn& c, const char* key);

    std::string m_path;
    std::function<int64_t()> m_clockMs;
    std::mutex m_poolMutex;
    std::vector<std::unique_ptr<Conn>> m_idle;
    std::mutex m_writeMutex; // one writer at a time inside this process
    int64_t m_lastPurgeMs = 0; // of expired sessions; guarded by m_writeMutex
    std::string m_exposure;
};

} // namespace appserver
