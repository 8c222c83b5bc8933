#include "MediaPublisher.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#define GST_USE_UNSTABLE_API
#include <gst/webrtc/webrtc.h>

#include "MediaDevices.h"
#include "janus/JanusSession.h"

#include <QDebug>
#include <QJsonArray>
#include <QPointer>

namespace media {

namespace {

    const int kCapsPollMs = 50;
    const int kCapsWaitMs = 10000;

    // Every sink pad of webrtcbin carries caps with an ssrc: only then does the offer name the
    // streams, and Janus drops streams the offer does not name.
    bool sinkCapsReady(GstElement* webrtc)
    {
        bool ready = true;
        int pads = 0;
        GstIterator* it = gst_element_iterate_sink_pads(webrtc);
        GValue item = G_VALUE_INIT;
        while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            auto* pad = GST_PAD(g_value_get_object(&item));
            ++pads;
            GstCaps* caps = gst_pad_get_current_caps(pad);
            if (!caps || !gst_structure_has_field(gst_caps_get_structure(caps, 0), "ssrc"))
                ready = false;
            if (caps)
                gst_caps_unref(caps);
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
        return ready && pads > 0;
    }

    void makeSendOnly(GstElement* webrtc)
    {
        GstIterator* it = gst_element_iterate_sink_pads(webrtc);
        GValue item = G_VALUE_INIT;
        while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
            GstWebRTCRTPTransceiver* transceiver = nullptr;
            g_object_get(g_value_get_object(&item), "transceiver", &transceiver, nullptr);
            if (transceiver) {
                g_object_set(
                    transceiver, "direction", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_SENDONLY, nullptr);
                gst_object_unref(transceiver);
            }
            g_value_reset(&item);
        }
        g_value_unset(&item);
        gst_iterator_free(it);
    }

    bool linkSource(GstElement* pipeline, GstElement* source, const char* to, QString* error)
    {
        GstElement* head = gst_bin_get_by_name(GST_BIN(pipeline), to);
        gst_bin_add(GST_BIN(pipeline), source);
        const bool linked = head && gst_element_link(source, head);
        if (head)
            gst_object_unref(head);
        if (!linked)
            *error = QStringLiteral("the source does not fit the %1 pipeline").arg(QString::fromUtf8(to));
        return linked;
    }

} // namespace

MediaPublisher::MediaPublisher(
    JanusSession* session, const RoomAccess& access, quint64 feedId, const FeedSpec& spec, QObject* parent)
    : MediaPeer(session, access, parent)
    , m_feedId(feedId)
    , m_spec(spec)
{
    m_capsWait.setInterval(kCapsPollMs);
    connect(&m_capsWait, &QTimer::timeout, this, &MediaPublisher::offerWhenReady);
}

MediaPublisher::~MediaPublisher()
{
    if (m_appsrc)
        gst_object_unref(m_appsrc);
}

void MediaPublisher::start()
{
    attach();
}

void MediaPublisher::onAttached()
{
    if (m_beforeJoin && m_joinTries == 0) {
        QPointer<MediaPublisher> self(this);
        m_beforeJoin(m_feedId, m_handle, [self] {
            if (self)
                self->join();
        });
        return;
    }
    join();
}

void MediaPublisher::join()
{
    const QJsonObject join { { "request", "join" }, { "ptype", "publisher" },
        { "room", double(m_access.room) }, { "pin", m_access.pin }, { "id", double(m_feedId) },
        { "display", QString::number(m_feedId) } };
    QPointer<MediaPublisher> self(this);
    m_session->message(m_handle, join, QJsonObject(), [self](const QJsonObject& answer) {
        if (!self)
            return;
        // The feed's previous participant may still be on its way out (detached just before).
        const int kIdTaken = 436;
        if (JanusSession::pluginData(answer).value("error_code").toInt() == kIdTaken
            && ++self->m_joinTries < 20) {
            QTimer::singleShot(100, self, [self] { self->join(); });
            return;
        }
        if (!JanusSession::ok(answer)) {
            self->fail(
                QStringLiteral("could not join the media room: %1").arg(JanusSession::errorText(answer)));
            return;
        }
        self->onJoined(JanusSession::pluginData(answer));
    });
}

void MediaPublisher::onJoined(const QJsonObject& data)
{
    m_joined = true;
    notePublishers(data);
    emit joined();
    if (m_spec.hasAudio() || m_spec.hasVideo())
        publish();
}

void MediaPublisher::notePublishers(const QJsonObject& data)
{
    static quint64 lastAnnouncement = 0; // GUI thread only
    bool changed = false;
    for (const QJsonValue& p : data.value("publishers").toArray()) {
        const quint64 id = quint64(p.toObject().value("id").toDouble());
        if (id && id != m_feedId) {
            // Numbered again even when known: it may be a new publication of the same id.
            changed = changed || !m_published.contains(id);
            m_published.insert(id, ++lastAnnouncement);
        }
    }
    for (const char* key : { "unpublished", "leaving", "kicked" }) {
        const QJsonValue gone = data.value(QLatin1String(key));
        if (gone.isDouble() && m_published.remove(quint64(gone.toDouble())))
            changed = true;
    }
    if (changed)
        emit feedsChanged();
}

