#include "LiveMedia.h"

#include "janus/JanusSession.h"
#include "media/MediaDevices.h"
#include "media/MediaSubscriber.h"

#include <QDebug>
#include <QJsonObject>
#include <QPointer>

namespace {

const int kRetryMs = 2000;
const int kScreenSettleMs = 300;
const double kSilenceDb = -200.0;
// A microphone unplugged is noticed within this; the sound server has moved the stream by then.
const int kMicWatchMs = 250;

template <typename T> void dropPeer(T*& peer)
{
    if (!peer)
        return;
    peer->disconnect();
    peer->deleteLater();
    peer = nullptr;
}

} // namespace

LiveMedia::LiveMedia(QObject* parent)
    : QObject(parent)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (!hasRoom())
            return;
        if (!m_session)
            openSession();
        else if (m_session->isReady()) {
            if (!m_cameraFeed)
                restartCameraFeed();
            if (m_screenOn && !m_screenFeed)
                restartScreenFeed();
            reconcile();
        }
    });
    m_screenRestart.setSingleShot(true);
    m_screenRestart.setInterval(kScreenSettleMs);
    connect(&m_screenRestart, &QTimer::timeout, this, &LiveMedia::restartScreenFeed);
    // Several settings changed together (a student put on the microphone) make one new feed.
    m_cameraRestart.setSingleShot(true);
    m_cameraRestart.setInterval(0);
    connect(&m_cameraRestart, &QTimer::timeout, this, &LiveMedia::restartCameraFeed);
    m_micWatch.setInterval(kMicWatchMs);
    connect(&m_micWatch, &QTimer::timeout, this, &LiveMedia::checkMic);
}

LiveMedia::~LiveMedia()
{
    leaveRoom();
}

LiveMedia::FeedMap LiveMedia::parseFeeds(const QJsonObject& feeds)
{
    FeedMap out;
    for (auto it = feeds.begin(); it != feeds.end(); ++it) {
        const QJsonObject ids = it.value().toObject();
        Feeds f;
        f.camera = quint64(ids.value("camera").toDouble());
        f.screen = quint64(ids.value("screen").toDouble());
        if (f.camera || f.screen)
            out.insert(it.key(), f);
    }
    return out;
}

bool LiveMedia::parseRoom(const QJsonObject& media, media::RoomAccess* access, FeedMap* feeds)
{
    access->url = media.value("url").toString();
    access->room = quint64(media.value("room").toDouble());
    access->pin = media.value("pin").toString();
    access->token = media.value("token").toString();
    *feeds = parseFeeds(media.value("feeds").toObject());
    return access->isValid();
}

bool LiveMedia::isConnected() const
{
    return m_session && m_session->isReady();
}

int LiveMedia::publisherUpCount() const
{
    return (m_cameraFeed && m_cameraFeed->isUp() ? 1 : 0) + (m_screenFeed && m_screenFeed->isUp() ? 1 : 0);
}

void LiveMedia::enterRoom(const QString& self, const media::RoomAccess& access, const FeedMap& feeds)
{
    const bool same = m_session && self == m_self && access.url == m_access.url
        && access.room == m_access.room && access.pin == m_access.pin && access.token == m_access.token
        && feeds.value(self).camera == m_feeds.value(self).camera
        && feeds.value(self).screen == m_feeds.value(self).screen;
    if (same) {
        // Back in the same media room (the relay resumed us): what runs goes on.
        addFeeds(feeds);
        return;
    }
    leaveRoom();
    m_self = self;
    m_access = access;
    m_feeds = feeds;
    if (hasRoom())
        openSession();
    else
        settleReady(false);
}

void LiveMedia::addFeeds(const FeedMap& feeds)
{
    for (auto it = feeds.begin(); it != feeds.end(); ++it)
        m_feeds.insert(it.key(), it.value());
    reconcile();
}

void LiveMedia::leaveRoom()
{
    m_retry.stop();
    m_screenRestart.stop();
    m_cameraRestart.stop();
    dropSession(true);
    m_access = media::RoomAccess();
    m_feeds.clear();
    m_published.clear();
    m_live.clear();
    m_sessionFailed = false;
    settleReady(false);
}

