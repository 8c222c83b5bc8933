#pragma once

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

class QTimer;

// Lives the teacher has ended whose "live.end" the app server has not confirmed yet. Remembered in
// "setting" (key "pendingLiveEnd"), so an end the server never heard of is sent again while the
// client runs and after the next sign-in, until the server answers.
class PendingLiveEnds : public QObject {
    Q_OBJECT
public:
    static PendingLiveEnds* GetInstance();

    // Sends "live.end" for liveId now and keeps it until the server has answered.
    void End(const QString& liveId);
    // Sends every remembered end again (after a sign-in: the session token is new).
    void Resume();
    bool IsPending(const QString& liveId) const;
    QStringList pending() const;

    // How long a failed attempt waits for the next (5000 ms unless set, for tests).
    void SetRetryInterval(int milliseconds);

    static void OnAppServer_EndLiveSuccess(const QVariantMap& result, void* context);
    static void OnAppServer_EndLiveError(int code, const QVariantMap& error, void* context);

signals:
    // A live became pending or was confirmed ended.
    void changed();

private:
    explicit PendingLiveEnds(QObject* parent = nullptr);

    void Send(const QString& liveId);
    void Forget(const QString& liveId);
    void Store();

    QStringList m_pending;
    QSet<QString> m_inFlight;
    QTimer* m_retryTimer = nullptr;
};
