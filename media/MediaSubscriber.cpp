#include "MediaSubscriber.h"

#include <gst/gst.h>

#include "MediaDevices.h"
#include "janus/JanusSession.h"

#include <QDebug>
#include <QJsonArray>
#include <QPointer>

namespace media {

MediaSubscriber::MediaSubscriber(JanusSession* session, const RoomAccess& access, quint64 feedId,
    const QString& speaker, bool i420, QObject* parent)
    : MediaPeer(session, access, parent)
    , m_feedId(feedId)
    , m_speaker(speaker)
    , m_i420(i420)
{
}

void MediaSubscriber::start()
{
    attach();
}

void MediaSubscriber::onAttached()
{
    const QJsonObject join { { "request", "join" }, { "ptype", "subscriber" },
        { "room", double(m_access.room) }, { "pin", m_access.pin },
        { "streams", QJsonArray { QJsonObject { { "feed", double(m_feedId) } } } } };
    QPointer<MediaSubscriber> self(this);
    m_session->message(m_handle, join, QJsonObject(), [self](const QJsonObject& answer) {
        if (!self)
            return;
        const QJsonObject jsep = answer.value("jsep").toObject();
        if (!JanusSession::ok(answer) || jsep.value("type").toString() != QLatin1String("offer")) {
            const int kNoSuchFeed = 428;
            self->m_feedGone = JanusSession::pluginData(answer).value("error_code").toInt() == kNoSuchFeed;
            self->fail(QStringLiteral("could not receive feed %1: %2")
                           .arg(self->m_feedId)
                           .arg(JanusSession::errorText(answer)));
            return;
        }
        // A short jitter buffer: this is a conversation, not a broadcast.
        QString error;
        if (!self->buildPipeline(
                QStringLiteral("webrtcbin name=webrtc bundle-policy=max-bundle latency=50"), &error)) {
            self->fail(error);
            return;
        }
        if (self->play())
            self->setRemote(QStringLiteral("offer"), jsep.value("sdp").toString());
    });
}

void MediaSubscriber::onLocalDescription(const QString& type, const QString& sdp)
{
    if (type != QLatin1String("answer"))
        return;
    QPointer<MediaSubscriber> self(this);
    m_session->message(m_handle, QJsonObject { { "request", "start" }, { "room", double(m_access.room) } },
        QJsonObject { { "type", "answer" }, { "sdp", sdp } }, [self](const QJsonObject& answer) {
            if (self && !JanusSession::ok(answer))
                self->fail(QStringLiteral("the media server would not start the feed: %1")
                               .arg(JanusSession::errorText(answer)));
        });
}

void MediaSubscriber::onPadAdded(GstPad* pad)
{
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            static_cast<std::atomic<qint64>*>(data)->fetch_add(
                qint64(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info))));
            return GST_PAD_PROBE_OK;
        },
        &m_receivedBytes, nullptr);
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps)
        caps = gst_pad_query_caps(pad, nullptr);
    const GstStructure* s = gst_caps_get_structure(caps, 0);
    const QString encoding = QString::fromUtf8(gst_structure_get_string(s, "encoding-name")).toUpper();
    gst_caps_unref(caps);
    QString description;
    if (encoding == QLatin1String("VP8")) {
        // After a loss nothing decodes until the next key frame: ask for one rather than wait.
        description = QStringLiteral("queue ! rtpvp8depay request-keyframe=true wait-for-keyframe=true ! "
                                     "vp8dec ! videoconvert ! video/x-raw,format=%1 ! "
                                     "appsink name=frames sync=false max-buffers=1 drop=true")
                          .arg(m_i420 ? "I420" : "BGRx");
    } else if (encoding == QLatin1String("OPUS")) {
        description = QStringLiteral("queue ! rtpopusdepay ! opusdec ! audioconvert ! audioresample ! "
                                     "volume name=speakervol ! level interval=20000000 post-messages=true ! "
                                     "audioconvert ! audioresample ! queue name=aout");
    } else {
        GstElement* drop = gst_element_factory_make("fakesink", nullptr);
        gst_bin_add(GST_BIN(m_pipeline), drop);
        gst_element_sync_state_with_parent(drop);
        GstPad* sinkPad = gst_element_get_static_pad(drop, "sink");
        gst_pad_link(pad, sinkPad);
        gst_object_unref(sinkPad);
        return;
    }
    GError* error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(description.toUtf8().constData(), TRUE, &error);
    if (!bin) {
        g_clear_error(&error);
        return;
    }
    gst_bin_add(GST_BIN(m_pipeline), bin);
    if (encoding == QLatin1String("OPUS")) {
        QString why;
        GstElement* speaker = nullptr;
        if (!m_speaker.isEmpty())
            speaker = MediaDevices::create(MediaDevices::Speaker, m_speaker, &why);
        if (!speaker) {
            speaker = gst_element_factory_make("fakesink", nullptr);
            g_object_set(speaker, "sync", TRUE, nullptr);
        }
        gst_bin_add(GST_BIN(m_pipeline), speaker);
        gst_element_link(bin, speaker);
        gst_element_sync_state_with_parent(speaker);
        if (GstElement* volume = gst_bin_get_by_name(GST_BIN(bin), "speakervol")) {
            g_object_set(volume, "volume", m_volume, "mute", gboolean(m_muted), nullptr);
            gst_object_unref(volume);
        }
    } else if (GstElement* sink = gst_bin_get_by_name(GST_BIN(bin), "frames")) {
        deliverFrames(sink, m_i420);
        gst_object_unref(sink);
    }
    gst_element_sync_state_with_parent(bin);
    GstPad* sinkPad = gst_element_get_static_pad(bin, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
}

void MediaSubscriber::onLevel(double db)
{
    m_level = db;
    emit audioLevel(db);
}

void MediaSubscriber::onFrame(const VideoFrame& frame)
{
    if (m_onFrame)
        m_onFrame(frame);
}

void MediaSubscriber::setVolume(double volume)
{
    m_volume = qBound(0.0, volume, 1.0);
    applyVolume();
}

void MediaSubscriber::setMuted(bool muted)
{
    m_muted = muted;
    applyVolume();
}

void MediaSubscriber::applyVolume()
{
    if (GstElement* volume = element("speakervol")) {
        g_object_set(volume, "volume", m_volume, "mute", gboolean(m_muted), nullptr);
        gst_object_unref(volume);
    }
}

} // namespace media
