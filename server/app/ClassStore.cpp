#include "ClassStore.h"

#include <QDateTime>

#include <SQLiteCpp/SQLiteCpp.h>

#include <algorithm>
#include <map>

namespace appserver {

namespace {

    const char* const kTables[] = {
        "CREATE TABLE IF NOT EXISTS class_events(event_id INTEGER PRIMARY KEY, live_id INTEGER NOT NULL,"
        " user_id INTEGER NOT NULL, kind INTEGER NOT NULL, at_ms INTEGER NOT NULL)",
        // Covers the attendance walk: one live's events by member, in order, without visiting the table.
        "CREATE INDEX IF NOT EXISTS class_events_by_member ON class_events(live_id, user_id, event_id, kind, "
        "at_ms)",
        "CREATE TABLE IF NOT EXISTS quizzes(live_id INTEGER NOT NULL, quiz_id INTEGER NOT NULL,"
        " choices INTEGER NOT NULL, text TEXT NOT NULL, opened_ms INTEGER NOT NULL, closed_ms INTEGER,"
        " PRIMARY KEY(live_id, quiz_id)) WITHOUT ROWID",
        "CREATE TABLE IF NOT EXISTS quiz_answers(live_id INTEGER NOT NULL, quiz_id INTEGER NOT NULL,"
        " user_id INTEGER NOT NULL, choice INTEGER NOT NULL, at_ms INTEGER NOT NULL,"
        " PRIMARY KEY(live_id, quiz_id, user_id)) WITHOUT ROWID",
    };

    // Puts a kept statement back when the guard goes, so no read snapshot stays open.
    struct Used {
        SQLite::Statement& q;
        ~Used()
        {
            q.tryReset();
            q.clearBindings();
        }
        SQLite::Statement* operator->() { return &q; }
    };

