#include "PageStore.h"

#include "LayerCache.h"
#include "PageReader.h"
#include "base/GuiThread.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMutexLocker>
#include <QPointer>
#include <QSaveFile>
#include <QUuid>

#include <cstring>
#include <limits>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace {

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
bool replay(const JournalEntry& entry, QVector<ShapeRecord>& records)
{
    const QVector<int>& removed = entry.removed;
    for (int i = 0; i < removed.size(); ++i) {
        if (removed[i] < 0 || removed[i] >= records.size() || (i > 0 && removed[i] <= removed[i - 1]))
            return false;
    }
    const int left = records.size() - removed.size();
    for (int k = 0; k < entry.added.size(); ++k) {
        const int at = entry.added[k].first;
        if (at < 0 || at > left + k)
            return false;
    }
    for (int i = removed.size() - 1; i >= 0; --i)
        records.remove(removed[i]);
    for (const auto& in : entry.added)
        records.insert(in.first, in.second);
    return true;
}

// The complete lines of a journal read whole: a line cut short by a kill is left out.
QVector<QPair<int, int>> journalLines(const PageBytes& journal)
{
    QVector<QPair<int, int>> lines;
    const char* data = journal.data();
    const int complete = journal.bytes().lastIndexOf('\n') + 1;
    int from = 0;
    while (from < complete) {
        const int end
            = int(static_cast<const char*>(std::memchr(data + from, '\n', size_t(complete - from))) - data);
        lines.append(qMakePair(from, end - from));
        from = end + 1;
    }
    return lines;
}

// What a picture is keyed by: fast enough to run over a 200 MB page file while the page opens.
QString pictureDigest(const QByteArray& bytes)
{
    const XXH128_hash_t hash = XXH3_128bits(bytes.constData(), size_t(bytes.size()));
    return QString::number(hash.high64, 16).rightJustified(16, QLatin1Char('0'))
        + QString::number(hash.low64, 16).rightJustified(16, QLatin1Char('0'));
}

constexpr int kPictureVersion = 1;
constexpr int kPictureHeaderMax = 4096;

// Writes the picture of the page file just written from bytes, or takes away one that no
// longer fits it. Written after the page file: a kill in between leaves a picture whose key no
// longer matches, never one that is believed.
void storePicture(const QString& name, const QImage& picture, const QByteArray& bytes, const QJsonObject& tag)
{
    const QString path = PageStore::picturePath(name);
    if (picture.isNull() || picture.format() != QImage::Format_ARGB32_Premultiplied) {
        QFile::remove(path);
        return;
    }
    const QJsonObject header {
        { QStringLiteral("picture"), kPictureVersion },
        { QStringLiteral("digest"), pictureDigest(bytes) },
        { QStringLiteral("bytes"), double(bytes.size()) },
        { QStringLiteral("journal"), tag.value(QStringLiteral("id")) },
        { QStringLiteral("seq"), tag.value(QStringLiteral("seq")) },
        { QStringLiteral("width"), picture.width() },
        { QStringLiteral("height"), picture.height() },
        { QStringLiteral("ratio"), picture.devicePixelRatio() },
    };
    // The layer's own pixels, not a re-encoded image: what is shown is exactly what was painted.
    const QByteArray pixels = qCompress(picture.constBits(), int(picture.sizeInBytes()), 1);
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly)
        || out.write(QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n') < 0
        || out.write(pixels) != pixels.size() || !out.commit()) {
        qWarning() << "page picture cannot be written:" << path << out.errorString();
        QFile::remove(path);
    }
}

// Whether the page's journal holds changes that a page file with this tag does not.
bool journalGoesBeyond(const QString& name, const QString& tagId, qint64 tagSeq)
{
    QFile file(PageStore::journalPath(name));
    PageBytes journal;
    if (!file.open(QIODevice::ReadOnly) || !journal.read(file))
        return false;
    const QVector<QPair<int, int>> lines = journalLines(journal);
    if (lines.isEmpty())
        return false;
    PageReader reader;
    const QString id = reader.readObject(journal, lines[0].first, lines[0].second)
                           .value(QStringLiteral("journal"))
                           .toString();
    if (id.isEmpty())
        return false;
    // A journal of another id is dropped as stale when the page is read; without a tag of its
    // own the file may take any journal, so any entry counts.
    if (!tagId.isEmpty() && id != tagId)
        return false;
    for (int i = 1; i < lines.size(); ++i) {
        const JournalEntry entry = reader.readEntry(journal, lines[i].first, lines[i].second, false);
        if (!entry.empty && (tagId.isEmpty() || PageReader::wholeNumber(entry.seq) > tagSeq))
            return true;
    }
    return false;
}

