#include "renderarea.h"

#include "PaintSettings.h"
#include "painterstorage.h"

#include <QApplication>
#include <QDebug>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QRegion>
#include <QSet>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

RenderArea::RenderArea(QWidget* parent)
    : QWidget(parent)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    setPalette(pal);
    // A click on the board gives it the keys, for undo and redo.
    setFocusPolicy(Qt::ClickFocus);
    m_saveTimer.setSingleShot(true);
    m_saveTimer.setInterval(0);
    connect(&m_saveTimer, &QTimer::timeout, this, &RenderArea::saveDrawing);
    m_laserTimer.setInterval(30);
    connect(&m_laserTimer, &QTimer::timeout, this, &RenderArea::laserTick);
    // A box that opens while the button is held (closing the room mid-stroke) would never get the
    // pointer back from the press's grab: give it up once another window takes the focus.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && now->window() != window() && QWidget::mouseGrabber() == this)
            releaseMouse();
    });
    m_clock.start();
    setInstrumentType(None);
}

RenderArea::~RenderArea()
{
    // Every way out of the room keeps the page in view: the text being typed and the shape
    // being drawn are finished and written like any other change.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    if (m_currentShape)
        finishCurrentShape();
    if (m_saveTimer.isActive())
        saveDrawing();
    // The editor dies with the widget base, after the shapes: it must not call back by then.
    if (m_textEditor)
        m_textEditor->disconnect(this);
    m_journal.close();
    // Pages still being read keep what was drawn on them: their reads are finished here.
    if (m_loadTicket != 0)
        m_unread.insert(m_fileName, Unread { m_loadTicket, m_shapes, m_changesWhileLoading, m_picture });
    if (!m_unread.isEmpty()) {
        PageStore::instance()->flush();
        for (auto it = m_unread.begin(); it != m_unread.end(); ++it)
            mergeUnread(it.key(), PageStore::instance()->read(it.key()), *it);
    }
    PageStore::instance()->dispose(std::move(m_shapes));
}

void RenderArea::setInstrumentType(InstrumentType type)
{
    qDebug() << "setInstrumentType = " << int(type);
    m_instrument = type;
    if (type == Pointer) {
        setCursor(Qt::PointingHandCursor);
        saveDrawing();
    } else if (type == Laser) {
        setCursor(Qt::CrossCursor);
    } else {
        setCursor(Qt::ArrowCursor);
    }
    if (type == Move)
        return;
    m_pickedShapes.clear();
    update();
}

void RenderArea::clearDrawing()
{
    // What is typed is confirmed first, so that the clear takes it with the rest as one step.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    PageChange change;
    for (int i = 0; i < m_shapes.size(); ++i)
        change.removed.append({ i, m_shapes[i] });
    m_shapes.clear();
    m_pickedShapes.clear();
    m_currentShape.reset();
    commit(std::move(change));
    update();
}

void RenderArea::setFileName(const QString& name)
{
    // What is typed but not yet confirmed belongs to the page being left.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    if (m_saveTimer.isActive())
        saveDrawing();
    if (m_loadTicket != 0) {
        // Left before it was read: what was drawn waits for the read and is merged then.
        m_unread.insert(m_fileName, Unread { m_loadTicket, m_shapes, m_changesWhileLoading, m_picture });
        m_loadTicket = 0;
        m_changesWhileLoading.clear();
    }
    m_journal.close();
    m_fileName = name;
    resetPage();
    m_history.setPage(name);
    const auto unread = m_unread.find(name);
    if (unread != m_unread.end()) {
        // Back on a page whose read is still on its way: carry on where the teacher left it.
        m_loadTicket = unread->ticket;
        m_shapes = unread->shapes;
        m_changesWhileLoading = unread->changes;
        m_picture = unread->picture;
        m_unread.erase(unread);
        update();
    } else {
        load();
    }
    emit historyChanged(canUndo(), canRedo());
}

QString RenderArea::fileName() const
{
    return m_fileName;
}

