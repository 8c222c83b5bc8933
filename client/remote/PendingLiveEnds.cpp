#include "PendingLiveEnds.h"

#include "AppServer.h"
#include "protocol/AppApi.h"
#include "shell/Util.h"

#include <QDebug>
#include <QSettings>
#include <QTimer>

#include <memory>

namespace {

const QString kSettingKey = QStringLiteral("pendingLiveEnd");
constexpr int kRetryIntervalMs = 5000;

// The live id travels through the request as its context; the request never outlives the process.
struct EndRequest {
    PendingLiveEnds* owner;
    QString liveId;
};

} // namespace

PendingLiveEnds* PendingLiveEnds::GetInstance()
{
    // Lives until the process ends, as the process never returns from main in order.
    static PendingLiveEnds* instance = new PendingLiveEnds;
    return instance;
}

PendingLiveEnds::PendingLiveEnds(QObject* parent)
    : QObject(parent)
    , m_retryTimer(new QTimer(this))
{
    m_pending = GetSettings()->value(kSettingKey).toStringList();
    m_pending.removeAll(QString());
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(kRetryIntervalMs);
    connect(m_retryTimer, &QTimer::timeout, this, &PendingLiveEnds::Resume);
}

void PendingLiveEnds::SetRetryInterval(int milliseconds)
{
    m_retryTimer->setInterval(milliseconds);
}

bool PendingLiveEnds::IsPending(const QString& liveId) const
{
    return m_pending.contains(liveId);
}

QStringList PendingLiveEnds::pending() const
{
    return m_pending;
}

void PendingLiveEnds::End(const QString& liveId)
{
    if (liveId.isEmpty())
        return;
    if (!m_pending.contains(liveId)) {
        m_pending.append(liveId);
        Store();
        emit changed();
    }
    Send(liveId);
}

void PendingLiveEnds::Resume()
{
    // Re-read: another run of the client may have ended a live since this one started.
    for (const QString& liveId : GetSettings()->value(kSettingKey).toStringList())
        if (!liveId.isEmpty() && !m_pending.contains(liveId))
            m_pending.append(liveId);
    for (const QString& liveId : qAsConst(m_pending))
        Send(liveId);
}

void PendingLiveEnds::Send(const QString& liveId)
{
    if (m_inFlight.contains(liveId))
        return;
    m_inFlight.insert(liveId);
    qDebug() << "ending live:" << liveId;
    // No box: the lobby shows the live as ending, and the teacher is not asked to do anything.
    AppServer_Call(QLatin1String(appapi::Method::kEnd), { { QStringLiteral("liveId"), liveId } },
        &PendingLiveEnds::OnAppServer_EndLiveSuccess, &PendingLiveEnds::OnAppServer_EndLiveError,
        new EndRequest { this, liveId }, nullptr, false);
}

void PendingLiveEnds::OnAppServer_EndLiveSuccess(const QVariantMap&, void* context)
{
    const std::unique_ptr<EndRequest> request(static_cast<EndRequest*>(context));
    qDebug() << "live ended:" << request->liveId;
    request->owner->m_inFlight.remove(request->liveId);
    request->owner->Forget(request->liveId);
}

void PendingLiveEnds::OnAppServer_EndLiveError(int code, const QVariantMap& error, void* context)
{
    const std::unique_ptr<EndRequest> request(static_cast<EndRequest*>(context));
    PendingLiveEnds* self = request->owner;
    self->m_inFlight.remove(request->liveId);
    if (code != AppServerErrorObject) {
        // The server was not reached, or its answer was lost: it still shows the class in progress.
        qDebug() << "live.end not delivered, code:" << code << "retry in" << self->m_retryTimer->interval()
                 << "ms";
        if (!self->m_retryTimer->isActive())
            self->m_retryTimer->start();
        return;
    }
    if (error.value(QStringLiteral("code")).toInt() == appapi::ErrorCode::NotSignedIn) {
        qDebug() << "live.end waits for the next sign-in";
        return;
    }
    // Any other answer is final: sending the same end again would get the same answer.
    qDebug() << "live.end refused:" << error;
    self->Forget(request->liveId);
}

void PendingLiveEnds::Forget(const QString& liveId)
{
    if (!m_pending.removeAll(liveId))
        return;
    Store();
    emit changed();
}

void PendingLiveEnds::Store()
{
    QSettings* settings = GetSettings();
    if (m_pending.isEmpty())
        settings->remove(kSettingKey);
    else
        settings->setValue(kSettingKey, m_pending);
    settings->sync();
}
