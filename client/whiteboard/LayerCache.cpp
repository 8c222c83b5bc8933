#include "LayerCache.h"

#include "PageStore.h"

#include <QPainter>
#include <QSemaphore>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

void paintInOrder(QImage& image, const ShapeList& shapes, int from, int to, float viewScale)
{
    if (from >= to)
        return;
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    for (int i = from; i < to; ++i)
        shapes[i]->draw(&painter, viewScale);
}

constexpr int kMaxParts = 4;

QThreadPool& painters()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(std::max(1, std::min(kMaxParts, QThread::idealThreadCount()) - 1));
        return p;
    }();
    return *pool;
}

// The parts of one paint, taken by whichever thread comes first: the caller paints every part no
// helper has started, so a busy pool only makes it slower.
struct Parts {
    const ShapeList* shapes = nullptr;
    QVector<int> starts;
    QVector<QImage> layers;
    QSize pixels;
    qreal ratio = 1;
    float viewScale = 1;
    std::atomic<int> next { 1 };
    QSemaphore done;

    int count() const { return starts.size() - 1; }
    // Paints parts until none is left to take.
    void paintLeft()
    {
        for (int k = next++; k < count(); k = next++) {
            QImage layer(pixels, QImage::Format_ARGB32_Premultiplied);
            layer.setDevicePixelRatio(ratio);
            layer.fill(Qt::transparent);
            paintInOrder(layer, *shapes, starts[k], starts[k + 1], viewScale);
            layer.setDevicePixelRatio(1);
            layers[k] = std::move(layer);
            done.release();
        }
    }
};

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
// reach into it, clipped to it. Painted at their true places, the shapes give what a paint of the
// whole image gives there, but for edge pixels a few levels off where antialiased strokes cross.
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

bool sized(const QImage& image, const QSize& pixels, qreal ratio)
{
    return !image.isNull() && image.size() == pixels && image.devicePixelRatio() == ratio;
}

} // namespace

void LayerCache::paintShapes(QImage& image, const ShapeList& shapes, int from, int to, float viewScale)
{
    if (from >= to)
        return;
    qint64 points = 0;
    for (int i = from; i < to; ++i)
        points += shapes[i]->points().size() + 1;
    const int count = int(std::min<qint64>(points / kPointsPerPart, painters().maxThreadCount() + 1));
    if (count < 2) {
        paintInOrder(image, shapes, from, to, viewScale);
        return;
    }
    // Parts of about the same number of points: the first painted over the image here, the
    // others into layers of their own beside it, laid over it in order. Where a part's shapes
    // cross an earlier part's, a pixel may come out a level off a paint in one go.
    auto parts = std::make_shared<Parts>();
    parts->shapes = &shapes;
    parts->starts.append(from);
    qint64 sum = 0;
    for (int i = from; i < to && parts->starts.size() < count; ++i) {
        sum += shapes[i]->points().size() + 1;
        if (sum >= points * parts->starts.size() / count)
            parts->starts.append(i + 1);
    }
    parts->starts.append(to);
    parts->layers.resize(parts->count());
    parts->pixels = image.size();
    parts->ratio = image.devicePixelRatio();
    parts->viewScale = viewScale;
    for (int k = 1; k < parts->count(); ++k) {
        painters().start([parts] {
            PageStore::yieldToGui();
            parts->paintLeft();
        });
    }
    paintInOrder(image, shapes, parts->starts[0], parts->starts[1], viewScale);
    parts->paintLeft();
    parts->done.acquire(parts->count() - 1);
    // Laid over pixel for pixel: drawn at its logical size, a layer may be resampled at a
    // fractional ratio.
    QImage pixels(image.bits(), image.width(), image.height(), image.bytesPerLine(), image.format());
    QPainter painter(&pixels);
    for (int k = 1; k < parts->count(); ++k)
        painter.drawImage(0, 0, parts->layers[k]);
    // A helper that comes late finds nothing to take; it need not keep the layers.
    parts->layers.clear();
}

void LayerCache::invalidate()
{
    m_layerShapes.clear();
    m_layer = QImage();
    m_checkpointShapes.clear();
    m_checkpoint = QImage();
}

void LayerCache::release(QVector<ShapeList>& lists, QVector<QImage>& images)
{
    lists.append(std::move(m_layerShapes));
    lists.append(std::move(m_checkpointShapes));
    images.append(std::exchange(m_layer, QImage()));
    images.append(std::exchange(m_checkpoint, QImage()));
    invalidate();
}

void LayerCache::adopt(const LoadedPage& page, const QSize& size, qreal ratio)
{
    if (!sized(page.layer, size * ratio, ratio)) {
        invalidate();
        return;
    }
    m_layer = page.layer;
    m_layerShapes = page.shapes;
    m_checkpoint = page.checkpoint;
    m_checkpointShapes = page.checkpointShapes;
}

