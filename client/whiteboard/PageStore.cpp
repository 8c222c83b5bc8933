#include "PageStore.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QPointer>
#include <QPainter>
#include <QUuid>

namespace {

// Shapes a checkpoint leaves out at the top of a page: undoing that many repaints from it.
constexpr int kCheckpointDepth = 16;

QByteArray digest(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
}

QJsonObject entryObject(qint64 seq, const PageChange& change)
{
    QJsonArray removed;
    for (const auto& out : change.removed)
        removed.append(out.first);
    QJsonArray added;
    for (const auto& in : change.added) {
        added.append(QJsonObject { { QStringLiteral("at"), in.first },
            { QStringLiteral("shape"),
                PainterStorage::writeShape(PainterStorage::recordFromShape(*in.second)) } });
    }
    return QJsonObject {
        { QStringLiteral("seq"), double(seq) },
        { QStringLiteral("remove"), removed },
        { QStringLiteral("add"), added },
    };
}

// Applies one journal entry to the records; false, leaving them as they were, if it does not fit.
bool replay(const QJsonObject& entry, QVector<ShapeRecord>& records)
{
    QVector<int> removed;
    for (const QJsonValue& v : entry.value(QStringLiteral("remove")).toArray())
        removed.append(v.toInt(-1));
    for (int i = 0; i < removed.size(); ++i) {
        if (removed[i] < 0 || removed[i] >= records.size() || (i > 0 && removed[i] <= removed[i - 1]))
            return false;
    }
    const QJsonArray added = entry.value(QStringLiteral("add")).toArray();
    const int left = records.size() - removed.size();
    for (int k = 0; k < added.size(); ++k) {
        const int at = added[k].toObject().value(QStringLiteral("at")).toInt(-1);
        if (at < 0 || at > left + k)
            return false;
    }
    for (int i = removed.size() - 1; i >= 0; --i)
        records.remove(removed[i]);
    for (const QJsonValue& v : added) {
        const QJsonObject in = v.toObject();
        records.insert(in.value(QStringLiteral("at")).toInt(),
            PainterStorage::readShape(in.value(QStringLiteral("shape")).toObject()));
    }
    return true;
}

void paintShapes(QImage& image, const ShapeList& shapes, int from, int to)
{
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (int i = from; i < to; ++i)
        shapes[i]->draw(&painter, 1.0f);
}

} // namespace

PageStore* PageStore::instance()
{
    // Lives to the end of the process; what is still queued is written before the application
    // leaves its event loop.
    static PageStore* store = [] {
        auto* created = new PageStore;
        if (QCoreApplication* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, created, [created] { created->flush(); });
        return created;
    }();
    return store;
}

PageStore::PageStore()
{
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
}

PageStore::~PageStore()
{
    m_worker.waitForDone();
}

QString PageStore::journalPath(const QString& name)
{
    return QDir(PainterStorage::storagePath()).absoluteFilePath(name + QStringLiteral(".journal"));
}

bool PageStore::readsAtOnce(const QString& name) const
{
    {
        QMutexLocker locker(&m_lock);
        const auto it = m_pending.constFind(name);
        if (it != m_pending.constEnd() && it->jobs > 0)
            return it->points < kSmallPagePoints;
    }
    const QDir storage(PainterStorage::storagePath());
    return QFileInfo(storage.absoluteFilePath(name)).size() + QFileInfo(journalPath(name)).size()
        < kSmallPageBytes;
}

