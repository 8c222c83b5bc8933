#include "MediaPeer.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#define GST_USE_UNSTABLE_API
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include "janus/JanusSession.h"

#include <QDateTime>
#include <QDebug>
#include <QMetaObject>
#include <QPointer>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

namespace media {

// What GStreamer's callbacks hold: the peer while it lives, null afterwards.
struct MediaPeer::Guard {
    std::mutex mutex;
    MediaPeer* peer = nullptr;
};

using GuardRef = std::shared_ptr<MediaPeer::Guard>;

struct PeerAccess {
    static void frame(MediaPeer* peer, const VideoFrame& frame) { peer->onFrame(frame); }
};

struct PeerCallbacks {
    static void freeRef(gpointer data, GClosure* = nullptr) { delete static_cast<GuardRef*>(data); }
    static void freeRefNotify(gpointer data) { delete static_cast<GuardRef*>(data); }

    static void onIceCandidate(GstElement*, guint mline, gchar* candidate, gpointer data)
    {
        const QString text = QString::fromUtf8(candidate);
        const int index = int(mline);
        withPeer(data,
            [&](MediaPeer* peer) { peer->post([peer, index, text] { peer->sendCandidate(index, text); }); });
    }

    static void onGatheringState(GstElement* webrtc, GParamSpec*, gpointer data)
    {
        GstWebRTCICEGatheringState state = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
        g_object_get(webrtc, "ice-gathering-state", &state, nullptr);
        if (state != GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE)
            return;
        withPeer(data, [&](MediaPeer* peer) { peer->post([peer] { peer->sendCandidate(-1, QString()); }); });
    }

    static void onPadAdded(GstElement*, GstPad* pad, gpointer data)
    {
        if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
            return;
        withPeer(data, [&](MediaPeer* peer) { peer->onPadAdded(pad); });
    }

    static void onDescription(GstPromise* promise, gpointer data)
    {
        const GstStructure* reply = gst_promise_get_reply(promise);
        GstWebRTCSessionDescription* desc = nullptr;
        const bool offer = reply && gst_structure_has_field(reply, "offer");
        if (reply)
            gst_structure_get(
                reply, offer ? "offer" : "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &desc, nullptr);
        withPeer(data, [&](MediaPeer* peer) {
            if (!desc) {
                peer->post([peer] { peer->fail(QStringLiteral("webrtcbin made no session description")); });
                return;
            }
            g_signal_emit_by_name(peer->m_webrtc, "set-local-description", desc, nullptr);
            gchar* sdp = gst_sdp_message_as_text(desc->sdp);
            const QString text = QString::fromUtf8(sdp);
            g_free(sdp);
            const QString type = offer ? QStringLiteral("offer") : QStringLiteral("answer");
            peer->post([peer, type, text] { peer->onLocalDescription(type, text); });
        });
        if (desc)
            gst_webrtc_session_description_free(desc);
        gst_promise_unref(promise);
    }

    static GstBusSyncReply onBus(GstBus*, GstMessage* message, gpointer data)
    {
        if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
            GError* error = nullptr;
            gchar* debug = nullptr;
            gst_message_parse_error(message, &error, &debug);
            const QString why = QStringLiteral("%1: %2").arg(QString::fromUtf8(GST_OBJECT_NAME(message->src)),
                QString::fromUtf8(error ? error->message : ""));
            qWarning().noquote() << "media pipeline error:" << why << (debug ? debug : "");
            g_clear_error(&error);
            g_free(debug);
            withPeer(data, [&](MediaPeer* peer) { peer->post([peer, why] { peer->fail(why); }); });
        } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ELEMENT) {
            const GstStructure* s = gst_message_get_structure(message);
            if (s && gst_structure_has_name(s, "level")) {
                const double db = loudestRms(s);
                withPeer(data, [&](MediaPeer* peer) { peer->post([peer, db] { peer->onLevel(db); }); });
            }
        }
        gst_message_unref(message);
        return GST_BUS_DROP;
    }

