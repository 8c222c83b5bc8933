#pragma once

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <optional>

// Which published feeds of a room are its members' own: a feed id becomes live for the room only
// once the media server shows that the handle publishing it is one its owner named (its Janus
// session and handle) and opened with the token handed to that owner. A feed nobody can vouch
// for in time, or whose owner's handles publish something else, is removed.
class FeedCheck : public QObject {
    Q_OBJECT
public:
    struct Owner {
        QString userId;
        QString token; // the media server token handed to that member
    };
    // What the media server says of a handle: the token it was opened with, and the feed id it
    // holds as a publisher in the room's media room (0: none, or another room).
    struct HandleInfo {
        bool known = false;
        QString token;
        quint64 feed = 0;
    };
    using OwnerOf = std::function<std::optional<Owner>(quint32 roomId, quint64 feed)>;
    using AskHandle = std::function<void(
        quint32 roomId, quint64 session, quint64 handle, std::function<void(const HandleInfo&)> done)>;
    // Removes the publisher of feed; done once the media server answered.
    using Kick = std::function<void(quint32 roomId, quint64 feed, std::function<void()> done)>;

    // How long a feed may be published before its owner names the handle it publishes on.
    static constexpr int kClaimWaitMs = 3000;
    // Handles a member may name at once (camera and screen, and ones being replaced).
    static constexpr int kClaimsPerMember = 4;

    FeedCheck(OwnerOf ownerOf, AskHandle ask, Kick kick, QObject* parent = nullptr);

    void setClaimWaitMs(int ms) { m_claimWaitMs = ms; }

    // A member says it is about to publish its feed on this handle of this Janus session, before
    // it joins: when the handle is the member's and does not hold the feed yet, whoever holds that
    // id now is removed, so the owner can take it. done(true) once that is settled, done(false)
    // when the handle is not the member's.
    void claim(quint32 roomId, const QString& userId, quint64 session, quint64 handle, quint64 feed,
        std::function<void(bool ok)> done);
    // The media server lists feed as published in the room, or no longer.
    void seen(quint32 roomId, quint64 feed);
    void gone(quint32 roomId, quint64 feed);
    void forgetMember(quint32 roomId, const QString& userId);
    void forgetRoom(quint32 roomId);

    // The room's feeds whose publisher is their owner, in ascending order.
    QList<quint64> live(quint32 roomId) const;

signals:
    void liveChanged(quint32 roomId);

private:
    struct Claim {
        quint64 session = 0;
        quint64 handle = 0;
        bool operator==(const Claim& o) const { return session == o.session && handle == o.handle; }
    };
    struct Pending {
        quint64 serial = 0; // this appearance of the feed
        quint64 generation = 0; // the round of handle checks whose answers count
        int waiting = 0;
    };
    struct Room {
        QHash<QString, QList<Claim>> claims;
        QHash<quint64, Pending> pending;
        QSet<quint64> live;
    };

    void check(quint32 roomId, quint64 feed);
    void confirm(quint32 roomId, quint64 feed);
    void remove(quint32 roomId, quint64 feed, const char* why);
    Pending* pendingOf(quint32 roomId, quint64 feed);

    OwnerOf m_ownerOf;
    AskHandle m_ask;
    Kick m_kick;
    int m_claimWaitMs = kClaimWaitMs;
    quint64 m_nextSerial = 1;
    QHash<quint32, Room> m_rooms;
};
