#include "AppStore.h"

#include "protocol/LoginHash.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QRandomGenerator>
#include <QTime>

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <unordered_map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace appserver {

namespace {

    std::string passwordDigest(const std::string& password)
    {
        return loginhash::sha1Base64(QByteArray::fromStdString(password)).toStdString();
    }

    // Sessions are stored by digest so that a copy of the database holds no usable ak.
    std::string akDigest(const std::string& ak)
    {
        return QCryptographicHash::hash(QByteArray::fromStdString(ak), QCryptographicHash::Sha256)
            .toHex()
            .toStdString();
    }

    std::string randomHex(int bytes)
    {
        QByteArray raw(bytes, Qt::Uninitialized);
        QRandomGenerator::system()->generate(raw.begin(), raw.end());
        return raw.toHex().toStdString();
    }

    bool sameText(const std::string& a, const std::string& b)
    {
        if (a.size() != b.size())
            return false;
        unsigned char diff = 0;
        for (size_t i = 0; i < a.size(); ++i)
            diff |= static_cast<unsigned char>(a[i] ^ b[i]);
        return diff == 0;
    }

    const char* const kSchemaV1[] = {
        "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)",
        "CREATE TABLE users(user_id INTEGER PRIMARY KEY, login_id TEXT NOT NULL UNIQUE, nickname TEXT NOT "
        "NULL,"
        " role TEXT NOT NULL CHECK(role IN ('t','s')), password_digest TEXT NOT NULL, created_ms INTEGER NOT "
        "NULL)",
        "CREATE TABLE lives(live_id INTEGER PRIMARY KEY, teacher_id INTEGER NOT NULL REFERENCES "
        "users(user_id),"
        " title TEXT NOT NULL, remark TEXT NOT NULL DEFAULT '', start_ms INTEGER NOT NULL, end_ms INTEGER "
        "NOT NULL,"
        " state TEXT NOT NULL DEFAULT 'v' CHECK(state IN ('v','s','i','e')), av_room_id INTEGER UNIQUE,"
        " video_type INTEGER, device INTEGER, reported_ms INTEGER, begun_ms INTEGER, ended_ms INTEGER)",
        "CREATE INDEX lives_by_teacher ON lives(teacher_id, start_ms)",
        "CREATE TABLE members(av_room_id INTEGER NOT NULL, user_id INTEGER NOT NULL REFERENCES "
        "users(user_id),"
        " live_role INTEGER NOT NULL, status TEXT NOT NULL DEFAULT '0' CHECK(status IN ('0','1')),"
        " joined_ms INTEGER NOT NULL, PRIMARY KEY(av_room_id, user_id)) WITHOUT ROWID",
        "CREATE TABLE sessions(ak_digest TEXT PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES "
        "users(user_id),"
        " expires_ms INTEGER NOT NULL) WITHOUT ROWID",
        "CREATE INDEX sessions_by_expiry ON sessions(expires_ms)",
        // Bumped by every change to lives, whoever makes it, so cached list answers know they are stale.
        "INSERT INTO meta(key, value) VALUES('lives_version', '0')",
        "CREATE TRIGGER lives_inserted AFTER INSERT ON lives BEGIN"
        " UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'lives_version'; END",
        "CREATE TRIGGER lives_updated AFTER UPDATE ON lives BEGIN"
        " UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'lives_version'; END",
        "CREATE TRIGGER lives_deleted AFTER DELETE ON lives BEGIN"
        " UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'lives_version'; END",
    };

    // Class rosters: a live with any row here is for its teacher and these users only.
    const char* const kSchemaV2[] = {
        "CREATE TABLE roster(live_id INTEGER NOT NULL REFERENCES lives(live_id), user_id INTEGER NOT NULL"
        " REFERENCES users(user_id), PRIMARY KEY(live_id, user_id)) WITHOUT ROWID",
        "CREATE TRIGGER roster_inserted AFTER INSERT ON roster BEGIN"
        " UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'lives_version'; END",
        "CREATE TRIGGER roster_deleted AFTER DELETE ON roster BEGIN"
        " UPDATE meta SET value = CAST(value AS INTEGER) + 1 WHERE key = 'lives_version'; END",
    };

    // Whether :viewer may see the live l: it has no roster, or :viewer teaches it or is on it.
    const char* const kMayVisit = "(NOT EXISTS(SELECT 1 FROM roster r WHERE r.live_id = l.live_id)"
                                  " OR l.teacher_id = :viewer OR EXISTS(SELECT 1 FROM roster r"
                                  " WHERE r.live_id = l.live_id AND r.user_id = :viewer))";

    constexpr int64_t kFirstUserId = 10001;
    constexpr int64_t kFirstRoomId = 100001;

    LiveRecord readLive(SQLite::Statement& s)
    {
        LiveRecord r;
        r.liveId = s.getColumn(0).getInt64();
        r.teacherId = s.getColumn(1).getInt64();
        r.title = s.getColumn(2).getString();
        r.remark = s.getColumn(3).getString();
        r.startMs = s.getColumn(4).getInt64();
        r.endMs = s.getColumn(5).getInt64();
        r.state = s.getColumn(6).getString();
        if (!s.isColumnNull(7))
            r.avRoomId = s.getColumn(7).getInt64();
        return r;
    }

    UserRecord readUser(SQLite::Statement& s)
    {
        UserRecord u;
        u.userId = s.getColumn(0).getInt64();
        u.loginId = s.getColumn(1).getString();
        u.nickname = s.getColumn(2).getString();
        u.role = s.getColumn(3).getString();
        return u;
    }

} // namespace

// One connection with its prepared statements; used by one thread at a time.
struct AppStore::Conn {
    explicit Conn(const std::string& path)
        : db(path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOMUTEX, 5000)
    {
        db.exec("PRAGMA foreign_keys=ON");
        db.exec("PRAGMA synchronous=NORMAL");
    }

    // A cached statement, reset when the guard goes so no read snapshot stays open.
    class Query {
    public:
        explicit Query(SQLite::Statement& s)
            : m_s(s)
        {
        }
        ~Query() { m_s.tryReset(); }
        SQLite::Statement* operator->() { return &m_s; }
        SQLite::Statement& operator*() { return m_s; }

    private:
        SQLite::Statement& m_s;
    };

    Query q(const char* sql)
    {
        auto& slot = stmts[sql];
        if (!slot)
            slot = std::make_unique<SQLite::Statement>(db, sql);
        return Query(*slot);
    }

    SQLite::Database db;
    std::unordered_map<std::string, std::unique_ptr<SQLite::Statement>> stmts;
};

class AppStore::Lease {
public:
    Lease(AppStore& store, std::unique_ptr<Conn> conn)
        : m_store(store)
        , m_conn(std::move(conn))
    {
    }
    Lease(Lease&& other) noexcept = default;
    ~Lease()
    {
        if (!m_conn)
            return;
        std::lock_guard<std::mutex> g(m_store.m_poolMutex);
        m_store.m_idle.push_back(std::move(m_conn));
    }
    Conn* operator->() { return m_conn.get(); }
    Conn& operator*() { return *m_conn; }

private:
    AppStore& m_store;
    std::unique_ptr<Conn> m_conn;
};

AppStore::AppStore(std::string path, std::function<int64_t()> clockMs)
    : m_path(std::move(path))
    , m_clockMs(std::move(clockMs))
{
    if (!m_clockMs)
        m_clockMs = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

AppStore::~AppStore() = default;

std::unique_ptr<AppStore::Conn> AppStore::connect()
{
    return std::make_unique<Conn>(m_path);
}

AppStore::Lease AppStore::lease()
{
    {
        std::lock_guard<std::mutex> g(m_poolMutex);
        if (!m_idle.empty()) {
            std::unique_ptr<Conn> c = std::move(m_idle.back());
            m_idle.pop_back();
            return Lease(*this, std::move(c));
        }
    }
    return Lease(*this, connect());
}

// Runs fn(conn) in one IMMEDIATE transaction: taking the write lock up front avoids the
// deadlock of two readers that both want to upgrade.
template <typename Fn> auto AppStore::write(Fn&& fn)
{
    std::lock_guard<std::mutex> g(m_writeMutex);
    Lease c = lease();
    SQLite::Transaction tx(c->db, SQLite::TransactionBehavior::IMMEDIATE);
    if constexpr (std::is_void_v<decltype(fn(*c))>) {
        fn(*c);
        tx.commit();
    } else {
        auto result = fn(*c);
        tx.commit();
        return result;
    }
}

// The file holds password digests and the relay's secret. SQLite gives its -wal and -shm the
// database file's mode, so making the file owner-only first covers all three.
void AppStore::prepareFile()
{
    struct stat st = {};
    if (::stat(m_path.c_str(), &st) == 0) {
        if (st.st_mode & (S_IRWXG | S_IRWXO))
            m_exposure = "the database " + m_path + " is readable by other users (mode "
                + QByteArray::number(st.st_mode & 07777, 8).toStdString()
                + "); it holds password digests: chmod 600 it";
        return;
    }
    const int fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EEXIST)
        throw std::runtime_error("cannot create database " + m_path + ": " + std::strerror(errno));
    if (fd >= 0) {
        ::fchmod(fd, 0600); // whatever the umask
        ::close(fd);
    }
}

void AppStore::open()
{
    prepareFile();
    try {
        std::lock_guard<std::mutex> g(m_writeMutex);
        auto c = lease();
        c->db.exec("PRAGMA journal_mode=WAL");
        const int version = c->db.execAndGet("PRAGMA user_version").getInt();
        if (version > kSchemaVersion)
            throw std::runtime_error("the database was written by a newer lectern-server (schema "
                + std::to_string(version) + ")");
        if (version < kSchemaVersion) {
            SQLite::Transaction tx(c->db, SQLite::TransactionBehavior::IMMEDIATE);
            createSchema(c->db, version);
            tx.commit();
        }
        SQLite::Transaction tx(c->db, SQLite::TransactionBehavior::IMMEDIATE);
        c->db.exec("CREATE INDEX IF NOT EXISTS sessions_by_user ON sessions(user_id, expires_ms)");
        if (metaValue(*c, "live_secret").empty()) {
            auto q = c->q("INSERT INTO meta(key, value) VALUES('live_secret', ?)");
            q->bind(1, randomHex(32));
            q->exec();
        }
        tx.commit();
    } catch (const SQLite::Exception& e) {
        throw std::runtime_error(std::string("cannot open database ") + m_path + ": " + e.what());
    }
}

void AppStore::createSchema(SQLite::Database& db, int fromVersion)
{
    if (fromVersion < 1)
        for (const char* sql : kSchemaV1)
            db.exec(sql);
    for (const char* sql : kSchemaV2)
        db.exec(sql);
    db.exec("PRAGMA user_version=" + std::to_string(kSchemaVersion));
}

std::string AppStore::metaValue(Conn& c, const char* key)
{
    auto q = c.q("SELECT value FROM meta WHERE key = ?");
    q->bind(1, key);
    return q->executeStep() ? q->getColumn(0).getString() : std::string();
}

std::optional<UserRecord> AppStore::checkLogin(
    const std::string& loginId, const std::string& saltedPassword, const std::string& salt)
{
    auto c = lease();
    std::optional<UserRecord> user;
    // Unknown users are checked against a dummy digest so that timing does not tell them apart.
    std::string digest = passwordDigest("no such user");
    {
        auto q
            = c->q("SELECT user_id, login_id, nickname, role, password_digest FROM users WHERE login_id = ?");
        q->bind(1, loginId);
        if (q->executeStep()) {
            user = readUser(*q);
            digest = q->getColumn(4).getString();
        }
    }
    const bool match = sameText(
        loginhash::salted(QByteArray::fromStdString(digest), QByteArray::fromStdString(salt)).toStdString(),
        saltedPassword);
    if (!user || !match)
        return std::nullopt;
    return user;
}

Session AppStore::createSession(int64_t userId, int64_t ttlMs, int maxPerUser)
{
    Session s;
    s.ak = randomHex(24);
    s.expiresMs = nowMs() + ttlMs;
    const std::string digest = akDigest(s.ak);
    write([&](Conn& c) {
        // Expired sessions are refused when used; clearing them out once a second is enough.
        const int64_t now = nowMs();
        if (now - m_lastPurgeMs >= 1000 || now < m_lastPurgeMs) {
            auto purge = c.q("DELETE FROM sessions WHERE expires_ms <= ?");
            purge->bind(1, now);
            purge->exec();
            m_lastPurgeMs = now;
        }
        auto q = c.q("INSERT INTO sessions(ak_digest, user_id, expires_ms) VALUES(?, ?, ?)");
        q->bind(1, digest);
        q->bind(2, userId);
        q->bind(3, s.expiresMs);
        q->exec();
        // The new session stays whatever the clock says; of the others the latest to expire stay.
        // The cut is the first of the others past the cap, found by walking sessions_by_user
        // (user_id, expires_ms, ak_digest) backwards: no temporary table per login.
        if (maxPerUser <= 1) {
            auto all = c.q("DELETE FROM sessions WHERE user_id = ? AND ak_digest != ?");
            all->bind(1, userId);
            all->bind(2, digest);
            all->exec();
            return;
        }
        auto cap
            = c.q("DELETE FROM sessions WHERE user_id = ?1 AND ak_digest != ?3 AND (expires_ms, ak_digest) <="
                  " (SELECT expires_ms, ak_digest FROM sessions WHERE user_id = ?1 AND ak_digest != ?3"
                  " ORDER BY expires_ms DESC, ak_digest DESC LIMIT 1 OFFSET ?2)");
        cap->bind(1, userId);
        cap->bind(2, maxPerUser - 1);
        cap->bind(3, digest);
        cap->exec();
    });
    return s;
}

int AppStore::sessionCount(int64_t userId)
{
    auto c = lease();
    auto q = c->q("SELECT COUNT(*) FROM sessions WHERE user_id = ?");
    q->bind(1, userId);
    q->executeStep();
    return q->getColumn(0).getInt();
}

AppStore::RoomAccess AppStore::roomAccess(int64_t avRoomId, int64_t userId)
{
    auto c = lease();
    SQLite::Transaction snapshot(c->db);
    RoomAccess a;
    {
        auto q = c->q("SELECT teacher_id, state FROM lives WHERE av_room_id = ?");
        q->bind(1, avRoomId);
        if (!q->executeStep())
            return a;
        a.exists = true;
        a.teacherId = q->getColumn(0).getInt64();
        a.ended = q->getColumn(1).getString() == "e";
    }
    {
        auto q = c->q("SELECT 1 FROM members WHERE av_room_id = ? AND user_id = ?");
        q->bind(1, avRoomId);
        q->bind(2, userId);
        a.member = q->executeStep();
    }
    a.mayVisit = mayVisit(*c, avRoomId, userId);
    return a;
}

bool AppStore::mayVisit(Conn& c, int64_t avRoomId, int64_t userId)
{
    static const std::string sql
        = std::string("SELECT 1 FROM lives l WHERE l.av_room_id = :room AND ") + kMayVisit;
    auto q = c.q(sql.c_str());
    q->bind(":room", avRoomId);
    q->bind(":viewer", userId);
    return q->executeStep();
}

std::optional<UserRecord> AppStore::sessionUser(const std::string& ak)
{
    if (ak.empty())
        return std::nullopt;
    auto c = lease();
    auto q = c->q("SELECT u.user_id, u.login_id, u.nickname, u.role FROM sessions s"
                  " JOIN users u ON u.user_id = s.user_id WHERE s.ak_digest = ? AND s.expires_ms > ?");
    q->bind(1, akDigest(ak));
    q->bind(2, nowMs());
    if (!q->executeStep())
        return std::nullopt;
    return readUser(*q);
}

std::optional<UserRecord> AppStore::userById(int64_t userId)
{
    auto c = lease();
    auto q = c->q("SELECT user_id, login_id, nickname, role FROM users WHERE user_id = ?");
    q->bind(1, userId);
    if (!q->executeStep())
        return std::nullopt;
    return readUser(*q);
}

int64_t AppStore::livesVersion()
{
    auto c = lease();
    return std::stoll("0" + metaValue(*c, "lives_version"));
}

int AppStore::livesInProgress()
{
    auto c = lease();
    auto q = c->q("SELECT count(*) FROM lives WHERE state = 'i'");
    q->executeStep();
    return q->getColumn(0).getInt();
}

std::vector<LiveRecord> AppStore::livesOfTeacher(std::optional<int64_t> teacherId, int offset, int limit,
    int* total, int64_t* version, std::optional<int64_t> viewer)
{
    auto c = lease();
    SQLite::Transaction snapshot(c->db); // count, page and version from the same state
    if (version)
        *version = std::stoll("0" + metaValue(*c, "lives_version"));
    // Named parameters throughout: a name after ?1 would share a number with ?2.
    static const std::string where = std::string(" WHERE (:teacher IS NULL OR l.teacher_id = :teacher)"
                                                 " AND (:viewer IS NULL OR ")
        + kMayVisit + ")";
    static const std::string countSql = "SELECT COUNT(*) FROM lives l" + where;
    static const std::string pageSql
        = "SELECT live_id, teacher_id, title, remark, start_ms, end_ms, state, av_room_id FROM lives l"
        + where
        + " ORDER BY CASE state WHEN 'i' THEN 0 WHEN 'e' THEN 2 ELSE 1 END,"
          " CASE WHEN state = 'e' THEN -start_ms ELSE start_ms END, live_id LIMIT :limit OFFSET :offset";
    const auto bindWho = [&](SQLite::Statement& q) {
        if (teacherId)
            q.bind(":teacher", *teacherId);
        else
            q.bind(":teacher");
        if (viewer)
            q.bind(":viewer", *viewer);
        else
            q.bind(":viewer");
    };
    {
        auto q = c->q(countSql.c_str());
        bindWho(*q);
        q->executeStep();
        *total = q->getColumn(0).getInt();
    }
    // Classes running now first, then the coming ones soonest first, then the past ones latest first.
    auto q = c->q(pageSql.c_str());
    bindWho(*q);
    q->bind(":limit", limit);
    q->bind(":offset", offset);
    std::vector<LiveRecord> out;
    out.reserve(static_cast<size_t>(std::min(limit, *total)));
    while (q->executeStep())
        out.push_back(readLive(*q));
    return out;
}

std::vector<std::pair<LiveRecord, std::string>> AppStore::openLives(int limit, int64_t viewer)
{
    auto c = lease();
    static const std::string sql
        = std::string("SELECT l.live_id, l.teacher_id, l.title, l.remark, l.start_ms, l.end_ms, l.state,"
                      " l.av_room_id, u.nickname FROM lives l JOIN users u ON u.user_id = l.teacher_id"
                      " JOIN members m ON m.av_room_id = l.av_room_id AND m.user_id = l.teacher_id AND"
                      " m.live_role = 1 WHERE l.state <> 'e' AND ")
        + kMayVisit + " ORDER BY CASE l.state WHEN 'i' THEN 0 ELSE 1 END, l.start_ms, l.live_id LIMIT :limit";
    auto q = c->q(sql.c_str());
    q->bind(":viewer", viewer);
    q->bind(":limit", limit);
    std::vector<std::pair<LiveRecord, std::string>> out;
    while (q->executeStep())
        out.emplace_back(readLive(*q), q->getColumn(8).getString());
    return out;
}

std::optional<LiveRecord> AppStore::liveIn(Conn& c, int64_t liveId)
{
    auto q = c.q("SELECT live_id, teacher_id, title, remark, start_ms, end_ms, state, av_room_id FROM lives"
                 " WHERE live_id = ?");
    q->bind(1, liveId);
    if (!q->executeStep())
        return std::nullopt;
    return readLive(*q);
}

std::optional<LiveRecord> AppStore::live(int64_t liveId)
{
    auto c = lease();
    return liveIn(*c, liveId);
}

std::optional<LiveRecord> AppStore::liveByRoom(int64_t avRoomId)
{
    auto c = lease();
    auto q = c->q("SELECT live_id, teacher_id, title, remark, start_ms, end_ms, state, av_room_id FROM lives"
                  " WHERE av_room_id = ?");
    q->bind(1, avRoomId);
    if (!q->executeStep())
        return std::nullopt;
    return readLive(*q);
}

std::optional<int64_t> AppStore::endedMs(int64_t liveId)
{
    auto c = lease();
    auto q = c->q("SELECT ended_ms FROM lives WHERE live_id = ? AND state = 'e' AND ended_ms IS NOT NULL");
    q->bind(1, liveId);
    if (!q->executeStep())
        return std::nullopt;
    return q->getColumn(0).getInt64();
}

bool AppStore::mayWatch(int64_t liveId, int64_t userId)
{
    static const std::string sql
        = std::string("SELECT 1 FROM lives l WHERE l.live_id = :live AND ") + kMayVisit;
    auto c = lease();
    auto q = c->q(sql.c_str());
    q->bind(":live", liveId);
    q->bind(":viewer", userId);
    return q->executeStep();
}

LiveRecord AppStore::ownLive(Conn& c, int64_t callerId, int64_t liveId)
{
    std::optional<LiveRecord> l = liveIn(c, liveId);
    if (!l)
        throw AppError(ErrorCode::LiveNotFound, "直播不存在");
    if (l->teacherId != callerId)
        throw AppError(ErrorCode::NotYourLive, "没有权限操作该直播");
    return *l;
}

int64_t AppStore::createRoom(int64_t callerId, int64_t liveId)
{
    return write([&](Conn& c) -> int64_t {
        const LiveRecord l = ownLive(c, callerId, liveId);
        if (l.avRoomId)
            return *l.avRoomId;
        if (l.state == "e")
            throw AppError(ErrorCode::LiveEnded, "直播已结束");
        int64_t room = kFirstRoomId;
        {
            auto q = c.q("SELECT MAX(av_room_id) FROM lives");
            if (q->executeStep() && !q->isColumnNull(0))
                room = q->getColumn(0).getInt64() + 1;
        }
        auto q = c.q("UPDATE lives SET av_room_id = ?, state = CASE state WHEN 'v' THEN 's' ELSE state END"
                     " WHERE live_id = ?");
        q->bind(1, room);
        q->bind(2, liveId);
        q->exec();
        return room;
    });
}

void AppStore::reportRoom(int64_t callerId, int64_t liveId, int videoType, int device)
{
    write([&](Conn& c) {
        const LiveRecord l = ownLive(c, callerId, liveId);
        if (!l.avRoomId)
            throw AppError(ErrorCode::NoRoomYet, "直播尚未创建房间");
        if (l.state == "e")
            throw AppError(ErrorCode::LiveEnded, "直播已结束");
        auto q = c.q("UPDATE lives SET video_type = ?, device = ?, reported_ms = ? WHERE live_id = ?");
        q->bind(1, videoType);
        q->bind(2, device);
        q->bind(3, nowMs());
        q->bind(4, liveId);
        q->exec();
    });
}

namespace {
    std::optional<LiveRecord> liveOfRoom(SQLite::Statement& s)
    {
        if (!s.executeStep())
            return std::nullopt;
        return readLive(s);
    }
} // namespace

void AppStore::enterRoom(int64_t userId, int64_t avRoomId, int liveRole)
{
    write([&](Conn& c) {
        std::optional<LiveRecord> l;
        {
            auto q = c.q(
                "SELECT live_id, teacher_id, title, remark, start_ms, end_ms, state, av_room_id FROM lives"
                " WHERE av_room_id = ?");
            q->bind(1, avRoomId);
            l = liveOfRoom(*q);
        }
        if (!l)
            throw AppError(ErrorCode::RoomNotFound, "房间不存在");
        if (liveRole == 1 && l->teacherId != userId)
            throw AppError(ErrorCode::NotYourLive, "没有权限进入该直播");
        if (l->state == "e")
            throw AppError(ErrorCode::LiveEnded, "直播已结束");
        if (!mayVisit(c, avRoomId, userId))
            throw AppError(ErrorCode::NotOnRoster, "你不在这节课的名单上");
        // Whoever comes back starts off the microphone.
        auto q = c.q(
            "INSERT INTO members(av_room_id, user_id, live_role, status, joined_ms) VALUES(?, ?, ?, '0', ?)"
            " ON CONFLICT(av_room_id, user_id) DO UPDATE SET live_role = excluded.live_role,"
            " status = '0', joined_ms = excluded.joined_ms");
        q->bind(1, avRoomId);
        q->bind(2, userId);
        q->bind(3, liveRole);
        q->bind(4, nowMs());
        q->exec();
    });
}

void AppStore::quitRoom(int64_t userId, int64_t avRoomId)
{
    write([&](Conn& c) {
        {
            auto q = c.q("SELECT 1 FROM lives WHERE av_room_id = ?");
            q->bind(1, avRoomId);
            if (!q->executeStep())
                throw AppError(ErrorCode::RoomNotFound, "房间不存在");
        }
        auto q = c.q("DELETE FROM members WHERE av_room_id = ? AND user_id = ?");
        q->bind(1, avRoomId);
        q->bind(2, userId);
        q->exec();
    });
}

void AppStore::beginLive(int64_t callerId, int64_t liveId)
{
    write([&](Conn& c) {
        const LiveRecord l = ownLive(c, callerId, liveId);
        if (l.state == "e")
            throw AppError(ErrorCode::LiveEnded, "直播已结束");
        auto q = c.q("UPDATE lives SET state = 'i', begun_ms = COALESCE(begun_ms, ?) WHERE live_id = ?");
        q->bind(1, nowMs());
        q->bind(2, liveId);
        q->exec();
    });
}

void AppStore::endLive(int64_t callerId, int64_t liveId)
{
    write([&](Conn& c) {
        const LiveRecord l = ownLive(c, callerId, liveId);
        if (l.state == "e")
            return;
        {
            auto q = c.q("UPDATE lives SET state = 'e', ended_ms = ? WHERE live_id = ?");
            q->bind(1, nowMs());
            q->bind(2, liveId);
            q->exec();
        }
        if (l.avRoomId) {
            auto q = c.q("UPDATE members SET status = '0' WHERE av_room_id = ?");
            q->bind(1, *l.avRoomId);
            q->exec();
        }
    });
}

std::vector<MemberRecord> AppStore::members(
    int64_t callerId, int64_t liveId, int offset, int limit, int* total)
{
    auto c = lease();
    SQLite::Transaction snapshot(c->db);
    std::optional<LiveRecord> l = liveIn(*c, liveId);
    if (!l)
        throw AppError(ErrorCode::LiveNotFound, "直播不存在");
    *total = 0;
    if (!l->avRoomId)
        return {};
    bool callerInRoom = false;
    {
        auto q = c->q("SELECT 1 FROM members WHERE av_room_id = ? AND user_id = ?");
        q->bind(1, *l->avRoomId);
        q->bind(2, callerId);
        callerInRoom = q->executeStep();
    }
    if (l->teacherId != callerId && !callerInRoom)
        throw AppError(ErrorCode::NotYourLive, "没有权限查看该直播的成员");
    {
        auto q = c->q("SELECT COUNT(*) FROM members WHERE av_room_id = ?");
        q->bind(1, *l->avRoomId);
        q->executeStep();
        *total = q->getColumn(0).getInt();
    }
    // Teachers on top, students in the order they came in.
    auto q = c->q(
        "SELECT u.user_id, u.nickname, u.role, m.status FROM members m JOIN users u ON u.user_id = m.user_id"
        " WHERE m.av_room_id = ? ORDER BY u.role = 't' DESC, m.joined_ms, u.user_id LIMIT ? OFFSET ?");
    q->bind(1, *l->avRoomId);
    q->bind(2, limit);
    q->bind(3, offset);
    std::vector<MemberRecord> out;
    while (q->executeStep()) {
        MemberRecord m;
        m.userId = q->getColumn(0).getInt64();
        m.nickname = q->getColumn(1).getString();
        m.role = q->getColumn(2).getString();
        m.status = q->getColumn(3).getString();
        out.push_back(std::move(m));
    }
    return out;
}

void AppStore::setMemberStatus(int64_t callerId, int64_t liveId, int64_t userId, bool on)
{
    write([&](Conn& c) {
        std::optional<LiveRecord> l = liveIn(c, liveId);
        if (!l)
            throw AppError(ErrorCode::LiveNotFound, "直播不存在");
        // The teacher decides who speaks; a student may only report going off the microphone.
        if (l->teacherId != callerId && (userId != callerId || on))
            throw AppError(ErrorCode::NotYourLive, "没有权限操作该直播");
        if (!l->avRoomId)
            throw AppError(ErrorCode::NoRoomYet, "直播尚未创建房间");
        auto q = c.q("UPDATE members SET status = ? WHERE av_room_id = ? AND user_id = ?");
        q->bind(1, on ? "1" : "0");
        q->bind(2, *l->avRoomId);
        q->bind(3, userId);
        q->exec();
        if (q->getChanges() == 0)
            throw AppError(ErrorCode::NotInRoom, "该用户不在直播间中");
    });
}

std::optional<ClientRelease> AppStore::newestRelease()
{
    auto c = lease();
    ClientRelease r;
    r.version = metaValue(*c, "newest_version");
    r.fileName = metaValue(*c, "installer_file");
    if (r.version.empty())
        return std::nullopt;
    return r;
}

void AppStore::setNewestRelease(const ClientRelease& release)
{
    write([&](Conn& c) {
        auto q = c.q("INSERT INTO meta(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value = "
                     "excluded.value");
        q->bind(1, "newest_version");
        q->bind(2, release.version);
        q->exec();
        q->tryReset();
        q->bind(1, "installer_file");
        q->bind(2, release.fileName);
        q->exec();
    });
}

std::string AppStore::liveSecret()
{
    auto c = lease();
    return metaValue(*c, "live_secret");
}

namespace {
    int64_t insertUser(SQLite::Database& db, const std::string& loginId, const std::string& password,
        const std::string& nickname, const std::string& role, int64_t nowMs)
    {
        SQLite::Statement q(db,
            "INSERT INTO users(user_id, login_id, nickname, role, password_digest, created_ms)"
            " SELECT COALESCE(MAX(user_id) + 1, ?), ?, ?, ?, ?, ? FROM users");
        q.bind(1, kFirstUserId);
        q.bind(2, loginId);
        q.bind(3, nickname);
        q.bind(4, role);
        q.bind(5, passwordDigest(password));
        q.bind(6, nowMs);
        q.exec();
        return db.getLastInsertRowid();
    }

    bool hasUser(SQLite::Database& db, const std::string& loginId)
    {
        SQLite::Statement q(db, "SELECT 1 FROM users WHERE login_id = ?");
        q.bind(1, loginId);
        return q.executeStep();
    }

    int64_t insertLive(SQLite::Database& db, int64_t teacherId, const std::string& title,
        const std::string& remark, int64_t startMs, int64_t endMs, const char* state,
        std::optional<int64_t> room)
    {
        SQLite::Statement q(db,
            "INSERT INTO lives(teacher_id, title, remark, start_ms, end_ms, state, av_room_id)"
            " VALUES(?, ?, ?, ?, ?, ?, ?)");
        q.bind(1, teacherId);
        q.bind(2, title);
        q.bind(3, remark);
        q.bind(4, startMs);
        q.bind(5, endMs);
        q.bind(6, state);
        if (room)
            q.bind(7, *room);
        q.exec();
        return db.getLastInsertRowid();
    }
} // namespace

int64_t AppStore::addUser(const std::string& loginId, const std::string& password,
    const std::string& nickname, const std::string& role)
{
    if (loginId.empty() || loginId.size() > 64 || loginId.find_first_of(" \t\r\n") != std::string::npos)
        throw AppError(ErrorCode::InvalidParams, "登录名不能为空，不能含空白，最长64个字符");
    if (password.empty())
        throw AppError(ErrorCode::InvalidParams, "密码不能为空");
    if (nickname.empty())
        throw AppError(ErrorCode::InvalidParams, "昵称不能为空");
    if (role != "t" && role != "s")
        throw AppError(ErrorCode::InvalidParams, "角色只能是老师或学生");
    return write([&](Conn& c) {
        if (hasUser(c.db, loginId))
            throw AppError(ErrorCode::UserExists, "用户已存在：" + loginId);
        return insertUser(c.db, loginId, password, nickname, role, nowMs());
    });
}

std::vector<UserRecord> AppStore::users()
{
    auto c = lease();
    auto q = c->q("SELECT user_id, login_id, nickname, role FROM users ORDER BY user_id");
    std::vector<UserRecord> out;
    while (q->executeStep())
        out.push_back(readUser(*q));
    return out;
}

int64_t AppStore::addLive(const std::string& teacherLoginId, const std::string& title,
    const std::string& remark, int64_t startMs, int64_t endMs)
{
    if (title.empty())
        throw AppError(ErrorCode::InvalidParams, "直播标题不能为空");
    if (endMs <= startMs)
        throw AppError(ErrorCode::InvalidParams, "结束时间必须晚于开始时间");
    return write([&](Conn& c) {
        auto q = c.q("SELECT user_id, role FROM users WHERE login_id = ?");
        q->bind(1, teacherLoginId);
        if (!q->executeStep())
            throw AppError(ErrorCode::UserNotFound, "用户不存在：" + teacherLoginId);
        if (q->getColumn(1).getString() != "t")
            throw AppError(ErrorCode::InvalidParams, "只有老师可以开设直播：" + teacherLoginId);
        const int64_t teacherId = q->getColumn(0).getInt64();
        return insertLive(c.db, teacherId, title, remark, startMs, endMs, "v", std::nullopt);
    });
}

void AppStore::setOnRoster(int64_t liveId, const std::vector<std::string>& loginIds, bool on)
{
    write([&](Conn& c) {
        if (!liveIn(c, liveId))
            throw AppError(ErrorCode::LiveNotFound, "no live " + std::to_string(liveId));
        for (const std::string& login : loginIds) {
            std::optional<int64_t> user;
            {
                auto q = c.q("SELECT user_id FROM users WHERE login_id = ?");
                q->bind(1, login);
                if (q->executeStep())
                    user = q->getColumn(0).getInt64();
            }
            if (!user)
                throw AppError(ErrorCode::UserNotFound, "no user " + login);
            auto q = c.q(on ? "INSERT OR IGNORE INTO roster(live_id, user_id) VALUES(?, ?)"
                            : "DELETE FROM roster WHERE live_id = ? AND user_id = ?");
            q->bind(1, liveId);
            q->bind(2, *user);
            q->exec();
        }
    });
}

std::vector<UserRecord> AppStore::roster(int64_t liveId)
{
    auto c = lease();
    SQLite::Transaction snapshot(c->db);
    if (!liveIn(*c, liveId))
        throw AppError(ErrorCode::LiveNotFound, "no live " + std::to_string(liveId));
    auto q = c->q("SELECT u.user_id, u.login_id, u.nickname, u.role FROM roster r JOIN users u"
                  " ON u.user_id = r.user_id WHERE r.live_id = ? ORDER BY u.login_id");
    q->bind(1, liveId);
    std::vector<UserRecord> out;
    while (q->executeStep())
        out.push_back(readUser(*q));
    return out;
}

std::vector<LiveRecord> AppStore::allLives()
{
    auto c = lease();
    auto q = c->q("SELECT live_id, teacher_id, title, remark, start_ms, end_ms, state, av_room_id FROM lives"
                  " ORDER BY live_id");
    std::vector<LiveRecord> out;
    while (q->executeStep())
        out.push_back(readLive(*q));
    return out;
}

bool AppStore::seedDemo()
{
    return write([&](Conn& c) {
        if (!metaValue(c, "demo_seeded").empty())
            return false;
        const int64_t now = nowMs();
        auto ensureUser
            = [&](const std::string& login, const std::string& nick, const char* role) -> int64_t {
            SQLite::Statement q(c.db, "SELECT user_id FROM users WHERE login_id = ?");
            q.bind(1, login);
            if (q.executeStep())
                return q.getColumn(0).getInt64();
            return insertUser(c.db, login, "123456", nick, role, now);
        };
        const int64_t teacher = ensureUser("teacher01", "王老师", "t");
        const int64_t other = ensureUser("teacher02", "李老师", "t");
        const char* const students[] = { "张小明", "李华", "王芳", "刘洋", "陈静", "杨帆", "赵磊", "黄婷",
            "周杰", "吴倩", "徐浩", "孙悦" };
        for (int i = 0; i < 12; ++i) {
            char login[16];
            std::snprintf(login, sizeof login, "student%02d", i + 1);
            ensureUser(login, students[i], "s");
        }

        // Times are laid around today so the lobby shows every state at once.
        const QDate today = QDateTime::fromMSecsSinceEpoch(now).date();
        auto at = [&](int dayOffset, int hour, int minute) -> int64_t {
            return QDateTime(today.addDays(dayOffset), QTime(hour, minute)).toMSecsSinceEpoch();
        };
        int64_t room = kFirstRoomId;
        {
            SQLite::Statement q(c.db, "SELECT MAX(av_room_id) FROM lives");
            if (q.executeStep() && !q.isColumnNull(0))
                room = q.getColumn(0).getInt64() + 1;
        }
        const int64_t minute = 60 * 1000;
        insertLive(c.db, teacher, "高一数学：函数的单调性", "请提前预习课本第三章，带好草稿纸", at(1, 9, 0),
            at(1, 9, 45), "v", std::nullopt);
        insertLive(c.db, teacher, "高一数学：指数函数", "课前完成练习册第12页", at(2, 14, 0), at(2, 14, 45),
            "s", room++);
        insertLive(c.db, teacher, "高一数学：集合与常用逻辑用语（直播中）", "本节课有随堂小测验",
            now - 10 * minute, now + 35 * minute, "i", room++);
        insertLive(c.db, teacher, "高一数学：一元二次不等式", "已结束，回放稍后上传", at(-1, 10, 0),
            at(-1, 10, 45), "e", room++);
        insertLive(c.db, teacher, "期中复习晚自习答疑", "跨夜答疑，欢迎随时提问", at(-3, 23, 0),
            at(-2, 0, 30), "e", room++);
        insertLive(c.db, other, "初二物理：浮力", "李老师的课", at(0, 16, 0), at(0, 16, 45), "s", room++);

        SQLite::Statement release(
            c.db, "INSERT OR IGNORE INTO meta(key, value) VALUES('newest_version', 'rided4a_win_1.0')");
        release.exec();
        SQLite::Statement mark(c.db, "INSERT INTO meta(key, value) VALUES('demo_seeded', '1')");
        mark.exec();
        return true;
    });
}

} // namespace appserver
