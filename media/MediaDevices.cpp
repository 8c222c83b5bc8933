#include "MediaDevices.h"

#include <gst/gst.h>

#include <QtGlobal>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace media {

namespace {

    std::atomic<bool> g_testKit { false };
    std::atomic<bool> g_testKitSound { true };
    std::atomic<int> g_pattern { 0 };
    std::atomic<bool> g_tone { true };
    std::atomic<double> g_toneHz { 440.0 };
    std::mutex g_trackedMutex;
    std::vector<GstElement*> g_tracked;

    const char* const kTestCamera = "test-camera";
    const char* const kTestMic = "test-microphone";
    const char* const kTestSpeaker = "test-speaker";

    void ensureInit()
    {
        if (!gst_is_initialized())
            gst_init(nullptr, nullptr);
    }

    const char* monitorClass(MediaDevices::Kind kind)
    {
        switch (kind) {
        case MediaDevices::Camera:
            return "Video/Source";
        case MediaDevices::Microphone:
            return "Audio/Source";
        case MediaDevices::Speaker:
            return "Audio/Sink";
        }
        return "";
    }

    // A stable id: the sound server's own name for the device (PulseAudio's "internal-name"), its
    // path or name as its provider knows it, else the name shown.
    QString deviceId(GstDevice* device)
    {
        QString id;
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(device), "internal-name")) {
            gchar* internal = nullptr;
            g_object_get(device, "internal-name", &internal, nullptr);
            id = QString::fromUtf8(internal);
            g_free(internal);
        }
        if (GstStructure* props = id.isEmpty() ? gst_device_get_properties(device) : nullptr) {
            for (const char* key :
                { "device.path", "api.v4l2.path", "node.name", "device.name", "device.strid" }) {
                if (const gchar* value = gst_structure_get_string(props, key)) {
                    id = QString::fromUtf8(value);
                    break;
                }
            }
            gst_structure_free(props);
        }
        if (id.isEmpty()) {
            gchar* name = gst_device_get_display_name(device);
            id = QString::fromUtf8(name);
            g_free(name);
        }
        return id;
    }

    // The monitor of a speaker is listed as a sound source, but it records what the class hears.
    bool isMonitor(GstDevice* device)
    {
        bool monitor = false;
        if (GstStructure* props = gst_device_get_properties(device)) {
            monitor = g_strcmp0(gst_structure_get_string(props, "device.class"), "monitor") == 0;
            gst_structure_free(props);
        }
        return monitor;
    }

    // Only the sound server's devices say which is the system's default; other providers keep
    // their own order.
    bool isDefault(GstDevice* device)
    {
        if (!g_object_class_find_property(G_OBJECT_GET_CLASS(device), "internal-name"))
            return false;
        gboolean on = FALSE;
        if (GstStructure* props = gst_device_get_properties(device)) {
            if (!gst_structure_get_boolean(props, "is-default", &on))
                on = FALSE;
            gst_structure_free(props);
        }
        return on;
    }

    // Calls fn for each device of the kind until it returns true.
    template <typename F> void forEachDevice(MediaDevices::Kind kind, F&& fn)
    {
        ensureInit();
        GstDeviceMonitor* monitor = gst_device_monitor_new();
        gst_device_monitor_add_filter(monitor, monitorClass(kind), nullptr);
        if (!gst_device_monitor_start(monitor)) {
            gst_object_unref(monitor);
            return;
        }
        GList* devices = gst_device_monitor_get_devices(monitor);
        bool done = false;
        for (GList* it = devices; it && !done; it = it->next)
            done = fn(GST_DEVICE(it->data));
        g_list_free_full(devices, gst_object_unref);
        gst_device_monitor_stop(monitor);
        gst_object_unref(monitor);
    }

    void untrack(gpointer, GObject* gone)
    {
        std::lock_guard<std::mutex> lock(g_trackedMutex);
        g_tracked.erase(std::remove(g_tracked.begin(), g_tracked.end(), reinterpret_cast<GstElement*>(gone)),
            g_tracked.end());
    }

    GstElement* testElement(const char* factory, const char* name)
    {
        GstElement* element = gst_element_factory_make(factory, name);
        if (element)
            MediaTestKit::track(element);
        return element;
    }

} // namespace

