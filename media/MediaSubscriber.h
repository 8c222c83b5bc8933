#pragma once

#include "MediaPeer.h"

#include <atomic>
#include <functional>

namespace media {

// One feed of a Janus VideoRoom received: its video decoded into pictures (on the owner's thread)
// and its audio played on a speaker, with volume and mute, and measured.
class MediaSubscriber : public MediaPeer {
    Q_OBJECT
public:
    // speaker: a speaker id from MediaDevices, or empty to play nowhere (the sound is still measured).
    MediaSubscriber(JanusSession* session, const RoomAccess& access, quint64 feedId, const QString& speaker,
        bool i420, QObject* parent = nullptr);

    void start();
    quint64 feedId() const { return m_feedId; }
    void setVolume(double volume);
    void setMuted(bool muted);
    // Last sound level heard (dBFS); -200 before any sound.
    double level() const { return m_level; }
    void setFrameCallback(std::function<void(const VideoFrame&)> callback)
    {
        m_onFrame = std::move(callback);
    }
    // RTP bytes received so far, audio and video.
    qint64 receivedBytes() const { return m_receivedBytes; }
    // The media server said the feed does not exist (it ended or was removed).
    bool feedGone() const { return m_feedGone; }

signals:
    // Every 20 ms of sound played: its loudness in dBFS.
    void audioLevel(double db);

protected:
    void onAttached() override;
    void onLocalDescription(const QString& type, const QString& sdp) override;
    void onPadAdded(GstPad* pad) override;
    void onLevel(double db) override;
    void onFrame(const VideoFrame& frame) override;

private:
    void applyVolume();

    quint64 m_feedId = 0;
    QString m_speaker;
    bool m_i420 = false;
    double m_volume = 1.0;
    bool m_muted = false;
    bool m_feedGone = false;
    double m_level = -200.0;
    std::function<void(const VideoFrame&)> m_onFrame;
    std::atomic<qint64> m_receivedBytes { 0 };
};

} // namespace media
