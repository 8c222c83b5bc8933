#include "shapes.h"

#include <QFontMetricsF>
#include <QLineF>
#include <QPainter>
#include <QTextDocument>
#include <QTransform>

#include <algorithm>
#include <cmath>

namespace {

constexpr double kPi = 3.141592653589793;
constexpr float kFarAway = 10000.0f;

float radians(float degrees)
{
    return static_cast<float>(degrees / 180.0 * kPi);
}

QPointF scaledPoint(QPointF p, float sx, float sy)
{
    return QPointF(p.x() * sx, p.y() * sy);
}

// The point expressed in the shape's own axes: relative to the centre, rotation undone.
void localPoint(QPointF q, QPointF c, float theta, float& lx, float& ly)
{
    const float cs = std::cos(theta);
    const float sn = std::sin(theta);
    const QPointF d = q - c;
    lx = static_cast<float>(d.x() * cs + d.y() * sn);
    ly = static_cast<float>(d.y() * cs - d.x() * sn);
}

// 0 inside a centred box of half extents hw, hh; distance to its edge outside.
float boxDistance(float lx, float ly, float hw, float hh)
{
    const float ex = std::min(std::fabs(lx - hw), std::fabs(lx + hw));
    const float ey = std::min(std::fabs(ly - hh), std::fabs(ly + hh));
    const bool insideX = (lx - hw) * (lx + hw) <= 0;
    const bool insideY = (ly - hh) * (ly + hh) <= 0;
    if (insideX && insideY)
        return 0;
    if (insideX)
        return ey;
    if (insideY)
        return ex;
    return std::sqrt(ex * ex + ey * ey);
}

// The size a graphics text item gives the text, measured with the document it lays out, which
// (unlike the item) may be used off the GUI thread: pages are read and exported there.
QSizeF measureRichText(const QFont& font, const QString& html)
{
    QTextDocument document;
    document.setDefaultFont(font);
    document.setHtml(html);
    return document.size();
}

// The page area a box of half extents halfW, halfH about c covers once turned, plus a margin.
// At least minHalfX, minHalfY either side of c, whatever the turn.
QRectF turnedBox(
    QPointF c, qreal halfW, qreal halfH, float rotation, qreal margin, qreal minHalfX = 0, qreal minHalfY = 0)
{
    const qreal theta = radians(rotation);
    const qreal cs = std::fabs(std::cos(theta));
    const qreal sn = std::fabs(std::sin(theta));
    const qreal extentX = std::max(halfW * cs + halfH * sn, minHalfX) + margin;
    const qreal extentY = std::max(halfW * sn + halfH * cs, minHalfY) + margin;
    return QRectF(c.x() - extentX, c.y() - extentY, 2 * extentX, 2 * extentY);
}

using Maker = std::shared_ptr<GeneralShape> (*)();

template <typename T> std::shared_ptr<GeneralShape> make()
{
    return std::make_shared<T>();
}

// The kinds a page file may hold, by the name it stores. PolylineShape is never drawn or stored.
const std::pair<const char*, Maker> kKinds[] = {
    { "CurveShape", &make<CurveShape> },
    { "RectangleShape", &make<RectangleShape> },
    { "TextShape", &make<TextShape> },
    { "ArrowShape", &make<ArrowShape> },
};

} // namespace

std::shared_ptr<GeneralShape> GeneralShape::create(const QString& name)
{
    for (const auto& kind : kKinds) {
        if (name == QLatin1String(kind.first))
            return kind.second();
    }
    return {};
}

QStringList GeneralShape::kinds()
{
    QStringList names;
    for (const auto& kind : kKinds)
        names.append(QLatin1String(kind.first));
    return names;
}

void GeneralShape::setTextContent(const QString&, int) { }

QRectF GeneralShape::paintedExtent() const
{
    const ShapeBounds& b = m_pointBounds;
    return turnedBox(center(), (b.right - b.left) * 0.5 * std::fabs(m_scaleX),
        (b.bottom - b.top) * 0.5 * std::fabs(m_scaleY), m_rotation, m_pen.widthF() * 2 + 4);
}