QList<QPair<QString, QString>> MediaDevices::list(Kind kind)
{
    if (g_testKit && (kind == Camera || g_testKitSound)) {
        switch (kind) {
        case Camera:
            return { { kTestCamera, QStringLiteral("Test camera") } };
        case Microphone:
            return { { kTestMic, QStringLiteral("Test microphone") } };
        case Speaker:
            return { { kTestSpeaker, QStringLiteral("Test speaker") } };
        }
    }
    QList<QPair<QString, QString>> out;
    forEachDevice(kind, [&](GstDevice* device) {
        if (kind == Microphone && isMonitor(device))
            return false;
        gchar* name = gst_device_get_display_name(device);
        const auto entry = qMakePair(deviceId(device), QString::fromUtf8(name));
        g_free(name);
        // The system's default is what the teacher uses every day; cameras keep their order.
        if (kind != Camera && isDefault(device))
            out.prepend(entry);
        else
            out << entry;
        return false;
    });
    return out;
}

bool MediaDevices::exists(Kind kind, const QString& id)
{
    if (id.isEmpty())
        return false;
    for (const auto& device : list(kind))
        if (device.first == id)
            return true;
    return false;
}

GstElement* MediaDevices::create(Kind kind, const QString& id, QString* error)
{
    ensureInit();
    if (g_testKit && (kind == Camera || g_testKitSound)) {
        GstElement* element = nullptr;
        if (kind == Camera && id == QLatin1String(kTestCamera)) {
            element = testElement("videotestsrc", nullptr);
            g_object_set(element, "is-live", TRUE, nullptr);
            gst_util_set_object_arg(
                G_OBJECT(element), "pattern", QByteArray::number(g_pattern.load()).constData());
        } else if (kind == Microphone && id == QLatin1String(kTestMic)) {
            element = testElement("audiotestsrc", nullptr);
            g_object_set(
                element, "is-live", TRUE, "freq", g_toneHz.load(), "volume", g_tone ? 0.5 : 0.0, nullptr);
        } else if (kind == Speaker && id == QLatin1String(kTestSpeaker)) {
            element = gst_element_factory_make("fakesink", nullptr);
            g_object_set(element, "sync", TRUE, nullptr);
        }
        if (!element)
            *error = QStringLiteral("no test device %1").arg(id);
        return element;
    }
    GstElement* element = nullptr;
    forEachDevice(kind, [&](GstDevice* device) {
        if (deviceId(device) != id)
            return false;
        element = gst_device_create_element(device, nullptr);
        return true;
    });
    if (!element)
        *error = QStringLiteral("device %1 not found").arg(id);
    return element;
}

void MediaTestKit::setEnabled(bool on, bool sound)
{
    g_testKit = on;
    g_testKitSound = sound;
}

bool MediaTestKit::coversSound()
{
    return g_testKit && g_testKitSound;
}

bool MediaTestKit::isEnabled()
{
    return g_testKit;
}

void MediaTestKit::setPattern(int pattern)
{
    g_pattern = pattern;
    std::lock_guard<std::mutex> lock(g_trackedMutex);
    for (GstElement* e : g_tracked)
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "pattern"))
            gst_util_set_object_arg(G_OBJECT(e), "pattern", QByteArray::number(pattern).constData());
}

int MediaTestKit::pattern()
{
    return g_pattern;
}

void MediaTestKit::setTone(bool on)
{
    g_tone = on;
    std::lock_guard<std::mutex> lock(g_trackedMutex);
    for (GstElement* e : g_tracked)
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "freq"))
            g_object_set(e, "volume", on ? 0.5 : 0.0, nullptr);
}

bool MediaTestKit::tone()
{
    return g_tone;
}

void MediaTestKit::setToneHz(double hz)
{
    g_toneHz = hz;
    std::lock_guard<std::mutex> lock(g_trackedMutex);
    for (GstElement* e : g_tracked)
        if (g_object_class_find_property(G_OBJECT_GET_CLASS(e), "freq"))
            g_object_set(e, "freq", hz, nullptr);
}

void MediaTestKit::track(GstElement* element)
{
    std::lock_guard<std::mutex> lock(g_trackedMutex);
    g_tracked.push_back(element);
    g_object_weak_ref(G_OBJECT(element), untrack, nullptr);
}

} // namespace media