void LiveMedia::dropSession(bool closeIt)
{
    dropPeer(m_cameraFeed);
    dropPeer(m_screenFeed);
    for (media::MediaSubscriber* s : m_subscribers) {
        s->disconnect();
        s->deleteLater();
    }
    m_subscribers.clear();
    if (m_session) {
        m_session->disconnect(this);
        if (closeIt)
            m_session->close();
        m_session->deleteLater();
        m_session = nullptr;
    }
}

void LiveMedia::whenReady(std::function<void(bool)> done)
{
    if (!hasRoom() || m_sessionFailed || isConnected()) {
        const bool ok = isConnected();
        QTimer::singleShot(0, this, [done, ok] { done(ok); });
        return;
    }
    m_waiting << std::move(done);
}

void LiveMedia::settleReady(bool ok)
{
    const QList<std::function<void(bool)>> waiting = m_waiting;
    m_waiting.clear();
    for (const auto& done : waiting)
        done(ok);
}

void LiveMedia::openSession()
{
    m_session = new JanusSession(this);
    m_session->setToken(m_access.token);
    connect(m_session, &JanusSession::ready, this, [this] {
        m_sessionFailed = false;
        qDebug() << "media server session open";
        settleReady(true);
        restartCameraFeed();
        if (m_screenOn)
            restartScreenFeed();
    });
    connect(m_session, &JanusSession::failed, this, &LiveMedia::sessionLost);
    m_session->open(QUrl(m_access.url));
}

void LiveMedia::sessionLost(const QString& why)
{
    qWarning().noquote() << "media server lost:" << why;
    dropSession(false);
    m_published.clear();
    m_sessionFailed = true;
    settleReady(false);
    // The class goes on without media; they come back when the server does.
    if (hasRoom())
        m_retry.start(kRetryMs);
}

void LiveMedia::restartCameraFeed()
{
    m_cameraRestart.stop();
    dropPeer(m_cameraFeed);
    const quint64 id = m_feeds.value(m_self).camera;
    if (!isConnected() || !id)
        return;
    // Without media the participant still joins: it is how we hear which feeds are published.
    media::FeedSpec spec;
    if (m_mayPublish) {
        spec.video = m_camera;
        spec.audio = m_mic;
    }
    spec.preview = true;
    spec.previewI420 = m_i420;
    m_cameraFeed = new media::MediaPublisher(m_session, m_access, id, spec, this);
    claimBeforeJoin(m_cameraFeed);
    m_cameraFeed->setVolume(m_micVolume);
    m_cameraFeed->setMuted(m_micMuted);
    m_cameraFeed->setFrameCallback([this](const media::VideoFrame& frame) { emit localFrame(frame); });
    auto heard = [this] {
        m_published = m_cameraFeed->publishedFeeds();
        reconcile();
    };
    connect(m_cameraFeed, &media::MediaPublisher::feedsChanged, this, heard);
    connect(m_cameraFeed, &media::MediaPublisher::joined, this, heard);
    connect(m_cameraFeed, &media::MediaPublisher::removed, this, [this] {
        // Offering the feed again would only be removed again: listen until we may speak.
        qInfo() << "media: our camera feed was removed; sending nothing until allowed to";
        m_mayPublish = false;
        scheduleCameraRestart();
        emit feedRemoved(Camera);
    });
    connect(m_cameraFeed, &media::MediaPeer::failed, this, [this] {
        dropPeer(m_cameraFeed);
        m_retry.start(kRetryMs);
    });
    m_cameraFeed->start();
}

void LiveMedia::restartScreenFeed()
{
    dropPeer(m_screenFeed);
    const quint64 id = m_feeds.value(m_self).screen;
    if (!m_screenOn || !isConnected() || !id || m_screenArea.isEmpty())
        return;
    media::FeedSpec spec;
    spec.width = m_screenArea.width() & ~1;
    spec.height = m_screenArea.height() & ~1;
    spec.fps = m_screenFps;
    spec.videoBitrate = 800000;
    if (m_screenPushed)
        spec.pushedVideo = true;
    else
        spec.videoPipeline = media::MediaDevices::screenSource(
            m_screenArea.left(), m_screenArea.top(), m_screenArea.right() + 1, m_screenArea.bottom() + 1);
    m_screenFeed = new media::MediaPublisher(m_session, m_access, id, spec, this);
    claimBeforeJoin(m_screenFeed);
    connect(m_screenFeed, &media::MediaPublisher::removed, this, [this] {
        qInfo() << "media: our screen feed was removed; it stays off until shared again";
        m_screenOn = false;
        dropPeer(m_screenFeed);
        emit feedRemoved(Screen);
    });
    connect(m_screenFeed, &media::MediaPeer::failed, this, [this] {
        dropPeer(m_screenFeed);
        m_retry.start(kRetryMs);
    });
    m_screenFeed->start();
}

