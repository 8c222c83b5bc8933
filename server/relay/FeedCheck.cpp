#include "FeedCheck.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>

FeedCheck::FeedCheck(OwnerOf ownerOf, AskHandle ask, Kick kick, QObject* parent)
    : QObject(parent)
    , m_ownerOf(std::move(ownerOf))
    , m_ask(std::move(ask))
    , m_kick(std::move(kick))
{
}

void FeedCheck::claim(quint32 roomId, const QString& userId, quint64 session, quint64 handle, quint64 feed,
    std::function<void(bool ok)> done)
{
    const std::optional<Owner> owner = m_ownerOf(roomId, feed);
    if (!owner || owner->userId != userId) {
        done(false);
        return;
    }
    m_ask(roomId, session, handle,
        [this, roomId, userId, session, handle, feed, token = owner->token, done](const HandleInfo& info) {
            if (!m_rooms.contains(roomId) && !m_ownerOf(roomId, feed)) {
                done(false); // the room's media went meanwhile
                return;
            }
            if (!info.known || token.isEmpty() || info.token != token) {
                done(false);
                return;
            }
            Room& room = m_rooms[roomId];
            QList<Claim>& claims = room.claims[userId];
            const Claim c { session, handle };
            claims.removeAll(c);
            claims.append(c);
            while (claims.size() > kClaimsPerMember)
                claims.removeFirst();
            // Feeds of this member waiting for a word from it are looked at again.
            const QList<quint64> pending = room.pending.keys();
            for (quint64 f : pending) {
                const std::optional<Owner> o = m_ownerOf(roomId, f);
                if (o && o->userId == userId)
                    check(roomId, f);
            }
            if (info.feed == feed) {
                done(true);
                return;
            }
            // Not joined yet: the id must be free when it joins. Whoever holds it is not this handle;
            // at worst it is an older handle of the same member, which is on its way out anyway.
            room.pending.remove(feed);
            if (room.live.remove(feed))
                emit liveChanged(roomId);
            m_kick(roomId, feed, [done] { done(true); });
        });
}

void FeedCheck::seen(quint32 roomId, quint64 feed)
{
    Room& room = m_rooms[roomId];
    if (room.live.contains(feed) || room.pending.contains(feed))
        return;
    const quint64 serial = m_nextSerial++;
    room.pending.insert(feed, Pending { serial, 0, 0 });
    QTimer::singleShot(m_claimWaitMs, this, [this, roomId, feed, serial] {
        const Pending* p = pendingOf(roomId, feed);
        if (p && p->serial == serial)
            remove(roomId, feed, "its owner named no handle that publishes it");
    });
    check(roomId, feed);
}

void FeedCheck::gone(quint32 roomId, quint64 feed)
{
    auto it = m_rooms.find(roomId);
    if (it == m_rooms.end())
        return;
    it->pending.remove(feed);
    if (it->live.remove(feed))
        emit liveChanged(roomId);
}

void FeedCheck::forgetMember(quint32 roomId, const QString& userId)
{
    auto it = m_rooms.find(roomId);
    if (it != m_rooms.end())
        it->claims.remove(userId);
}

void FeedCheck::forgetRoom(quint32 roomId)
{
    m_rooms.remove(roomId);
}

QList<quint64> FeedCheck::live(quint32 roomId) const
{
    QList<quint64> feeds = m_rooms.value(roomId).live.values();
    std::sort(feeds.begin(), feeds.end());
    return feeds;
}

FeedCheck::Pending* FeedCheck::pendingOf(quint32 roomId, quint64 feed)
{
    auto room = m_rooms.find(roomId);
    if (room == m_rooms.end())
        return nullptr;
    auto p = room->pending.find(feed);
    return p == room->pending.end() ? nullptr : &*p;
}

// Asks the media server about every handle the owner named: one that holds the feed with the
// owner's token vouches for it; when none does, someone else publishes under the owner's id.
void FeedCheck::check(quint32 roomId, quint64 feed)
{
    Pending* p = pendingOf(roomId, feed);
    if (!p)
        return;
    const std::optional<Owner> owner = m_ownerOf(roomId, feed);
    if (!owner) {
        remove(roomId, feed, "the feed id is no member's");
        return;
    }
    const QList<Claim> claims = m_rooms[roomId].claims.value(owner->userId);
    if (claims.isEmpty())
        return; // the owner may not have spoken yet; the wait decides
    const quint64 generation = ++p->generation;
    p->waiting = claims.size();
    for (const Claim& c : claims) {
        m_ask(roomId, c.session, c.handle,
            [this, roomId, feed, generation, token = owner->token](const HandleInfo& info) {
                Pending* p = pendingOf(roomId, feed);
                if (!p || p->generation != generation)
                    return;
                if (info.known && info.feed == feed && !token.isEmpty() && info.token == token) {
                    confirm(roomId, feed);
                    return;
                }
                if (--p->waiting == 0)
                    remove(roomId, feed, "its owner's handles do not publish it");
            });
    }
}

void FeedCheck::confirm(quint32 roomId, quint64 feed)
{
    Room& room = m_rooms[roomId];
    room.pending.remove(feed);
    room.live.insert(feed);
    emit liveChanged(roomId);
}

void FeedCheck::remove(quint32 roomId, quint64 feed, const char* why)
{
    m_rooms[roomId].pending.remove(feed);
    qInfo().noquote() << "media room of room" << roomId << "removes publisher" << feed << "-" << why;
    m_kick(roomId, feed, [] {});
}