LoadedPage PageStore::read(const QString& name, const QSize& layerPixels, qreal ratio, bool tidy)
{
    LoadedPage page;
    page.name = name;
    if (name.isEmpty())
        return page;
    QMutexLocker reading(&m_readLock);
    {
        // A page waiting to be written is what the snapshot says; its journal goes on as it is.
        QMutexLocker locker(&m_lock);
        const auto it = m_pending.constFind(name);
        if (it != m_pending.constEnd() && it->jobs > 0) {
            PainterStorage snapshot;
            snapshot.records = it->records;
            page.journal = it->journal;
            locker.unlock();
            page.shapes = snapshot.getGeneralShape();
            return page;
        }
    }
    const QDir storage(PainterStorage::storagePath());
    const QString path = storage.absoluteFilePath(name);
    PainterStorage file;
    QByteArray bytes;
    bool present = false;
    {
        QFile in(path);
        if (in.open(QIODevice::ReadOnly)) {
            bytes = in.readAll();
            present = file.parse(bytes, path);
        } else if (in.exists()) {
            qWarning() << "Couldn't open save file." << path << in.errorString();
        }
    }
    const QString tagId = file.journalTag.value(QStringLiteral("id")).toString();
    const qint64 tagSeq = qint64(file.journalTag.value(QStringLiteral("seq")).toDouble());

    QFile journal(journalPath(name));
    bool journalValid = false;
    qint64 lastSeq = tagSeq;
    QString journalId;
    QByteArray base;
    if (journal.open(tidy ? QIODevice::ReadWrite : QIODevice::ReadOnly)) {
        const QByteArray all = journal.readAll();
        // A line cut short by a kill is dropped, so the next entry starts on a line of its own.
        const int complete = all.lastIndexOf('\n') + 1;
        if (tidy && complete < all.size())
            journal.resize(complete);
        const QList<QByteArray> lines = all.left(complete).split('\n');
        const QJsonObject header = QJsonDocument::fromJson(lines.value(0)).object();
        journalId = header.value(QStringLiteral("journal")).toString();
        base = header.value(QStringLiteral("base")).toString().toLatin1();
        qint64 from = -1;
        if (!journalId.isEmpty() && journalId == tagId)
            from = tagSeq;
        else if (!journalId.isEmpty() && tagId.isEmpty() && base == (present ? digest(bytes) : QByteArray()))
            from = 0;
        if (from >= 0) {
            journalValid = true;
            int replayed = 0;
            for (int i = 1; i < lines.size(); ++i) {
                const QJsonObject entry = QJsonDocument::fromJson(lines[i]).object();
                const qint64 seq = qint64(entry.value(QStringLiteral("seq")).toDouble());
                if (entry.isEmpty() || seq <= from)
                    continue;
                if (!replay(entry, file.records)) {
                    qWarning() << "journal entry" << seq << "does not fit page" << name
                               << "; later entries dropped";
                    break;
                }
                lastSeq = seq;
                ++replayed;
            }
            page.recovered = replayed > 0;
            if (tidy && !page.recovered && lines.size() > 2) {
                // Everything in it is in the page file already: start afresh.
                journal.close();
                journal.remove();
                journalValid = false;
            }
        } else if (tidy && !all.isEmpty()) {
            // Written for another state of the page file (another client wrote it since).
            qWarning() << "stale journal of page" << name << "dropped";
            journal.close();
            journal.remove();
        }
    }
    if (!tagId.isEmpty()) {
        page.journal.id = tagId;
        page.journal.seq = lastSeq;
    } else if (journalValid) {
        page.journal.id = journalId;
        page.journal.seq = lastSeq;
        page.journal.base = base;
    } else {
        page.journal.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        page.journal.seq = 0;
        page.journal.base = present ? digest(bytes) : QByteArray();
    }
    page.journal.headerWritten = journalValid;

    page.shapes = file.getGeneralShape();
    if (!layerPixels.isEmpty() && !page.shapes.isEmpty()) {
        page.checkpointCount = std::max(0, int(page.shapes.size()) - kCheckpointDepth);
        page.checkpoint = QImage(layerPixels, QImage::Format_ARGB32_Premultiplied);
        page.checkpoint.setDevicePixelRatio(ratio);
        page.checkpoint.fill(Qt::transparent);
        paintShapes(page.checkpoint, page.shapes, 0, page.checkpointCount);
        page.layer = page.checkpoint.copy();
        paintShapes(page.layer, page.shapes, page.checkpointCount, page.shapes.size());
    }
    return page;
}