QString GeneralShape::pointsToString() const
{
    QString out;
    for (const QPointF& p : m_points) {
        out += QLatin1Char('(') + QString::number(p.x(), 'g', 6) + QLatin1Char(',')
            + QString::number(p.y(), 'g', 6) + QLatin1Char(')');
    }
    return out;
}

void GeneralShape::pointsFromString(const QString& text)
{
    m_points.clear();
    int from = 0;
    while (true) {
        const int open = text.indexOf(QLatin1Char('('), from);
        if (open < 0)
            break;
        const int comma = text.indexOf(QLatin1Char(','), open);
        const int close = comma < 0 ? -1 : text.indexOf(QLatin1Char(')'), comma);
        if (close < 0)
            break;
        const float x = text.mid(open + 1, comma - open - 1).toFloat();
        const float y = text.mid(comma + 1, close - comma - 1).toFloat();
        addPoint(QPointF(x, y));
        from = close + 1;
    }
}

void GeneralShape::setPen(const QPen& pen)
{
    m_pen = pen;
}

void GeneralShape::setBrush(const QBrush& brush)
{
    m_brush = brush;
}

void GeneralShape::addPoint(QPointF point)
{
    m_points.append(point);
    updateBounds();
}

QVector<QPointF>& GeneralShape::points()
{
    return m_points;
}

void GeneralShape::removeLastPoint()
{
    if (!m_points.isEmpty())
        m_points.removeLast();
}

void GeneralShape::setScale(float s)
{
    m_scaleX = m_scaleY = s;
    updateFrame();
}

void GeneralShape::setScaleX(float sx)
{
    m_scaleX = sx;
    updateFrame();
}

float GeneralShape::scaleX() const
{
    return m_scaleX;
}

void GeneralShape::setScaleY(float sy)
{
    m_scaleY = sy;
    updateFrame();
}

float GeneralShape::scaleY() const
{
    return m_scaleY;
}

void GeneralShape::setRotation(float degrees)
{
    m_rotation = degrees;
    updateFrame();
}

float GeneralShape::rotation() const
{
    return m_rotation;
}

bool GeneralShape::isEmpty() const
{
    return true;
}

void GeneralShape::beginAt(QPointF point)
{
    addPoint(point);
    addPoint(point);
}

void GeneralShape::dragTo(QPointF point)
{
    removeLastPoint();
    addPoint(point);
}

void GeneralShape::endAt(QPointF) { }

void GeneralShape::scaleBy(float sx, float sy)
{
    for (QPointF& p : m_points)
        p = scaledPoint(p, sx, sy);
    updateBounds();
}

void GeneralShape::scaleBy(float s)
{
    scaleBy(s, s);
}

QPointF GeneralShape::center() const
{
    return QPointF(
        (m_pointBounds.left + m_pointBounds.right) * 0.5, (m_pointBounds.top + m_pointBounds.bottom) * 0.5);
}

void GeneralShape::updateFrame()
{
    const QPointF c = center();
    const float theta = radians(m_rotation);
    const float cs = std::cos(theta);
    const float sn = std::sin(theta);
    const QPointF corners[4] = {
        { m_pointBounds.left, m_pointBounds.top },
        { m_pointBounds.right, m_pointBounds.top },
        { m_pointBounds.left, m_pointBounds.bottom },
        { m_pointBounds.right, m_pointBounds.bottom },
    };
    for (int i = 0; i < 4; ++i) {
        const float x = static_cast<float>(corners[i].x() - c.x()) * m_scaleX;
        const float y = static_cast<float>(corners[i].y() - c.y()) * m_scaleY;
        const float fx = static_cast<float>(x * cs + y * sn + c.x());
        const float fy = static_cast<float>(y * cs - x * sn + c.y());
        if (i == 0) {
            m_frame.minY = m_frame.maxY = fy;
            m_frame.minX = m_frame.maxX = fx;
        } else {
            m_frame.minY = std::min(m_frame.minY, fy);
            m_frame.maxY = std::max(m_frame.maxY, fy);
            m_frame.minX = std::min(m_frame.minX, fx);
            m_frame.maxX = std::max(m_frame.maxX, fx);
        }
    }
}

