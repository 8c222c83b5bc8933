#pragma once

#include "media/MediaPeer.h"
#include "media/MediaPublisher.h"

#include <QHash>
#include <QObject>
#include <QRect>
#include <QSet>
#include <QTimer>

#include <functional>

class JanusSession;
namespace media {
class MediaSubscriber;
}

// The room's sound and video for the live-video service: one Janus session, the member's camera
// feed (camera + microphone; it also hears which feeds are published), the screen feed, and one
// subscriber per feed of another member. Recovers by itself from a media server that goes away.
class LiveMedia : public QObject {
    Q_OBJECT
public:
    struct Feeds {
        quint64 camera = 0;
        quint64 screen = 0;
    };
    using FeedMap = QHash<QString, Feeds>;
    enum Source { Camera = 1, Screen = 2 };

    explicit LiveMedia(QObject* parent = nullptr);
    ~LiveMedia() override;

    // Reads the relay's "media" object; false when there is none.
    static bool parseRoom(const QJsonObject& media, media::RoomAccess* access, FeedMap* feeds);
    static FeedMap parseFeeds(const QJsonObject& feeds);

    // The relay's word on which feeds are published by their owners: only those are received (in a
    // room with a media token; an older relay hands out none and vouches for nothing).
    void setLiveFeeds(const QList<quint64>& feeds);
    // How the relay hears which handle each of our feeds goes out on, before it joins; done()
    // lets the join go ahead (whatever the relay answered). Without one the feeds join at once.
    using Claim
        = std::function<void(quint64 session, quint64 handle, quint64 feed, std::function<void()> done)>;
    void setClaim(Claim claim) { m_claim = std::move(claim); }

    // The room's media (an invalid access: the room has none), and whose feeds are whose.
    void enterRoom(const QString& self, const media::RoomAccess& access, const FeedMap& feeds);
    void addFeeds(const FeedMap& feeds);
    void leaveRoom();
    bool hasRoom() const { return m_access.isValid(); }
    const media::RoomAccess& access() const { return m_access; }
    const FeedMap& feeds() const { return m_feeds; }
    bool isConnected() const;
    // Runs done(true) once the media server can be used, done(false) when it cannot (no media
    // room, the server unreachable).
    void whenReady(std::function<void(bool)> done);

    // What the camera feed carries: a camera and a microphone (device ids; empty for none).
    void setCamera(const QString& id);
    void setMic(const QString& id);
    // The microphone in use now (the sound server may have moved it), and how loud it sends
    // (dBFS; -200 when nothing is sent).
    QString micDevice() const { return m_mic; }
    double micLevel() const;
    void setMicVolume(double volume);
    void setMicMuted(bool muted);
    // Where received sound plays (empty: nowhere), and how loud.
    void setSpeaker(const QString& id, bool on);
    void setSpeakerVolume(double volume);
    void setI420(bool i420) { m_i420 = i420; }
    // Whether the member may be heard and seen now. The host always may; a student only while on
    // the microphone: off it, its camera feed is ended (the media server removes a feed left
    // published), and it stays ended, also after the server removed it, until this is set again.
    void setMayPublish(bool may);
    bool mayPublish() const { return m_mayPublish; }

    // The screen feed: a rectangle (right and bottom exclusive) at a rate, or off.
    void setScreen(const QRect& area, int fps, bool pushed);
    void changeScreenArea(const QRect& area);
    void stopScreen();
    void pushScreenFrame(const media::VideoFrame& frame);

    // Subscribed feeds, and the ones whose media flow, for tests and logs.
    int subscriptionCount() const { return m_subscribers.size(); }
    int publisherUpCount() const;

signals:
    void remoteFrame(const QString& userId, int source, const media::VideoFrame& frame);
    void localFrame(const media::VideoFrame& frame);
    void remoteLevel(const QString& userId, double db);
    // A feed of another member is no longer received (unpublished, or its connection failed).
    void remoteEnded(const QString& userId, int source);
    // The microphone in use went away and the sound comes from another one now: moved there by
    // the sound server, or by us to the system's default when the server left it without one.
    void micReplaced(const QString& id);
    // The sound server moved the stream to another microphone while the one in use is still there
    // (a headset plugged in again gets back the streams it had).
    void micMoved(const QString& id);
    // The media server removed one of our feeds; it is not offered again until we may publish.
    void feedRemoved(int source);

private:
    void openSession();
    void sessionLost(const QString& why);
    // Ends the feeds, the subscriptions and the session (closing it first when it still stands).
    void dropSession(bool closeIt);
    void restartCameraFeed();
    void scheduleCameraRestart() { m_cameraRestart.start(); }
    void restartScreenFeed();
    void reconcile();
    void settleReady(bool ok);
    bool whoseFeed(quint64 feed, QString* user, int* source) const;
    void dropSubscriber(quint64 feed);
    void checkMic();
    void claimBeforeJoin(media::MediaPublisher* feed);

    QString m_self;
    media::RoomAccess m_access;
    FeedMap m_feeds;
    QSet<quint64> m_published; // by others, as the camera feed last heard
    QSet<quint64> m_live; // vouched for by the relay
    Claim m_claim;
    JanusSession* m_session = nullptr;
    bool m_sessionFailed = false;
    QTimer m_retry;
    QTimer m_screenRestart;
    QTimer m_cameraRestart;
    QList<std::function<void(bool)>> m_waiting;

    QString m_camera;
    QString m_mic;
    QString m_micSeen; // where the running stream was last seen recording
    QTimer m_micWatch;
    double m_micVolume = 1.0;
    bool m_micMuted = false;
    bool m_mayPublish = true;
    QString m_speaker;
    bool m_speakerOn = false;
    double m_speakerVolume = 1.0;
    bool m_i420 = false;
    bool m_screenOn = false;
    bool m_screenPushed = false;
    QRect m_screenArea;
    int m_screenFps = 10;

    media::MediaPublisher* m_cameraFeed = nullptr;
    media::MediaPublisher* m_screenFeed = nullptr;
    QHash<quint64, media::MediaSubscriber*> m_subscribers;
};