QSet<quint64> MediaPublisher::publishedFeeds() const
{
    QSet<quint64> feeds;
    for (auto it = m_published.begin(); it != m_published.end(); ++it)
        feeds.insert(it.key());
    return feeds;
}

bool MediaPublisher::forgetFeed(quint64 id, quint64 announcement)
{
    const auto it = m_published.find(id);
    if (it == m_published.end() || *it > announcement)
        return false;
    m_published.erase(it);
    emit feedsChanged();
    return true;
}

void MediaPublisher::onPluginEvent(const QJsonObject& data, const QJsonObject& jsep)
{
    // Put out by the room's owner: Janus tells us with "leaving": "ok" (others hear our id).
    const bool putOut = (data.value("leaving").toString() == QLatin1String("ok")
                            && data.value("reason").toString() == QLatin1String("kicked"))
        || quint64(data.value("kicked").toDouble()) == m_feedId;
    if (putOut && !m_removed) {
        m_removed = true;
        qWarning().noquote() << "media: the media server removed feed" << m_feedId;
        emit removed();
        return;
    }
    notePublishers(data);
    if (jsep.value("type").toString() == QLatin1String("answer"))
        setRemote(QStringLiteral("answer"), jsep.value("sdp").toString());
}

void MediaPublisher::publish()
{
    // One encoder thread: libvpx's VP8 row threads wait for each other by spinning, which cost
    // four to five times the CPU of one thread for the same frames and varied with the load.
    const QString video = QStringLiteral(
        "queue name=vin ! videoconvert ! videoscale ! videorate ! "
        "video/x-raw,width=%1,height=%2,framerate=%3/1 ! "
        "tee name=vt vt. ! queue max-size-buffers=2 leaky=downstream ! videoconvert ! "
        "vp8enc deadline=1 cpu-used=8 threads=1 end-usage=cbr target-bitrate=%4 keyframe-max-dist=60 "
        "error-resilient=partitions lag-in-frames=0 ! rtpvp8pay picture-id-mode=15-bit mtu=1200 ! "
        "application/x-rtp,media=video,encoding-name=VP8,payload=96,clock-rate=90000 ! webrtc. ")
                              .arg(m_spec.width)
                              .arg(m_spec.height)
                              .arg(m_spec.fps)
                              .arg(m_spec.videoBitrate);
    const QString preview = QStringLiteral(
        "vt. ! queue max-size-buffers=2 leaky=downstream ! videoconvert ! video/x-raw,format=%1 ! "
        "appsink name=preview sync=false max-buffers=1 drop=true ")
                                .arg(m_spec.previewI420 ? "I420" : "BGRx");
    const QString audio = QStringLiteral(
        "queue name=ain ! audioconvert ! audioresample ! audio/x-raw,rate=48000,channels=1 ! volume "
        "name=micvol ! level interval=100000000 post-messages=true ! "
        "queue ! opusenc bitrate=%1 frame-size=20 ! rtpopuspay mtu=1200 ! "
        "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000 ! webrtc. ")
                              .arg(m_spec.audioBitrate);
    QString description = QStringLiteral("webrtcbin name=webrtc bundle-policy=max-bundle ");
    if (m_spec.hasVideo())
        description += video + (m_spec.preview ? preview : QString());
    if (m_spec.hasAudio())
        description += audio;
    QString error;
    if (!buildPipeline(description, &error)) {
        fail(error);
        return;
    }
    if (m_spec.pushedVideo) {
        m_appsrc = gst_element_factory_make("appsrc", "pushsrc");
        g_object_set(m_appsrc, "is-live", TRUE, "format", GST_FORMAT_TIME, "do-timestamp", TRUE, "max-bytes",
            guint64(16 << 20), "block", FALSE, nullptr);
        gst_object_ref(m_appsrc);
        if (!linkSource(m_pipeline, m_appsrc, "vin", &error)) {
            fail(error);
            return;
        }
    } else if (!m_spec.videoPipeline.isEmpty()) {
        GError* parseError = nullptr;
        GstElement* source
            = gst_parse_bin_from_description(m_spec.videoPipeline.toUtf8().constData(), TRUE, &parseError);
        if (!source || !linkSource(m_pipeline, source, "vin", &error)) {
            fail(source ? error
                        : QStringLiteral("video source: %1").arg(QString::fromUtf8(parseError->message)));
            g_clear_error(&parseError);
            return;
        }
    } else if (m_spec.hasVideo()) {
        GstElement* camera = MediaDevices::create(MediaDevices::Camera, m_spec.video, &error);
        if (!camera || !linkSource(m_pipeline, camera, "vin", &error)) {
            fail(error);
            return;
        }
    }
    if (m_spec.hasAudio()) {
        GstElement* mic = MediaDevices::create(MediaDevices::Microphone, m_spec.audio, &error);
        if (!mic || !linkSource(m_pipeline, mic, "ain", &error)) {
            fail(error);
            return;
        }
        m_mic = mic;
    }
    if (GstElement* sink = element("preview")) {
        deliverFrames(sink, m_spec.previewI420);
        gst_object_unref(sink);
    }
    applyVolume();
    if (!play())
        return;
    m_capsPolls = 0;
    m_capsWait.start();
}