void RenderArea::resetPage()
{
    // A large page takes a while to free; the worker does it. Every list that holds its shapes
    // goes there, or the last one let go here would free them on this thread after all.
    PageStore::instance()->dispose({ std::move(m_layerShapes), std::move(m_checkpointShapes),
                                       std::move(m_pickedShapes), std::move(m_shapes) },
        { std::exchange(m_layer, QImage()), std::exchange(m_checkpoint, QImage()),
            std::exchange(m_picture, QImage()) });
    m_shapes.clear();
    m_laserTrails.clear();
    m_moveOriginals.clear();
    m_moveCopies.clear();
    m_pickedShapes.clear();
    m_currentShape.reset();
    m_pickFrameShape.reset();
    if (m_textEditor) {
        // The next text press builds a fresh editor; the old one goes with its page.
        m_textEditor->disconnect(this);
        m_textEditor->hide();
        m_textEditor->deleteLater();
        m_textEditor = nullptr;
    }
    invalidateLayer();
}

ShapeList RenderArea::savedShapes() const
{
    // The shape under construction (a text with nothing typed yet) is not part of the page; every
    // other shape is, also a degenerate one that came from the file.
    ShapeList finished = m_shapes;
    if (m_currentShape && m_currentShape->isEmpty())
        finished.removeOne(m_currentShape);
    return finished;
}

void RenderArea::scheduleSave()
{
    // The snapshot is taken once the event loop turns: the change is on screen first, and
    // changes made in one go give one snapshot. The journal already holds them.
    m_saveTimer.start();
}

void RenderArea::saveDrawing()
{
    m_saveTimer.stop();
    // A page still being read is written once what was drawn on it has been merged.
    if (m_fileName.isEmpty() || m_loadTicket != 0)
        return;
    const ShapeList saved = savedShapes();
    // The layer goes along as the page's picture when it holds exactly what is saved (it is what
    // the next paint brings it to anyway); while shapes are dragged or drawn it does not.
    QImage picture;
    const int painted = firstLiveShape();
    if (m_layerCacheEnabled && isVisible() && !size().isEmpty() && painted == saved.size()
        && m_shapes.mid(0, painted) == saved) {
        updateLayer(painted);
        picture = m_layer;
    }
    PainterStorage storage;
    // The records share the shapes' point data: taking them costs no copy of the points.
    storage.setShapes(saved);
    PageStore::instance()->write(m_fileName, std::move(storage.records), m_journal.state(), picture);
}

void RenderArea::load()
{
    if (m_loadTicket == 0 && !m_shapes.isEmpty()) {
        // Read again from the start: what is shown goes.
        resetPage();
    }
    m_journal.reset(m_fileName, JournalState {});
    if (m_fileName.isEmpty())
        return;
    PageStore* store = PageStore::instance();
    const quint64 ticket = ++m_lastTicket;
    m_loadTicket = ticket;
    if (store->readsAtOnce(m_fileName)) {
        pageRead(ticket, store->read(m_fileName));
        return;
    }
    const qreal ratio = devicePixelRatioF();
    store->readLater(
        m_fileName, size() * ratio, ratio, this,
        [this, ticket](QImage picture) { pictureRead(ticket, picture); },
        [this, ticket](LoadedPage page) { pageRead(ticket, std::move(page)); });
}

bool RenderArea::pictureFits() const
{
    const qreal ratio = devicePixelRatioF();
    return !m_picture.isNull() && m_picture.size() == size() * ratio && m_picture.devicePixelRatio() == ratio;
}

void RenderArea::pictureRead(quint64 ticket, QImage picture)
{
    if (ticket != m_loadTicket)
        return;
    m_picture = std::move(picture);
    if (!pictureFits()) {
        m_picture = QImage();
        return;
    }
    update();
    emit pageShown(m_fileName);
}

void RenderArea::pageRead(quint64 ticket, LoadedPage page)
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
        const qreal ratio = devicePixelRatioF();
        const bool layerFits = !page.layer.isNull() && page.layer.size() == size() * ratio
            && page.layer.devicePixelRatio() == ratio;
        // Lists of a large page are not copied here: what is shared costs nothing.
        m_shapes = m_shapes.isEmpty() ? page.shapes : page.shapes + m_shapes;
        if (layerFits) {
            m_layer = page.layer;
            m_layerShapes = page.shapes;
            m_checkpoint = page.checkpoint;
            m_checkpointShapes = page.checkpointShapes;
        } else {
            invalidateLayer();
        }
        qDebug() << "load shapes count = " << m_shapes.size();
        const bool pictureShown = !m_picture.isNull();
        if (pictureShown)
            PageStore::instance()->dispose({}, { std::exchange(m_picture, QImage()) });
        if (drawnMeanwhile || page.recovered)
            saveDrawing();
        update();
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

