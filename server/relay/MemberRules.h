#pragma once

#include <QJsonArray>
#include <QString>

// What a room's members other than its host may send (students, and a teacher sitting in another
// teacher's class), and the names their messages carry. Everything the host's own commands do
// (ending the class, invitations, anyone's microphone) stays the host's.
namespace memberrules {

// Where a member's message goes.
enum class Route { Room, Host };

struct Message {
    QString sender;
    Route route = Route::Room;
    bool toOwnHost = false; // a peer message to the host of the sender's room
    bool invited = false; // the host's invitation to the sender is waiting for its answer
};

// Empty when the message may pass, otherwise why not.
QString refusal(const Message& message, const QJsonArray& elems);
// Whether a member may tell its room this media event (camera yes, screen share no).
bool mayTellEvent(int event);

// The elements with every identity's "nickname" set to realName, the sender's name in the
// school's records: a member cannot pass itself off as another. Unchanged when realName is empty.
QJsonArray withRealName(const QJsonArray& elems, const QString& realName);

} // namespace memberrules