    static double loudestRms(const GstStructure* s)
    {
        double loudest = -200.0;
        const GValue* rms = gst_structure_get_value(s, "rms");
        if (!rms)
            return loudest;
        if (GST_VALUE_HOLDS_LIST(rms) || GST_VALUE_HOLDS_ARRAY(rms)) {
            const guint n
                = GST_VALUE_HOLDS_LIST(rms) ? gst_value_list_get_size(rms) : gst_value_array_get_size(rms);
            for (guint i = 0; i < n; ++i) {
                const GValue* v = GST_VALUE_HOLDS_LIST(rms) ? gst_value_list_get_value(rms, i)
                                                            : gst_value_array_get_value(rms, i);
                loudest = std::max(loudest, g_value_get_double(v));
            }
            return loudest;
        }
        // The element still posts a GValueArray, whose type is marked deprecated: read its fields.
        auto* array = static_cast<GValueArray*>(g_value_get_boxed(rms));
        for (guint i = 0; array && i < array->n_values; ++i)
            loudest = std::max(loudest, g_value_get_double(&array->values[i]));
        return std::isfinite(loudest) ? loudest : -200.0;
    }

    template <typename F> static void withPeer(gpointer data, F&& fn)
    {
        GuardRef& guard = *static_cast<GuardRef*>(data);
        std::lock_guard<std::mutex> lock(guard->mutex);
        if (guard->peer)
            fn(guard->peer);
    }
};

MediaPeer::MediaPeer(JanusSession* session, const RoomAccess& access, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_access(access)
    , m_guard(std::make_shared<Guard>())
{
    m_guard->peer = this;
    if (!gst_is_initialized())
        gst_init(nullptr, nullptr);
    connect(m_session, &JanusSession::handleEvent, this, &MediaPeer::onHandleEvent);
    connect(m_session, &JanusSession::failed, this, [this](const QString& why) { fail(why); });
}

MediaPeer::~MediaPeer()
{
    {
        std::lock_guard<std::mutex> lock(m_guard->mutex);
        m_guard->peer = nullptr;
    }
    stopPipeline();
    if (m_handle && m_session && m_session->isReady())
        m_session->detach(m_handle);
}

void MediaPeer::post(std::function<void()> fn)
{
    // Callers on streaming threads hold the guard, so the peer cannot go away meanwhile.
    // Not RunOnGuiThread: the owner's thread need not be the GUI thread, and a caller that holds
    // GStreamer's locks must never run fn inline.
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

namespace {

    struct FrameSink {
        GuardRef guard;
        bool i420 = false;
        std::shared_ptr<std::atomic<bool>> pending = std::make_shared<std::atomic<bool>>(false);
    };

    bool toFrame(GstSample* sample, bool i420, VideoFrame* out)
    {
        GstVideoInfo info;
        if (!gst_video_info_from_caps(&info, gst_sample_get_caps(sample)))
            return false;
        GstVideoFrame frame;
        if (!gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ))
            return false;
        const int w = GST_VIDEO_INFO_WIDTH(&info);
        const int h = GST_VIDEO_INFO_HEIGHT(&info);
        out->width = w;
        out->height = h;
        out->i420 = i420;
        const int planes = i420 ? 3 : 1;
        int total = 0;
        for (int p = 0; p < planes; ++p)
            total += GST_VIDEO_FRAME_COMP_WIDTH(&frame, p) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, p)
                * GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p);
        out->data.resize(total);
        char* dst = out->data.data();
        // Rows packed tight: the service's format has no row padding, GStreamer's may.
        for (int p = 0; p < planes; ++p) {
            const int rowBytes
                = GST_VIDEO_FRAME_COMP_WIDTH(&frame, p) * GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, p);
            const int rows = GST_VIDEO_FRAME_COMP_HEIGHT(&frame, p);
            const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, p);
            const auto* src = static_cast<const char*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, p));
            for (int y = 0; y < rows; ++y, dst += rowBytes)
                memcpy(dst, src + qint64(y) * stride, size_t(rowBytes));
        }
        gst_video_frame_unmap(&frame);
        out->timestampMs = QDateTime::currentMSecsSinceEpoch();
        return true;
    }

    GstFlowReturn onNewSample(GstAppSink* appsink, gpointer data)
    {
        auto* sink = static_cast<FrameSink*>(data);
        GstSample* sample = gst_app_sink_pull_sample(appsink);
        if (!sample)
            return GST_FLOW_OK;
        if (!sink->pending->load()) {
            VideoFrame frame;
            if (toFrame(sample, sink->i420, &frame)) {
                std::lock_guard<std::mutex> lock(sink->guard->mutex);
                if (MediaPeer* peer = sink->guard->peer) {
                    sink->pending->store(true);
                    auto pending = sink->pending;
                    // Queued to the owner's thread, never inline, for the reason post() gives.
                    QMetaObject::invokeMethod(
                        peer,
                        [peer, frame, pending] {
                            pending->store(false);
                            PeerAccess::frame(peer, frame);
                        },
                        Qt::QueuedConnection);
                }
            }
        }
        gst_sample_unref(sample);
        return GST_FLOW_OK;
    }

    void freeFrameSink(gpointer data)
    {
        delete static_cast<FrameSink*>(data);
    }

} // namespace

