#include "PageModel.h"

#include "PageReader.h"
#include "painterstorage.h"

#include <QDebug>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <utility>

PageModel::PageModel(QObject* parent)
    : QObject(parent)
{
    // The snapshot is taken once the event loop turns: the change is on screen first, and
    // changes made in one go give one snapshot. The journal already holds them.
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(0);
    connect(&m_saveTimer, &QTimer::timeout, this, &PageModel::writeWanted);
}

PageModel::~PageModel()
{
    m_journal.close();
    if (m_loadTicket != 0)
        m_unread.insert(m_fileName, Unread { m_loadTicket, m_shapes, m_changesWhileLoading, m_picture });
    if (!m_unread.isEmpty()) {
        PageStore::instance()->flush();
        for (auto it = m_unread.begin(); it != m_unread.end(); ++it)
            mergeUnread(it.key(), PageStore::instance()->read(it.key()), *it);
    }
    PageStore::instance()->dispose(std::move(m_shapes));
    PageStore::instance()->run([] { PageReader::keepLargePages(false); });
}

void PageModel::leave()
{
    if (m_loadTicket != 0) {
        // Left before it was read: what was drawn waits for the read and is merged then.
        m_unread.insert(m_fileName, Unread { m_loadTicket, m_shapes, m_changesWhileLoading, m_picture });
        const quint64 ticket = std::exchange(m_loadTicket, 0);
        m_changesWhileLoading.clear();
        // A read held for its picture is merged now, the others when they arrive.
        if (std::exchange(m_holding, false))
            pageRead(ticket, std::exchange(m_held, LoadedPage()));
    }
    m_journal.close();
}

bool PageModel::enter(const QString& name)
{
    m_fileName = name;
    m_history.setPage(name);
    const auto unread = m_unread.find(name);
    if (unread == m_unread.end())
        return false;
    // Back on a page whose read is still on its way: carry on where the teacher left it.
    m_loadTicket = unread->ticket;
    m_shapes = unread->shapes;
    m_changesWhileLoading = unread->changes;
    m_picture = unread->picture;
    m_unread.erase(unread);
    return true;
}

void PageModel::release(QVector<ShapeList>& lists, QVector<QImage>& images)
{
    lists.append(std::move(m_shapes));
    m_shapes.clear();
    images.append(std::exchange(m_picture, QImage()));
    m_moveOriginals.clear();
    m_moveCopies.clear();
}

void PageModel::load(const QSize& layerPixels, qreal ratio)
{
    m_journal.reset(m_fileName, JournalState {});
    if (m_fileName.isEmpty())
        return;
    PageStore* store = PageStore::instance();
    const quint64 ticket = ++m_lastTicket;
    m_loadTicket = ticket;
    if (std::exchange(m_holding, false))
        store->dispose(std::move(std::exchange(m_held, LoadedPage()).shapes));
    if (store->readsAtOnce(m_fileName)) {
        m_readUnpainted = false;
        pageRead(ticket, store->read(m_fileName));
        return;
    }
    m_layerPixels = layerPixels;
    m_ratio = ratio;
    m_pictureKnown = false;
    // Painting a large page costs many times its read. A page the surface saved has its drawing
    // beside it: when that picture is what the page holds, it is the layer, and the shapes are
    // read without painting them.
    m_readUnpainted = !layerPixels.isEmpty() && QFile::exists(PageStore::picturePath(m_fileName));
    if (m_readUnpainted) {
        store->readPictureLater(m_fileName, layerPixels, ratio, this,
            [this, ticket](QImage picture) { pictureRead(ticket, std::move(picture)); });
    }
    store->readLater(
        m_fileName, m_readUnpainted ? QSize() : layerPixels, ratio, this,
        [this, ticket](QImage picture) { pictureRead(ticket, picture); },
        [this, ticket](LoadedPage page) { pageRead(ticket, std::move(page)); });
}

void PageModel::pictureRead(quint64 ticket, QImage picture)
{
    if (ticket != m_loadTicket)
        return;
    m_pictureKnown = true;
    if (!picture.isNull())
        emit pictureArrived(picture);
    if (std::exchange(m_holding, false))
        pageRead(ticket, std::exchange(m_held, LoadedPage()));
}