bool LiveMedia::whoseFeed(quint64 feed, QString* user, int* source) const
{
    for (auto it = m_feeds.begin(); it != m_feeds.end(); ++it) {
        if (it.key() == m_self)
            continue;
        if (it->camera == feed || it->screen == feed) {
            *user = it.key();
            *source = it->camera == feed ? Camera : Screen;
            return true;
        }
    }
    return false;
}

void LiveMedia::reconcile()
{
    QSet<quint64> wanted;
    if (isConnected()) {
        QString user;
        int source = 0;
        // Janus tells every participant of a new publisher at once, an impostor under another's
        // id too: only what the relay also vouches for is taken.
        for (quint64 feed : m_published)
            if ((m_live.contains(feed) || m_access.token.isEmpty()) && whoseFeed(feed, &user, &source))
                wanted.insert(feed);
    }
    for (quint64 feed : m_subscribers.keys())
        if (!wanted.contains(feed))
            dropSubscriber(feed);
    for (quint64 feed : wanted) {
        if (m_subscribers.contains(feed))
            continue;
        QString user;
        int source = 0;
        whoseFeed(feed, &user, &source);
        qInfo().noquote() << "media: receiving feed" << feed << "of" << user;
        auto* sub = new media::MediaSubscriber(m_session, m_access, feed, m_speaker, m_i420, this);
        sub->setVolume(m_speakerVolume);
        sub->setMuted(!m_speakerOn);
        sub->setFrameCallback(
            [this, user, source](const media::VideoFrame& frame) { emit remoteFrame(user, source, frame); });
        connect(sub, &media::MediaSubscriber::audioLevel, this,
            [this, user](double db) { emit remoteLevel(user, db); });
        const quint64 announcement = m_cameraFeed ? m_cameraFeed->announcement(feed) : 0;
        connect(sub, &media::MediaPeer::failed, this, [this, feed, sub, announcement] {
            const bool gone = sub->feedGone();
            dropSubscriber(feed);
            if (gone) {
                // Not asked for again until the room lists it as published anew; a publication
                // heard after this one was asked for is taken at once.
                if (!m_cameraFeed) {
                    m_published.remove(feed);
                    return;
                }
                if (m_cameraFeed->forgetFeed(feed, announcement))
                    return;
                reconcile();
                return;
            }
            m_retry.start(kRetryMs);
        });
        m_subscribers.insert(feed, sub);
        sub->start();
    }
}

void LiveMedia::setLiveFeeds(const QList<quint64>& feeds)
{
    m_live = QSet<quint64>(feeds.begin(), feeds.end());
    reconcile();
}

void LiveMedia::claimBeforeJoin(media::MediaPublisher* feed)
{
    if (!m_claim || m_access.token.isEmpty()) // a relay without tokens checks no handles either
        return;
    QPointer<JanusSession> session(m_session);
    feed->setBeforeJoin([this, session](quint64 id, quint64 handle, std::function<void()> proceed) {
        if (session)
            m_claim(session->sessionId(), handle, id, std::move(proceed));
    });
}

void LiveMedia::dropSubscriber(quint64 feed)
{
    media::MediaSubscriber* gone = m_subscribers.take(feed);
    if (!gone)
        return;
    qInfo().noquote() << "media: no longer receiving feed" << feed;
    gone->disconnect();
    gone->deleteLater();
    QString user;
    int source = 0;
    if (!whoseFeed(feed, &user, &source))
        return;
    // The last level heard is not what plays now: nothing does.
    if (source == Camera)
        emit remoteLevel(user, kSilenceDb);
    emit remoteEnded(user, source);
}

void LiveMedia::setCamera(const QString& id)
{
    if (id == m_camera)
        return;
    m_camera = id;
    scheduleCameraRestart();
}

void LiveMedia::setMayPublish(bool may)
{
    if (may == m_mayPublish)
        return;
    m_mayPublish = may;
    scheduleCameraRestart();
}

