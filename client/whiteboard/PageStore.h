#pragma once

#include "PageChange.h"
#include "painterstorage.h"

#include <QFile>
#include <QHash>
#include <QImage>
#include <QMutex>
#include <QObject>
#include <QThreadPool>

#include <functional>

// Where a page's journal stands: its name, the last entry written and, for a page file that
// carries no tag of ours, the digest of the file the journal's entries apply to.
struct JournalState {
    QString id;
    qint64 seq = 0;
    QByteArray base;
    bool headerWritten = false;
};

// A page as read from its file and journal, with its drawing already painted when asked for.
struct LoadedPage {
    QString name;
    ShapeList shapes;
    JournalState journal;
    // Journal entries that the page file did not hold yet were replayed: the file wants writing.
    bool recovered = false;
    // shapes[0, checkpointCount) painted in order into checkpoint, all of them into layer.
    QImage checkpoint;
    int checkpointCount = 0;
    ShapeList checkpointShapes;
    QImage layer;
};

// Reads and writes the page files of the storage folder off the GUI thread, on one worker that
// takes jobs in the order given, so a page read after a write sees that write. Beside each page
// file an append-only journal ("<page>.journal") holds every finished change since the file was
// written; it is appended on the GUI thread at once, so that killing the client loses at most the
// change being made, and folded back when the page is read.
class PageStore : public QObject {
    Q_OBJECT
public:
    // Pages whose file and journal are below this are read on the spot, and so are pages
    // waiting to be written with fewer points than kSmallPagePoints, from what waits.
    static constexpr qint64 kSmallPageBytes = 256 * 1024;
    static constexpr qint64 kSmallPagePoints = 8000;

    static PageStore* instance();
    ~PageStore() override;

    static QString journalPath(const QString& name);
    // Beside each page file a picture of its drawing ("<page>.picture"), keyed by a digest of the
    // file it was painted from, shown while the page is read. Clients that do not know it never
    // look at it.
    static QString picturePath(const QString& name);

    // Reads a page (any thread). A layer size that is not empty asks for the drawing painted.
    // Tidying drops a journal that the page file holds whole or that belongs to another state of
    // it; only the reader of the page in view tidies.
    LoadedPage read(
        const QString& name, const QSize& layerPixels = QSize(), qreal ratio = 1.0, bool tidy = true);
    // The page's picture when it shows exactly what the page holds, at this size; null if not.
    QImage picture(const QString& name, const QSize& layerPixels, qreal ratio) const;
    // Whether the page can be read on the GUI thread at once: small, and no write of it pending.
    bool readsAtOnce(const QString& name) const;
    // Reads the page's picture beside the worker; done (with a null image when it has no fitting
    // one) runs on context's thread, unless context is gone by then. Waited for like the worker's
    // jobs: none may outlive the application.
    void readPictureLater(const QString& name, const QSize& layerPixels, qreal ratio, QObject* context,
        std::function<void(QImage)> done);
    // Reads on the worker; shown (with the page's picture, if it has a fitting one, read beside
    // the worker) and done run on context's thread, unless context is gone by then.
    void readLater(const QString& name, const QSize& layerPixels, qreal ratio, QObject* context,
        std::function<void(QImage)> shown, std::function<void(LoadedPage)> done);
    // Writes the page file on the worker. Snapshots of the same page that wait are merged into
    // the newest; the last one is always written. A picture given is the records painted as the
    // surface paints them; it is written beside the page file, keyed by it.
    void write(const QString& name, QVector<ShapeRecord> records, const JournalState& journal,
        const QImage& picture = QImage());
    // Lets the worker free what the GUI thread no longer needs, in one job. Images go too: a
    // layer freed here would wait for the allocator while the worker frees a page's shapes.
    void dispose(ShapeList shapes);
    void dispose(QVector<ShapeList> lists, QVector<QImage> images);
    // Waits until every job given so far has run.
    void flush();
    // Runs any job on the worker, in order with the page jobs.
    void run(std::function<void()> job);
    // Reads, writes and paints off the GUI thread give way to it: at the same priority, a page
    // read and a picture read on two cores kept it waiting for a core for tens of milliseconds
    // while it painted. Once per thread; the lowering is PageStore_<platform>.cpp's.
    static void yieldToGui();

signals:
    void written(const QString& name, bool ok);

private:
    PageStore();
    void writePending(const QString& name);
    static void lowerThreadPriority();

    QThreadPool m_worker;
    QThreadPool m_pictureReader;
    mutable QMutex m_lock;
    // One reader of page files at a time: a tidying read must not cut a journal under another.
    QMutex m_readLock;
    // The newest snapshot of a page stays here until its last write is done: it is the page.
    struct Pending {
        QVector<ShapeRecord> records;
        qint64 points = 0;
        JournalState journal;
        QImage picture;
        bool queued = false;
        int jobs = 0;
    };
    QHash<QString, Pending> m_pending;
};

// The GUI thread's end of one page's journal.
class PageJournal {
public:
    void reset(const QString& name, const JournalState& state);
    const JournalState& state() const { return m_state; }
    const QString& name() const { return m_name; }
    // Appends the change as the next entry; false when the journal cannot be written.
    bool append(const PageChange& change);
    void close();

private:
    QString m_name;
    JournalState m_state;
    QFile m_file;
};
