#include "renderarea.h"

#include "PaintSettings.h"
#include "painterstorage.h"

#include <QDebug>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QRegion>
#include <QtMath>

#include <algorithm>
#include <cmath>
#include <cstring>

RenderArea::RenderArea(QWidget* parent)
    : QWidget(parent)
{
    setInstrumentType(None);
}

RenderArea::~RenderArea()
{
    // The editor dies with the widget base, after the shapes: it must not call back by then.
    if (m_textEditor)
        m_textEditor->disconnect(this);
}

void RenderArea::setInstrumentType(InstrumentType type)
{
    qDebug() << "setInstrumentType = " << int(type);
    m_instrument = type;
    if (type == Pointer) {
        setCursor(Qt::PointingHandCursor);
        saveDrawing();
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
    m_shapes.clear();
    m_pickedShapes.clear();
    update();
}

void RenderArea::setFileName(const QString& name)
{
    // What is typed but not yet confirmed belongs to the page being left.
    if (m_textEditor && !m_textEditor->isHidden())
        editingFinished();
    saveDrawing();
    m_fileName = name;
    resetPage();
    load();
}

QString RenderArea::fileName() const
{
    return m_fileName;
}

void RenderArea::resetPage()
{
    m_shapes.clear();
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

void RenderArea::saveDrawing()
{
    PainterStorage storage;
    storage.scaleX = storage.scaleY = 1.0f;
    storage.color = Qt::black;
    // The shape under construction (a text with nothing typed yet) is not part of the page; every
    // other shape is, also a degenerate one that came from the file.
    ShapeList finished = m_shapes;
    if (m_currentShape && m_currentShape->isEmpty())
        finished.removeOne(m_currentShape);
    storage.setShapes(finished);
    storage.save(m_fileName);
}

void RenderArea::load()
{
    PainterStorage storage;
    if (!storage.load(m_fileName))
        return;
    m_shapes = storage.getGeneralShape();
    qDebug() << "load shapes count = " << m_shapes.size();
    invalidateLayer();
    update();
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
    return QPointF((pos.x() - m_viewOffsetX) / m_viewScaleX, (pos.y() - m_viewOffsetY) / m_viewScaleX);
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
        if (m_shapes[i]->distanceTo(p) * m_viewScaleX < 4.0f)
            return ShapeList { m_shapes[i] };
    }
    return {};
}

bool RenderArea::eraseAt(QPointF p)
{
    const ShapeList hit = shapeAt(p);
    if (hit.isEmpty())
        return false;
    return m_shapes.removeOne(hit.first());
}

void RenderArea::removeShapes(const ShapeList& list)
{
    for (const auto& shape : list)
        m_shapes.removeOne(shape);
}

std::shared_ptr<GeneralShape> RenderArea::createShape(InstrumentType type) const
{
    switch (type) {
    case Pen:
        return std::make_shared<CurveShape>();
    case Text:
        return std::make_shared<TextShape>();
    case Rectangle:
        return std::make_shared<RectangleShape>();
    case Arrow:
        return std::make_shared<ArrowShape>();
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
        m_currentShape = std::make_shared<TextShape>();
        m_currentShape->addPoint(p);
        m_shapes.append(m_currentShape);
        showTextEditor(p);
        break;
    case Arrow:
        if (!m_currentShape) {
            m_currentShape = std::make_shared<ArrowShape>();
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
            const QRectF onScreen(piece.topLeft() * m_viewScaleX + QPointF(m_viewOffsetX, m_viewOffsetY),
                piece.size() * m_viewScaleX);
            update(onScreen.toAlignedRect());
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
            // Only where the moved shapes were and are now changes on screen; a big selection
            // is repainted whole rather than as a region of many pieces.
            const bool few = m_pickedShapes.size() <= 16;
            QRegion changed;
            for (const auto& shape : m_pickedShapes) {
                // A moved shape must not stay painted at its old place in the layer.
                if (m_layerShapes.contains(shape))
                    invalidateLayer();
                if (few)
                    changed += widgetRect(paintedExtent(*shape));
                shape->translate(offset);
                if (few)
                    changed += widgetRect(paintedExtent(*shape));
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
        break;
    default:
        break;
    }
    m_pressed = false;
    update();
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
            for (const auto& shape : m_shapes)
                qDebug() << "shape name = " << shape->name();
        }
    }
    m_currentShape.reset();
    update();
}

void RenderArea::showTextEditor(QPointF p)
{
    if (!m_textEditor) {
        m_textEditor = new QLineEdit(this);
        connect(m_textEditor, &QLineEdit::editingFinished, this, &RenderArea::editingFinished);
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
    if (m_currentShape && m_currentShape->name() == QLatin1String("TextShape")) {
        auto* text = static_cast<TextShape*>(m_currentShape.get());
        text->setText(typed);
        text->setFontSize(FontSettings::fontSize());
        text->setPen(QPen(QColor(FontSettings::color()), 1));
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
}

QRectF RenderArea::paintedExtent(GeneralShape& shape) const
{
    // Worked out from the points' bounds, scale and rotation, not from the frame: a shape loaded
    // from a file keeps the frame of its unrotated points. Generous on purpose, since it decides
    // what may be left unpainted.
    const ShapeBounds& b = shape.pointBounds();
    const QPointF c = shape.center();
    const bool text = shape.name() == QLatin1String("TextShape");
    qreal halfW = (b.right - b.left) * 0.5 * std::fabs(shape.scaleX());
    qreal halfH = (b.bottom - b.top) * 0.5 * std::fabs(shape.scaleY());
    if (text) {
        // Glyphs keep their size when the box is scaled and hang below the baseline; the box is
        // measured as rich text, the line is painted as plain text.
        auto& words = static_cast<TextShape&>(shape);
        const QFontMetricsF metrics(words.font());
        const qreal w = std::max<qreal>(b.right - b.left, metrics.horizontalAdvance(words.text()));
        const qreal h = std::max<qreal>(b.bottom - b.top, metrics.height());
        const qreal scale
            = std::max({ 1.0, qreal(std::fabs(shape.scaleX())), qreal(std::fabs(shape.scaleY())) });
        halfW = halfH = (w + h) * scale + h;
    }
    const qreal theta = qDegreesToRadians(qreal(shape.rotation()));
    const qreal cs = std::fabs(std::cos(theta));
    const qreal sn = std::fabs(std::sin(theta));
    qreal extentX = halfW * cs + halfH * sn;
    qreal extentY = halfW * sn + halfH * cs;
    qreal margin = shape.pen().widthF() * 2 + 4;
    if (shape.name() == QLatin1String("ArrowShape")) {
        // The head is painted at the stored end point, neither scaled nor turned with the line.
        extentX = std::max(extentX, qreal(b.right - b.left) * 0.5);
        extentY = std::max(extentY, qreal(b.bottom - b.top) * 0.5);
        margin += 22 + shape.pen().widthF() * 2;
    }
    return QRectF(
        c.x() - extentX - margin, c.y() - extentY - margin, 2 * (extentX + margin), 2 * (extentY + margin));
}

QRect RenderArea::widgetRect(const QRectF& page) const
{
    return QRectF(
        page.topLeft() * m_viewScaleX + QPointF(m_viewOffsetX, m_viewOffsetY), page.size() * m_viewScaleX)
        .toAlignedRect();
}

QRectF RenderArea::pageRect(const QRect& widget) const
{
    return QRectF(pagePoint(widget.topLeft()), QSizeF(widget.size()) / m_viewScaleX);
}

int RenderArea::firstLiveShape() const
{
    int live = m_shapes.size();
    if (m_currentShape && !m_shapes.isEmpty() && m_shapes.last() == m_currentShape)
        live = m_shapes.size() - 1;
    // Shapes being dragged change on every move; they and everything above them are painted live.
    if (m_instrument == Move && m_pressed) {
        for (const auto& shape : m_pickedShapes) {
            const int index = m_shapes.indexOf(shape);
            if (index >= 0)
                live = std::min(live, index);
        }
    }
    return live;
}

void RenderArea::updateLayer(int count)
{
    const qreal ratio = devicePixelRatioF();
    const QSize pixels = size() * ratio;
    bool reuse = !m_layer.isNull() && m_layer.size() == pixels && m_layer.devicePixelRatio() == ratio
        && m_layerShapes.size() <= count;
    for (int i = 0; reuse && i < m_layerShapes.size(); ++i)
        reuse = m_layerShapes[i] == m_shapes[i];
    if (!reuse) {
        m_layer = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
        m_layer.setDevicePixelRatio(ratio);
        m_layer.fill(Qt::transparent);
        m_layerShapes.clear();
    }
    if (m_layerShapes.size() == count)
        return;
    QPainter painter(&m_layer);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (int i = m_layerShapes.size(); i < count; ++i) {
        m_shapes[i]->draw(&painter, m_viewScaleX);
        m_layerShapes.append(m_shapes[i]);
    }
}

void RenderArea::paintEvent(QPaintEvent* event)
{
    QPalette pal = palette();
    if (pal.color(QPalette::Base) != Qt::white) {
        pal.setColor(QPalette::Base, Qt::white);
        setPalette(pal);
    }
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
        updateLayer(from);
    }
    const int rowBytes = pixels.width() * 4;
    for (int y = pixels.top(); y <= pixels.bottom(); ++y) {
        uchar* row = m_composite.scanLine(y) + pixels.left() * 4;
        if (m_layerCacheEnabled)
            std::memcpy(row, m_layer.constScanLine(y) + pixels.left() * 4, size_t(rowBytes));
        else
            std::memset(row, 0, size_t(rowBytes));
    }
    {
        QPainter painter(&m_composite);
        painter.setClipRect(dirty);
        painter.setRenderHint(QPainter::Antialiasing, true);
        painter.setRenderHint(QPainter::TextAntialiasing, true);
        // While a selection is dragged only a small area is repainted; the shapes above it that
        // cannot reach that area are left out.
        const bool dragging = m_instrument == Move && m_pressed && !m_pickedShapes.isEmpty();
        const QRectF dirtyPage = pageRect(dirty);
        for (int i = from; i < m_shapes.size(); ++i) {
            if (dragging && !dirtyPage.intersects(paintedExtent(*m_shapes[i])))
                continue;
            m_shapes[i]->draw(&painter, m_viewScaleX);
        }
        if (m_pickFrameShape) {
            m_pickFrameShape->setPen(QPen(Qt::green, 1, Qt::SolidLine));
            m_pickFrameShape->draw(&painter, m_viewScaleX);
        }
    }
    QPainter painter(this);
    painter.drawImage(QRectF(dirty), m_composite, QRectF(pixels));
}