bool GeneralShape::frameInside(QPointF a, QPointF b) const
{
    const double minX = std::min(a.x(), b.x());
    const double maxX = std::max(a.x(), b.x());
    const double minY = std::min(a.y(), b.y());
    const double maxY = std::max(a.y(), b.y());
    return minX < m_frame.minX && maxX > m_frame.maxX && minY < m_frame.minY && maxY > m_frame.maxY;
}

bool GeneralShape::sameAs(const GeneralShape& other) const
{
    if (this == &other)
        return true;
    // What a page file keeps: colours without alpha, whole pen widths.
    return name() == other.name() && m_rotation == other.m_rotation && m_scaleX == other.m_scaleX
        && m_scaleY == other.m_scaleY && m_pen.color().rgb() == other.m_pen.color().rgb()
        && m_pen.width() == other.m_pen.width() && m_brush.style() == other.m_brush.style()
        && m_brush.color().rgb() == other.m_brush.color().rgb() && textContent() == other.textContent()
        && (textContent().isEmpty() || fontPointSize() == other.fontPointSize())
        && m_points == other.m_points;
}

float GeneralShape::segmentDistance(QPointF q, QPointF a, QPointF b)
{
    const double dx = a.x() - b.x();
    const double dy = a.y() - b.y();
    const double len2 = dx * dx + dy * dy;
    // A segment of zero length has no foot point: the distance is to its one point.
    if (len2 > 0) {
        const float t = static_cast<float>(-((a.x() - q.x()) * dx + (a.y() - q.y()) * dy) / len2);
        const QPointF f(static_cast<float>(a.x() + t * dx), static_cast<float>(a.y() + t * dy));
        if (f.y() >= std::min(a.y(), b.y()) && f.y() <= std::max(a.y(), b.y())
            && f.x() >= std::min(a.x(), b.x()) && f.x() <= std::max(a.x(), b.x())) {
            return static_cast<float>(QLineF(f, q).length());
        }
    }
    return static_cast<float>(std::min(QLineF(a, q).length(), QLineF(b, q).length()));
}

// --- PolylineShape ---------------------------------------------------------------------------

void PolylineShape::draw(QPainter* painter, float viewScale)
{
    painter->setPen(m_pen);
    painter->setBrush(m_brush);
    const QPointF c = center();
    // Restoring the saved transform (instead of undoing the rotation) keeps the next shape
    // exactly where it belongs: rotating back and forth leaves rounding behind.
    const QTransform saved = painter->worldTransform();
    painter->translate(viewScale * c.x(), viewScale * c.y());
    painter->rotate(m_rotation);
    const float sx = viewScale * m_scaleX;
    const float sy = viewScale * m_scaleY;
    QVector<QPointF> local(m_points.size());
    for (int i = 0; i < m_points.size(); ++i)
        local[i] = scaledPoint(m_points.at(i) - c, sx, sy);
    painter->drawPolyline(local.constData(), local.size());
    painter->setWorldTransform(saved);
}

bool PolylineShape::isEmpty() const
{
    return m_points.size() < 2;
}

float PolylineShape::distanceTo(QPointF point)
{
    const QPointF c = center();
    float lx = 0;
    float ly = 0;
    localPoint(point, c, radians(m_rotation), lx, ly);
    const QPointF q(lx, ly);
    float best = kFarAway;
    QPointF prev;
    for (int i = 0; i < m_points.size(); ++i) {
        const QPointF cur = scaledPoint(m_points.at(i) - c, m_scaleX, m_scaleY);
        if (i > 0) {
            const float e = segmentDistance(q, prev, cur);
            if (e < best)
                best = e;
        }
        prev = cur;
    }
    return best;
}

void PolylineShape::updateBounds()
{
    if (m_points.isEmpty())
        return;
    double left = m_points.at(0).x();
    double right = left;
    double top = m_points.at(0).y();
    double bottom = top;
    for (const QPointF& p : qAsConst(m_points)) {
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
    }
    m_pointBounds = { float(left), float(top), float(right), float(bottom) };
    updateFrame();
}

void PolylineShape::translate(QPointF offset)
{
    for (QPointF& p : m_points)
        p += offset;
    updateBounds();
}

// --- CurveShape ------------------------------------------------------------------------------

void CurveShape::beginAt(QPointF point)
{
    addPoint(point);
}

void CurveShape::dragTo(QPointF point)
{
    addPoint(point);
}

