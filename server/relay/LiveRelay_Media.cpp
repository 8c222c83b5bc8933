// The rooms' media: the VideoRoom made for each room its host enters, the feed ids and tokens
// handed to its members, which feeds are live (FeedCheck) and who may publish (MediaPolice).
#include "LiveRelay.h"

#include "MediaRooms.h"

#include "protocol/RelayOps.h"
#include "protocol/RelayRequest.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTimer>

using namespace relayop;

void LiveRelay::setMediaRooms(MediaRooms* rooms)
{
    m_mediaRooms = rooms;
    rooms->setPublisherCheck([this](quint32 roomId, quint64 feedId) { return mayPublish(roomId, feedId); });
    delete m_feedCheck;
    m_feedCheck = new FeedCheck(
        [this](quint32 roomId, quint64 feed) -> std::optional<FeedCheck::Owner> {
            const Media media = m_media.value(roomId);
            for (auto f = media.feeds.constBegin(); f != media.feeds.constEnd(); ++f)
                if (quint64(f->camera) == feed || quint64(f->screen) == feed)
                    return FeedCheck::Owner { f.key(), f->token };
            return std::nullopt;
        },
        [this](quint32 roomId, quint64 session, quint64 handle,
            std::function<void(const FeedCheck::HandleInfo&)> done) {
            m_mediaRooms->handleInfo(roomId, session, handle, [done](const MediaRooms::HandleInfo& i) {
                done(FeedCheck::HandleInfo { i.known, i.token, i.feed });
            });
        },
        [this](quint32 roomId, quint64 feed, std::function<void()> done) {
            m_mediaRooms->kick(roomId, feed, std::move(done));
        },
        this);
    connect(rooms, &MediaRooms::publisherSeen, m_feedCheck, &FeedCheck::seen);
    connect(rooms, &MediaRooms::publisherGone, m_feedCheck, &FeedCheck::gone);
    connect(m_feedCheck, &FeedCheck::liveChanged, this, [this](quint32 roomId) { tellLiveFeeds(roomId); });
    connect(rooms, &MediaRooms::roomsLost, this, [this](const QList<quint32>& roomIds) {
        for (quint32 roomId : roomIds)
            if (m_media.value(roomId).ready)
                forgetMedia(roomId);
    });
}

bool LiveRelay::hasMedia(quint32 roomId) const
{
    return m_media.value(roomId).ready;
}

void LiveRelay::endMedia(quint32 roomId)
{
    if (!m_media.contains(roomId))
        return;
    const bool ready = m_media.value(roomId).ready;
    forgetMedia(roomId);
    m_police.forgetRoom(roomId);
    // One still being made is destroyed when it comes (onMediaCreated no longer wants it).
    if (ready && m_mediaRooms)
        m_mediaRooms->destroy(roomId);
}

void LiveRelay::forgetMedia(quint32 roomId)
{
    m_media.remove(roomId);
    if (m_feedCheck)
        m_feedCheck->forgetRoom(roomId);
    for (Session* m : roomMembers(roomId))
        m->knowsMedia = false;
}

void LiveRelay::onMediaCreated(
    quint32 roomId, bool made, const QString& url, quint64 videoRoom, const QString& pin)
{
    auto it = m_media.find(roomId);
    if (it == m_media.end() || it->ready) {
        if (made && m_mediaRooms)
            m_mediaRooms->destroy(roomId); // the live ended meanwhile
    } else if (made) {
        it->ready = true;
        it->url = url;
        it->videoRoom = videoRoom;
        it->pin = pin;
    } else {
        m_media.erase(it); // no media this time; the host's next entry tries again
    }
    const QList<PendingHost> pending = m_pendingHosts.take(roomId);
    for (const PendingHost& p : pending) {
        Session* s = m_conns->bySerial(p.serial);
        if (!s)
            continue;
        if (hostTaken(roomId, s))
            reply(s, p.requestId, kNoPermission, QStringLiteral("room %1 already has a host").arg(roomId));
        else
            enterAndReply(s, p.requestId, roomId, true);
    }
}

LiveRelay::Feeds LiveRelay::feedsOf(quint32 roomId, Media& media, const QString& userId)
{
    auto it = media.feeds.find(userId);
    if (it != media.feeds.end())
        return *it;
    // Random ids below 2^53 stay exact in JavaScript; distinct within the room.
    const auto draw = [&media](qint64 other) {
        for (;;) {
            const qint64 v = qint64(QRandomGenerator::system()->generate64() & ((quint64(1) << 53) - 1));
            if (v == 0 || v == other)
                continue;
            bool used = false;
            for (const Feeds& f : qAsConst(media.feeds))
                used = used || f.camera == v || f.screen == v;
            if (!used)
                return v;
        }
    };
    Feeds f;
    f.camera = draw(0);
    f.screen = draw(f.camera);
    f.token = QString::number(QRandomGenerator::system()->generate64(), 16)
        + QString::number(QRandomGenerator::system()->generate64(), 16);
    media.feeds.insert(userId, f);
    if (m_feedsDrawn)
        m_feedsDrawn(roomId, userId, f.camera, f.screen);
    // Sent to the media server before the member hears of it.
    if (m_mediaRooms)
        m_mediaRooms->allowToken(roomId, f.token);
    return f;
}