void PageModel::pageRead(quint64 ticket, LoadedPage page)
{
    if (ticket == m_loadTicket && m_readUnpainted && !page.shapes.isEmpty()) {
        if (!m_pictureKnown) {
            m_held = std::move(page);
            m_holding = true;
            return;
        }
        if (m_picture.isNull()) {
            // The picture is not the page's drawing (another client wrote the page since): the
            // page is read again, painted.
            m_readUnpainted = false;
            PageStore::instance()->dispose(std::move(page.shapes));
            PageStore::instance()->readLater(
                m_fileName, m_layerPixels, m_ratio, this, [](QImage) {},
                [this, ticket](LoadedPage painted) { pageRead(ticket, std::move(painted)); });
            return;
        }
        page.layer = m_picture;
        page.checkpoint = QImage();
        page.checkpointShapes.clear();
        page.checkpointCount = 0;
    }
    settle(ticket, std::move(page));
}

void PageModel::settle(quint64 ticket, LoadedPage page)
{
    const int below = page.shapes.size();
    if (ticket == m_loadTicket) {
        m_loadTicket = 0;
        m_history.shiftPending(m_fileName, below, m_changesWhileLoading.size());
        m_journal.reset(m_fileName, page.journal);
        for (PageChange change : m_changesWhileLoading) {
            change.shiftBy(below);
            m_journal.append(change);
        }
        const bool drawnMeanwhile = !m_changesWhileLoading.isEmpty();
        m_changesWhileLoading.clear();
        // Lists of a large page are not copied here: what is shared costs nothing.
        m_shapes = m_shapes.isEmpty() ? page.shapes : page.shapes + m_shapes;
        emit shapesArrived(page);
        qDebug() << "load shapes count = " << m_shapes.size();
        const bool pictureShown = !m_picture.isNull();
        if (pictureShown)
            PageStore::instance()->dispose({}, { std::exchange(m_picture, QImage()) });
        if (drawnMeanwhile || page.recovered)
            emit writeWanted();
        if (!pictureShown)
            emit pageShown(m_fileName);
        emit pageLoaded(m_fileName);
        emit historyChanged(canUndo(), canRedo());
        return;
    }
    for (auto it = m_unread.begin(); it != m_unread.end(); ++it) {
        if (it->ticket == ticket) {
            mergeUnread(it.key(), std::move(page), *it);
            m_unread.erase(it);
            return;
        }
    }
}

void PageModel::mergeUnread(const QString& name, LoadedPage page, const Unread& unread)
{
    // A page left while it was read: what was drawn goes on top of what the file held.
    const int below = page.shapes.size();
    m_history.shiftPending(name, below, unread.changes.size());
    PageJournal journal;
    journal.reset(name, page.journal);
    for (PageChange change : unread.changes) {
        change.shiftBy(below);
        journal.append(change);
    }
    journal.close();
    if (unread.changes.isEmpty() && !page.recovered)
        return;
    PainterStorage storage;
    storage.setShapes(page.shapes + unread.shapes);
    PageStore::instance()->write(name, std::move(storage.records), journal.state());
    PageStore::instance()->dispose(std::move(page.shapes));
}

void PageModel::write(const ShapeList& shapes, const QImage& picture)
{
    m_saveTimer.stop();
    // A page still being read is written once what was drawn on it has been merged.
    if (!writable())
        return;
    PainterStorage storage;
    // The records share the shapes' point data: taking them costs no copy of the points.
    storage.setShapes(shapes);
    PageStore::instance()->write(m_fileName, std::move(storage.records), m_journal.state(), picture);
}

void PageModel::commit(PageChange change)
{
    if (change.isEmpty())
        return;
    m_history.record(change);
    if (m_loadTicket != 0) {
        m_changesWhileLoading.append(std::move(change));
    } else {
        m_journal.append(change);
        m_saveTimer.start();
    }
    emit historyChanged(canUndo(), canRedo());
}