void MediaPeer::deliverFrames(GstElement* appsink, bool i420)
{
    auto* sink = new FrameSink;
    sink->guard = m_guard;
    sink->i420 = i420;
    GstAppSinkCallbacks callbacks {};
    callbacks.new_sample = onNewSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, sink, freeFrameSink);
}

void MediaPeer::attach()
{
    QPointer<MediaPeer> self(this);
    m_session->attach(QStringLiteral("janus.plugin.videoroom"), [self](const QJsonObject& answer) {
        if (!self)
            return;
        const quint64 id = quint64(answer.value("data").toObject().value("id").toDouble());
        if (!JanusSession::ok(answer) || !id) {
            self->fail(QStringLiteral("could not attach to the media room: %1")
                           .arg(JanusSession::errorText(answer)));
            return;
        }
        self->m_handle = id;
        self->onAttached();
    });
}

void MediaPeer::onPluginEvent(const QJsonObject&, const QJsonObject&) { }

bool MediaPeer::buildPipeline(const QString& description, QString* error)
{
    GError* parseError = nullptr;
    const QByteArray text = description.toUtf8();
    GstElement* pipeline = gst_parse_launch(text.constData(), &parseError);
    if (!pipeline || parseError) {
        *error = QStringLiteral("media pipeline: %1")
                     .arg(QString::fromUtf8(parseError ? parseError->message : "?"));
        g_clear_error(&parseError);
        if (pipeline)
            gst_object_unref(pipeline);
        return false;
    }
    if (!GST_IS_PIPELINE(pipeline)) {
        // A description of one element parses to that element alone.
        GstElement* single = pipeline;
        pipeline = gst_pipeline_new(nullptr);
        gst_bin_add(GST_BIN(pipeline), single);
    }
    m_pipeline = pipeline;
    m_webrtc = gst_bin_get_by_name(GST_BIN(pipeline), "webrtc");
    if (!m_webrtc) {
        *error = QStringLiteral("media pipeline without webrtcbin");
        stopPipeline();
        return false;
    }
    // No port mapping on the router and no TCP candidates: the media server is reached over UDP.
    GObject* ice = nullptr;
    g_object_get(m_webrtc, "ice-agent", &ice, nullptr);
    if (ice) {
        g_object_set(ice, "ice-tcp", FALSE, nullptr);
        GObject* agent = nullptr;
        g_object_get(ice, "agent", &agent, nullptr);
        if (agent) {
            g_object_set(agent, "upnp", FALSE, nullptr);
            g_object_unref(agent);
        }
        g_object_unref(ice);
    }
    g_signal_connect_data(m_webrtc, "on-ice-candidate", G_CALLBACK(PeerCallbacks::onIceCandidate),
        new GuardRef(m_guard), PeerCallbacks::freeRef, GConnectFlags(0));
    g_signal_connect_data(m_webrtc, "notify::ice-gathering-state",
        G_CALLBACK(PeerCallbacks::onGatheringState), new GuardRef(m_guard), PeerCallbacks::freeRef,
        GConnectFlags(0));
    g_signal_connect_data(m_webrtc, "pad-added", G_CALLBACK(PeerCallbacks::onPadAdded), new GuardRef(m_guard),
        PeerCallbacks::freeRef, GConnectFlags(0));
    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(bus, PeerCallbacks::onBus, new GuardRef(m_guard), PeerCallbacks::freeRefNotify);
    gst_object_unref(bus);
    return true;
}

