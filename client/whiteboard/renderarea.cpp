#include "renderarea.h"

#include "PaintSettings.h"

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

#include <algorithm>
#include <utility>

RenderArea::RenderArea(QWidget* parent)
    : QWidget(parent)
{
    QPalette pal = palette();
    pal.setColor(QPalette::Base, Qt::white);
    setPalette(pal);
    // A click on the board gives it the keys, for undo and redo.
    setFocusPolicy(Qt::ClickFocus);
    connect(&m_page, &PageModel::writeWanted, this, &RenderArea::saveDrawing);
    connect(&m_page, &PageModel::pictureArrived, this, &RenderArea::pictureRead);
    connect(&m_page, &PageModel::shapesArrived, this, &RenderArea::shapesRead);
    connect(&m_page, &PageModel::pageShown, this, &RenderArea::pageShown);
    connect(&m_page, &PageModel::pageLoaded, this, &RenderArea::pageLoaded);
    connect(&m_page, &PageModel::historyChanged, this, &RenderArea::historyChanged);
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
    if (m_page.writeDue())
        saveDrawing();
    // The editor dies with the widget base, after the shapes: it must not call back by then.
    if (m_textEditor)
        m_textEditor->disconnect(this);
    // The page goes last of the members: it finishes the reads of pages left unread.
    m_page.disconnect(this);
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
    m_pickedShapes.clear();
    m_currentShape.reset();
    m_page.clear();
    update();
}

void RenderArea::setFileName(const QString& name)
{
    // What is typed but not yet confirmed belongs to the page being left.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    if (m_page.writeDue())
        saveDrawing();
    m_page.leave();
    resetPage();
    if (m_page.enter(name))
        update();
    else
        load();
    emit historyChanged(canUndo(), canRedo());
}

QString RenderArea::fileName() const
{
    return m_page.fileName();
}

void RenderArea::resetPage()
{
    // A large page takes a while to free; the worker does it. Every list that holds its shapes
    // goes there, or the last one let go here would free them on this thread after all.
    QVector<ShapeList> lists;
    QVector<QImage> images;
    m_layers.release(lists, images);
    lists.append(std::move(m_pickedShapes));
    m_page.release(lists, images);
    PageStore::instance()->dispose(std::move(lists), std::move(images));
    m_laserTrails.clear();
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
}

ShapeList RenderArea::savedShapes() const
{
    // The shape under construction (a text with nothing typed yet) is not part of the page; every
    // other shape is, also a degenerate one that came from the file.
    ShapeList finished = m_page.shapes();
    if (m_currentShape && m_currentShape->isEmpty())
        finished.removeOne(m_currentShape);
    return finished;
}

void RenderArea::saveDrawing()
{
    ShapeList saved;
    QImage picture;
    if (m_page.writable()) {
        saved = savedShapes();
        // The layer goes along as the page's picture when it holds exactly what is saved (it is
        // what the next paint brings it to anyway); while shapes are dragged or drawn it does not.
        const int painted = firstLiveShape();
        if (m_layers.enabled() && isVisible() && !size().isEmpty() && painted == saved.size()
            && m_page.shapes().mid(0, painted) == saved) {
            updateLayer(painted);
            picture = m_layers.layer();
        }
    }
    m_page.write(saved, picture);
}

void RenderArea::load()
{
    if (!m_page.isLoading() && !m_page.shapes().isEmpty()) {
        // Read again from the start: what is shown goes.
        resetPage();
    }
    const qreal ratio = devicePixelRatioF();
    m_page.load(size() * ratio, ratio);
}

bool RenderArea::fits(const QImage& image) const
{
    const qreal ratio = devicePixelRatioF();
    return !image.isNull() && image.size() == size() * ratio && image.devicePixelRatio() == ratio;
}

void RenderArea::pictureRead(const QImage& picture)
{
    const bool shown = fits(picture);
    m_page.setPicture(shown ? picture : QImage());
    if (!shown)
        return;
    update();
    emit pageShown(m_page.fileName());
}

void RenderArea::shapesRead(const LoadedPage& page)
{
    m_layers.adopt(page, size(), devicePixelRatioF());
    update();
}

bool RenderArea::canUndo() const
{
    return m_page.canUndo();
}

bool RenderArea::canRedo() const
{
    return m_page.canRedo();
}

bool RenderArea::undo()
{
    // Text being typed is confirmed, and is then the step undone.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    // Not in the middle of a shape.
    if (m_pressed || m_currentShape || !m_page.undo())
        return false;
    m_pickedShapes.clear();
    update();
    return true;
}