void RenderArea::mergeUnread(const QString& name, LoadedPage page, const Unread& unread)
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

void RenderArea::commit(PageChange change)
{
    if (change.isEmpty())
        return;
    m_history.record(change);
    if (m_loadTicket != 0) {
        m_changesWhileLoading.append(std::move(change));
    } else {
        m_journal.append(change);
        scheduleSave();
    }
    emit historyChanged(canUndo(), canRedo());
}

bool RenderArea::canUndo() const
{
    return m_loadTicket == 0 && m_history.canUndo();
}

bool RenderArea::canRedo() const
{
    return m_loadTicket == 0 && m_history.canRedo();
}

bool RenderArea::undo()
{
    // Text being typed is confirmed, and is then the step undone.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    // Not in the middle of a shape, nor before the page has been read (the steps of an earlier
    // visit count places in the whole page).
    if (!canUndo() || m_pressed || m_currentShape)
        return false;
    return applyFromHistory(m_history.takeUndo());
}

bool RenderArea::redo()
{
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    if (!canRedo() || m_pressed || m_currentShape)
        return false;
    return applyFromHistory(m_history.takeRedo());
}

bool RenderArea::applyFromHistory(const PageChange& change)
{
    if (!change.applyTo(m_shapes)) {
        qWarning() << "history step does not fit the page" << m_fileName;
        emit historyChanged(canUndo(), canRedo());
        return false;
    }
    m_pickedShapes.clear();
    m_journal.append(change);
    scheduleSave();
    update();
    emit historyChanged(canUndo(), canRedo());
    return true;
}

const QList<std::shared_ptr<GeneralShape>>& RenderArea::shapes() const
{
    return m_shapes;
}

QSize RenderArea::sizeHint() const
{
    return QSize(int(m_preferredWidth), int(m_preferredHeight));
}

void RenderArea::setPreferredSize(const QSize& size)
{
    m_preferredWidth = size.width();
    m_preferredHeight = size.height();
    updateGeometry();
}

QPointF RenderArea::pagePoint(const QPointF& pos) const
{
    // The page is not zoomed or panned: page and widget coordinates are the same.
    return pos;
}

ShapeList RenderArea::getPickShapes(QPointF a, QPointF b)
{
    ShapeList picked;
    for (const auto& shape : m_shapes) {
        const bool inside = shape->frameInside(a, b);
        qDebug() << shape->name() << " - " << inside;
        if (inside)
            picked.append(shape);
    }
    return picked;
}

ShapeList RenderArea::shapeAt(QPointF p)
{
    for (int i = m_shapes.size() - 1; i >= 0; --i) {
        if (m_shapes[i]->distanceTo(p) < 4.0f)
            return ShapeList { m_shapes[i] };
    }
    return {};
}

bool RenderArea::eraseAt(QPointF p)
{
    const ShapeList hit = shapeAt(p);
    if (hit.isEmpty())
        return false;
    const int index = m_shapes.indexOf(hit.first());
    if (index < 0)
        return false;
    m_shapes.removeAt(index);
    PageChange change;
    change.removed.append({ index, hit.first() });
    commit(std::move(change));
    return true;
}

void RenderArea::removeShapes(const ShapeList& list)
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

std::shared_ptr<GeneralShape> RenderArea::createShape(InstrumentType type) const
{
    switch (type) {
    case Pen:
        return GeneralShape::create(QStringLiteral("CurveShape"));
    case Text:
        return GeneralShape::create(QStringLiteral("TextShape"));
    case Rectangle:
        return GeneralShape::create(QStringLiteral("RectangleShape"));
    case Arrow:
        return GeneralShape::create(QStringLiteral("ArrowShape"));
    default:
        return {};
    }
}