// --- ArrowShape ------------------------------------------------------------------------------

void ArrowShape::draw(QPainter* painter, float viewScale)
{
    PolylineShape::draw(painter, viewScale);
    if (m_points.size() < 2)
        return;
    const QPointF first = m_points.constFirst();
    const QPointF last = m_points.constLast();
    // Coinciding end points give the head no direction: the arrow is painted as a dot.
    if (first == last)
        return;
    const QLineF unit = QLineF(first, last).unitVector();
    QLineF tipLine(last, last + (unit.p2() - unit.p1()));
    tipLine.setLength(20.0);
    QLineF side = tipLine.normalVector();
    side.setLength(10.0);
    const QLineF otherSide = side.normalVector().normalVector();
    const QPointF head[3] = { tipLine.p2(), side.p2(), otherSide.p2() };

    QPen headPen;
    headPen.setWidth(m_pen.width());
    headPen.setColor(m_pen.color());
    headPen.setJoinStyle(Qt::MiterJoin);
    painter->setPen(headPen);
    painter->drawPolygon(head, 3, Qt::OddEvenFill);
}

QRectF ArrowShape::paintedExtent() const
{
    // The head is painted at the stored end point, neither scaled nor turned with the line.
    const ShapeBounds& b = m_pointBounds;
    return turnedBox(center(), (b.right - b.left) * 0.5 * std::fabs(m_scaleX),
        (b.bottom - b.top) * 0.5 * std::fabs(m_scaleY), m_rotation, m_pen.widthF() * 4 + 26,
        (b.right - b.left) * 0.5, (b.bottom - b.top) * 0.5);
}

// --- RectangleShape --------------------------------------------------------------------------

void RectangleShape::draw(QPainter* painter, float viewScale)
{
    if (m_points.size() < 2)
        return;
    painter->setPen(m_pen);
    painter->setBrush(m_brush);
    const QPointF p0 = m_points.at(0);
    const QPointF p1 = m_points.at(1);
    const double minX = std::min(p0.x(), p1.x());
    const double maxX = std::max(p0.x(), p1.x());
    const double minY = std::min(p0.y(), p1.y());
    const double maxY = std::max(p0.y(), p1.y());
    const double cx = (minX + maxX) * 0.5;
    const double cy = (minY + maxY) * 0.5;
    const QTransform saved = painter->worldTransform();
    painter->translate(viewScale * cx, viewScale * cy);
    painter->rotate(m_rotation);
    const int x = static_cast<int>(0.5 * (minX - maxX) * viewScale * m_scaleX);
    const int y = static_cast<int>((minY - maxY) * 0.5 * viewScale * m_scaleY);
    const int w = static_cast<int>((maxX - minX) * viewScale * m_scaleX);
    const int h = static_cast<int>((maxY - minY) * viewScale * m_scaleY);
    painter->drawRect(x, y, w, h);
    painter->setWorldTransform(saved);
}

bool RectangleShape::isEmpty() const
{
    if (m_points.size() < 2)
        return true;
    const QPointF p0 = m_points.at(0);
    const QPointF p1 = m_points.at(1);
    return (p0.x() - p1.x()) * (p0.y() - p1.y()) == 0;
}

float RectangleShape::distanceTo(QPointF point)
{
    const float hw = (m_pointBounds.right - m_pointBounds.left) * 0.5f * m_scaleX;
    const float hh = (m_pointBounds.bottom - m_pointBounds.top) * 0.5f * m_scaleY;
    float lx = 0;
    float ly = 0;
    localPoint(point, center(), radians(m_rotation), lx, ly);
    return boxDistance(lx, ly, hw, hh);
}

void RectangleShape::updateBounds()
{
    if (m_points.size() < 2)
        return;
    const QPointF p0 = m_points.at(0);
    const QPointF p1 = m_points.at(1);
    m_pointBounds = { float(std::min(p0.x(), p1.x())), float(std::min(p0.y(), p1.y())),
        float(std::max(p0.x(), p1.x())), float(std::max(p0.y(), p1.y())) };
    updateFrame();
}

void RectangleShape::translate(QPointF offset)
{
    for (QPointF& p : m_points)
        p += offset;
    updateBounds();
}

