#include "PulseDaemon.h"

#include "ChildProcess.h"

#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

namespace {

const int kStartWaitMs = 10000;
const int kPactlWaitMs = 10000;

} // namespace

PulseDaemon::PulseDaemon() = default;

PulseDaemon::~PulseDaemon()
{
    stop();
}

bool PulseDaemon::start(QString* error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder for the sound server");
        return false;
    }
    const QString socket = m_dir.filePath(QStringLiteral("native"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), m_dir.path());
    env.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_dir.path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.path());
    m_process = std::make_unique<ChildProcess>();
    m_process->setProcessEnvironment(env);
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    // -n loads no configuration, so the socket the clients use is loaded here.
    m_process->start(QStringLiteral("pulseaudio"),
        { "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no", "--disable-shm=yes",
            "--log-target=stderr", "-L",
            QStringLiteral("module-native-protocol-unix socket=%1 auth-anonymous=1").arg(socket) });
    if (!m_process->waitForStarted(kStartWaitMs)) {
        *error
            = QStringLiteral("pulseaudio did not start (is it installed?): %1").arg(m_process->errorString());
        m_process.reset();
        return false;
    }
    // Everything this process starts from now on, and GStreamer's sound plugin, use this server.
    qputenv("PULSE_SERVER", QStringLiteral("unix:%1").arg(socket).toLocal8Bit());
    qputenv("PULSE_RUNTIME_PATH", m_dir.path().toLocal8Bit());
    QElapsedTimer waited;
    waited.start();
    QString why;
    while (waited.elapsed() < kStartWaitMs) {
        if (m_process->state() != QProcess::Running) {
            *error = QStringLiteral("pulseaudio ended: %1").arg(output());
            return false;
        }
        if (QFile::exists(socket) && pactl({ "info" }, nullptr, &why))
            return true;
        QThread::msleep(50);
    }
    *error = QStringLiteral("pulseaudio did not answer: %1 %2").arg(why, output());
    return false;
}

void PulseDaemon::stop()
{
    if (!m_process)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(2000);
    }
    m_process.reset();
}

QString PulseDaemon::output()
{
    if (m_process)
        m_output += m_process->readAll();
    return QString::fromLocal8Bit(m_output);
}

bool PulseDaemon::pactl(const QStringList& args, QString* output, QString* error)
{
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    if (!p.waitForFinished(kPactlWaitMs) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        *error = QStringLiteral("pactl %1 failed: %2 %3")
                     .arg(args.join(' '), p.errorString(), QString::fromLocal8Bit(p.readAllStandardError()));
        return false;
    }
    if (output)
        *output = QString::fromLocal8Bit(p.readAllStandardOutput());
    return true;
}

int PulseDaemon::loadModule(const QString& module, const QStringList& args, QString* error)
{
    QString out;
    if (!pactl(QStringList { "load-module", module } + args, &out, error))
        return -1;
    bool ok = false;
    const int index = out.trimmed().toInt(&ok);
    if (!ok)
        *error = QStringLiteral("pactl load-module %1 said %2").arg(module, out);
    return ok ? index : -1;
}

bool PulseDaemon::addSpeaker(const QString& name, const QString& description, QString* error)
{
    return loadModule(QStringLiteral("module-null-sink"),
               { "sink_name=" + name, "sink_properties='device.description=\"" + description + "\"'" }, error)
        >= 0;
}

bool PulseDaemon::addToneMic(
    const QString& name, const QString& description, int hz, QString* error, bool steady)
{
    const QString tone = name + QStringLiteral("_tone");
    QList<int> modules;
    auto load = [&](const QString& module, const QStringList& args) {
        const int index = loadModule(module, args, error);
        if (index >= 0)
            modules.prepend(index);
        return index >= 0;
    };
    // The remapped monitor gives steady sound with a short latency. The loopback keeps the tone's
    // sink rendering in short blocks: left alone, a null sink renders 2 s at a time, and a stream
    // opened on its monitor waits up to that long for its first sound, which no real microphone does.
    if (!m_drainMade) {
        m_drainMade = loadModule(QStringLiteral("module-null-sink"),
                          { "sink_name=tone_drain", "sink_properties=device.description=tone_drain" }, error)
            >= 0;
        if (!m_drainMade)
            return false;
    }
    const bool made = load(QStringLiteral("module-null-sink"),
                          { "sink_name=" + tone, "sink_properties=device.description=\"" + tone + "\"" })
        && load(QStringLiteral("module-sine"), { "sink=" + tone, QStringLiteral("frequency=%1").arg(hz) })
        && (!steady
            || load(QStringLiteral("module-loopback"),
                { "source=" + tone + ".monitor", "sink=tone_drain", "latency_msec=20",
                    "source_dont_move=true", "sink_dont_move=true" }))
        && load(QStringLiteral("module-remap-source"),
            { "source_name=" + name, "master=" + tone + ".monitor",
                "source_properties='device.description=\"" + description + "\"'" });
    m_micModules.insert(name, modules);
    return made;
}

bool PulseDaemon::removeMic(const QString& name, QString* error)
{
    for (int index : m_micModules.take(name))
        if (!pactl({ "unload-module", QString::number(index) }, nullptr, error))
            return false;
    return true;
}

bool PulseDaemon::setDefaultSource(const QString& name, QString* error)
{
    return pactl({ "set-default-source", name }, nullptr, error);
}

bool PulseDaemon::setDefaultSink(const QString& name, QString* error)
{
    return pactl({ "set-default-sink", name }, nullptr, error);
}