void RenderArea::mousePressEvent(QMouseEvent* event)
{
    qDebug() << "mousePressEvent";
    const QPointF p = pagePoint(event->localPos());
    grabMouse();
    if (event->button() == Qt::LeftButton)
        m_pressed = true;

    // A press anywhere confirms the text being typed instead of throwing it away.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();

    switch (m_instrument) {
    case Pen:
    case Rectangle:
        finishCurrentShape();
        m_currentShape = createShape(m_instrument);
        m_currentShape->setPen(PenSettings::pen());
        m_currentShape->beginAt(p);
        m_shapes.append(m_currentShape);
        break;
    case Text:
        finishCurrentShape();
        m_currentShape = createShape(Text);
        m_currentShape->addPoint(p);
        m_shapes.append(m_currentShape);
        showTextEditor(p);
        break;
    case Arrow:
        if (!m_currentShape) {
            m_currentShape = createShape(Arrow);
            m_shapes.append(m_currentShape);
        }
        m_currentShape->setPen(PenSettings::pen());
        m_currentShape->addPoint(p);
        m_currentShape->addPoint(p);
        break;
    case Eraser:
        if (!shapeAt(p).isEmpty()) {
            const bool erased = eraseAt(p);
            qDebug() << "eraser = " << erased;
            m_pressPoint = m_lastPoint = p;
        } else {
            m_pressPoint = p;
            m_pickFrameShape = std::make_shared<RectangleShape>();
            m_pickFrameShape->addPoint(p);
            m_pickFrameShape->addPoint(p);
        }
        break;
    case Laser:
        m_laserTrails.append({ LaserPoint { p, m_clock.elapsed() } });
        m_laserTimer.start();
        break;
    case Move: {
        if (event->button() == Qt::RightButton)
            m_pickedShapes.clear();
        const ShapeList hit = shapeAt(p);
        if (!hit.isEmpty()) {
            if (!m_pickedShapes.contains(hit.first()))
                m_pickedShapes = hit;
            m_pressPoint = m_lastPoint = p;
        } else {
            m_pickedShapes.clear();
            m_pressPoint = p;
            m_pickFrameShape = std::make_shared<RectangleShape>();
            m_pickFrameShape->addPoint(p);
            m_pickFrameShape->addPoint(p);
        }
        break;
    }
    default:
        break;
    }
    update();
}

void RenderArea::mouseMoveEvent(QMouseEvent* event)
{
    qDebug() << "mouseMoveEvent";
    const QPointF p = pagePoint(event->localPos());
    if (!m_pressed)
        return;
    switch (m_instrument) {
    case Pen:
        if (m_currentShape) {
            // Only the new piece of the stroke (with the old end's cap turned into a join) changes.
            const QVector<QPointF>& points = m_currentShape->points();
            const QPointF previous = points.isEmpty() ? p : points.last();
            m_currentShape->dragTo(p);
            const qreal margin = m_currentShape->pen().widthF() + 3;
            const QRectF piece = QRectF(previous, p).normalized().adjusted(-margin, -margin, margin, margin);
            update(piece.toAlignedRect());
        }
        break;
    case Rectangle:
    case Arrow:
        if (m_currentShape) {
            m_currentShape->dragTo(p);
            update();
        }
        break;
    case Eraser:
        qDebug() << "pickFrameShape = " << !m_pickFrameShape;
        if (m_pickFrameShape) {
            m_pickFrameShape->removeLastPoint();
            m_pickFrameShape->addPoint(p);
            update();
        }
        break;
    case Laser:
        if (!m_laserTrails.isEmpty()) {
            const QPointF previous = m_laserTrails.last().last().at;
            m_laserTrails.last().append(LaserPoint { p, m_clock.elapsed() });
            update(QRectF(previous, p).normalized().adjusted(-8, -8, 8, 8).toAlignedRect());
        }
        break;
    case Move:
        if (m_pickedShapes.isEmpty()) {
            qDebug() << "-----pickFrameShape = " << !m_pickFrameShape;
            if (m_pickFrameShape) {
                m_pickFrameShape->removeLastPoint();
                m_pickFrameShape->addPoint(p);
                update();
            }
        } else {
            const QPointF offset = p - m_lastPoint;
            if (m_moveCopies.isEmpty() && offset != QPointF())
                startMoveCopies();
            // Only where the moved shapes were and are now changes on screen; a big selection
            // is repainted whole rather than as a region of many pieces.
            const bool few = m_pickedShapes.size() <= 16;
            QRegion changed;
            for (const auto& shape : m_pickedShapes) {
                if (few)
                    changed += shape->paintedExtent().toAlignedRect();
                shape->translate(offset);
                if (few)
                    changed += shape->paintedExtent().toAlignedRect();
            }
            m_lastPoint = p;
            if (few)
                update(changed);
            else
                update();
        }
        break;
    default:
        break;
    }
}