// --- TextShape -------------------------------------------------------------------------------

TextShape::TextShape()
    : m_font(defaultFont(20))
{
}

QFont TextShape::defaultFont(int pointSize)
{
    return QFont(QStringLiteral("宋体"), pointSize, 50, false);
}

void TextShape::draw(QPainter* painter, float viewScale)
{
    painter->save();
    painter->setPen(QPen(m_pen));
    painter->setBrush(m_brush);
    float angle = m_rotation;
    if (m_scaleX < 0)
        angle += 180;
    const QPointF c = center();
    painter->translate(viewScale * c.x(), viewScale * c.y());
    painter->rotate(angle);
    painter->scale(viewScale, viewScale);
    painter->setFont(m_font);
    const int x = static_cast<int>((m_pointBounds.right - m_pointBounds.left) * -0.5f * std::fabs(m_scaleX));
    const int y = static_cast<int>((m_pointBounds.bottom - m_pointBounds.top) * 0.5f * std::fabs(m_scaleY));
    painter->drawText(x, y, m_text);
    painter->restore();
}

bool TextShape::isEmpty() const
{
    return m_text.isEmpty();
}

float TextShape::distanceTo(QPointF point)
{
    const float width = m_pointBounds.right - m_pointBounds.left;
    const float height = m_pointBounds.bottom - m_pointBounds.top;
    const float hw = width * 0.5f * std::fabs(m_scaleX);
    // The height follows the width's scale; a box without width has no ratio to scale by.
    const float hh = width != 0 ? height * hw / width : height * 0.5f * std::fabs(m_scaleX);
    float lx = 0;
    float ly = 0;
    localPoint(point, center(), radians(m_rotation), lx, ly);
    return boxDistance(lx, ly, hw, hh);
}

void TextShape::updateBounds()
{
    // Without an anchor there is nothing to measure from.
    if (m_points.isEmpty())
        return;
    const QSizeF size = measureRichText(m_font, m_text);
    const QPointF p0 = m_points.at(0);
    m_pointBounds
        = { float(p0.x()), float(p0.y() - size.height()), float(p0.x() + size.width()), float(p0.y()) };
    updateFrame();
}

void TextShape::setScaleX(float sx)
{
    const float factor = std::fabs(sx);
    const bool byHeight = m_text.isEmpty();
    const float extent
        = byHeight ? m_pointBounds.bottom - m_pointBounds.top : m_pointBounds.right - m_pointBounds.left;
    const double target = extent * factor;
    m_scaleX = m_scaleY = sx;

    // Grow the point size until the measured text overflows the scaled box. The text is part of
    // the measurement, so the width grows with the size and the loop ends; the caps are a guard.
    int size = 1;
    for (int step = 0; step < 64 && size < 4096; ++step) {
        const QSizeF measured = measureRichText(defaultFont(size), m_text);
        const double m = byHeight ? measured.height() : measured.width();
        if (m <= 0 || m > target)
            break;
        const int next = static_cast<int>(target / m * size) + 1;
        if (next <= size)
            break;
        size = next;
    }
    m_font = defaultFont(std::max(1, size - 1));
    updateBounds();
}

void TextShape::setTextContent(const QString& text, int pointSize)
{
    m_text = text;
    setFontSize(pointSize);
}

QRectF TextShape::paintedExtent() const
{
    // Glyphs keep their size when the box is scaled and hang below the baseline; the box is
    // measured as rich text, the line is painted as plain text.
    const ShapeBounds& b = m_pointBounds;
    const QFontMetricsF metrics(m_font);
    const qreal w = std::max<qreal>(b.right - b.left, metrics.horizontalAdvance(m_text));
    const qreal h = std::max<qreal>(b.bottom - b.top, metrics.height());
    const qreal scale = std::max({ 1.0, qreal(std::fabs(m_scaleX)), qreal(std::fabs(m_scaleY)) });
    const qreal half = (w + h) * scale + h;
    return turnedBox(center(), half, half, m_rotation, m_pen.widthF() * 2 + 4);
}

void TextShape::setText(const QString& text)
{
    m_text = text;
    updateBounds();
}

void TextShape::setFontSize(int points)
{
    m_font = defaultFont(points);
    updateBounds();
}
