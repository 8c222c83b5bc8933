#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class JanusSession;
typedef struct _GstElement GstElement;
typedef struct _GstPad GstPad;

namespace media {

// Where a member's media go: the media server, its room and the room's PIN.
struct RoomAccess {
    QString url;
    quint64 room = 0;
    QString pin;
    QString token; // what the media server asks of every request
    bool isValid() const { return !url.isEmpty() && room != 0; }
};

// A picture: RGB32 words (0xffRRGGBB) or I420 planes packed without padding.
struct VideoFrame {
    QByteArray data;
    int width = 0;
    int height = 0;
    bool i420 = false;
    qint64 timestampMs = 0; // wall clock when it left the pipeline
};

// One Janus VideoRoom handle and the webrtcbin pipeline behind it. GStreamer calls back from
// its own threads; everything here is brought to the owner's thread before it acts.
class MediaPeer : public QObject {
    Q_OBJECT
public:
    MediaPeer(JanusSession* session, const RoomAccess& access, QObject* parent = nullptr);
    ~MediaPeer() override;

    bool isUp() const { return m_up; }
    quint64 handle() const { return m_handle; }

signals:
    // Janus reports the PeerConnection up: media flow.
    void up();
    // The handle or the pipeline failed, or Janus hung up; the peer is of no further use.
    void failed(const QString& why);

protected:
    // Runs fn on the owner's thread unless the peer is gone by then. Safe from any thread.
    void post(std::function<void()> fn);
    // Hands the appsink's pictures to onFrame() on the owner's thread, dropping pictures while one
    // is still on its way. Safe from any thread.
    void deliverFrames(GstElement* appsink, bool i420);
    virtual void onFrame(const VideoFrame&) { }
    // Attaches the VideoRoom handle; then onAttached().
    void attach();
    virtual void onAttached() = 0;
    virtual void onPluginEvent(const QJsonObject& data, const QJsonObject& jsep);

    // Builds "<description>" with a webrtcbin named "webrtc" in it and wires its signals.
    bool buildPipeline(const QString& description, QString* error);
    bool play();
    void stopPipeline();
    GstElement* element(const char* name) const;
    void createOffer();
    // Applies the remote SDP; an offer is answered (onLocalDescription).
    void setRemote(const QString& type, const QString& sdp);
    void fail(const QString& why);

    // Called on the owner's thread.
    virtual void onLocalDescription(const QString& type, const QString& sdp);
    // Called on a streaming thread: only GStreamer work, nothing of the owner's state.
    virtual void onPadAdded(GstPad*) { }
    // An audio level (dBFS, the loudest channel's RMS over 20 ms) from a "level" element.
    virtual void onLevel(double) { }

    // The session may go first when both die with their owner.
    QPointer<JanusSession> m_session;
    RoomAccess m_access;
    quint64 m_handle = 0;
    GstElement* m_pipeline = nullptr;
    GstElement* m_webrtc = nullptr;
    bool m_up = false;
    bool m_failed = false;

public:
    struct Guard;

private:
    void onHandleEvent(quint64 handle, const QJsonObject& message);
    void sendCandidate(int mline, const QString& candidate);

    std::shared_ptr<Guard> m_guard;
    bool m_gatheringDone = false;

    friend struct PeerCallbacks;
    friend struct PeerAccess;
};

} // namespace media