// The digest of a page file, read through a mapping: no copy of a file that may be 200 MB.
QString fileDigest(QFile& file)
{
    if (file.size() == 0)
        return pictureDigest(QByteArray());
    uchar* data = file.map(0, file.size());
    if (!data)
        return QString();
    const QString digest
        = pictureDigest(QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(file.size())));
    file.unmap(data);
    return digest;
}

bool fits(const QImage& picture, const QSize& pixels, qreal ratio)
{
    return !picture.isNull() && picture.size() == pixels && picture.devicePixelRatio() == ratio
        && picture.format() == QImage::Format_ARGB32_Premultiplied;
}

// The page's picture when it was painted from exactly the page file at this size, and the
// journal adds nothing to it; a null image otherwise.
QImage readPicture(const QString& name, QFile& page, const QSize& pixels, qreal ratio)
{
    QFile in(PageStore::picturePath(name));
    if (!in.open(QIODevice::ReadOnly))
        return QImage();
    PageBytes line;
    {
        const QByteArray text = in.readLine(kPictureHeaderMax);
        line.assign(text.constData(), text.size());
    }
    const QJsonObject header = PageReader().readObject(line, 0, line.size());
    if (header.value(QStringLiteral("picture")).toInt() != kPictureVersion
        || header.value(QStringLiteral("width")).toInt() != pixels.width()
        || header.value(QStringLiteral("height")).toInt() != pixels.height()
        || header.value(QStringLiteral("ratio")).toDouble() != ratio
        || PageReader::wholeNumber(header.value(QStringLiteral("bytes")).toDouble()) != page.size()
        || page.size() > std::numeric_limits<int>::max())
        return QImage();
    const qint64 size = qint64(pixels.width()) * pixels.height() * 4;
    // The compressed data starts with the size it unpacks to; nothing larger than the layer is
    // ever unpacked, and nothing more than that is read.
    const qint64 packed = in.size() - in.pos();
    if (packed < 4 || packed > size + size / 8 + 1024)
        return QImage();
    const QByteArray data = in.readAll();
    const quint32 unpacked = (quint32(uchar(data[0])) << 24) | (quint32(uchar(data[1])) << 16)
        | (quint32(uchar(data[2])) << 8) | quint32(uchar(data[3]));
    if (unpacked != size)
        return QImage();
    // Checked last: it reads the whole page file.
    if (header.value(QStringLiteral("digest")).toString() != fileDigest(page))
        return QImage();
    if (journalGoesBeyond(name, header.value(QStringLiteral("journal")).toString(),
            PageReader::wholeNumber(header.value(QStringLiteral("seq")).toDouble())))
        return QImage();
    const QByteArray plain = qUncompress(data);
    if (plain.size() != size)
        return QImage();
    QImage picture(pixels, QImage::Format_ARGB32_Premultiplied);
    std::memcpy(picture.bits(), plain.constData(), size_t(size));
    picture.setDevicePixelRatio(ratio);
    return picture;
}

// The page's drawing as the surface keeps it: everything but the top shapes in the checkpoint,
// all of them in the layer.
void paintLayers(LoadedPage& page, const QSize& layerPixels, qreal ratio)
{
    if (layerPixels.isEmpty() || page.shapes.isEmpty())
        return;
    page.checkpointCount = std::max(0, int(page.shapes.size()) - LayerCache::kCheckpointDepth);
    page.checkpointShapes = page.shapes.mid(0, page.checkpointCount);
    page.checkpoint = QImage(layerPixels, QImage::Format_ARGB32_Premultiplied);
    page.checkpoint.setDevicePixelRatio(ratio);
    page.checkpoint.fill(Qt::transparent);
    LayerCache::paintShapes(page.checkpoint, page.shapes, 0, page.checkpointCount, 1.0f);
    page.layer = page.checkpoint.copy();
    LayerCache::paintShapes(page.layer, page.shapes, page.checkpointCount, page.shapes.size(), 1.0f);
}

} // namespace