void PageStore::readLater(const QString& name, const QSize& layerPixels, qreal ratio, QObject* context,
    std::function<void(LoadedPage)> done)
{
    QPointer<QObject> guard(context);
    run([this, name, layerPixels, ratio, guard, done] {
        auto page = std::make_shared<LoadedPage>(read(name, layerPixels, ratio));
        if (!guard)
            return;
        QMetaObject::invokeMethod(
            guard, [page, done] { done(std::move(*page)); }, Qt::QueuedConnection);
    });
}

void PageStore::write(const QString& name, QVector<ShapeRecord> records, const JournalState& journal)
{
    if (name.isEmpty())
        return;
    QMutexLocker locker(&m_lock);
    Pending& pending = m_pending[name];
    pending.points = 0;
    for (const ShapeRecord& r : records)
        pending.points += r.points.size() + 1;
    pending.records = std::move(records);
    pending.journal = journal;
    if (pending.queued)
        return;
    pending.queued = true;
    ++pending.jobs;
    locker.unlock();
    m_worker.start([this, name] { writePending(name); });
}

void PageStore::writePending(const QString& name)
{
    PainterStorage file;
    JournalState journal;
    {
        QMutexLocker locker(&m_lock);
        Pending& pending = m_pending[name];
        file.records = pending.records;
        journal = pending.journal;
        pending.queued = false;
    }
    file.scaleX = file.scaleY = 1.0f;
    file.color = Qt::black;
    if (!journal.id.isEmpty())
        file.journalTag = QJsonObject { { QStringLiteral("id"), journal.id },
            { QStringLiteral("seq"), double(journal.seq) } };
    const bool ok = file.save(name);
    {
        QMutexLocker locker(&m_lock);
        Pending& pending = m_pending[name];
        if (--pending.jobs == 0 && !pending.queued)
            m_pending.remove(name);
    }
    emit written(name, ok);
}

void PageStore::dispose(ShapeList shapes)
{
    if (shapes.isEmpty())
        return;
    auto doomed = std::make_shared<ShapeList>(std::move(shapes));
    run([doomed] { doomed->clear(); });
}

void PageStore::flush()
{
    m_worker.waitForDone();
}

void PageStore::run(std::function<void()> job)
{
    m_worker.start(std::move(job));
}

// ---- PageJournal ----------------------------------------------------------------------------

void PageJournal::reset(const QString& name, const JournalState& state)
{
    close();
    m_name = name;
    m_state = state;
}

bool PageJournal::append(const PageChange& change)
{
    if (m_name.isEmpty() || change.isEmpty())
        return false;
    if (!m_file.isOpen()) {
        const QString storage = PainterStorage::storagePath();
        if (!QDir().mkpath(storage)) {
            qWarning() << "create file path error :" << storage;
            return false;
        }
        m_file.setFileName(PageStore::journalPath(m_name));
        // A journal of another state of the page is replaced by one of this state.
        const QIODevice::OpenMode mode = m_state.headerWritten ? QIODevice::WriteOnly | QIODevice::Append
                                                               : QIODevice::WriteOnly | QIODevice::Truncate;
        if (!m_file.open(mode)) {
            qWarning() << "journal cannot be written:" << m_file.fileName() << m_file.errorString();
            return false;
        }
        if (!m_state.headerWritten) {
            const QJsonObject header { { QStringLiteral("journal"), m_state.id },
                { QStringLiteral("base"), QString::fromLatin1(m_state.base) } };
            m_file.write(QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n');
            m_state.headerWritten = true;
        }
    }
    ++m_state.seq;
    const QByteArray line
        = QJsonDocument(entryObject(m_state.seq, change)).toJson(QJsonDocument::Compact) + '\n';
    // One write, handed to the system at once: a killed client keeps it.
    const bool ok = m_file.write(line) == line.size() && m_file.flush();
    if (!ok)
        qWarning() << "journal write failed:" << m_file.fileName() << m_file.errorString();
    return ok;
}

void PageJournal::close()
{
    if (m_file.isOpen())
        m_file.close();
}
