#pragma once

#include "MediaPeer.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QTimer>

#include <functional>

namespace media {

// What one feed carries. A source is a device id (see MediaDevices) or empty for none.
struct FeedSpec {
    QString video;
    int width = 640;
    int height = 360;
    int fps = 15;
    int videoBitrate = 600000;
    QString audio;
    int audioBitrate = 32000;
    // Or a GStreamer description of the video source (a screen capture source).
    QString videoPipeline;
    // Or the video comes from pushFrame() (a screen grabbed by the caller).
    bool pushedVideo = false;
    // Raw video frames are handed to the frame callback too (the local preview).
    bool preview = false;
    bool previewI420 = false;
    bool hasVideo() const { return pushedVideo || !video.isEmpty() || !videoPipeline.isEmpty(); }
    bool hasAudio() const { return !audio.isEmpty(); }
};

// One participant of a Janus VideoRoom under a given feed id: joins (and so hears which feeds are
// published), and publishes the feed's audio and video with webrtcbin (VP8 + Opus) when it has any.
class MediaPublisher : public MediaPeer {
    Q_OBJECT
public:
    MediaPublisher(JanusSession* session, const RoomAccess& access, quint64 feedId, const FeedSpec& spec,
        QObject* parent = nullptr);
    ~MediaPublisher() override;

    void start();
    quint64 feedId() const { return m_feedId; }
    bool isJoined() const { return m_joined; }
    const FeedSpec& spec() const { return m_spec; }
    // Feeds others publish in the room now.
    QSet<quint64> publishedFeeds() const;
    // The number of the announcement a feed was last heard in (0: not published). Numbers grow
    // across all publishers: a feed that comes back under the same id gets a higher one.
    quint64 announcement(quint64 id) const { return m_published.value(id); }
    // A feed the media server says does not exist any more, though no event told us so; kept
    // when it was announced again after the given announcement (the failure was the old one's).
    bool forgetFeed(quint64 id, quint64 announcement);
    // The media server put this participant out of the room (the room's owner removed it).
    bool wasRemoved() const { return m_removed; }

    // Live controls: the microphone's gain (0-1) and mute; a muted feed sends silence.
    void setVolume(double volume);
    void setMuted(bool muted);
    // The microphone in use (a sound server may have moved the stream to another device), and
    // another one taken into the running feed; false when the feed sends no sound.
    QString micDevice() const;
    bool switchMic(const QString& id);
    // The loudness sent (dBFS, after volume and mute); -200 before any sound.
    double micLevel() const { return m_level; }
    // A picture for a pushedVideo feed; dropped while the encoder is still busy with the last one.
    void pushFrame(const VideoFrame& frame);
    // The local preview's pictures, on the owner's thread.
    // Asked once the handle exists, before joining under the feed id: the relay must know which
    // handle is ours first (it vouches for our feed, and removes an impostor holding the id). The
    // join waits for proceed().
    using BeforeJoin = std::function<void(quint64 feedId, quint64 handle, std::function<void()> proceed)>;
    void setBeforeJoin(BeforeJoin beforeJoin) { m_beforeJoin = std::move(beforeJoin); }

    void setFrameCallback(std::function<void(const VideoFrame&)> callback)
    {
        m_onFrame = std::move(callback);
    }

signals:
    void joined();
    void feedsChanged();
    void removed();

protected:
    void onAttached() override;
    void onPluginEvent(const QJsonObject& data, const QJsonObject& jsep) override;
    void onLocalDescription(const QString& type, const QString& sdp) override;
    void onFrame(const VideoFrame& frame) override;
    void onLevel(double db) override;

private:
    void join();
    void onJoined(const QJsonObject& data);
    void notePublishers(const QJsonObject& data);
    void publish();
    void offerWhenReady();
    void applyVolume();

    quint64 m_feedId = 0;
    FeedSpec m_spec;
    bool m_joined = false;
    bool m_removed = false;
    int m_joinTries = 0;
    BeforeJoin m_beforeJoin;
    QHash<quint64, quint64> m_published; // feed, its last announcement
    QTimer m_capsWait;
    int m_capsPolls = 0;
    double m_volume = 1.0;
    bool m_muted = false;
    std::function<void(const VideoFrame&)> m_onFrame;
    GstElement* m_appsrc = nullptr;
    GstElement* m_mic = nullptr; // owned by the pipeline
    double m_level = -200.0;
};

} // namespace media