void RenderArea::mouseReleaseEvent(QMouseEvent* event)
{
    releaseMouse();
    const QPointF p = pagePoint(event->localPos());
    switch (m_instrument) {
    case Rectangle:
    case Arrow:
        if (m_currentShape) {
            m_currentShape->removeLastPoint();
            m_currentShape->addPoint(p);
            finishCurrentShape();
        }
        break;
    case Pen:
        finishCurrentShape();
        break;
    case Eraser:
        if (m_pickFrameShape) {
            m_pickFrameShape.reset();
            m_lastPoint = p;
            qDebug() << "Eraser----1";
            removeShapes(getPickShapes(m_pressPoint, m_lastPoint));
            qDebug() << "Eraser----2";
        }
        break;
    case Move:
        if (m_pickedShapes.isEmpty() && m_pickFrameShape) {
            m_pickFrameShape.reset();
            m_lastPoint = p;
            m_pickedShapes = getPickShapes(m_pressPoint, m_lastPoint);
            qDebug() << "pickedShapes shapes = " << m_pickedShapes.size();
        }
        finishMove();
        break;
    default:
        break;
    }
    m_pressed = false;
    update();
}

void RenderArea::keyPressEvent(QKeyEvent* event)
{
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (event->matches(QKeySequence::Undo) || (ctrl && !shift && event->key() == Qt::Key_Z)) {
        undo();
        event->accept();
        return;
    }
    if (event->matches(QKeySequence::Redo) || (ctrl && event->key() == Qt::Key_Y)
        || (ctrl && shift && event->key() == Qt::Key_Z)) {
        redo();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void RenderArea::leaveEvent(QEvent* event)
{
    qDebug() << "leaveEvent";
    QWidget::leaveEvent(event);
}

void RenderArea::resizeEvent(QResizeEvent* event)
{
    invalidateLayer();
    QWidget::resizeEvent(event);
}

void RenderArea::finishCurrentShape()
{
    qDebug() << "finishCurrentShape!";
    if (m_currentShape) {
        // Normally the current shape is the top of the drawing; if the drawing changed under it
        // (cleared, or the shape erased) only the shape itself may go, never another one.
        bool present = false;
        if (!m_shapes.isEmpty() && m_shapes.last() == m_currentShape) {
            m_shapes.removeLast();
            present = true;
        } else {
            present = m_shapes.removeOne(m_currentShape);
        }
        if (present && !m_currentShape->isEmpty()) {
            m_shapes.append(m_currentShape);
            qDebug() << "shape count = " << m_shapes.size();
            // One line per shape would cost more than the stroke on a busy page.
            if (m_shapes.size() <= 100) {
                for (const auto& shape : m_shapes)
                    qDebug() << "shape name = " << shape->name();
            }
            PageChange change;
            change.added.append({ int(m_shapes.size()) - 1, m_currentShape });
            m_currentShape.reset();
            commit(std::move(change));
        }
    }
    m_currentShape.reset();
    update();
}

void RenderArea::startMoveCopies()
{
    // The page gets copies to move; the shapes as they were stay for undo and for the pending
    // write, which reads them on another thread.
    QHash<GeneralShape*, int> places;
    places.reserve(m_shapes.size());
    for (int i = 0; i < m_shapes.size(); ++i)
        places.insert(m_shapes[i].get(), i);
    for (auto& shape : m_pickedShapes) {
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

void RenderArea::finishMove()
{
    if (m_moveCopies.isEmpty())
        return;
    PageChange change { m_moveOriginals, m_moveCopies };
    m_moveOriginals.clear();
    m_moveCopies.clear();
    commit(std::move(change));
}

void RenderArea::showTextEditor(QPointF p)
{
    if (!m_textEditor) {
        m_textEditor = new QLineEdit(this);
        connect(m_textEditor, &QLineEdit::editingFinished, this, &RenderArea::editingFinished);
        // A line edit passes Enter on to its parents, where the room would send its chat draft.
        m_textEditor->installEventFilter(this);
        m_textEditor->hide();
    }
    m_textEditor->setStyleSheet(
        QStringLiteral("background:transparent; border:1px solid red;border-radius:3px; color:")
        + FontSettings::color());
    QFont font(QStringLiteral("宋体"));
    font.setPointSize(FontSettings::fontSize());
    m_textEditor->setFont(font);
    m_textEditor->setText(QString());
    // Tall enough for the chosen size, so the typed line sits on the clicked point.
    m_textEditor->ensurePolished();
    const QSize hint = m_textEditor->sizeHint();
    m_textEditor->resize(std::max(hint.width(), 200), hint.height());
    m_textEditor->move(int(p.x()), int(p.y() - m_textEditor->height()));
    m_textEditor->show();
    m_textEditor->raise();
    m_textEditor->setFocus();
}

bool RenderArea::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_textEditor && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            editingFinished();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void RenderArea::editingFinished()
{
    if (!m_textEditor)
        return;
    if (m_textEditor->isHidden()) {
        m_textEditor->hide();
        return;
    }
    const QString typed = m_textEditor->text();
    qDebug() << "text = " << typed;
    if (m_currentShape) {
        m_currentShape->setTextContent(typed, FontSettings::fontSize());
        m_currentShape->setPen(QPen(QColor(FontSettings::color()), 1));
    }
    finishCurrentShape();
    update();
    m_textEditor->hide();
}

void RenderArea::setLayerCacheEnabled(bool enabled)
{
    // The layer stays as it is: shapes moved meanwhile are dropped from it by the move itself.
    m_layerCacheEnabled = enabled;
    update();
}

void RenderArea::invalidateLayer()
{
    m_layerShapes.clear();
    m_layer = QImage();
    m_checkpointShapes.clear();
    m_checkpoint = QImage();
}

int RenderArea::laserPoints() const
{
    int count = 0;
    for (const auto& trail : m_laserTrails)
        count += trail.size();
    return count;
}

QRect RenderArea::laserBounds() const
{
    QRectF box;
    for (const auto& trail : m_laserTrails) {
        for (const LaserPoint& point : trail)
            box |= QRectF(point.at, QSizeF(1, 1));
    }
    return box.isNull() ? QRect() : box.adjusted(-8, -8, 8, 8).toAlignedRect();
}

void RenderArea::laserTick()
{
    // Points older than the fade are gone; a trail still being drawn keeps its last point.
    const qint64 now = m_clock.elapsed();
    for (int t = m_laserTrails.size() - 1; t >= 0; --t) {
        auto& trail = m_laserTrails[t];
        const bool drawing = m_pressed && m_instrument == Laser && t == m_laserTrails.size() - 1;
        int gone = 0;
        while (gone < trail.size() - (drawing ? 1 : 0) && now - trail[gone].ms >= kLaserFadeMs)
            ++gone;
        trail.remove(0, gone);
        if (trail.isEmpty())
            m_laserTrails.removeAt(t);
    }
    update(m_laserPainted | laserBounds());
    if (m_laserTrails.isEmpty())
        m_laserTimer.stop();
}

int RenderArea::firstLiveShape() const
{
    int live = m_shapes.size();
    if (m_currentShape && !m_shapes.isEmpty() && m_shapes.last() == m_currentShape)
        live = m_shapes.size() - 1;
    // Shapes being dragged change on every move; they and everything above them are painted live.
    if (m_instrument == Move && m_pressed && !m_pickedShapes.isEmpty()) {
        QSet<GeneralShape*> picked;
        for (const auto& shape : m_pickedShapes)
            picked.insert(shape.get());
        for (int i = 0; i < live; ++i) {
            if (picked.contains(m_shapes[i].get()))
                return i;
        }
    }
    return live;
}

namespace {

void paintShapes(QImage& image, const ShapeList& shapes, int from, int to, float viewScale)
{
    if (from >= to)
        return;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (int i = from; i < to; ++i)
        shapes[i]->draw(&painter, viewScale);
}

// Whether painted is shapes[0, painted.size()) with painted.size() <= count.
bool paintedBelow(const ShapeList& painted, const ShapeList& shapes, int count)
{
    if (painted.size() > count)
        return false;
    for (int i = 0; i < painted.size(); ++i) {
        if (painted[i] != shapes[i])
            return false;
    }
    return true;
}

// How two drawings of a page differ: the shapes [head, end) of one became the shapes
// [head, end) of the other; below head and above end they hold the same shapes in order.
struct Difference {
    int head = 0;
    int oldEnd = 0;
    int newEnd = 0;
};

Difference differenceOf(const ShapeList& painted, const ShapeList& shapes, int count)
{
    const int before = painted.size();
    int head = 0;
    while (head < before && head < count && painted[head] == shapes[head])
        ++head;
    int tail = 0;
    while (
        tail < before - head && tail < count - head && painted[before - 1 - tail] == shapes[count - 1 - tail])
        ++tail;
    return Difference { head, before - tail, count - tail };
}

// Painting again where shapes came or went costs about as much per shape as a whole repaint;
// past this many a repaint from the checkpoint is no slower.
constexpr int kMaxPatchedShapes = 512;

// Device pixels of image set back to base's (transparent without one), row by row.
void resetPixels(QImage& image, const QImage* base, const QRect& pixels)
{
    const int rowBytes = pixels.width() * 4;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        uchar* row = image.scanLine(y) + pixels.left() * 4;
        if (base)
            std::memcpy(row, base->constScanLine(y) + pixels.left() * 4, size_t(rowBytes));
        else
            std::memset(row, 0, size_t(rowBytes));
    }
}

// The area again: base's pixels (transparent without one), then the shapes of [from, to) that
// reach into it, clipped to it. Painted at their true places, the shapes give the very same
// pixels there as a paint of the whole image.
void repaintArea(QImage& image, const QImage* base, const QRect& area, const ShapeList& shapes, int from,
    int to, float viewScale)
{
    const qreal ratio = image.devicePixelRatio();
    resetPixels(image, base, QRect(area.topLeft() * ratio, area.size() * ratio) & image.rect());
    QPainter painter(&image);
    painter.setClipRect(area);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    const QRectF reach(area);
    for (int i = from; i < to; ++i) {
        if (reach.intersects(shapes[i]->paintedExtent()))
            shapes[i]->draw(&painter, viewScale);
    }
}

} // namespace

bool RenderArea::patchLayer(int count)
{
    const qreal ratio = devicePixelRatioF();
    // An area's edge must fall between device pixels.
    if (ratio != std::floor(ratio))
        return false;
    const Difference diff = differenceOf(m_layerShapes, m_shapes, count);
    if ((diff.oldEnd - diff.head) + (diff.newEnd - diff.head) > kMaxPatchedShapes)
        return false;
    QRectF changed;
    for (int i = diff.head; i < diff.oldEnd; ++i)
        changed |= m_layerShapes[i]->paintedExtent();
    for (int i = diff.head; i < diff.newEnd; ++i)
        changed |= m_shapes[i]->paintedExtent();
    const QRect area = changed.toAlignedRect() & rect();
    const bool checkpointFits = m_checkpoint.size() == m_layer.size()
        && m_checkpoint.devicePixelRatio() == m_layer.devicePixelRatio();
    if (area.isEmpty()) {
        // Nothing painted changes, the lists still do.
    } else if (checkpointFits && m_checkpointShapes.size() <= diff.head) {
        // Above the checkpoint (undoing the last stroke): only the few shapes over it are painted.
        repaintArea(m_layer, &m_checkpoint, area, m_shapes, m_checkpointShapes.size(), count, kViewScale);
    } else if (qint64(area.width()) * area.height() * 2 > qint64(width()) * height()) {
        // Every shape there is painted again: past half the page a repaint from scratch is as quick.
        return false;
    } else {
        // Below it: the checkpoint takes the same patch, up to where the change ends if it ends
        // above the checkpoint.
        if (checkpointFits) {
            const int below = m_checkpointShapes.size() >= diff.oldEnd
                ? m_checkpointShapes.size() + (diff.newEnd - diff.oldEnd)
                : diff.newEnd;
            repaintArea(m_checkpoint, nullptr, area, m_shapes, 0, below, kViewScale);
            m_checkpointShapes = m_shapes.mid(0, below);
        }
        repaintArea(m_layer, nullptr, area, m_shapes, 0, count, kViewScale);
    }
    m_layerShapes = m_shapes.mid(0, count);
    return true;
}

void RenderArea::updateLayer(int count)
{
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = size() * ratio;
    auto sized = [&](const QImage& image) {
        return !image.isNull() && image.size() == pixels && image.devicePixelRatio() == ratio;
    };
    // Shapes taken away, put back or replaced below the top change only where they lie.
    if (sized(m_layer) && !paintedBelow(m_layerShapes, m_shapes, count) && !patchLayer(count))
        m_layer = QImage();
    if (!sized(m_layer) || !paintedBelow(m_layerShapes, m_shapes, count)) {
        if (!sized(m_checkpoint) || !paintedBelow(m_checkpointShapes, m_shapes, count)) {
            m_checkpoint = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
            m_checkpoint.setDevicePixelRatio(ratio);
            m_checkpoint.fill(Qt::transparent);
            const int below = std::max(0, count - kCheckpointDepth);
            paintShapes(m_checkpoint, m_shapes, 0, below, kViewScale);
            m_checkpointShapes = m_shapes.mid(0, below);
        }
        m_layer = m_checkpoint.copy();
        m_layerShapes = m_checkpointShapes;
    }
    if (m_layerShapes.size() < count) {
        paintShapes(m_layer, m_shapes, m_layerShapes.size(), count, kViewScale);
        m_layerShapes = m_shapes.mid(0, count);
    }
    // The checkpoint trails the layer by one to two depths, so that it is brought up rarely.
    if (count - m_checkpointShapes.size() >= 2 * kCheckpointDepth) {
        const int below = count - kCheckpointDepth;
        paintShapes(m_checkpoint, m_shapes, m_checkpointShapes.size(), below, kViewScale);
        m_checkpointShapes = m_shapes.mid(0, below);
    }
}

void RenderArea::paintEvent(QPaintEvent* event)
{
    const QRect dirty = event->rect() & rect();
    if (dirty.isEmpty())
        return;

    // The drawing is one transparent layer laid over the slide in a single step, so that the
    // cached and the live part blend exactly as painting every shape in order would. It is
    // composed in a widget-sized image, clipped to the dirty part: painted at its true place,
    // a shape comes out with the very same edge pixels as in a full repaint.
    const qreal ratio = devicePixelRatioF();
    const QSize fullPixels = size() * ratio;
    if (m_composite.size() != fullPixels || m_composite.devicePixelRatio() != ratio) {
        m_composite = QImage(fullPixels, QImage::Format_ARGB32_Premultiplied);
        m_composite.setDevicePixelRatio(ratio);
    }
    const QRect pixels = QRect(dirty.topLeft() * ratio, dirty.size() * ratio) & m_composite.rect();
    int from = 0;
    if (m_layerCacheEnabled) {
        from = firstLiveShape();
        // No shapes below the live ones (a page just switched to): no layer to build.
        if (from > 0)
            updateLayer(from);
    }
    // While the page is read its saved picture lies under what is drawn meanwhile.
    const bool underPicture = pictureFits();
    const QImage* base = underPicture ? &m_picture : (from > 0 ? &m_layer : nullptr);
    resetPixels(m_composite, base, pixels);
    {
        QPainter painter(&m_composite);
        painter.setClipRect(dirty);
        if (underPicture && from > 0)
            painter.drawImage(QPointF(0, 0), m_layer);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        // While a selection is dragged only a small area is repainted; the shapes above it that
        // cannot reach that area are left out.
        const bool dragging = m_instrument == Move && m_pressed && !m_pickedShapes.isEmpty();
        const QRectF dirtyPage(dirty);
        for (int i = from; i < m_shapes.size(); ++i) {
            if (dragging && !dirtyPage.intersects(m_shapes[i]->paintedExtent()))
                continue;
            m_shapes[i]->draw(&painter, kViewScale);
        }
        if (m_pickFrameShape) {
            m_pickFrameShape->setPen(QPen(Qt::green, 1, Qt::SolidLine));
            m_pickFrameShape->draw(&painter, kViewScale);
        }
        // The laser trail: red, fading out with its age.
        const qint64 now = m_clock.elapsed();
        for (const auto& trail : m_laserTrails) {
            for (int i = 0; i < trail.size(); ++i) {
                const qreal life = 1.0 - qreal(now - trail[i].ms) / kLaserFadeMs;
                if (life <= 0)
                    continue;
                QColor red(255, 0, 0);
                red.setAlphaF(std::min<qreal>(1.0, life));
                painter.setPen(QPen(red, 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                if (i == 0)
                    painter.drawPoint(trail[i].at);
                else
                    painter.drawLine(trail[i - 1].at, trail[i].at);
            }
        }
    }
    m_laserPainted = laserBounds();
    QPainter painter(this);
    painter.drawImage(QRectF(dirty), m_composite, QRectF(pixels));
}
