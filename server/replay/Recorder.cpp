#include "Recorder.h"

#include "common/ReplayFolder.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QStorageInfo>
#include <QTimer>

Recorder::Recorder(
    const QString& root, const QList<MediaServerConfig>& servers, LiveOfRoom liveOfRoom, QObject* parent)
    : QObject(parent)
    , m_root(QDir(root).absolutePath())
    , m_liveOfRoom(std::move(liveOfRoom))
    , m_spaceCheck(new QTimer(this))
{
    for (const QHostAddress& a : QNetworkInterface::allAddresses())
        m_localHosts << a.toString();
    m_spaceCheck->setInterval(5000);
    connect(m_spaceCheck, &QTimer::timeout, this, &Recorder::checkSpace);
    if (!QDir().mkpath(m_root))
        qWarning().noquote() << "recordings: cannot create the folder" << m_root << "- no class is recorded";
    for (const MediaServerConfig& s : servers) {
        if (collectsFrom(s))
            qInfo().noquote() << "recordings: classes on the media server" << s.url.toString()
                              << "are recorded into" << m_root;
        else
            qWarning().noquote() << "recordings: the media server" << s.url.toString()
                                 << "is on another host, whose recordings lectern-server cannot collect: "
                                    "classes there are not recorded";
    }
}

bool Recorder::collectsFrom(const MediaServerConfig& server) const
{
    const QString host = server.url.host();
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && (address.isLoopback() || m_localHosts.contains(address.toString()));
}

void Recorder::attach(MediaRooms* rooms)
{
    m_rooms = rooms;
    rooms->setRecordingOf(
        [this](quint32 roomId, const MediaServerConfig& server) { return recordingOf(roomId, server); });
}

qint64 Recorder::liveOf(quint32 roomId)
{
    if (const qint64 known = m_roomLives.value(roomId))
        return known;
    const std::optional<Live> live = m_liveOfRoom ? m_liveOfRoom(roomId) : std::nullopt;
    if (!live)
        return 0;
    m_roomLives.insert(roomId, live->liveId);
    return live->liveId;
}

// The live's folder with its notes; false (said once) when it cannot be written.
bool Recorder::prepare(qint64 liveId, qint64 teacherId)
{
    const QString dir = replayfolder::liveDir(m_root, liveId);
    replayfolder::ClassNotes notes;
    if (replayfolder::readNotes(dir, &notes))
        return true;
    notes.liveId = liveId;
    notes.teacherId = teacherId;
    QString why;
    if (QDir().mkpath(dir) && replayfolder::writeNotes(dir, notes, &why)) {
        m_failed.remove(liveId);
        return true;
    }
    if (!m_failed.contains(liveId))
        qWarning().noquote() << "recordings: live" << liveId << "is not recorded: cannot write into" << dir
                             << why;
    m_failed.insert(liveId);
    return false;
}

std::optional<MediaRooms::Recording> Recorder::recordingOf(quint32 roomId, const MediaServerConfig& server)
{
    if (!collectsFrom(server) || !m_liveOfRoom)
        return std::nullopt;
    const std::optional<Live> live = m_liveOfRoom(roomId);
    if (!live)
        return std::nullopt;
    m_roomLives.insert(roomId, live->liveId);
    if (!prepare(live->liveId, live->teacherId))
        return std::nullopt;
    if (live->inProgress)
        m_recording.insert(roomId);
    return MediaRooms::Recording { replayfolder::liveDir(m_root, live->liveId),
        live->inProgress && !m_lowOnSpace };
}