bool LiveRelay::mayPublish(quint32 roomId, quint64 feedId) const
{
    const auto media = m_media.constFind(roomId);
    if (media == m_media.constEnd())
        return false;
    for (auto f = media->feeds.constBegin(); f != media->feeds.constEnd(); ++f) {
        if (quint64(f->camera) != feedId && quint64(f->screen) != feedId)
            continue;
        // A member held for a resume keeps its place, and with it its leave to publish.
        for (const Session* m : roomMembers(roomId))
            if (m->userId == f.key())
                return m->host || m_police.onMic(roomId, m->userId);
        return false;
    }
    return false;
}

void LiveRelay::policeMessage(Session* s, const QString& to, const QJsonArray& elems)
{
    const QStringList before = m_record ? onMicNow(s->roomId) : QStringList();
    if (!m_police.observe(s->roomId, s->userId, s->host, to, elems).isEmpty())
        recheckPublishersSoon(s->roomId);
    if (!m_record)
        return;
    const QStringList after = onMicNow(s->roomId);
    for (const QString& userId : after)
        if (!before.contains(userId))
            record(classfacts::Kind::MicOn, s->roomId, userId);
    for (const QString& userId : before)
        if (!after.contains(userId))
            record(classfacts::Kind::MicOff, s->roomId, userId);
}

// An honest client ends its publication itself on hearing the command, and its listeners see the
// feed end cleanly; only what is still published after a moment is removed.
void LiveRelay::recheckPublishersSoon(quint32 roomId)
{
    if (!m_mediaRooms || !m_media.value(roomId).ready)
        return;
    QTimer::singleShot(kPublishGraceMs, this, [this, roomId] {
        if (m_mediaRooms && m_media.value(roomId).ready)
            m_mediaRooms->recheck(roomId);
    });
}

QJsonObject LiveRelay::feedsObject(quint32 roomId, const QList<Session*>& members)
{
    Media& media = m_media[roomId];
    QJsonObject feeds;
    for (const Session* m : members) {
        const Feeds f = feedsOf(roomId, media, m->userId);
        feeds.insert(
            m->userId, QJsonObject { { "camera", double(f.camera) }, { "screen", double(f.screen) } });
    }
    return feeds;
}

QJsonObject LiveRelay::mediaObject(quint32 roomId, const QString& forUser)
{
    const QJsonObject feeds = feedsObject(roomId, roomMembers(roomId));
    const Media& media = m_media[roomId];
    return QJsonObject { { "url", media.url }, { "room", double(media.videoRoom) }, { "pin", media.pin },
        { "token", media.feeds.value(forUser).token }, { "feeds", feeds } };
}

// A member names the media server handle it publishes a feed on; the feed goes live for the room
// once the media server shows that handle is the member's (FeedCheck).
void LiveRelay::handlePublish(Session* s, const relayrequest::Request& req)
{
    const QByteArray& id = req.rawId;
    if (!s->roomId) {
        reply(s, id, kNotInRoom, QStringLiteral("not in a room"));
        return;
    }
    if (!m_feedCheck || !m_media.value(s->roomId).ready) {
        reply(s, id, kNoMedia, QStringLiteral("room %1 has no media room").arg(s->roomId));
        return;
    }
    const quint64 serial = s->serial;
    m_feedCheck->claim(
        s->roomId, s->userId, req.mediaSession, req.mediaHandle, req.mediaFeed, [this, serial, id](bool ok) {
            Session* m = m_conns->bySerial(serial);
            if (!m)
                return;
            if (ok)
                reply(m, id, kOk, QString());
            else
                reply(m, id, kNotYours,
                    QStringLiteral("the feed id or the media server handle is not the sender's"));
        });
}

void LiveRelay::tellLiveFeeds(quint32 roomId, Session* only)
{
    const QByteArray bytes = relayop::liveFeeds(m_feedCheck ? m_feedCheck->live(roomId) : QList<quint64>());
    if (only) {
        sendRaw(only, bytes);
        return;
    }
    for (Session* m : roomMembers(roomId))
        sendRaw(m, bytes);
}
