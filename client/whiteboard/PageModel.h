#pragma once

#include "PageChange.h"
#include "PageStore.h"
#include "UndoHistory.h"
#include "shapes.h"

#include <QHash>
#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QVector>

// The drawing of the page in view as data: its shapes, how they are read from the page file and
// its journal (a large page in the background, what is drawn meanwhile going on top), each
// finished change journaled and handed to the background writer, and undo and redo. No widget:
// the surface shows the page and turns the pointer into the changes made here.
class PageModel : public QObject {
    Q_OBJECT
public:
    explicit PageModel(QObject* parent = nullptr);
    // Pages still being read keep what was drawn on them: their reads are finished here.
    ~PageModel() override;

    const QString& fileName() const { return m_fileName; }
    const ShapeList& shapes() const { return m_shapes; }
    bool isLoading() const { return m_loadTicket != 0; }
    // The page's drawing as last saved, shown under what is drawn until its shapes are read.
    const QImage& picture() const { return m_picture; }
    void setPicture(QImage picture) { m_picture = std::move(picture); }

    // Leaving the page in view; one still being read keeps what was drawn on it for the read.
    void leave();
    // The page to show next: false when it has to be read (load), true when a read of it was
    // still on its way and the page is as the teacher left it.
    bool enter(const QString& name);
    // Reads the page again: small pages at once, large ones in the background, painted at this size.
    void load(const QSize& layerPixels, qreal ratio);
    // Hands every list and image the page holds to the caller, who frees them off the GUI thread.
    void release(QVector<ShapeList>& lists, QVector<QImage>& images);

    // A shape being drawn goes on top at once; it becomes a change only when it is finished.
    void place(const std::shared_ptr<GeneralShape>& shape);
    // Takes the shape out and, unless it is empty, puts it back on top as a finished change.
    bool finish(const std::shared_ptr<GeneralShape>& shape);
    bool erase(const std::shared_ptr<GeneralShape>& shape);
    void remove(const ShapeList& list);
    void clear();
    // The page gets copies of the picked shapes to move (picked then holds the copies); the shapes
    // as they were stay for undo and for a pending write, which reads them on another thread.
    void beginMove(ShapeList& picked);
    bool isMoving() const { return !m_moveCopies.isEmpty(); }
    void finishMove();

    bool canUndo() const;
    bool canRedo() const;
    bool undo();
    bool redo();
    const UndoHistory& history() const { return m_history; }

    // Whether the page can be written now: it has a name and is not being read.
    bool writable() const { return !m_fileName.isEmpty() && m_loadTicket == 0; }
    bool writeDue() const { return m_saveTimer.isActive(); }
    // Hands the shapes to the background writer with the picture painted of them, if any.
    void write(const ShapeList& shapes, const QImage& picture);

signals:
    // A finished change wants the page written once the event loop turns.
    void writeWanted();
    void pictureArrived(const QImage& picture);
    // The page's shapes have been read and are in the list; page holds them painted if asked.
    void shapesArrived(const LoadedPage& page);
    void pageShown(const QString& name);
    void pageLoaded(const QString& name);
    void historyChanged(bool canUndo, bool canRedo);

private:
    struct Unread {
        quint64 ticket = 0;
        ShapeList shapes;
        QVector<PageChange> changes;
        QImage picture;
    };

    void commit(PageChange change);
    bool apply(const PageChange& change);
    void pictureRead(quint64 ticket, QImage picture);
    void pageRead(quint64 ticket, LoadedPage page);
    void settle(quint64 ticket, LoadedPage page);
    void mergeUnread(const QString& name, LoadedPage page, const Unread& unread);

    QString m_fileName;
    ShapeList m_shapes;
    UndoHistory m_history;
    PageJournal m_journal;
    quint64 m_loadTicket = 0;
    quint64 m_lastTicket = 0;
    QVector<PageChange> m_changesWhileLoading;
    QImage m_picture;
    // A page with a picture beside it is read without painting: when the picture is what the
    // page holds it is the layer as well. The read waits here until the picture is known.
    QSize m_layerPixels;
    qreal m_ratio = 1.0;
    bool m_readUnpainted = false;
    bool m_pictureKnown = false;
    bool m_holding = false;
    LoadedPage m_held;
    // Pages left before they were read, keyed by file name: merged when the read arrives.
    QHash<QString, Unread> m_unread;
    QVector<PageChange::Placed> m_moveOriginals;
    QVector<PageChange::Placed> m_moveCopies;
    QTimer m_saveTimer;
};