void Recorder::liveBegun(qint64 liveId, quint32 roomId, qint64 teacherId)
{
    m_roomLives.insert(roomId, liveId);
    if (!prepare(liveId, teacherId))
        return;
    const QString dir = replayfolder::liveDir(m_root, liveId);
    replayfolder::ClassNotes notes;
    replayfolder::readNotes(dir, &notes);
    // A class begun again after a restart of the client keeps its first start: one recording.
    if (!notes.beganMs) {
        notes.beganMs = QDateTime::currentMSecsSinceEpoch();
        QString why;
        if (!replayfolder::writeNotes(dir, notes, &why))
            qWarning().noquote() << "recordings: live" << liveId << "notes not written:" << why;
    }
    m_recording.insert(roomId);
    checkSpace();
    if (m_rooms && !m_lowOnSpace && m_rooms->setRecording(roomId, true))
        qInfo().noquote() << "recordings: live" << liveId << "is recorded into" << dir;
    m_spaceCheck->start();
}

void Recorder::liveEnded(qint64 liveId, quint32 roomId)
{
    m_recording.remove(roomId);
    if (m_recording.isEmpty())
        m_spaceCheck->stop();
    const QString dir = replayfolder::liveDir(m_root, liveId);
    replayfolder::ClassNotes notes;
    if (!replayfolder::readNotes(dir, &notes) || !notes.beganMs || notes.endedMs)
        return;
    notes.endedMs = QDateTime::currentMSecsSinceEpoch();
    QString why;
    if (!replayfolder::writeNotes(dir, notes, &why)) {
        qWarning().noquote() << "recordings: live" << liveId << "notes not written:" << why;
        return;
    }
    emit classEnded(liveId);
}

void Recorder::feedsDrawn(quint32 roomId, const QString& userId, qint64 camera, qint64 screen)
{
    const qint64 liveId = liveOf(roomId);
    if (!liveId || m_failed.contains(liveId))
        return;
    const QString dir = replayfolder::liveDir(m_root, liveId);
    replayfolder::ClassNotes notes;
    if (!replayfolder::readNotes(dir, &notes))
        return; // not recorded
    notes.feeds.insert(quint64(camera), { userId, false });
    notes.feeds.insert(quint64(screen), { userId, true });
    QString why;
    if (!replayfolder::writeNotes(dir, notes, &why))
        qWarning().noquote() << "recordings: live" << liveId << "notes not written:" << why;
}

void Recorder::chatLine(quint32 roomId, const QString& userId, const QString& name, const QString& text)
{
    if (!m_recording.contains(roomId))
        return;
    const qint64 liveId = liveOf(roomId);
    if (liveId
        && !replayfolder::appendChat(
            replayfolder::liveDir(m_root, liveId), QDateTime::currentMSecsSinceEpoch(), userId, name, text))
        qWarning().noquote() << "recordings: live" << liveId << "lost a chat line";
}

void Recorder::closeEnded(const std::function<std::optional<qint64>(qint64 liveId)>& endedMs)
{
    for (const replayfolder::Replay& r : replayfolder::list(m_root)) {
        if (r.state != replayfolder::State::Recording)
            continue;
        const std::optional<qint64> ended = endedMs(r.liveId);
        const QString dir = replayfolder::liveDir(m_root, r.liveId);
        replayfolder::ClassNotes notes;
        if (!ended || !replayfolder::readNotes(dir, &notes) || !notes.beganMs)
            continue;
        notes.endedMs = qMax(*ended, notes.beganMs + 1);
        QString why;
        if (replayfolder::writeNotes(dir, notes, &why))
            qInfo().noquote() << "recordings: live" << r.liveId << "ended without its replay being made";
    }
}

void Recorder::checkSpace()
{
    const QStorageInfo disk(m_root);
    const bool low = disk.isValid() && disk.bytesAvailable() < m_minFreeBytes;
    if (low == m_lowOnSpace)
        return;
    m_lowOnSpace = low;
    if (low)
        qWarning().noquote() << "recordings: only" << disk.bytesAvailable() / (1 << 20) << "MiB left in"
                             << m_root << "- recording stops; the classes go on";
    else
        qInfo().noquote() << "recordings: space again in" << m_root << "- recording goes on";
    if (m_rooms)
        for (quint32 roomId : qAsConst(m_recording))
            m_rooms->setRecording(roomId, !low);
}