void PageModel::place(const std::shared_ptr<GeneralShape>& shape)
{
    m_shapes.append(shape);
}

bool PageModel::finish(const std::shared_ptr<GeneralShape>& shape)
{
    // Normally the shape is the top of the drawing; if the drawing changed under it (cleared, or
    // the shape erased) only the shape itself may go, never another one.
    bool present = false;
    if (!m_shapes.isEmpty() && m_shapes.last() == shape) {
        m_shapes.removeLast();
        present = true;
    } else {
        present = m_shapes.removeOne(shape);
    }
    if (!present || shape->isEmpty())
        return false;
    m_shapes.append(shape);
    qDebug() << "shape count = " << m_shapes.size();
    // One line per shape would cost more than the stroke on a busy page.
    if (m_shapes.size() <= 100) {
        for (const auto& each : m_shapes)
            qDebug() << "shape name = " << each->name();
    }
    PageChange change;
    change.added.append({ int(m_shapes.size()) - 1, shape });
    commit(std::move(change));
    return true;
}

bool PageModel::erase(const std::shared_ptr<GeneralShape>& shape)
{
    const int index = m_shapes.indexOf(shape);
    if (index < 0)
        return false;
    m_shapes.removeAt(index);
    PageChange change;
    change.removed.append({ index, shape });
    commit(std::move(change));
    return true;
}

void PageModel::remove(const ShapeList& list)
{
    if (list.isEmpty())
        return;
    QSet<GeneralShape*> doomed;
    for (const auto& shape : list)
        doomed.insert(shape.get());
    PageChange change;
    ShapeList kept;
    kept.reserve(m_shapes.size());
    for (int i = 0; i < m_shapes.size(); ++i) {
        if (doomed.remove(m_shapes[i].get()))
            change.removed.append({ i, m_shapes[i] });
        else
            kept.append(m_shapes[i]);
    }
    m_shapes.swap(kept);
    commit(std::move(change));
}

void PageModel::clear()
{
    PageChange change;
    for (int i = 0; i < m_shapes.size(); ++i)
        change.removed.append({ i, m_shapes[i] });
    m_shapes.clear();
    commit(std::move(change));
}

void PageModel::beginMove(ShapeList& picked)
{
    QHash<GeneralShape*, int> places;
    places.reserve(m_shapes.size());
    for (int i = 0; i < m_shapes.size(); ++i)
        places.insert(m_shapes[i].get(), i);
    for (auto& shape : picked) {
        const int index = places.value(shape.get(), -1);
        if (index < 0)
            continue;
        auto copy = shape->clone();
        m_moveOriginals.append({ index, shape });
        m_moveCopies.append({ index, copy });
        m_shapes[index] = copy;
        shape = copy;
    }
    auto byPlace = [](const PageChange::Placed& a, const PageChange::Placed& b) { return a.first < b.first; };
    std::sort(m_moveOriginals.begin(), m_moveOriginals.end(), byPlace);
    std::sort(m_moveCopies.begin(), m_moveCopies.end(), byPlace);
}

void PageModel::finishMove()
{
    if (m_moveCopies.isEmpty())
        return;
    PageChange change { m_moveOriginals, m_moveCopies };
    m_moveOriginals.clear();
    m_moveCopies.clear();
    commit(std::move(change));
}

bool PageModel::canUndo() const
{
    // Not before the page has been read: the steps of an earlier visit count places in the whole page.
    return m_loadTicket == 0 && m_history.canUndo();
}

bool PageModel::canRedo() const
{
    return m_loadTicket == 0 && m_history.canRedo();
}

bool PageModel::undo()
{
    return canUndo() && apply(m_history.takeUndo());
}

bool PageModel::redo()
{
    return canRedo() && apply(m_history.takeRedo());
}

bool PageModel::apply(const PageChange& change)
{
    if (!change.applyTo(m_shapes)) {
        qWarning() << "history step does not fit the page" << m_fileName;
        emit historyChanged(canUndo(), canRedo());
        return false;
    }
    m_journal.append(change);
    m_saveTimer.start();
    emit historyChanged(canUndo(), canRedo());
    return true;
}