bool LayerCache::patch(const ShapeList& shapes, int count, const QSize& size, qreal ratio)
{
    // An area's edge must fall between device pixels.
    if (ratio != std::floor(ratio))
        return false;
    const Difference diff = differenceOf(m_layerShapes, shapes, count);
    if ((diff.oldEnd - diff.head) + (diff.newEnd - diff.head) > kMaxPatchedShapes)
        return false;
    QRectF changed;
    for (int i = diff.head; i < diff.oldEnd; ++i)
        changed |= m_layerShapes[i]->paintedExtent();
    for (int i = diff.head; i < diff.newEnd; ++i)
        changed |= shapes[i]->paintedExtent();
    const QRect area = changed.toAlignedRect() & QRect(QPoint(0, 0), size);
    const bool checkpointFits = m_checkpoint.size() == m_layer.size()
        && m_checkpoint.devicePixelRatio() == m_layer.devicePixelRatio();
    if (area.isEmpty()) {
        // Nothing painted changes, the lists still do.
    } else if (checkpointFits && m_checkpointShapes.size() <= diff.head) {
        // Above the checkpoint (undoing the last stroke): only the few shapes over it are painted.
        repaintArea(m_layer, &m_checkpoint, area, shapes, m_checkpointShapes.size(), count, m_viewScale);
    } else if (qint64(area.width()) * area.height() * 2 > qint64(size.width()) * size.height()) {
        // Every shape there is painted again: past half the page a repaint from scratch is as quick.
        return false;
    } else {
        // Below it: the checkpoint takes the same patch, up to where the change ends if it ends
        // above the checkpoint.
        if (checkpointFits) {
            const int below = m_checkpointShapes.size() >= diff.oldEnd
                ? m_checkpointShapes.size() + (diff.newEnd - diff.oldEnd)
                : diff.newEnd;
            repaintArea(m_checkpoint, nullptr, area, shapes, 0, below, m_viewScale);
            m_checkpointShapes = shapes.mid(0, below);
        }
        repaintArea(m_layer, nullptr, area, shapes, 0, count, m_viewScale);
    }
    m_layerShapes = shapes.mid(0, count);
    return true;
}

void LayerCache::update(const ShapeList& shapes, int count, const QSize& size, qreal ratio)
{
    const QSize pixels = size * ratio;
    // Shapes taken away, put back or replaced below the top change only where they lie.
    if (sized(m_layer, pixels, ratio) && !paintedBelow(m_layerShapes, shapes, count)
        && !patch(shapes, count, size, ratio))
        m_layer = QImage();
    if (!sized(m_layer, pixels, ratio) || !paintedBelow(m_layerShapes, shapes, count)) {
        if (!sized(m_checkpoint, pixels, ratio) || !paintedBelow(m_checkpointShapes, shapes, count)) {
            m_checkpoint = QImage(pixels, QImage::Format_ARGB32_Premultiplied);
            m_checkpoint.setDevicePixelRatio(ratio);
            m_checkpoint.fill(Qt::transparent);
            const int below = std::max(0, count - kCheckpointDepth);
            paintShapes(m_checkpoint, shapes, 0, below, m_viewScale);
            m_checkpointShapes = shapes.mid(0, below);
        }
        m_layer = m_checkpoint.copy();
        m_layerShapes = m_checkpointShapes;
    }
    if (m_layerShapes.size() < count) {
        paintShapes(m_layer, shapes, m_layerShapes.size(), count, m_viewScale);
        m_layerShapes = shapes.mid(0, count);
    }
    // The checkpoint trails the layer by one to two depths, so that it is brought up rarely. A
    // layer taken from the page's picture comes without one.
    if (sized(m_checkpoint, pixels, ratio) && count - m_checkpointShapes.size() >= 2 * kCheckpointDepth) {
        const int below = count - kCheckpointDepth;
        paintShapes(m_checkpoint, shapes, m_checkpointShapes.size(), below, m_viewScale);
        m_checkpointShapes = shapes.mid(0, below);
    }
}

QImage& LayerCache::composite(
    const QSize& size, qreal ratio, const QRect& dirty, const QImage* base, QRect* devicePixels)
{
    const QSize fullPixels = size * ratio;
    if (m_composite.size() != fullPixels || m_composite.devicePixelRatio() != ratio) {
        m_composite = QImage(fullPixels, QImage::Format_ARGB32_Premultiplied);
        m_composite.setDevicePixelRatio(ratio);
    }
    const QRect pixels = QRect(dirty.topLeft() * ratio, dirty.size() * ratio) & m_composite.rect();
    resetPixels(m_composite, base, pixels);
    if (devicePixels)
        *devicePixels = pixels;
    return m_composite;
}
