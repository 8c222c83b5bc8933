#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class QProcess;

// Listens to a sound server's source (parec) and tells which tone it hears: per 50 ms block, the
// frequency from the zero crossings when the block is loud enough, else 0 (silence).
class ToneMeter : public QObject {
    Q_OBJECT
public:
    static constexpr int kRate = 48000;
    static constexpr int kBlockMs = 50;

    ToneMeter();
    ~ToneMeter() override;

    bool start(const QString& source, QString* error);
    void stop();
    // The last block's tone (Hz, 0 for silence).
    double hz() const { return m_hz; }
    // Waits until three blocks in a row carry a tone within 8 % of hz.
    bool waitForTone(double hz, int timeoutMs);
    static bool near(double heard, double hz) { return heard > hz * 0.92 && heard < hz * 1.08; }

signals:
    void block(double hz);

private:
    void read();

    std::unique_ptr<QProcess> m_process;
    QByteArray m_pending;
    double m_hz = 0;
};