void LiveMedia::setMic(const QString& id)
{
    // Closing the microphone silences the feed at once; taking the track out would cost a new
    // negotiation for every press of the button.
    m_micMuted = id.isEmpty();
    if (!id.isEmpty() && id != m_mic) {
        m_mic = id;
        m_micWatch.start();
        // Another microphone goes into the running feed: the students keep it and hear the new one.
        if (!m_cameraFeed || !m_cameraFeed->isUp() || !m_cameraFeed->switchMic(id))
            scheduleCameraRestart();
    }
    if (m_cameraFeed)
        m_cameraFeed->setMuted(m_micMuted);
}

double LiveMedia::micLevel() const
{
    return m_cameraFeed && m_cameraFeed->spec().hasAudio() ? m_cameraFeed->micLevel() : kSilenceDb;
}

void LiveMedia::checkMic()
{
    if (m_mic.isEmpty() || media::MediaTestKit::coversSound()) {
        m_micWatch.stop();
        return;
    }
    if (m_cameraFeed && m_cameraFeed->spec().hasAudio()) {
        const QString current = m_cameraFeed->micDevice();
        if (current != m_micSeen) {
            m_micSeen = current;
            // Not where we asked it to go: the sound server moved it, mostly because the one in
            // use is gone.
            if (current != m_mic) {
                const bool gone = !media::MediaDevices::exists(media::MediaDevices::Microphone, m_mic);
                qInfo().noquote() << "media: the sound server moved the microphone from" << m_mic
                                  << (gone ? "(gone)" : "(still there)") << "to" << current;
                m_mic = current;
                if (gone)
                    emit micReplaced(current);
                else
                    emit micMoved(current);
                return;
            }
        }
    }
    if (media::MediaDevices::exists(media::MediaDevices::Microphone, m_mic))
        return;
    // Left without a microphone (or no feed to move): the system's default, if there is one.
    const auto mics = media::MediaDevices::list(media::MediaDevices::Microphone);
    if (mics.isEmpty())
        return;
    qInfo().noquote() << "media: the microphone" << m_mic << "is gone; using the default"
                      << mics.first().first;
    const bool muted = m_micMuted;
    setMic(mics.first().first);
    setMicMuted(muted);
    emit micReplaced(m_mic);
}

void LiveMedia::setMicVolume(double volume)
{
    m_micVolume = volume;
    if (m_cameraFeed)
        m_cameraFeed->setVolume(volume);
}

void LiveMedia::setMicMuted(bool muted)
{
    m_micMuted = muted;
    if (m_cameraFeed)
        m_cameraFeed->setMuted(muted);
}

void LiveMedia::setSpeaker(const QString& id, bool on)
{
    const bool deviceChanged = on && id != m_speaker;
    m_speakerOn = on;
    if (on)
        m_speaker = id;
    if (deviceChanged && !m_subscribers.isEmpty()) {
        // The sink is chosen when a feed's sound arrives: take the feeds in again.
        for (media::MediaSubscriber* s : m_subscribers) {
            s->disconnect();
            s->deleteLater();
        }
        m_subscribers.clear();
        reconcile();
        return;
    }
    for (media::MediaSubscriber* s : m_subscribers)
        s->setMuted(!on);
}

void LiveMedia::setSpeakerVolume(double volume)
{
    m_speakerVolume = volume;
    for (media::MediaSubscriber* s : m_subscribers)
        s->setVolume(volume);
}

void LiveMedia::setScreen(const QRect& area, int fps, bool pushed)
{
    m_screenOn = true;
    m_screenArea = area;
    m_screenFps = fps;
    m_screenPushed = pushed;
    restartScreenFeed();
}

void LiveMedia::changeScreenArea(const QRect& area)
{
    if (area == m_screenArea)
        return;
    m_screenArea = area;
    // Pushed pictures are scaled into the feed; a capture source is made again once the area settles.
    if (m_screenOn && !m_screenPushed)
        m_screenRestart.start();
}

void LiveMedia::stopScreen()
{
    m_screenOn = false;
    m_screenRestart.stop();
    dropPeer(m_screenFeed);
}

void LiveMedia::pushScreenFrame(const media::VideoFrame& frame)
{
    if (m_screenFeed)
        m_screenFeed->pushFrame(frame);
}