void PageStore::yieldToGui()
{
    thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    lowerThreadPriority();
}

PageStore* PageStore::instance()
{
    // Lives to the end of the process; what is still queued is written before the application
    // leaves its event loop.
    static PageStore* store = [] {
        auto* created = new PageStore;
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QObject::connect(app, &QCoreApplication::aboutToQuit, created, [created] { created->flush(); });
            // Also when the application goes without leaving an event loop: a job still running
            // after it would meet the process's statics (fonts, image formats) being torn down.
            qAddPostRoutine([] { store->flush(); });
        }
        return created;
    }();
    return store;
}

PageStore::PageStore()
{
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);
    m_pictureReader.setMaxThreadCount(1);
    m_pictureReader.setExpiryTimeout(-1);
}

PageStore::~PageStore()
{
    m_pictureReader.waitForDone();
    m_worker.waitForDone();
}

QString PageStore::journalPath(const QString& name)
{
    return QDir(PainterStorage::storagePath()).absoluteFilePath(name + QStringLiteral(".journal"));
}

QString PageStore::picturePath(const QString& name)
{
    return QDir(PainterStorage::storagePath()).absoluteFilePath(name + QStringLiteral(".picture"));
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
            // Painted here as well: a large page waiting for its write would else be painted
            // on the GUI thread.
            paintLayers(page, layerPixels, ratio);
            return page;
        }
    }
    const QDir storage(PainterStorage::storagePath());
    const QString path = storage.absoluteFilePath(name);
    PainterStorage file;
    PageBytes bytes;
    bool present = false;
    {
        QFile in(path);
        if (in.open(QIODevice::ReadOnly) && bytes.read(in)) {
            in.close();
            present = file.parse(bytes, path);
        } else if (in.exists()) {
            qWarning() << "Couldn't open save file." << path << in.errorString();
        }
    }
    const QString tagId = file.journalTag.value(QStringLiteral("id")).toString();
    const qint64 tagSeq = PageReader::wholeNumber(file.journalTag.value(QStringLiteral("seq")).toDouble());

    QFile journalFile(journalPath(name));
    PageBytes journal;
    bool journalValid = false;
    qint64 lastSeq = tagSeq;
    QString journalId;
    QByteArray base;
    if (journalFile.open(tidy ? QIODevice::ReadWrite : QIODevice::ReadOnly) && journal.read(journalFile)) {
        PageReader reader;
        const QVector<QPair<int, int>> lines = journalLines(journal);
        // A line cut short by a kill is dropped, so the next entry starts on a line of its own.
        const int complete = lines.isEmpty() ? 0 : lines.last().first + lines.last().second + 1;
        if (tidy && complete < journal.size())
            journalFile.resize(complete);
        const QJsonObject header
            = lines.isEmpty() ? QJsonObject() : reader.readObject(journal, lines[0].first, lines[0].second);
        journalId = header.value(QStringLiteral("journal")).toString();
        base = header.value(QStringLiteral("base")).toString().toLatin1();
        qint64 from = -1;
        if (!journalId.isEmpty() && journalId == tagId)
            from = tagSeq;
        else if (!journalId.isEmpty() && tagId.isEmpty()
            && base == (present ? digest(bytes.bytes()) : QByteArray()))
            from = 0;
        if (from >= 0) {
            journalValid = true;
            int replayed = 0;
            for (int i = 1; i < lines.size(); ++i) {
                const JournalEntry entry = reader.readEntry(journal, lines[i].first, lines[i].second);
                const qint64 seq = PageReader::wholeNumber(entry.seq);
                if (entry.empty || seq <= from)
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
            if (tidy && !page.recovered && lines.size() > 1) {
                // Everything in it is in the page file already: start afresh.
                journalFile.close();
                journalFile.remove();
                journalValid = false;
            }
        } else if (tidy && journal.size() > 0) {
            // Written for another state of the page file (another client wrote it since).
            qWarning() << "stale journal of page" << name << "dropped";
            journalFile.close();
            journalFile.remove();
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
        page.journal.base = present ? digest(bytes.bytes()) : QByteArray();
    }
    page.journal.headerWritten = journalValid;

    page.shapes = file.getGeneralShape();
    paintLayers(page, layerPixels, ratio);
    return page;
}

QImage PageStore::picture(const QString& name, const QSize& layerPixels, qreal ratio) const
{
    if (name.isEmpty() || layerPixels.isEmpty())
        return QImage();
    {
        // A page waiting to be written is its snapshot, whose picture (if any) goes along.
        QMutexLocker locker(&m_lock);
        const auto it = m_pending.constFind(name);
        if (it != m_pending.constEnd() && it->jobs > 0)
            return fits(it->picture, layerPixels, ratio) ? it->picture : QImage();
    }
    QFile page(QDir(PainterStorage::storagePath()).absoluteFilePath(name));
    if (!page.open(QIODevice::ReadOnly))
        return QImage();
    return readPicture(name, page, layerPixels, ratio);
}

void PageStore::readLater(const QString& name, const QSize& layerPixels, qreal ratio, QObject* context,
    std::function<void(QImage)> shown, std::function<void(LoadedPage)> done)
{
    QPointer<QObject> guard(context);
    // No write of this page can start before its read is done, so the page file the picture is
    // checked against stays as it is.
    readPictureLater(name, layerPixels, ratio, context, [shown](QImage found) {
        if (!found.isNull())
            shown(std::move(found));
    });
    run([this, name, layerPixels, ratio, guard, done] {
        // The page in view: a heavy one is likely to be switched back to.
        PageReader::keepLargePages(true);
        auto page = std::make_shared<LoadedPage>(read(name, layerPixels, ratio, true));
        if (!guard)
            return;
        RunOnGuiThread(guard, [page, done] { done(std::move(*page)); });
    });
}

void PageStore::readPictureLater(const QString& name, const QSize& layerPixels, qreal ratio, QObject* context,
    std::function<void(QImage)> done)
{
    QPointer<QObject> guard(context);
    // On a thread of its own: it must not wait for a page being written or freed.
    m_pictureReader.start([this, name, layerPixels, ratio, guard, done] {
        yieldToGui();
        QImage found = picture(name, layerPixels, ratio);
        if (guard)
            RunOnGuiThread(guard, [done, found] { done(found); });
    });
}

void PageStore::write(
    const QString& name, QVector<ShapeRecord> records, const JournalState& journal, const QImage& picture)
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
    pending.picture = picture;
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
    QImage picture;
    {
        QMutexLocker locker(&m_lock);
        Pending& pending = m_pending[name];
        file.records = pending.records;
        journal = pending.journal;
        picture = pending.picture;
        pending.queued = false;
    }
    file.scaleX = file.scaleY = 1.0f;
    file.color = Qt::black;
    if (!journal.id.isEmpty())
        file.journalTag = QJsonObject { { QStringLiteral("id"), journal.id },
            { QStringLiteral("seq"), double(journal.seq) } };
    QByteArray bytes;
    const bool ok = file.save(name, &bytes);
    // A page read at once needs no picture; painting one into a file would only cost the worker.
    if (ok)
        storePicture(name, bytes.size() < kSmallPageBytes ? QImage() : picture, bytes, file.journalTag);
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

void PageStore::dispose(QVector<ShapeList> lists, QVector<QImage> images)
{
    struct Doomed {
        QVector<ShapeList> lists;
        QVector<QImage> images;
    };
    auto doomed = std::make_shared<Doomed>(Doomed { std::move(lists), std::move(images) });
    run([doomed] {
        doomed->lists.clear();
        doomed->images.clear();
    });
}

void PageStore::flush()
{
    m_pictureReader.waitForDone();
    m_worker.waitForDone();
}

void PageStore::run(std::function<void()> job)
{
    m_worker.start([job = std::move(job)] {
        yieldToGui();
        job();
    });
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