bool MediaPeer::play()
{
    if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        fail(QStringLiteral("the media pipeline would not start (a device busy or missing?)"));
        return false;
    }
    return true;
}

void MediaPeer::stopPipeline()
{
    if (m_pipeline) {
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(m_pipeline);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
    }
    if (m_webrtc) {
        gst_object_unref(m_webrtc);
        m_webrtc = nullptr;
    }
    if (m_pipeline) {
        gst_object_unref(m_pipeline);
        m_pipeline = nullptr;
    }
}

GstElement* MediaPeer::element(const char* name) const
{
    return m_pipeline ? gst_bin_get_by_name(GST_BIN(m_pipeline), name) : nullptr;
}

void MediaPeer::createOffer()
{
    GstPromise* promise = gst_promise_new_with_change_func(
        PeerCallbacks::onDescription, new GuardRef(m_guard), PeerCallbacks::freeRefNotify);
    g_signal_emit_by_name(m_webrtc, "create-offer", nullptr, promise);
}

void MediaPeer::setRemote(const QString& type, const QString& sdp)
{
    if (!m_webrtc)
        return;
    GstSDPMessage* message = nullptr;
    gst_sdp_message_new(&message);
    const QByteArray text = sdp.toUtf8();
    if (gst_sdp_message_parse_buffer(
            reinterpret_cast<const guint8*>(text.constData()), guint(text.size()), message)
        != GST_SDP_OK) {
        gst_sdp_message_free(message);
        fail(QStringLiteral("the media server sent an unreadable session description"));
        return;
    }
    const bool offer = type == QLatin1String("offer");
    GstWebRTCSessionDescription* desc = gst_webrtc_session_description_new(
        offer ? GST_WEBRTC_SDP_TYPE_OFFER : GST_WEBRTC_SDP_TYPE_ANSWER, message);
    g_signal_emit_by_name(m_webrtc, "set-remote-description", desc, nullptr);
    gst_webrtc_session_description_free(desc);
    if (offer) {
        GstPromise* promise = gst_promise_new_with_change_func(
            PeerCallbacks::onDescription, new GuardRef(m_guard), PeerCallbacks::freeRefNotify);
        g_signal_emit_by_name(m_webrtc, "create-answer", nullptr, promise);
    }
}

void MediaPeer::onLocalDescription(const QString&, const QString&) { }

void MediaPeer::fail(const QString& why)
{
    if (m_failed)
        return;
    m_failed = true;
    m_up = false;
    qWarning().noquote() << "media:" << why;
    emit failed(why);
}

void MediaPeer::onHandleEvent(quint64 handle, const QJsonObject& message)
{
    if (handle != m_handle || m_failed)
        return;
    const QString kind = message.value("janus").toString();
    if (kind == QLatin1String("webrtcup")) {
        m_up = true;
        emit up();
    } else if (kind == QLatin1String("hangup")) {
        fail(QStringLiteral("the media server hung up: %1").arg(message.value("reason").toString()));
    } else if (kind == QLatin1String("detached")) {
        fail(QStringLiteral("the media server dropped the handle"));
    } else if (kind == QLatin1String("trickle")) {
        const QJsonObject c = message.value("candidate").toObject();
        if (m_webrtc && !c.value("completed").toBool() && c.contains("candidate")) {
            const QByteArray text = c.value("candidate").toString().toUtf8();
            g_signal_emit_by_name(
                m_webrtc, "add-ice-candidate", guint(c.value("sdpMLineIndex").toInt()), text.constData());
        }
    } else if (kind == QLatin1String("event")) {
        onPluginEvent(message.value("plugindata").toObject().value("data").toObject(),
            message.value("jsep").toObject());
    }
}

void MediaPeer::sendCandidate(int mline, const QString& candidate)
{
    if (!m_handle || m_failed || m_gatheringDone)
        return;
    if (mline < 0) {
        m_gatheringDone = true;
        m_session->trickle(m_handle, QJsonObject { { "completed", true } });
        return;
    }
    m_session->trickle(m_handle, QJsonObject { { "candidate", candidate }, { "sdpMLineIndex", mline } });
}

} // namespace media
