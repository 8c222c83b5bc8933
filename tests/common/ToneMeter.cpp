#include "ToneMeter.h"

#include "ChildProcess.h"

#include <QtTest>

#include <cmath>

namespace {

// Quieter than this (RMS of 16-bit samples, about -50 dBFS) counts as silence.
const double kSilenceRms = 100.0;

} // namespace

ToneMeter::ToneMeter() = default;

ToneMeter::~ToneMeter()
{
    stop();
}

bool ToneMeter::start(const QString& source, QString* error)
{
    m_process = std::make_unique<ChildProcess>();
    connect(m_process.get(), &QProcess::readyReadStandardOutput, this, &ToneMeter::read);
    m_process->start(QStringLiteral("parec"),
        { "-d", source, "--format=s16le", QStringLiteral("--rate=%1").arg(kRate), "--channels=1",
            "--latency-msec=10", "--raw" });
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("parec did not start (pulseaudio-utils installed?): %1")
                     .arg(m_process->errorString());
        return false;
    }
    return true;
}

void ToneMeter::stop()
{
    if (!m_process)
        return;
    m_process->disconnect(this);
    m_process->kill();
    m_process->waitForFinished(2000);
    m_process.reset();
}

void ToneMeter::read()
{
    m_pending += m_process->readAllStandardOutput();
    const int blockBytes = kRate * kBlockMs / 1000 * 2;
    while (m_pending.size() >= blockBytes) {
        const auto* samples = reinterpret_cast<const qint16*>(m_pending.constData());
        const int n = blockBytes / 2;
        int crossings = 0;
        double energy = 0;
        for (int i = 0; i < n; ++i) {
            energy += double(samples[i]) * samples[i];
            if (i > 0 && (samples[i - 1] < 0) != (samples[i] < 0))
                ++crossings;
        }
        const bool loud = std::sqrt(energy / n) > kSilenceRms;
        m_hz = loud ? crossings * 1000.0 / (2.0 * kBlockMs) : 0.0;
        m_pending.remove(0, blockBytes);
        emit block(m_hz);
    }
}

bool ToneMeter::waitForTone(double hz, int timeoutMs)
{
    int inRow = 0;
    QMetaObject::Connection c = connect(
        this, &ToneMeter::block, this, [&](double heard) { inRow = near(heard, hz) ? inRow + 1 : 0; });
    const bool heard = QTest::qWaitFor([&] { return inRow >= 3; }, timeoutMs);
    disconnect(c);
    return heard;
}
