#pragma once

#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QStringList>

// Who may publish in a room's media room besides its host: a student from accepting the host's
// invitation until the microphone goes off (by the host's switch or by the student). Learnt from
// the classroom commands the relay passes on, since those are what the class obeys.
class MediaPolice {
public:
    // A message the relay delivered from `from` to `to` (empty: the whole room). Returns the users
    // whose leave to publish ended with it.
    QStringList observe(
        quint32 roomId, const QString& from, bool fromHost, const QString& to, const QJsonArray& elems);
    bool onMic(quint32 roomId, const QString& userId) const;
    // The host's invitation to userId waits for its answer.
    bool invited(quint32 roomId, const QString& userId) const;
    void forgetMember(quint32 roomId, const QString& userId);
    void forgetRoom(quint32 roomId);

private:
    enum class State { Invited, OnMic };
    QHash<quint32, QHash<QString, State>> m_rooms;
};
