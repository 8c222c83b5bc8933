#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// A PulseAudio daemon of the test's own (no configuration, its socket in a private folder), and
// the devices a class needs: a speaker, and microphones that play a steady tone. This process's
// sound clients (GStreamer, pactl, parec) are pointed at it. Stopped with the object; killed
// when the test dies.
class PulseDaemon {
public:
    PulseDaemon();
    ~PulseDaemon();

    // Starts the daemon and waits until it answers. False with the reason.
    bool start(QString* error);
    void stop();

    // A null sink named name; what plays there is lost.
    bool addSpeaker(const QString& name, const QString& description, QString* error);
    // A microphone named name that hears a sine tone of hz. Its sink is kept rendering in short
    // blocks unless steady is false (then, as a null sink does, 2 s at a time).
    bool addToneMic(
        const QString& name, const QString& description, int hz, QString* error, bool steady = true);
    // Unplugs what addToneMic made.
    bool removeMic(const QString& name, QString* error);
    bool setDefaultSource(const QString& name, QString* error);
    bool setDefaultSink(const QString& name, QString* error);

    // pactl with these arguments; its output, or false with the reason.
    bool pactl(const QStringList& args, QString* output, QString* error);
    QString output();

private:
    int loadModule(const QString& module, const QStringList& args, QString* error);

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    QByteArray m_output;
    QHash<QString, QList<int>> m_micModules;
    bool m_drainMade = false;
};