    // Per member, while walking its events in order.
    struct Walk {
        AttendanceRow row;
        int64_t inSince = -1;
        int64_t micSince = -1;
    };

} // namespace

ClassStore::ClassStore(std::string path, std::function<int64_t()> clockMs)
    : m_path(std::move(path))
    , m_clockMs(std::move(clockMs))
{
    if (!m_clockMs)
        m_clockMs = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

ClassStore::~ClassStore() = default;

SQLite::Statement& ClassStore::prepared(const char* sql)
{
    std::unique_ptr<SQLite::Statement>& slot = m_statements[sql];
    if (!slot)
        slot = std::make_unique<SQLite::Statement>(*m_db, sql);
    return *slot;
}

void ClassStore::open()
{
    std::lock_guard<std::mutex> g(m_mutex);
    try {
        m_db
            = std::make_unique<SQLite::Database>(m_path, SQLite::OPEN_READWRITE | SQLite::OPEN_NOMUTEX, 5000);
        m_db->exec("PRAGMA synchronous=NORMAL");
        SQLite::Transaction tx(*m_db, SQLite::TransactionBehavior::IMMEDIATE);
        for (const char* sql : kTables)
            m_db->exec(sql);
        tx.commit();
    } catch (const SQLite::Exception& e) {
        m_db.reset();
        throw std::runtime_error(std::string("cannot open the class records in ") + m_path + ": " + e.what());
    }
}

std::optional<int64_t> ClassStore::liveOfRoom(int64_t avRoomId)
{
    const auto known = m_liveOfRoom.find(avRoomId);
    if (known != m_liveOfRoom.end())
        return known->second;
    SQLite::Statement q(*m_db, "SELECT live_id FROM lives WHERE av_room_id = ?");
    q.bind(1, avRoomId);
    if (!q.executeStep())
        return std::nullopt;
    const int64_t liveId = q.getColumn(0).getInt64();
    m_liveOfRoom.emplace(avRoomId, liveId);
    return liveId;
}

ClassStore::Result ClassStore::note(int64_t avRoomId, int64_t userId, Event event)
{
    std::lock_guard<std::mutex> g(m_mutex);
    const std::optional<int64_t> liveId = liveOfRoom(avRoomId);
    if (!liveId)
        return Result::NoLive;
    Used q { prepared("INSERT INTO class_events(live_id, user_id, kind, at_ms) VALUES(?, ?, ?, ?)") };
    q->bind(1, *liveId);
    q->bind(2, userId);
    q->bind(3, static_cast<int>(event));
    q->bind(4, m_clockMs());
    q->exec();
    return Result::Ok;
}

ClassStore::Result ClassStore::openQuiz(
    int64_t avRoomId, int64_t quizId, int choices, const std::string& text)
{
    std::lock_guard<std::mutex> g(m_mutex);
    const std::optional<int64_t> liveId = liveOfRoom(avRoomId);
    if (!liveId)
        return Result::NoLive;
    SQLite::Statement q(*m_db,
        "INSERT INTO quizzes(live_id, quiz_id, choices, text, opened_ms) VALUES(?, ?, ?, ?, ?)"
        " ON CONFLICT(live_id, quiz_id) DO NOTHING");
    q.bind(1, *liveId);
    q.bind(2, quizId);
    q.bind(3, choices);
    q.bind(4, text);
    q.bind(5, m_clockMs());
    q.exec();
    return Result::Ok;
}

ClassStore::Result ClassStore::closeQuiz(int64_t avRoomId, int64_t quizId)
{
    std::lock_guard<std::mutex> g(m_mutex);
    const std::optional<int64_t> liveId = liveOfRoom(avRoomId);
    if (!liveId)
        return Result::NoLive;
    SQLite::Statement q(
        *m_db, "UPDATE quizzes SET closed_ms = COALESCE(closed_ms, ?) WHERE live_id = ? AND quiz_id = ?");
    q.bind(1, m_clockMs());
    q.bind(2, *liveId);
    q.bind(3, quizId);
    return q.exec() == 0 ? Result::NoSuchQuestion : Result::Ok;
}

ClassStore::Result ClassStore::answer(int64_t avRoomId, int64_t quizId, int64_t userId, int choice)
{
    std::lock_guard<std::mutex> g(m_mutex);
    const std::optional<int64_t> liveId = liveOfRoom(avRoomId);
    if (!liveId)
        return Result::NoLive;
    SQLite::Transaction tx(*m_db, SQLite::TransactionBehavior::IMMEDIATE);
    {
        Used q { prepared("SELECT choices, closed_ms FROM quizzes WHERE live_id = ? AND quiz_id = ?") };
        q->bind(1, *liveId);
        q->bind(2, quizId);
        if (!q->executeStep())
            return Result::NoSuchQuestion;
        if (!q->isColumnNull(1))
            return Result::Closed;
        if (choice < 0 || choice >= q->getColumn(0).getInt())
            return Result::BadChoice;
    }
    Used q { prepared(
        "INSERT INTO quiz_answers(live_id, quiz_id, user_id, choice, at_ms) VALUES(?, ?, ?, ?, ?)"
        " ON CONFLICT(live_id, quiz_id, user_id) DO UPDATE SET choice = excluded.choice, at_ms = "
        "excluded.at_ms") };
    q->bind(1, *liveId);
    q->bind(2, quizId);
    q->bind(3, userId);
    q->bind(4, choice);
    q->bind(5, m_clockMs());
    q->exec();
    tx.commit();
    return Result::Ok;
}

std::optional<QuizTally> ClassStore::tally(int64_t avRoomId, int64_t quizId)
{
    std::lock_guard<std::mutex> g(m_mutex);
    const std::optional<int64_t> liveId = liveOfRoom(avRoomId);
    if (!liveId)
        return std::nullopt;
    return tallyLocked(*liveId, quizId);
}

std::optional<QuizTally> ClassStore::tallyLocked(int64_t liveId, int64_t quizId)
{
    QuizTally t;
    t.quizId = quizId;
    {
        Used q { prepared("SELECT choices, text, closed_ms FROM quizzes WHERE live_id = ? AND quiz_id = ?") };
        q->bind(1, liveId);
        q->bind(2, quizId);
        if (!q->executeStep())
            return std::nullopt;
        t.choices = q->getColumn(0).getInt();
        t.text = q->getColumn(1).getString();
        t.closed = !q->isColumnNull(2);
    }
    t.counts.assign(static_cast<size_t>(std::max(t.choices, 0)), 0);
    Used q { prepared(
        "SELECT user_id, choice FROM quiz_answers WHERE live_id = ? AND quiz_id = ? ORDER BY user_id") };
    q->bind(1, liveId);
    q->bind(2, quizId);
    while (q->executeStep()) {
        const int choice = q->getColumn(1).getInt();
        if (choice < 0 || choice >= t.choices)
            continue;
        ++t.counts[static_cast<size_t>(choice)];
        t.answers.emplace_back(q->getColumn(0).getInt64(), choice);
    }
    return t;
}

std::vector<AttendanceRow> ClassStore::attendance(int64_t liveId)
{
    std::lock_guard<std::mutex> g(m_mutex);
    SQLite::Transaction snapshot(*m_db); // events, answers and the live's end from one state
    int64_t until = m_clockMs();
    {
        SQLite::Statement q(*m_db, "SELECT state, ended_ms FROM lives WHERE live_id = ?");
        q.bind(1, liveId);
        if (q.executeStep() && q.getColumn(0).getString() == "e" && !q.isColumnNull(1))
            until = q.getColumn(1).getInt64();
    }
    std::map<int64_t, Walk> walks;
    {
        SQLite::Statement q(*m_db,
            "SELECT user_id, kind, at_ms FROM class_events WHERE live_id = ? ORDER BY user_id, event_id");
        q.bind(1, liveId);
        Walk* w = nullptr;
        int64_t current = -1;
        while (q.executeStep()) {
            const int64_t userId = q.getColumn(0).getInt64();
            if (!w || userId != current) {
                w = &walks[userId];
                w->row.userId = current = userId;
            }
            const int64_t at = q.getColumn(2).getInt64();
            switch (static_cast<Event>(q.getColumn(1).getInt())) {
            case Event::Entered:
                // A second entry without a leave between (the server restarted meanwhile) goes on.
                if (w->inSince < 0) {
                    w->inSince = at;
                    if (w->row.entries++ == 0)
                        w->row.firstEntryMs = at;
                }
                break;
            case Event::Left:
                if (w->micSince >= 0)
                    w->row.speakingMs += std::max<int64_t>(0, at - w->micSince);
                if (w->inSince >= 0)
                    w->row.presentMs += std::max<int64_t>(0, at - w->inSince);
                w->inSince = w->micSince = -1;
                break;
            case Event::MicOn:
                if (w->micSince < 0)
                    w->micSince = at;
                break;
            case Event::MicOff:
                if (w->micSince >= 0)
                    w->row.speakingMs += std::max<int64_t>(0, at - w->micSince);
                w->micSince = -1;
                break;
            case Event::ChatLine:
                ++w->row.chatLines;
                break;
            case Event::HandRaised:
                ++w->row.hands;
                break;
            }
        }
    }
    {
        SQLite::Statement q(
            *m_db, "SELECT user_id, COUNT(*) FROM quiz_answers WHERE live_id = ? GROUP BY user_id");
        q.bind(1, liveId);
        while (q.executeStep()) {
            auto it = walks.find(q.getColumn(0).getInt64());
            if (it != walks.end())
                it->second.row.answers = q.getColumn(1).getInt();
        }
    }
    std::vector<AttendanceRow> rows;
    rows.reserve(walks.size());
    SQLite::Statement who(*m_db, "SELECT nickname, role FROM users WHERE user_id = ?");
    for (auto& [userId, w] : walks) {
        if (w.row.entries == 0)
            continue; // only what it did before entering (cannot happen through the relay)
        if (w.micSince >= 0)
            w.row.speakingMs += std::max<int64_t>(0, until - w.micSince);
        if (w.inSince >= 0)
            w.row.presentMs += std::max<int64_t>(0, until - w.inSince);
        who.bind(1, userId);
        if (who.executeStep()) {
            w.row.nickname = who.getColumn(0).getString();
            w.row.role = who.getColumn(1).getString();
        }
        who.reset();
        rows.push_back(std::move(w.row));
    }
    std::stable_sort(rows.begin(), rows.end(),
        [](const AttendanceRow& a, const AttendanceRow& b) { return a.firstEntryMs < b.firstEntryMs; });
    return rows;
}

} // namespace appserver