void MediaPublisher::offerWhenReady()
{
    if (!m_webrtc || m_failed) {
        m_capsWait.stop();
        return;
    }
    if (!sinkCapsReady(m_webrtc)) {
        if (++m_capsPolls * kCapsPollMs > kCapsWaitMs) {
            m_capsWait.stop();
            fail(QStringLiteral("the media sources produced nothing to send"));
        }
        return;
    }
    m_capsWait.stop();
    makeSendOnly(m_webrtc);
    createOffer();
}

void MediaPublisher::onLocalDescription(const QString& type, const QString& sdp)
{
    if (type != QLatin1String("offer"))
        return;
    const QJsonObject body { { "request", "publish" }, { "audio", m_spec.hasAudio() },
        { "video", m_spec.hasVideo() } };
    QPointer<MediaPublisher> self(this);
    m_session->message(m_handle, body, QJsonObject { { "type", "offer" }, { "sdp", sdp } },
        [self](const QJsonObject& answer) {
            if (!self)
                return;
            if (!JanusSession::ok(answer)) {
                self->fail(QStringLiteral("the media server refused the feed: %1")
                               .arg(JanusSession::errorText(answer)));
                return;
            }
            const QJsonObject jsep = answer.value("jsep").toObject();
            if (jsep.value("type").toString() == QLatin1String("answer"))
                self->setRemote(QStringLiteral("answer"), jsep.value("sdp").toString());
        });
}

void MediaPublisher::onFrame(const VideoFrame& frame)
{
    if (m_onFrame)
        m_onFrame(frame);
}

void MediaPublisher::setVolume(double volume)
{
    m_volume = qBound(0.0, volume, 1.0);
    applyVolume();
}

void MediaPublisher::setMuted(bool muted)
{
    m_muted = muted;
    applyVolume();
}

void MediaPublisher::applyVolume()
{
    if (GstElement* volume = element("micvol")) {
        g_object_set(volume, "volume", m_volume, "mute", gboolean(m_muted), nullptr);
        gst_object_unref(volume);
    }
}

void MediaPublisher::onLevel(double db)
{
    m_level = db;
}

QString MediaPublisher::micDevice() const
{
    if (!m_mic || !g_object_class_find_property(G_OBJECT_GET_CLASS(m_mic), "current-device"))
        return m_spec.audio;
    gchar* current = nullptr;
    g_object_get(m_mic, "current-device", &current, nullptr);
    const QString id = QString::fromUtf8(current);
    g_free(current);
    // Not known until the sound server has opened the stream.
    return id.isEmpty() ? m_spec.audio : id;
}

bool MediaPublisher::switchMic(const QString& id)
{
    if (!m_spec.hasAudio() || !m_mic)
        return false;
    m_spec.audio = id;
    // A sound server moves a running stream to another device: no gap in the feed, no new offer.
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(m_mic), "current-device")) {
        g_object_set(m_mic, "device", id.toUtf8().constData(), nullptr);
        return true;
    }
    // Elsewhere the source is replaced in the running pipeline; what follows it stays.
    QString error;
    GstElement* next = MediaDevices::create(MediaDevices::Microphone, id, &error);
    if (!next) {
        qWarning().noquote() << "media:" << error;
        return false;
    }
    GstElement* head = element("ain");
    if (head) {
        gst_element_unlink(m_mic, head);
        gst_object_unref(head);
    }
    gst_element_set_state(m_mic, GST_STATE_NULL);
    gst_bin_remove(GST_BIN(m_pipeline), m_mic);
    m_mic = nullptr;
    if (!linkSource(m_pipeline, next, "ain", &error)) {
        qWarning().noquote() << "media:" << error;
        return false;
    }
    gst_element_sync_state_with_parent(next);
    m_mic = next;
    return true;
}

void MediaPublisher::pushFrame(const VideoFrame& frame)
{
    if (!m_appsrc || frame.i420 || frame.width <= 0 || frame.height <= 0
        || frame.data.size() != qint64(frame.width) * frame.height * 4)
        return;
    guint64 queued = 0;
    g_object_get(m_appsrc, "current-level-bytes", &queued, nullptr);
    if (queued > guint64(frame.data.size()))
        return;
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGRx", "width", G_TYPE_INT,
        frame.width, "height", G_TYPE_INT, frame.height, "framerate", GST_TYPE_FRACTION, 0, 1, nullptr);
    GstCaps* current = gst_app_src_get_caps(GST_APP_SRC(m_appsrc));
    if (!current || !gst_caps_is_equal(current, caps))
        gst_app_src_set_caps(GST_APP_SRC(m_appsrc), caps);
    if (current)
        gst_caps_unref(current);
    gst_caps_unref(caps);
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, gsize(frame.data.size()), nullptr);
    gst_buffer_fill(buffer, 0, frame.data.constData(), gsize(frame.data.size()));
    gst_app_src_push_buffer(GST_APP_SRC(m_appsrc), buffer);
}

} // namespace media