bool RenderArea::redo()
{
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    if (m_pressed || m_currentShape || !m_page.redo())
        return false;
    m_pickedShapes.clear();
    update();
    return true;
}

const QList<std::shared_ptr<GeneralShape>>& RenderArea::shapes() const
{
    return m_page.shapes();
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
    for (const auto& shape : m_page.shapes()) {
        const bool inside = shape->frameInside(a, b);
        qDebug() << shape->name() << " - " << inside;
        if (inside)
            picked.append(shape);
    }
    return picked;
}

ShapeList RenderArea::shapeAt(QPointF p)
{
    const ShapeList& shapes = m_page.shapes();
    for (int i = shapes.size() - 1; i >= 0; --i) {
        if (shapes[i]->distanceTo(p) < 4.0f)
            return ShapeList { shapes[i] };
    }
    return {};
}

bool RenderArea::eraseAt(QPointF p)
{
    const ShapeList hit = shapeAt(p);
    if (hit.isEmpty())
        return false;
    return m_page.erase(hit.first());
}

void RenderArea::removeShapes(const ShapeList& list)
{
    m_page.remove(list);
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
        m_page.place(m_currentShape);
        break;
    case Text:
        finishCurrentShape();
        m_currentShape = createShape(Text);
        m_currentShape->addPoint(p);
        m_page.place(m_currentShape);
        showTextEditor(p);
        break;
    case Arrow:
        if (!m_currentShape) {
            m_currentShape = createShape(Arrow);
            m_page.place(m_currentShape);
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
            if (!m_page.isMoving() && offset != QPointF())
                m_page.beginMove(m_pickedShapes);
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
        m_page.finishMove();
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
    m_layers.invalidate();
    QWidget::resizeEvent(event);
}

void RenderArea::finishCurrentShape()
{
    qDebug() << "finishCurrentShape!";
    if (m_currentShape)
        m_page.finish(std::exchange(m_currentShape, nullptr));
    update();
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
    m_layers.setEnabled(enabled);
    update();
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
    const ShapeList& shapes = m_page.shapes();
    int live = shapes.size();
    if (m_currentShape && !shapes.isEmpty() && shapes.last() == m_currentShape)
        live = shapes.size() - 1;
    // Shapes being dragged change on every move; they and everything above them are painted live.
    if (m_instrument == Move && m_pressed && !m_pickedShapes.isEmpty()) {
        QSet<GeneralShape*> picked;
        for (const auto& shape : m_pickedShapes)
            picked.insert(shape.get());
        for (int i = 0; i < live; ++i) {
            if (picked.contains(shapes[i].get()))
                return i;
        }
    }
    return live;
}

void RenderArea::updateLayer(int count)
{
    m_layers.update(m_page.shapes(), count, size(), devicePixelRatioF());
}

void RenderArea::paintEvent(QPaintEvent* event)
{
    const QRect dirty = event->rect() & rect();
    if (dirty.isEmpty())
        return;

    // The drawing is one transparent layer laid over the slide in a single step, so that the
    // cached and the live part blend exactly as painting every shape in order would. It is
    // composed in a widget-sized image, clipped to the dirty part: painted at its true place,
    // a shape comes out with the edge pixels of a full repaint, give or take a few levels where
    // antialiased strokes cross.
    int from = 0;
    if (m_layers.enabled()) {
        from = firstLiveShape();
        // No shapes below the live ones (a page just switched to): no layer to build.
        if (from > 0)
            updateLayer(from);
    }
    // While the page is read its saved picture lies under what is drawn meanwhile.
    const bool underPicture = fits(m_page.picture());
    const QImage* base = underPicture ? &m_page.picture() : (from > 0 ? &m_layers.layer() : nullptr);
    QRect pixels;
    QImage& composite = m_layers.composite(size(), devicePixelRatioF(), dirty, base, &pixels);
    const ShapeList& shapes = m_page.shapes();
    {
        QPainter painter(&composite);
        painter.setClipRect(dirty);
        if (underPicture && from > 0)
            painter.drawImage(QPointF(0, 0), m_layers.layer());
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        // While a selection is dragged only a small area is repainted; the shapes above it that
        // cannot reach that area are left out.
        const bool dragging = m_instrument == Move && m_pressed && !m_pickedShapes.isEmpty();
        const QRectF dirtyPage(dirty);
        for (int i = from; i < shapes.size(); ++i) {
            if (dragging && !dirtyPage.intersects(shapes[i]->paintedExtent()))
                continue;
            shapes[i]->draw(&painter, kViewScale);
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
    painter.drawImage(QRectF(dirty), composite, QRectF(pixels));
}
