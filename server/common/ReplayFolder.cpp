#include "ReplayFolder.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace replayfolder {

namespace {

    // A chat line longer than this was not sent through the relay; it is not kept.
    constexpr int kMaxChatLineBytes = 64 * 1024;

    QJsonObject readObject(const QString& path)
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly) || f.size() > (64 << 20))
            return {};
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    qint64 folderBytes(const QString& dir)
    {
        qint64 total = 0;
        QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            total += it.fileInfo().size();
        }
        return total;
    }

} // namespace

QString liveDir(const QString& root, qint64 liveId)
{
    return QDir(root).filePath(QString::number(liveId));
}

bool readNotes(const QString& dir, ClassNotes* notes)
{
    const QJsonObject o = readObject(QDir(dir).filePath(kClassFile));
    if (o.isEmpty())
        return false;
    notes->liveId = o.value("liveId").toString().toLongLong();
    notes->teacherId = o.value("teacherId").toString().toLongLong();
    notes->beganMs = qint64(o.value("beganMs").toDouble());
    notes->endedMs = qint64(o.value("endedMs").toDouble());
    notes->feeds.clear();
    const QJsonObject feeds = o.value("feeds").toObject();
    for (auto it = feeds.begin(); it != feeds.end(); ++it) {
        const QJsonObject f = it.value().toObject();
        notes->feeds.insert(it.key().toULongLong(),
            Feed { f.value("userId").toString(), f.value("kind").toString() == QLatin1String("screen") });
    }
    return notes->liveId > 0;
}

bool writeNotes(const QString& dir, const ClassNotes& notes, QString* error)
{
    QJsonObject feeds;
    for (auto it = notes.feeds.begin(); it != notes.feeds.end(); ++it)
        feeds.insert(QString::number(it.key()),
            QJsonObject { { "userId", it->userId }, { "kind", it->screen ? "screen" : "camera" } });
    const QJsonObject o { { "liveId", QString::number(notes.liveId) },
        { "teacherId", QString::number(notes.teacherId) }, { "beganMs", double(notes.beganMs) },
        { "endedMs", double(notes.endedMs) }, { "feeds", feeds } };
    QSaveFile f(QDir(dir).filePath(kClassFile));
    if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(o).toJson(QJsonDocument::Compact)) < 0
        || !f.commit()) {
        *error = f.errorString();
        return false;
    }
    return true;
}

bool appendChat(
    const QString& dir, qint64 ms, const QString& userId, const QString& name, const QString& text)
{
    const QByteArray line = QJsonDocument(QJsonObject { { "ms", double(ms) }, { "userId", userId },
                                              { "name", name }, { "text", text } })
                                .toJson(QJsonDocument::Compact)
        + '\n';
    if (line.size() > kMaxChatLineBytes)
        return false;
    QFile f(QDir(dir).filePath(kChatFile));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    // One write: a line cut by a full disk is dropped when read.
    return f.write(line) == line.size();
}

QJsonArray chatSince(const QString& dir, qint64 beganMs)
{
    QJsonArray lines;
    QFile f(QDir(dir).filePath(kChatFile));
    if (!f.open(QIODevice::ReadOnly))
        return lines;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine(kMaxChatLineBytes + 1);
        if (!line.endsWith('\n'))
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.isEmpty())
            continue;
        lines.append(
            QJsonObject { { "t", double(qMax<qint64>(0, qint64(o.value("ms").toDouble()) - beganMs)) },
                { "userId", o.value("userId").toString() }, { "name", o.value("name").toString() },
                { "text", o.value("text").toString() } });
    }
    return lines;
}

std::optional<Replay> replayOf(const QString& root, qint64 liveId)
{
    const QString dir = liveDir(root, liveId);
    ClassNotes notes;
    if (!readNotes(dir, &notes) || notes.liveId != liveId)
        return std::nullopt;
    Replay r;
    r.liveId = liveId;
    r.bytes = folderBytes(dir);
    const QJsonObject made = readObject(QDir(dir).filePath(kReplayFile));
    if (!made.isEmpty()) {
        r.error = made.value("error").toString();
        r.state = r.error.isEmpty() && QFileInfo(QDir(dir).filePath(kVideoFile)).isFile() ? State::Ready
                                                                                          : State::Failed;
        r.durationMs = qint64(made.value("durationMs").toDouble());
        r.madeMs = qint64(made.value("madeMs").toDouble());
    } else {
        r.state = notes.endedMs ? State::Waiting : State::Recording;
    }
    return r;
}

bool isReady(const QString& root, qint64 liveId)
{
    // The video is moved in only once it passed its check; a failed one never is.
    const QDir dir(liveDir(root, liveId));
    return QFileInfo(dir.filePath(kVideoFile)).isFile() && QFileInfo(dir.filePath(kReplayFile)).isFile();
}

QList<Replay> list(const QString& root)
{
    QList<Replay> all;
    const QStringList names = QDir(root).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        bool ok = false;
        const qint64 liveId = name.toLongLong(&ok);
        if (!ok || liveId <= 0 || QString::number(liveId) != name)
            continue;
        if (const std::optional<Replay> r = replayOf(root, liveId))
            all << *r;
    }
    std::sort(all.begin(), all.end(), [](const Replay& a, const Replay& b) { return a.liveId < b.liveId; });
    return all;
}

bool remove(const QString& root, qint64 liveId, QString* error)
{
    QDir dir(liveDir(root, liveId));
    if (!dir.exists()) {
        *error = QStringLiteral("live %1 has nothing in %2").arg(liveId).arg(root);
        return false;
    }
    if (!dir.removeRecursively()) {
        *error = QStringLiteral("could not delete all of %1").arg(dir.path());
        return false;
    }
    return true;
}

QString stateName(State s)
{
    switch (s) {
    case State::Recording:
        return QStringLiteral("recording");
    case State::Waiting:
        return QStringLiteral("waiting");
    case State::Ready:
        return QStringLiteral("ready");
    case State::Failed:
        return QStringLiteral("failed");
    }
    return QString();
}

} // namespace replayfolder
