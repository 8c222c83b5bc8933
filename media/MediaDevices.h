#pragma once

#include <QList>
#include <QPair>
#include <QString>

typedef struct _GstElement GstElement;

namespace media {

// Cameras, microphones and speakers from GStreamer's device monitor, as (id, name) pairs, and the
// elements that open them. With the test kit on, test sources and sinks stand in for all of them.
class MediaDevices {
public:
    enum Kind { Camera, Microphone, Speaker };
    static QList<QPair<QString, QString>> list(Kind kind);
    static bool exists(Kind kind, const QString& id);
    // A new element (or bin) for the device; null with the reason in *error.
    static GstElement* create(Kind kind, const QString& id, QString* error);
    // The screen, or a part of it (right and bottom exclusive), on this platform's capture source.
    static QString screenSource(int left, int top, int right, int bottom);
};

// Test sources and sinks in place of devices: a picture and a tone that the test switches.
class MediaTestKit {
public:
    // With sound false only the camera is the test's: microphones and speakers are the real ones.
    static void setEnabled(bool on, bool sound = true);
    static bool isEnabled();
    // The test's microphone and speaker stand in for the devices.
    static bool coversSound();
    // The test camera's picture: a videotestsrc pattern (2 black, 3 white, 0 bars).
    static void setPattern(int pattern);
    static int pattern();
    // The test microphone plays a sine tone, or silence.
    static void setTone(bool on);
    static bool tone();
    // The tone's pitch (440 Hz unless set), so the voices of a class can be told apart.
    static void setToneHz(double hz);
    // Used by MediaDevices: the elements to keep switched.
    static void track(GstElement* element);
};

} // namespace media
