#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace SQLite {
class Database;
class Statement;
}

namespace appserver {

// One member's part in a live, summed from what the relay recorded.
struct AttendanceRow {
    int64_t userId = 0;
    std::string nickname;
    std::string role; // "t" or "s"
    int64_t firstEntryMs = 0;
    int entries = 0;
    int64_t presentMs = 0;
    int64_t speakingMs = 0;
    int chatLines = 0;
    int hands = 0;
    int answers = 0;
};

struct QuizTally {
    int64_t quizId = 0;
    int choices = 0;
    std::string text;
    bool closed = false;
    std::vector<int> counts; // one per choice
    std::vector<std::pair<int64_t, int>> answers; // user, choice; by user
};

// What happened in each live's room, kept beside the app server's tables in the same SQLite file
// (tables of its own, made when missing): entries and leaves, microphone, chat lines, raised hands,
// and the quick questions with each member's one answer. Safe from any thread.
class ClassStore {
public:
    enum class Event { Entered = 1, Left = 2, MicOn = 3, MicOff = 4, ChatLine = 5, HandRaised = 6 };
    enum class Result { Ok, NoLive, NoSuchQuestion, Closed, BadChoice };

    ClassStore(std::string path, std::function<int64_t()> clockMs);
    ~ClassStore();
    ClassStore(const ClassStore&) = delete;
    ClassStore& operator=(const ClassStore&) = delete;

    // Opens the database (made by AppStore) and adds the tables; throws std::runtime_error.
    void open();

    // A room that belongs to no live records nothing (NoLive).
    Result note(int64_t avRoomId, int64_t userId, Event event);
    // Asking a question again under the same id changes nothing.
    Result openQuiz(int64_t avRoomId, int64_t quizId, int choices, const std::string& text);
    Result closeQuiz(int64_t avRoomId, int64_t quizId);
    // One answer per member, changeable until the question closes.
    Result answer(int64_t avRoomId, int64_t quizId, int64_t userId, int choice);
    std::optional<QuizTally> tally(int64_t avRoomId, int64_t quizId);

    // Everyone who entered the live's room, in order of first entry. Time still running (a member
    // in the room now) counts until the live ended, or until now while it goes on.
    std::vector<AttendanceRow> attendance(int64_t liveId);

private:
    std::optional<int64_t> liveOfRoom(int64_t avRoomId);
    std::optional<QuizTally> tallyLocked(int64_t liveId, int64_t quizId);
    // Prepared once (the relay records on its own thread, one fact at a time); reset after use.
    SQLite::Statement& prepared(const char* sql);

    std::string m_path;
    std::function<int64_t()> m_clockMs;
    std::mutex m_mutex; // guards everything below
    std::unique_ptr<SQLite::Database> m_db;
    std::unordered_map<int64_t, int64_t> m_liveOfRoom; // a room, once given, stays its live's
    std::unordered_map<const char*, std::unique_ptr<SQLite::Statement>> m_statements;
};

} // namespace appserver
