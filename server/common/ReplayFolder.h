#pragma once

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QString>

#include <optional>

// The recordings folder: one folder per live ("<root>/<liveId>") holding what the media server
// recorded (*.mjr), what lectern-server noted of the class ("class.json", "chat.jsonl") and, once
// made, the replay ("replay.webm") with its description and chat ("replay.json"). The files are
// the whole state, so a restarted server, the command line and the app server all read the same.
namespace replayfolder {

constexpr const char* kClassFile = "class.json";
constexpr const char* kChatFile = "chat.jsonl";
constexpr const char* kVideoFile = "replay.webm";
constexpr const char* kReplayFile = "replay.json";

struct Feed {
    QString userId;
    bool screen = false;
};

// What lectern-server noted while the class ran.
struct ClassNotes {
    qint64 liveId = 0;
    qint64 teacherId = 0;
    qint64 beganMs = 0; // the first "live.begin"
    qint64 endedMs = 0; // "live.end"; 0 while it runs
    QHash<quint64, Feed> feeds; // every feed id drawn in the live's rooms
};

enum class State { Recording, Waiting, Ready, Failed };

struct Replay {
    qint64 liveId = 0;
    State state = State::Recording;
    qint64 durationMs = 0;
    qint64 bytes = 0; // everything in the live's folder
    qint64 madeMs = 0;
    QString error; // why it failed
};

QString liveDir(const QString& root, qint64 liveId);
bool readNotes(const QString& dir, ClassNotes* notes);
bool writeNotes(const QString& dir, const ClassNotes& notes, QString* error);

// Appends one chat line ({"ms", "userId", "name", "text"}), whole.
bool appendChat(
    const QString& dir, qint64 ms, const QString& userId, const QString& name, const QString& text);
// The chat lines in order, each with "t": milliseconds into the class (from beganMs).
QJsonArray chatSince(const QString& dir, qint64 beganMs);

std::optional<Replay> replayOf(const QString& root, qint64 liveId);
// Whether the live's replay is made, without reading its files (asked at every range served).
bool isReady(const QString& root, qint64 liveId);
QList<Replay> list(const QString& root);
// Deletes the live's folder; false when there was none or it could not be deleted.
bool remove(const QString& root, qint64 liveId, QString* error);

QString stateName(State s);

} // namespace replayfolder
